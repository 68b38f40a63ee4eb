#!/usr/bin/env bash
# Installs what is missing, builds the program and runs it headless with the example bundle and
# the example console script (extra arguments go to the program instead).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUELLMARK_BUILD_DIR:-$root/build}"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" quellmark
export QUELLMARK_HOME="${QUELLMARK_HOME:-$(mktemp -d)}"
if [ $# -gt 0 ]; then
  exec "$build/macos/Runner/quellmark" --bundle "$root/macos/Runner/Resources" "$@"
fi
exec "$build/macos/Runner/quellmark" --bundle "$root/macos/Runner/Resources" \
  --dart "$root/examples/console.jsonl"
