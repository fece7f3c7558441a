"""Result.divergences(): a stream in constant memory, that refuses a report of another run."""

import json
import tracemalloc

import pytest

import tessamer
from conftest import write_csv


def run(work, expected_rows, actual_rows, name="report", **arguments):
    expected = write_csv(work / f"{name}.expected.csv", [["id", "v", "w"], *expected_rows])
    actual = write_csv(work / f"{name}.actual.csv", [["id", "v", "w"], *actual_rows])
    return tessamer.validate(expected, actual, report=str(work / f"{name}.jsonl"), **arguments)


def test_a_large_report_streams_in_constant_memory(work):
    rows = [[str(n), "v" * 500, "x"] for n in range(20000)]
    result = run(work, rows, [[n, v + "!", w] for n, v, w in rows])
    size = (work / "report.jsonl").stat().st_size
    assert result.divergence_count == 20000 and size > 20_000_000
    tracemalloc.start()
    try:
        count = sum(1 for divergence in result.divergences() if divergence.actual.endswith("!"))
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert count == 20000
    assert peak < 3_000_000, f"{peak} bytes held to read a report of {size} bytes"


def edit(line, **members):
    return (json.dumps({**json.loads(line), **members}, separators=(",", ":"), sort_keys=True) + "\n").encode()


# Each case turns the five lines of the run's report into a report that is not that run's whole one.
FOREIGN = [
    ("cut last line", lambda lines, other: [*lines[:-1], lines[-1][:-1]], r"ends in a cut line \(line 5\)"),
    ("shorter", lambda lines, other: lines[:-1], "shorter than the run: 4 lines for 5 divergences"),
    ("longer", lambda lines, other: [*lines, lines[-1]], "longer than the run: more than 5 lines"),
    ("no record", lambda lines, other: [*lines[:3], b'{"type":"CELL"}\n', lines[4]], "line 4 of .* is not a divergence"),
    ("not JSON", lambda lines, other: [*lines[:3], b"CELL 4\n", lines[4]], "line 4 of .* is not a divergence record"),
    ("not UTF-8", lambda lines, other: [*lines[:3], lines[3].replace(b'"c"', b'"\xff"'), lines[4]], "is not UTF-8 text"),
    ("another run's report", lambda lines, other: other, "line 1 differs from the result's example"),
    ("a column not compared", lambda lines, other: [*lines[:3], edit(lines[3], actualColumn="x"), lines[4]],
     "line 4 names a column pair or record the run did not have"),
    ("a record not read", lambda lines, other: [*lines[:4], edit(lines[4], record=99)], "line 5 names a column pair"),
    ("rows of another run", lambda lines, other: [*lines[:4], edit(lines[4], type="ADDITIONAL_ROW", record=4, actual=[])],
     "0 missing and 1 additional rows for the run's 1 and 0"),
]


@pytest.mark.parametrize("name, change, text", FOREIGN, ids=[case[0] for case in FOREIGN])
def test_a_report_of_another_run_is_refused(work, name, change, text):
    expected_rows = [[str(n), "a", "b"] for n in range(1, 6)]
    result = run(work, expected_rows, [[str(n), "a", "c"] for n in range(1, 5)], example_limit=2)
    run(work, expected_rows, [[str(n), "z", "b"] for n in range(1, 6)], name="other")
    report = work / "report.jsonl"
    lines, other = report.read_bytes().splitlines(True), (work / "other.jsonl").read_bytes().splitlines(True)
    assert result.divergence_count == len(lines) == len(other) == 5
    report.write_bytes(b"".join(change(lines, other)))
    with pytest.raises(tessamer.ReportError, match=text):
        list(result.divergences())


KEYED = [  # what a keyed run writes: the key and both record numbers on every line
    '{"actual":["k15","15"],"actualRecord":2,"expectedRecord":null,"key":["k15"],"record":2,"type":"ADDITIONAL_ROW"}',
    '{"actual":"31","actualColumn":"v","actualIndex":1,"actualRecord":4,"column":"v","expected":"30","expectedColumn":"v",'
    '"expectedIndex":1,"expectedRecord":3,"key":["k3"],"record":3,"type":"CELL"}',
    '{"actualRecord":null,"expected":["k4","40"],"expectedRecord":4,"key":["k4"],"record":4,"type":"MISSING_ROW"}',
]


def test_keyed_results_and_lines_come_typed(work):
    result = run(work, [["1", "a", "b"]], [["1", "a", "c"]])
    pairs = [{"actual": name, "actualIndex": index, "expected": name, "expectedIndex": index}
             for index, name in enumerate(("id", "v"))]
    document = {**json.loads(result.to_json()), "columnPairs": pairs, "divergences": 3,
                "divergenceExamples": [json.loads(KEYED[0])],
                "rows": {"actual": 4, "additional": 1, "compared": 3, "expected": 4, "missing": 1},
                "keyPairing": {"actualSorted": False, "duplicateKeys": "REJECT", "expectedSorted": True,
                               "keyColumns": pairs[:1], "keyOrder": "ANY", "sortMemoryBytes": 67108864,
                               "repeatedKeyRecords": {"actual": 0, "expected": 0}}}
    (work / "keyed.jsonl").write_text("".join(line + "\n" for line in KEYED))
    keyed = tessamer.Result.from_json(json.dumps(document), report=work / "keyed.jsonl")
    assert keyed.key_pairing == tessamer.KeyPairing((tessamer.ColumnPair("id", "id", 0, 0),), "ANY", "REJECT",
                                                    67108864, True, False, 0, 0)
    assert [(line.type, line.record, line.key, line.expected_record, line.actual_record)
            for line in keyed.divergences()] == [("ADDITIONAL_ROW", 2, ("k15",), None, 2),
                                                 ("CELL", 3, ("k3",), 3, 4), ("MISSING_ROW", 4, ("k4",), 4, None)]
    (work / "keyed.jsonl").write_text("".join(line.replace('"actualRecord":4', '"actualRecord":5') + "\n" for line in KEYED))
    with pytest.raises(tessamer.ReportError, match="line 2 names a column pair or record"):
        list(keyed.divergences())
