#!/usr/bin/env bash
# Sets up and builds, then runs figsplit on real footage that Debian packages ship:
# opencv-doc's pedestrian clip (video mode) and photos of people (image mode).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
out=${FIGSPLIT_SAMPLE_DIR:-$PWD/sample-output}
mkdir -p "$out"
bin=build/src/cli/figsplit
data=/usr/share/doc/opencv-doc/examples/data

echo "== video mode: $data/vtest.avi" >&2
"$bin" "$data/vtest.avi" "$out/vtest-matte.mov"
echo "== image mode: $data/messi5.jpg" >&2
"$bin" "$data/messi5.jpg" "$out/messi5-cutout.png"
echo "== image mode: skimage astronaut.png" >&2
"$bin" /usr/lib/python3/dist-packages/skimage/data/astronaut.png "$out/astronaut-cutout.png"

echo "matte movie: $out/vtest-matte.mov" >&2
echo "cut-outs:    $out/messi5-cutout.png $out/astronaut-cutout.png" >&2
