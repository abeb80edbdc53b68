#!/usr/bin/env bash
# Regenerates the engine's golden fixtures in tests/data/engine/ from the reference
# implementation of the models (TensorFlow.js in Node, scripts/goldens/tfjs-reference/).
# Needs node and npm (the tests themselves do not), python3-skimage, opencv-doc and ffmpeg.
#   scripts/make_engine_goldens.sh [MODEL_DIR] [make_goldens.py options, e.g. --only NAME,...]
#   (MODEL_DIR defaults to models/, fetched if absent)
set -euo pipefail
cd "$(dirname "$0")/.."
models=${1:-models}
shift $(($# > 0 ? 1 : 0))
[[ -f $models/rvm.json ]] || scripts/fetch_models.sh "$models"

tool=$(scripts/goldens/install_reference.sh)
cp scripts/goldens/run_model.js "$tool/"
/usr/bin/python3 scripts/goldens/make_goldens.py --tool "$tool" --models "$(realpath "$models")" \
  --out tests/data/engine "$@"
