"""tessamer.validate() against the built engine: typed results, every error code, no verdict."""

import dataclasses
import gc
import os

import pytest

import tessamer
from conftest import ENGINE, fake_engine, write_csv

HEADER = ["id", "name", "amount"]
ROWS = [["1", "Ada", "10.00"], ["2", "Grace", "20.00"], ["3", "Alan", "30.00"]]


def files(work, expected_rows, actual_rows):
    return write_csv(work / "expected.csv", [HEADER, *expected_rows]), write_csv(work / "actual.csv", [HEADER, *actual_rows])


def test_byte_identical_files(work):
    expected, _ = files(work, ROWS, ROWS)
    result = tessamer.validate(expected, expected)
    assert (result.status, result.comparison_mode, result.identical, result.passed) == ("PASS", "quor-binary", True, True)
    assert (result.rows, result.cells_compared, result.report_path) == (tessamer.Rows(None, None, None, 0, 0), None, None)
    assert list(result.divergences()) == [] and os.listdir(work / "tmp") == []


def test_cells_rows_and_widths_come_typed(work):
    expected, actual = files(work, ROWS, [["1", "Ada", "10.01"], ["2", "Grace"]])
    result = tessamer.validate(expected, actual, engine=ENGINE, example_limit=2)
    assert (result.status, result.passed, result.divergence_count, result.cells_compared) == ("FAIL", False, 4, 6)
    assert result.rows == tessamer.Rows(expected=3, actual=2, compared=2, missing=1, additional=0)
    assert result.column_pairs[2] == tessamer.ColumnPair("amount", "amount", 2, 2) and result.key_pairing is None
    cell = dict(column="amount", expected_column="amount", actual_column="amount", expected_index=2, actual_index=2)
    lines = list(result.divergences())
    assert lines == [
        tessamer.CellDivergence(record=1, expected="10.00", actual="10.01", **cell),
        tessamer.RowWidthDivergence(record=2, expected_columns=3, expected_values=3, actual_columns=3, actual_values=2),
        tessamer.CellDivergence(record=2, expected="20.00", actual=None, **cell),
        tessamer.MissingRow(record=3, expected=("3", "Alan", "30.00")),
    ]
    assert result.examples == tuple(lines[:2])
    with pytest.raises(dataclasses.FrozenInstanceError):
        result.status = "PASS"
    assert tessamer.Result.from_json(result.to_json(), report=result.report_path) == result


def test_a_temporary_report_lives_as_long_as_its_result(work):
    expected, actual = files(work, ROWS, ROWS[:2])
    with tessamer.validate(expected, actual) as result:
        directory = os.path.dirname(result.report_path)
        assert os.listdir(directory) == ["divergences.jsonl"], "the request is removed after the run"
    assert not os.path.exists(directory)
    with pytest.raises(ValueError, match="closed"):
        result.divergences()
    dropped = tessamer.validate(expected, actual)
    directory = os.path.dirname(dropped.report_path)
    del dropped
    gc.collect()
    assert not os.path.exists(directory)
    tessamer.validate(expected, actual, report="out/report.jsonl").close()
    assert (work / "out" / "report.jsonl").read_text().count("\n") == 1, "a report path given stays"


ERRORS = [
    ("INVALID_NATIVE_ARGUMENTS", lambda work: {"engine": fake_engine(work, f'exec "{ENGINE}" "$@" --help')},
     "usage: tessamer --request <request.json>"),
    ("INVALID_NATIVE_REQUEST", lambda work: {"example_limit": 101}, "exampleLimit must be from 0 through 100"),
    ("NATIVE_IO_ERROR", lambda work: {"report": str(work)}, "cannot create divergence report: Is a directory (os error 21)"),
    ("INVALID_GOLDEN_DATASET", lambda work: {"columns": ["id"]}, "must cover every column exactly once"),
    ("UNSUPPORTED_NATIVE_ENCODING", lambda work: {"encoding": "klingon"}, "klingon"),
    ("NATIVE_REPORT_ERROR", lambda work: {"report": "/dev/full"}, "No space left on device (os error 28)"),
]


@pytest.mark.parametrize("code, arguments, text", ERRORS, ids=[error[0] for error in ERRORS])
def test_every_error_code(work, code, arguments, text):
    if code == "NATIVE_REPORT_ERROR":  # a report that outgrows the engine's 1 MiB buffer
        rows = [[str(n), "x" * 40, "1"] for n in range(20000)]
        expected, actual = files(work, rows, [[n, name, "2"] for n, name, _ in rows])
    else:
        expected, actual = files(work, ROWS, ROWS[:1])
    with pytest.raises(tessamer.EngineError) as raised:
        tessamer.validate(expected, actual, **arguments(work))
    assert (raised.value.code, str(raised.value)) == (code, f"{code}: {raised.value.message}")
    assert code in tessamer.ERROR_CODES and text in raised.value.message
    assert os.listdir(work / "tmp") == [], "an engine error leaves no temporary file"


NO_VERDICT = [
    ("engine not found", None, "cannot find tessamer-nowhere on PATH"),
    ("unknown exit status", "echo broken >&2; exit 3", "exited with status 3, which is no verdict: 'broken'"),
    ("killed", "kill -KILL $$", "was killed by SIGKILL"),
    ("status 2 without an error document", "echo oops >&2; exit 2", "without an error document: 'oops'"),
    ("status 0 without a result document", "echo '{}'", "printed no result document"),
]


@pytest.mark.parametrize("name, body, text", NO_VERDICT, ids=[case[0] for case in NO_VERDICT])
def test_no_verdict_is_a_run_error(work, name, body, text):
    expected, actual = files(work, ROWS, ROWS)
    with pytest.raises(tessamer.RunError, match=text):
        tessamer.validate(expected, actual, engine="tessamer-nowhere" if body is None else fake_engine(work, body))
    assert os.listdir(work / "tmp") == []


def test_keyed_runs_come_typed(work, keyed):
    expected, actual = files(work, ROWS, [ROWS[0], ["9", "Bob", "0"], ROWS[1], ["3", "Alan", "30.01"]])
    result = tessamer.validate(expected, actual, key="id")
    assert result.key_pairing.key_columns == (tessamer.ColumnPair("id", "id", 0, 0),)
    assert [(line.type, line.key, line.expected_record, line.actual_record) for line in result.divergences()] == [
        ("CELL", ("3",), 3, 4), ("ADDITIONAL_ROW", ("9",), None, 2)]
