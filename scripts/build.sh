#!/usr/bin/env bash
# Configures build/ (or $QUELLMARK_BUILD_DIR) with Ninja and builds the given targets (all when
# none are given). Extra CMake options can be passed in $QUELLMARK_CMAKE_ARGS.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUELLMARK_BUILD_DIR:-$root/build}"
# shellcheck disable=SC2086
cmake -S "$root" -B "$build" -G Ninja ${QUELLMARK_CMAKE_ARGS:-} >/dev/null
if [ $# -gt 0 ]; then
  targets=()
  for t in "$@"; do targets+=(--target "$t"); done
  cmake --build "$build" "${targets[@]}"
else
  cmake --build "$build"
fi
