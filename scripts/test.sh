#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUELLMARK_BUILD_DIR:-$root/build}"
"$root/scripts/setup.sh"
# Every include keeps to the layer picture of ARCHITECTURE.md (and the checker to its own tests).
python3 "$root/scripts/check_layers_test.py" -q
python3 "$root/scripts/check_layers.py"
"$root/scripts/build.sh"
jobs="$(nproc)"
cd "$build"
ctest --output-on-failure -j "$jobs"
