#!/usr/bin/env bash
# Sets up and builds, then runs figsplit on a sample clip and a sample photo of people that
# Debian packages ship.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
echo "run_sample: video and image mode are not wired in yet; the build is in build/" >&2
