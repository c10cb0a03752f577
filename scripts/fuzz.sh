#!/usr/bin/env bash
# Builds the fuzz targets (fuzz/, clang with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) into build-fuzz/ and runs each in turn from its
# seeds (fuzz/seeds/NAME/) and its corpus of earlier runs
# (build-fuzz/corpus/NAME/).
#
#   scripts/fuzz.sh [--seconds N]   each target for N seconds (default 10)
#   scripts/fuzz.sh --runs N        each target for N executions (long runs:
#                                   --runs 10000000)
#   scripts/fuzz.sh ... NAME...     only the targets named
#
# Prints the executions of each target; fails when any target reports a
# fault (its input is kept as build-fuzz/artifacts/NAME-*; run
# build-fuzz/fuzz/NAME_fuzz FILE to see it again).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

limit=(-max_total_time=10)
names=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) limit=(-max_total_time="$2"); shift 2 ;;
    --runs) limit=(-runs="$2"); shift 2 ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
    *) names+=("$1"); shift ;;
  esac
done

"$root/scripts/deps.sh" fuzz
build="$root/build-fuzz"
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -DQV_FUZZ=ON -DQV_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzzers

if [ ${#names[@]} -eq 0 ]; then
  for exe in "$build"/fuzz/*_fuzz; do
    n=$(basename "$exe")
    names+=("${n%_fuzz}")
  done
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
command -v llvm-symbolizer-14 >/dev/null && export ASAN_SYMBOLIZER_PATH=$(command -v llvm-symbolizer-14)

mkdir -p "$build/artifacts"
failed=()
summary=()
for name in "${names[@]}"; do
  exe="$build/fuzz/${name}_fuzz"
  [ -x "$exe" ] || { echo "fuzz.sh: no target $name" >&2; exit 2; }
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  seeds=()
  [ -d "$root/fuzz/seeds/$name" ] && seeds=("$root/fuzz/seeds/$name")
  log="$build/$name.log"
  echo "== $name"
  status=0
  "$exe" "${limit[@]}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$name-" "$corpus" "${seeds[@]}" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  seconds=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
  if [ "$status" -ne 0 ] || grep -qE '^==[0-9]+==ERROR|runtime error:|^SUMMARY: ' "$log"; then
    tail -n 40 "$log"
    failed+=("$name")
    summary+=("$name: FAULT after ${runs:-?} executions (see $log)")
  else
    summary+=("$name: ${runs:-?} executions in ${seconds:-?} s, no report")
  fi
done

echo "== fuzzing summary"
printf '%s\n' "${summary[@]}"
[ ${#failed[@]} -eq 0 ] || { echo "faults: ${failed[*]}" >&2; exit 1; }
