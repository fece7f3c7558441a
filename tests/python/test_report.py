"""Result.divergences(): a stream in constant memory, that refuses a report of another run."""

import json
import tracemalloc

import pytest

import tessamer
from conftest import write_csv

HEADER = ["id", "v", "w"]


def run(work, engine, expected_rows, actual_rows, name="report.jsonl", **arguments):
    expected = write_csv(work / f"{name}.expected.csv", [HEADER, *expected_rows])
    actual = write_csv(work / f"{name}.actual.csv", [HEADER, *actual_rows])
    return tessamer.validate(expected, actual, engine=engine, report=str(work / name), **arguments)


def test_a_large_report_streams_in_constant_memory(work, engine):
    value = "v" * 500
    rows = [[str(n), value, "x"] for n in range(20000)]
    result = run(work, engine, rows, [[n, value + "!", w] for n, _, w in rows])
    size = (work / "report.jsonl").stat().st_size
    assert result.divergence_count == 20000 and size > 20_000_000
    tracemalloc.start()
    try:
        count = 0
        for divergence in result.divergences():
            count += 1
            assert divergence.actual.endswith("!")
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert count == 20000
    assert peak < 3_000_000, f"{peak} bytes held to read a report of {size} bytes"


def lines_of(path):
    return path.read_bytes().splitlines(keepends=True)


def edit(line, **members):
    document = json.loads(line)
    document.update(members)
    return (json.dumps(document, separators=(",", ":"), sort_keys=True) + "\n").encode()


# Each case turns the five lines of the run's report into a report that is not that run's.
FOREIGN = [
    ("cut last line", lambda lines, other: [*lines[:-1], lines[-1][:-1]], r"ends in a cut line \(line 5\)"),
    ("shorter", lambda lines, other: lines[:-1], "shorter than the run: 4 lines for 5 divergences"),
    ("longer", lambda lines, other: [*lines, lines[-1]], "longer than the run: more than 5 lines"),
    ("a line that is no record", lambda lines, other: [*lines[:3], b'{"type":"CELL"}\n', lines[4]],
     "line 4 of .* is not a divergence record"),
    ("a line that is not JSON", lambda lines, other: [*lines[:3], b"CELL 4\n", lines[4]],
     "line 4 of .* is not a divergence record"),
    ("another run's report", lambda lines, other: other, "line 1 differs from the result's example"),
    ("a column the run did not compare", lambda lines, other: [*lines[:3], edit(lines[3], actualColumn="x"), lines[4]],
     "line 4 names a column pair or record the run did not have"),
    ("a record the run did not read", lambda lines, other: [*lines[:4], edit(lines[4], record=99)],
     "line 5 names a column pair or record the run did not have"),
    ("rows of another run", lambda lines, other: [*lines[:4], edit(lines[4], type="ADDITIONAL_ROW", record=4, actual=["4"])],
     "0 missing and 1 additional rows for the run's 1 and 0"),
]


@pytest.mark.parametrize("name, change, text", FOREIGN, ids=[case[0] for case in FOREIGN])
def test_a_report_of_another_run_is_refused(work, engine, name, change, text):
    expected_rows = [[str(n), "a", "b"] for n in range(1, 6)]
    actual_rows = [[str(n), "a", "c"] for n in range(1, 5)]
    result = run(work, engine, expected_rows, actual_rows, example_limit=2)
    other = run(work, engine, expected_rows, [[str(n), "z", "b"] for n in range(1, 6)], name="other.jsonl")
    assert (result.divergence_count, other.divergence_count) == (5, 5)
    report = work / "report.jsonl"
    report.write_bytes(b"".join(change(lines_of(report), lines_of(work / "other.jsonl"))))
    with pytest.raises(tessamer.ReportError, match=text):
        list(result.divergences())


def test_a_missing_report_is_refused(work, engine):
    result = run(work, engine, [["1", "a", "b"]], [["1", "a", "c"]])
    (work / "report.jsonl").unlink()
    with pytest.raises(tessamer.ReportError, match="cannot read report .*: No such file or directory"):
        list(result.divergences())


KEYED_LINES = [
    '{"actual":["k15","15"],"actualRecord":2,"expectedRecord":null,"key":["k15"],"record":2,"type":"ADDITIONAL_ROW"}',
    '{"actual":"31","actualColumn":"v","actualIndex":1,"actualRecord":4,"column":"v","expected":"30",'
    '"expectedColumn":"v","expectedIndex":1,"expectedRecord":3,"key":["k3"],"record":3,"type":"CELL"}',
    '{"actualRecord":null,"expected":["k4","40"],"expectedRecord":4,"key":["k4"],"record":4,"type":"MISSING_ROW"}',
    '{"actualColumns":2,"actualRecord":2,"actualValues":1,"expectedColumns":2,"expectedRecord":1,'
    '"expectedValues":1,"key":[null],"record":1,"type":"ROW_WIDTH"}',
]


def keyed_result(work):
    """A keyed run's result and report, as the engine writes them when it pairs by key."""
    pairs = [{"actual": name, "actualIndex": index, "expected": name, "expectedIndex": index}
             for index, name in enumerate(("k", "v"))]
    document = {
        "actualBytes": 30, "actualSha256": "a" * 64, "cellsCompared": 6, "columnPairs": pairs, "columnsCompared": 2,
        "comparisonMode": "quor-csv-stream", "divergenceExamples": [json.loads(KEYED_LINES[0])],
        "divergences": 4, "durationMs": 0, "engine": {"name": "tessamer", "target": "x86_64-unknown-linux-gnu",
                                                      "version": "0.1.0"},
        "excludedCells": 0, "expectedBytes": 30, "expectedSha256": "b" * 64,
        "headers": {"actual": ["k", "v"], "expected": ["k", "v"]},
        "keyPairing": {"actualSorted": False, "duplicateKeys": "REJECT", "expectedSorted": True,
                       "keyColumns": pairs[:1], "keyOrder": "ANY", "repeatedKeyRecords": {"actual": 0, "expected": 0},
                       "sortMemoryBytes": 67108864},
        "rows": {"actual": 4, "additional": 1, "compared": 3, "expected": 4, "missing": 1},
        "status": "FAIL", "throughputBytesPerSecond": 0}
    (work / "keyed.jsonl").write_text("".join(line + "\n" for line in KEYED_LINES))
    return tessamer.Result.from_json(json.dumps(document), report=work / "keyed.jsonl")


def test_keyed_results_and_lines_come_typed(work):
    result = keyed_result(work)
    assert result.key_pairing == tessamer.KeyPairing(
        key_columns=(tessamer.ColumnPair("k", "k", 0, 0),), key_order="ANY", duplicate_keys="REJECT",
        sort_memory_bytes=67108864, expected_sorted=True, actual_sorted=False, repeated_expected_records=0,
        repeated_actual_records=0)
    lines = list(result.divergences())
    assert [(line.type, line.record, line.key, line.expected_record, line.actual_record) for line in lines] == [
        ("ADDITIONAL_ROW", 2, ("k15",), None, 2), ("CELL", 3, ("k3",), 3, 4), ("MISSING_ROW", 4, ("k4",), 4, None),
        ("ROW_WIDTH", 1, (None,), 1, 2)]
    assert result.examples == tuple(lines[:1])


def test_a_keyed_line_beyond_the_actual_rows_is_refused(work):
    result = keyed_result(work)
    (work / "keyed.jsonl").write_text("".join(line.replace('"actualRecord":4', '"actualRecord":5') + "\n"
                                              for line in KEYED_LINES))
    with pytest.raises(tessamer.ReportError, match="line 2 names a column pair or record"):
        list(result.divergences())
