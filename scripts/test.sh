#!/usr/bin/env bash
# Sets up the machine, builds the release and the ASan+UBSan configurations, runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --asan
ctest --test-dir build --output-on-failure -j2
# The sanitizer build runs everything except the slow full-model tests.
ctest --test-dir build-asan --output-on-failure -j2 -LE slow
