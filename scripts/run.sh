#!/usr/bin/env bash
# Installs what is missing, builds the program and runs it headless with the example bundle and
# the example console script (extra arguments go to the program instead). Then it shows the road
# of analytics events: it starts the loopback collector, runs the program again with a console
# script that logs events through the analytics channel and then switches the application away
# (the engine uploads when the app resigns active), with every analytics service request sent to
# the collector (--service-url), and prints what the collector received, decoded, one JSON line
# per request. The road runs in a fresh temporary home, never the user's data folder.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUELLMARK_BUILD_DIR:-$root/build}"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" quellmark quellmark_collector
export QUELLMARK_HOME="${QUELLMARK_HOME:-$(mktemp -d)}"
program="$build/macos/Runner/quellmark"
if [ $# -gt 0 ]; then
  exec "$program" --bundle "$root/macos/Runner/Resources" "$@"
fi
"$program" --bundle "$root/macos/Runner/Resources" --dart "$root/examples/console.jsonl"

work="$(mktemp -d)"
"$build/tools/collector/quellmark_collector" --port-file "$work/port" >"$work/collector.jsonl" &
collector=$!
trap 'kill "$collector" 2>/dev/null || true; wait "$collector" 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
port="$(cat "$work/port")"
echo "collector listening on 127.0.0.1:$port" >&2
QUELLMARK_HOME="$work/home" "$program" --bundle "$root/macos/Runner/Resources" \
  --service-url "http://127.0.0.1:$port" --dart "$root/examples/analytics.jsonl"
kill "$collector"
wait "$collector" 2>/dev/null || true
trap - EXIT
echo "--- received by the collector:" >&2
tail -n +2 "$work/collector.jsonl"
if [ "$(wc -l <"$work/collector.jsonl")" -le 1 ]; then
  echo "(nothing: the collector received no request)" >&2
fi
