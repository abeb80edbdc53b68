#!/usr/bin/env bash
# One-shot, idempotent set-up for a Debian 12 machine (run as root): installs the Debian
# packages the project needs, fetches and verifies the models, configures and builds.
#   scripts/setup.sh            release build in build/
#   scripts/setup.sh --asan     also the ASan+UBSan build in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev clang-format
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev ffmpeg
  libpng-dev libjpeg62-turbo-dev libheif-dev libexif-dev liblcms2-dev
  libdnnl-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  nodejs npm
  python3-skimage opencv-doc
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# nodejs/npm may come from elsewhere on a developer machine; only install them when absent.
if command -v npm >/dev/null; then
  missing=("${missing[@]/nodejs/}"); missing=("${missing[@]/npm/}")
fi
missing=($(printf '%s\n' "${missing[@]}" | sed '/^$/d'))
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

scripts/fetch_models.sh models

build() { # dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
}
build build
if [[ ${1:-} == --asan ]]; then
  build build-asan -DFIGSPLIT_SANITIZE=ON
fi
