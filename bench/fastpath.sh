#!/usr/bin/env bash
# The byte-identical path against its floor, hashing both files:
#   bench/fastpath.sh [MB per file, default 1024] [build dir, default build/release]
# Prints the best wall time of three runs of the engine on an identical pair and of
# `openssl dgst -sha256 expected actual`, their ratio and the engine's peak RSS; then shows with
# strace that a pair of different sizes is told apart without opening either file.
set -euo pipefail
cd "$(dirname "$0")/.."
mb=${1:-1024}
build=${2:-build/engine}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target tessamer >/dev/null
engine=$(cd "$build" && pwd)/src/tessamer

work=$(mktemp -d "${TMPDIR:-/tmp}/tessamer-fastpath-XXXXXX")
trap 'rm -rf "$work"' EXIT
# Deterministic rows: a header, then id,name,amount,date lines until the size is reached.
awk -v limit=$((mb * 1048576)) 'BEGIN {
  print "id,name,amount,date"; size = 20
  for (i = 1; size < limit; i++) {
    line = i ",name-" (i * 7919 % 100003) "," (i % 100000) "." (i % 97) ",2024-" (1 + i % 12) "-" (1 + i % 28)
    print line; size += length(line) + 1
  }
}' > "$work/expected.csv"
cp "$work/expected.csv" "$work/actual.csv"
cat > "$work/request.json" <<JSON
{"schemaVersion":1,"expectedPath":"$work/expected.csv","actualPath":"$work/actual.csv",
 "divergencePath":"$work/report.jsonl","encoding":"utf-8","delimiter":",","quoteChar":"\"",
 "hasHeader":true,"nullValue":"","exampleLimit":10}
JSON

best() {  # "<best wall seconds> <highest peak RSS in KiB>" of three runs of "$@"
  local best_time=999999 peak=0 t rss
  for _ in 1 2 3; do
    /usr/bin/time -f '%e %M' -o "$work/time" "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
    t=$(tail -n 1 "$work/time")
    rss=${t#* }
    t=${t% *}
    best_time=$(awk -v a="$t" -v b="$best_time" 'BEGIN { print (a < b) ? a : b }')
    peak=$((rss > peak ? rss : peak))
  done
  echo "$best_time $peak"
}

size=$(stat -c %s "$work/expected.csv")
cat "$work/expected.csv" "$work/actual.csv" > /dev/null  # warm the page cache
read -r engine_time engine_rss < <(best "$engine" --request "$work/request.json")
grep -q '"comparisonMode":"quor-binary"' <("$engine" --request "$work/request.json") || { echo "fast path not taken" >&2; exit 1; }
read -r openssl_time _ < <(best openssl dgst -sha256 "$work/expected.csv" "$work/actual.csv")
printf 'identical pair, %d bytes each\n' "$size"
printf '  tessamer          %6.2f s  peak RSS %6.1f MiB\n' "$engine_time" "$(awk -v k="$engine_rss" 'BEGIN { print k / 1024 }')"
printf '  openssl dgst      %6.2f s\n' "$openssl_time"
printf '  ratio             %6.2fx (target at most 1.0x)\n' "$(awk -v a="$engine_time" -v b="$openssl_time" 'BEGIN { print a / b }')"

if command -v strace >/dev/null; then
  printf 'x\n' >> "$work/actual.csv"
  echo "different sizes: the dataset files are stat'ed by the fast path and opened only by the streaming pass:"
  strace -f -e trace=openat,newfstatat,stat "$engine" --request "$work/request.json" 2>&1 >/dev/null |
    grep -E 'expected.csv|actual.csv' | sed "s|$work/||g"
fi
