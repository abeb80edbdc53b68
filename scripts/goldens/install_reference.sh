#!/usr/bin/env bash
# Installs the TensorFlow.js reference runner (tfjs-reference/ beside this script) into a
# per-machine cache and prints its directory. Idempotent: an installed copy whose package.json
# matches is reused. Needs node and npm.
set -euo pipefail
src=$(cd "$(dirname "$0")/tfjs-reference" && pwd)
dest=${FIGSPLIT_TFJS_CACHE:-$HOME/.cache/figsplit-tfjs-reference}
command -v node >/dev/null && command -v npm >/dev/null || {
  echo "install_reference: node and npm are needed" >&2
  exit 1
}
if [[ ! -d $dest/node_modules ]] || ! cmp -s "$src/package.json" "$dest/package.json"; then
  rm -rf "$dest"
  mkdir -p "$dest"
  cp "$src"/*.js "$src/package.json" "$dest/"
  (cd "$dest" && npm install --silent --no-audit --no-fund >&2) || {
    echo "install_reference: npm install failed" >&2
    exit 1
  }
fi
cp "$src"/*.js "$dest/"
echo "$dest"
