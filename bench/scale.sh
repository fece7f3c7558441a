#!/usr/bin/env bash
# Peak memory and time of the engine on large shapes: a 50,000-column header pair (by name and
# through 50,000 mappings), a single 64 MB field (equal, and differing: reported whole, kept as an
# example), 5 million tiny records, a file of line ends only.
#   bench/scale.sh [build dir, default build/engine]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/engine}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target tessamer >/dev/null
engine=$(cd "$build" && pwd)/src/tessamer
work=$(mktemp -d "${TMPDIR:-/tmp}/tessamer-scale-XXXXXX")
trap 'rm -rf "$work"' EXIT

python3 - "$work" <<'PY'
import json, sys
work = sys.argv[1]
def request(name, expected, actual, **extra):
    doc = {"schemaVersion": 1, "expectedPath": f"{work}/{expected}", "actualPath": f"{work}/{actual}",
           "divergencePath": f"{work}/{name}.jsonl", "encoding": "utf-8", "delimiter": ",", "quoteChar": "\"",
           "hasHeader": True, "nullValue": "", "exampleLimit": 100}
    doc.update(extra)
    with open(f"{work}/{name}.json", "w") as f:
        json.dump(doc, f)
n = 50000
names = [f"c{i}" for i in range(n)]
row = ",".join(str(i % 10) for i in range(n))
with open(f"{work}/wide-e.csv", "w") as f: f.write(",".join(names) + "\n" + row + "\n")
with open(f"{work}/wide-a.csv", "w") as f: f.write(",".join(reversed(names)) + "\n" + row + "\n")
request("wide-by-name", "wide-e.csv", "wide-a.csv")
request("wide-mapped", "wide-e.csv", "wide-a.csv", columns=[{"expected": c, "actual": c} for c in reversed(names)])
field = "x" * (64 << 20)
with open(f"{work}/field-e.csv", "w") as f: f.write('v\n"' + field + '"\n')
with open(f"{work}/field-a.csv", "w") as f: f.write('v\n"' + field + '"\r\n')
with open(f"{work}/field-d.csv", "w") as f: f.write('v\n"' + field[:-1] + 'y"\n')
request("64MB-field-equal", "field-e.csv", "field-a.csv")
request("64MB-field-differs", "field-e.csv", "field-d.csv")
with open(f"{work}/tiny-e.csv", "w") as f: f.write("v\n" + "a\n" * 5_000_000)
with open(f"{work}/tiny-a.csv", "w") as f: f.write("v\r\n" + "a\r\n" * 5_000_000)
request("5M-tiny-records", "tiny-e.csv", "tiny-a.csv")
with open(f"{work}/ends.csv", "w") as f: f.write("\r\n" * 5_000_000)
request("only-line-ends", "ends.csv", "ends.csv", hasHeader=False, expectedColumns=["v"], actualColumns=["v"])
PY

printf '%-18s %8s %12s  %s\n' case "wall s" "peak RSS" outcome
for name in wide-by-name wide-mapped 64MB-field-equal 64MB-field-differs 5M-tiny-records only-line-ends; do
  /usr/bin/time -f '%e %M' -o "$work/time" "$engine" --request "$work/$name.json" >"$work/out" 2>"$work/err" || true
  read -r seconds kib < <(tail -n 1 "$work/time")
  outcome=$(grep -o '"status":"[A-Z_]*"\|"divergences":[0-9]*' "$work/out" | tr '\n' ' ')
  [ -s "$work/err" ] && outcome=$(cat "$work/err")
  printf '%-18s %8s %8.1f MiB  %s\n' "$name" "$seconds" "$(awk -v k="$kib" 'BEGIN { print k / 1024 }')" "$outcome"
done
