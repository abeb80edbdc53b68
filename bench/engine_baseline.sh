#!/usr/bin/env bash
# The engine benchmark's baseline: the reference implementation of the models (TensorFlow.js
# 4.22, WASM backend with SIMD and XNNPACK) timed on this machine, rvm at 960x540 with ratio
# 512/960 (network long side 512) and selfie at 256x256, on 1 and 2 threads. Installs the
# reference runner into a per-machine cache on first use (needs node and npm; prints a note and
# exits 0 without them).
#   bench/engine_baseline.sh [--iters N] [--threads "1 2"] [--models DIR]
# Prints one line per configuration:
#   tfjs <model> <H>x<W> ratio <r|-> threads <n> median_ms <ms> min_ms <ms>
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
iters=20
threads="1 2"
models=$root/models
while (($#)); do
  case $1 in
    --iters) iters=$2; shift 2 ;;
    --threads) threads=$2; shift 2 ;;
    --models) models=$2; shift 2 ;;
    *) echo "engine_baseline: unknown option $1" >&2; exit 2 ;;
  esac
done
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  echo "engine_baseline: node/npm not installed, no baseline measured" >&2
  exit 0
fi
[[ -f $models/rvm.json ]] || "$root/scripts/fetch_models.sh" "$models"
tool=$("$root/scripts/goldens/install_reference.sh")

# model H W ratio threads
measure() {
  local json
  json=$(cd "$tool" && node reference.js --models "$models" --model "$1" --h "$2" --w "$3" \
    --ratio "$4" --threads "$5" --iters "$iters" --warmup 3 | grep '^{')
  node -e '
    const r = JSON.parse(process.argv[1]);
    const [model, h, w, ratio, threads] = process.argv.slice(2);
    if (r.threadsCount !== undefined && r.threadsCount !== "n/a" && +r.threadsCount !== +threads)
      console.error(`engine_baseline: asked for ${threads} threads, the backend runs ${r.threadsCount}`);
    console.log(`tfjs ${model} ${h}x${w} ratio ${model === "rvm" ? ratio : "-"} threads ${threads} ` +
                `median_ms ${r.median_ms} min_ms ${r.min_ms}`);
  ' "$json" "$@"
}
for n in $threads; do
  measure rvm 540 960 0.53333336 "$n"
  measure selfie 256 256 1 "$n"
done
