#!/usr/bin/env bash
# Builds the benchmarks in an optimised build directory of their own (build-bench/, or
# $QUELLMARK_BENCH_DIR) and runs them, each in a temporary home that is removed afterwards.
#
#   scripts/bench.sh                 every benchmark program
#   scripts/bench.sh NAME...         only these (flutter_codec_bench, analytics_storage_bench, ...)
#
# Extra arguments for the benchmark programs go in $QUELLMARK_BENCH_ARGS (for example
# "--benchmark_repetitions=5"). Every program prints, besides its timings, the ratio to a raw
# baseline measured in the same run, which is the figure to compare across machines.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUELLMARK_BENCH_DIR:-$root/build-bench}"

"$root/scripts/setup.sh"
# The script runtime's benchmark compares against Duktape and Lua; only the benchmarks need them.
bench_packages=(duktape duktape-dev lua5.4 liblua5.4-dev)
missing=()
for p in "${bench_packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

export QUELLMARK_BUILD_DIR="$build"
export QUELLMARK_CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Release -DQUELLMARK_TESTS=OFF ${QUELLMARK_CMAKE_ARGS:-}"
if [ $# -gt 0 ]; then
  "$root/scripts/build.sh" "$@"
  names=("$@")
else
  "$root/scripts/build.sh"
  names=()
  while IFS= read -r program; do
    names+=("$(basename "$program")")
  done < <(find "$build/bench" -maxdepth 1 -type f -name '*_bench' -perm -u+x | sort)
fi
if [ ${#names[@]} -eq 0 ]; then
  echo "No benchmark programs were built in $build/bench" >&2
  exit 1
fi

home="$(mktemp -d "${TMPDIR:-/tmp}/quellmark-bench.XXXXXX")"
trap 'rm -rf "$home"' EXIT
status=0
for name in "${names[@]}"; do
  program="$build/bench/$name"
  if [ ! -x "$program" ]; then
    echo "No benchmark program $name" >&2
    status=1
    continue
  fi
  echo "== $name"
  # shellcheck disable=SC2086
  if ! QUELLMARK_HOME="$home/$name" XDG_DATA_HOME="$home/xdg" HOME="$home" \
      "$program" ${QUELLMARK_BENCH_ARGS:-}; then
    status=1
  fi
done
exit $status
