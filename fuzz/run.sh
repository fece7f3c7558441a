#!/usr/bin/env bash
# Builds the fuzz targets, then for each one replays its committed corpus and fuzzes it for the
# given time from a working copy of that corpus (the committed corpus is never written to).
# Stops with a non-zero status at the first crash, leak or timeout.
#
#   fuzz/run.sh <seconds per target> [build dir]      (default build dir: build/fuzz)
#
# Crash inputs land in <build dir>/fuzz-work/<target>/artifacts/, logs next to them.
set -euo pipefail

usage() {
  echo "usage: fuzz/run.sh <seconds per target> [build dir]" >&2
  exit 2
}
[[ $# -ge 1 && $# -le 2 && $1 =~ ^[0-9]+$ && $1 -ge 1 ]] || usage
seconds=$1
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${2:-$root/build/fuzz}
mkdir -p "$build"
build=$(cd "$build" && pwd)

targets=(fuzz_request fuzz_csv fuzz_decode fuzz_engine fuzz_sha256)
declare -A max_len=([fuzz_request]=4096 [fuzz_csv]=1032 [fuzz_decode]=1024 [fuzz_engine]=2048 [fuzz_sha256]=8192)
common=(-timeout=10 -rss_limit_mb=2048)

# Readable stacks: the sanitizers need a symbolizer, and Debian names it by version.
if [[ -z ${ASAN_SYMBOLIZER_PATH:-} ]]; then
  for s in llvm-symbolizer-19 llvm-symbolizer; do
    if command -v "$s" >/dev/null; then
      export ASAN_SYMBOLIZER_PATH=$(command -v "$s")
      break
    fi
  done
  [[ -n ${ASAN_SYMBOLIZER_PATH:-} ]] ||
    { echo "fuzz/run.sh needs llvm-symbolizer-19: install the Debian package llvm-19 (./dev test does)" >&2; exit 1; }
fi

command -v clang++-19 >/dev/null ||
  { echo "fuzz/run.sh needs clang++-19: install the Debian package clang-19 (./dev test does)" >&2; exit 1; }
echo "== configuring and building in $build"
CXX=clang++-19 cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESSAMER_BUILD_FUZZ=ON -DTESSAMER_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target "${targets[@]}"

# Shows the end of a failed run's log and what it left behind, then stops.
failed() {
  local target=$1 what=$2 log=$3
  echo "---- last lines of $log" >&2
  tail -n 80 "$log" >&2
  echo "---- artifacts:" >&2
  ls -l "$build/fuzz-work/$target/artifacts" >&2 || true
  echo "FAILED: $target $what" >&2
  exit 1
}

for t in "${targets[@]}"; do
  bin=$build/fuzz/$t
  committed=$root/fuzz/corpus/$t
  work=$build/fuzz-work/$t
  mkdir -p "$work/corpus" "$work/artifacts"
  for f in "$committed"/*; do
    [[ -e $work/corpus/$(basename "$f") ]] || cp "$f" "$work/corpus/"
  done
  dict=()
  [[ -f $root/fuzz/$t.dict ]] && dict=(-dict="$root/fuzz/$t.dict")

  echo "== $t: replaying $(ls "$committed" | wc -l) committed inputs"
  (cd "$work" && "$bin" "${common[@]}" -artifact_prefix="$work/artifacts/" "$committed"/*) \
    >"$work/replay.log" 2>&1 || failed "$t" "on its committed corpus" "$work/replay.log"

  echo "== $t: fuzzing for ${seconds}s"
  # One job, niced: other work on the machine keeps a core.
  (cd "$work" && nice -n 10 "$bin" -jobs=1 -max_total_time="$seconds" -max_len="${max_len[$t]}" "${common[@]}" \
    "${dict[@]}" -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus") \
    >"$work/fuzz.log" 2>&1 || failed "$t" "while fuzzing" "$work/fuzz.log"
  runs=$(grep -a -o 'stat::number_of_executed_units: [0-9]*' "$work/fuzz.log" | tail -n 1 | grep -o '[0-9]*$' || true)
  echo "   $t: ${runs:-?} executions, working corpus $(ls "$work/corpus" | wc -l) files"
done
echo "== all fuzz targets ran clean"
