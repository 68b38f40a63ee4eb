#!/usr/bin/env bash
# Builds the fuzz configuration (clang, libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer,
# nanopb compiled from its source package) in build-fuzz/ and runs one target, or every target in
# turn, for SECONDS each (default 60).
#   scripts/fuzz.sh [TARGET] [SECONDS]     TARGET: e.g. flutter_codec (or flutter_codec_fuzz)
# Each run starts from fuzz/corpus/TARGET and grows its own corpus in fuzz/run/TARGET (ignored by
# git); findings are written to fuzz/run/TARGET-findings/. A run lives in a temporary home of its
# own. Extra libFuzzer options can be passed in $FUZZ_ARGS (e.g. FUZZ_ARGS=-jobs=2).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUELLMARK_FUZZ_BUILD_DIR:-$root/build-fuzz}"
target="${1:-all}"
seconds="${2:-60}"
target="${target%_fuzz}"

nanopb="$root/.cache/nanopb-source"
"$root/scripts/setup.sh" --nanopb-source "$nanopb"

targets=()
for source in "$root"/fuzz/*_fuzz.cpp; do
  name="$(basename "$source" _fuzz.cpp)"
  if [ "$target" = all ] || [ "$target" = "$name" ]; then targets+=("$name"); fi
done
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz target named $target" >&2
  exit 2
fi

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DQUELLMARK_FUZZ=ON \
  -DQUELLMARK_TESTS=OFF -DQUELLMARK_BENCH=OFF -DQUELLMARK_NANOPB_SOURCE="$nanopb/nanopb" >/dev/null
build_targets=()
for name in "${targets[@]}"; do build_targets+=(--target "${name}_fuzz"); done
cmake --build "$build" "${build_targets[@]}"

home="$(mktemp -d)"
trap 'rm -rf "$home"' EXIT
status=0
for name in "${targets[@]}"; do
  corpus="$root/fuzz/run/$name"
  findings="$root/fuzz/run/$name-findings"
  mkdir -p "$corpus" "$findings"
  options=(-max_total_time="$seconds" -artifact_prefix="$findings/" -print_final_stats=1)
  # A target states the largest input it wants ("-max_len=N") in its source.
  max_len="$(grep -o -m1 -- '-max_len=[0-9]*' "$root/fuzz/${name}_fuzz.cpp" || true)"
  if [ -n "$max_len" ]; then options+=("$max_len"); fi
  dictionary="$root/fuzz/${name}.dict"
  if [ -f "$dictionary" ]; then options+=(-dict="$dictionary"); fi
  echo "== $name for ${seconds}s"
  # shellcheck disable=SC2086
  (cd "$home" && HOME="$home" XDG_DATA_HOME="$home" QUELLMARK_HOME="$home/quellmark" \
     "$build/fuzz/${name}_fuzz" "${options[@]}" ${FUZZ_ARGS:-} "$corpus" "$root/fuzz/corpus/$name") ||
    status=1
done
exit $status
