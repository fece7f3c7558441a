"""tessamer.validate() against the built engine: typed results, every error code, no verdict."""

import dataclasses
import gc
import os

import pytest

import tessamer
from conftest import fake_engine, write_csv

HEADER = ["id", "name", "amount"]
ROWS = [["1", "Ada", "10.00"], ["2", "Grace", "20.00"], ["3", "Alan", "30.00"]]
APPROVAL = dict(reason="set on import", approved_by="data owner", reference="TICKET-42")


def files(work, expected_rows, actual_rows, actual_header=HEADER):
    return (write_csv(work / "expected.csv", [HEADER, *expected_rows]),
            write_csv(work / "actual.csv", [actual_header, *actual_rows]))


def test_byte_identical_files(work, engine):
    expected, _ = files(work, ROWS, ROWS)
    result = tessamer.validate(expected, expected, engine=engine)
    assert (result.status, result.comparison_mode, result.identical, result.passed) == ("PASS", "quor-binary", True,
                                                                                        True)
    assert result.rows == tessamer.Rows(None, None, None, 0, 0)
    assert (result.cells_compared, result.report_path, result.examples) == (None, None, ())
    assert result.expected_sha256 == result.actual_sha256 and len(result.expected_sha256) == 64
    assert list(result.divergences()) == []
    assert os.listdir(work / "tmp") == [], "nothing to keep after byte-identical files"


def test_cells_rows_and_widths_come_typed(work, engine):
    actual_rows = [["1", "Ada", "10.01"], ["2", "Grace"]]
    expected, actual = files(work, ROWS, actual_rows)
    result = tessamer.validate(expected, actual, engine=engine, example_limit=2)
    assert (result.status, result.passed, result.divergence_count) == ("FAIL", False, 4)
    assert result.rows == tessamer.Rows(expected=3, actual=2, compared=2, missing=1, additional=0)
    assert (result.cells_compared, result.columns_compared, result.excluded_cells) == (6, 3, 0)
    assert result.column_pairs[2] == tessamer.ColumnPair("amount", "amount", 2, 2)
    assert result.headers == tessamer.Headers(tuple(HEADER), tuple(HEADER))
    assert result.engine.name == "tessamer" and result.key_pairing is None
    lines = list(result.divergences())
    assert lines == [
        tessamer.CellDivergence(record=1, column="amount", expected_column="amount", actual_column="amount",
                                expected_index=2, actual_index=2, expected="10.00", actual="10.01"),
        tessamer.RowWidthDivergence(record=2, expected_columns=3, expected_values=3, actual_columns=3,
                                    actual_values=2),
        tessamer.CellDivergence(record=2, column="amount", expected_column="amount", actual_column="amount",
                                expected_index=2, actual_index=2, expected="20.00", actual=None),
        tessamer.MissingRow(record=3, expected=("3", "Alan", "30.00")),
    ]
    assert result.examples == tuple(lines[:2])
    assert [line.type for line in lines] == ["CELL", "ROW_WIDTH", "CELL", "MISSING_ROW"]


def test_additional_rows_exclusions_and_renamed_columns(work, engine):
    header = ["ID", "name", "amount", "loaded_at"]
    expected, actual = files(work, ROWS[:1], [["1", "Ada", "10.00", "x"], ["9", "Bob", "0", "y"]], header)
    plan = {"columns": [("id", "ID"), "name", "amount"], "exclude": {"actual": "loaded_at", **APPROVAL}}
    result = tessamer.validate(expected, actual, engine=engine, **plan)
    assert (result.status, result.excluded_cells) == ("FAIL", 2)
    assert result.column_pairs[0] == tessamer.ColumnPair("id", "ID", 0, 0)
    assert list(result.divergences()) == [tessamer.AdditionalRow(record=2, actual=("9", "Bob", "0", "y"))]
    same = write_csv(work / "same.csv", [header, ["1", "Ada", "10.00", "z"]])
    approved = tessamer.validate(expected, same, engine=engine, **plan)
    assert (approved.status, approved.passed, approved.excluded_cells) == ("PASS_WITH_EXCLUSIONS", True, 1)


def test_files_without_a_header_in_another_dialect(work, engine):
    (work / "e.csv").write_bytes(b"1;'a;b'\r\n2;e\r\n")
    (work / "a.csv").write_bytes(b"1;'a;b'\r\n2;\xe9\r\n")
    result = tessamer.validate("e.csv", "a.csv", engine=engine, header=False, delimiter=";", quote="'",
                               encoding="windows-1252", expected_columns=["id", "v"], actual_columns=["id", "v"])
    assert result.divergence_count == 1
    assert result.examples == (tessamer.CellDivergence(record=2, column="v", expected_column="v", actual_column="v",
                                                        expected_index=1, actual_index=1, expected="e",
                                                        actual="\u00e9"),)


def test_a_temporary_report_lives_as_long_as_its_result(work, engine):
    expected, actual = files(work, ROWS, ROWS[:2])
    result = tessamer.validate(expected, actual, engine=engine)
    directory = os.path.dirname(result.report_path)
    assert os.listdir(directory) == ["divergences.jsonl"], "the request is removed after the run"
    with result:
        assert len(list(result.divergences())) == 1
    assert not os.path.exists(directory)
    with pytest.raises(ValueError, match="closed"):
        result.divergences()
    dropped = tessamer.validate(expected, actual, engine=engine)
    directory = os.path.dirname(dropped.report_path)
    del dropped
    gc.collect()
    assert not os.path.exists(directory)


def test_a_report_path_given_stays(work, engine):
    expected, actual = files(work, ROWS, ROWS[:2])
    with tessamer.validate(expected, actual, engine=engine, report="out/report.jsonl") as result:
        assert result.report_path == "out/report.jsonl"
    assert (work / "out" / "report.jsonl").read_text().count("\n") == 1
    assert os.listdir(work / "tmp") == []


def test_a_result_is_immutable_and_reads_back_from_its_text(work, engine):
    expected, actual = files(work, ROWS, ROWS[:2])
    result = tessamer.validate(expected, actual, engine=engine)
    with pytest.raises(dataclasses.FrozenInstanceError):
        result.status = "PASS"
    again = tessamer.Result.from_json(result.to_json(), report=result.report_path)
    assert again == result and list(again.divergences()) == list(result.divergences())
    with pytest.raises(tessamer.ReportError, match="without the path of its report"):
        tessamer.Result.from_json(result.to_json()).divergences()
    with pytest.raises(tessamer.RunError, match="not a tessamer result"):
        tessamer.Result.from_json('{"status": "PASS"}')


def many_divergences(work):
    """Files whose report outgrows the engine's 1 MiB buffer."""
    rows = [[str(n), "x" * 40, "1"] for n in range(20000)]
    return files(work, rows, [[n, name, "2"] for n, name, _ in rows])


ERRORS = [
    ("INVALID_NATIVE_ARGUMENTS", lambda work, engine: ({"engine": fake_engine(work, f'exec "{engine}" "$@" --help')},
                                                        "usage: tessamer --request <request.json>")),
    ("INVALID_NATIVE_REQUEST", lambda work, engine: ({"example_limit": 101}, "exampleLimit must be from 0 through 100")),
    ("NATIVE_IO_ERROR", lambda work, engine: ({"report": str(work)}, "cannot create divergence report: ")),
    ("INVALID_GOLDEN_DATASET", lambda work, engine: ({"columns": ["id", "nom"]}, "")),
    ("UNSUPPORTED_NATIVE_ENCODING", lambda work, engine: ({"encoding": "klingon"}, "")),
    ("NATIVE_REPORT_ERROR", lambda work, engine: ({"report": "/dev/full"}, "No space left on device (os error 28)")),
]


@pytest.mark.parametrize("code, case", ERRORS, ids=[error[0] for error in ERRORS])
def test_every_error_code(work, engine, code, case):
    arguments, text = case(work, engine)
    expected, actual = many_divergences(work) if code == "NATIVE_REPORT_ERROR" else files(work, ROWS, ROWS[:1])
    with pytest.raises(tessamer.EngineError) as raised:
        tessamer.validate(expected, actual, **{"engine": engine, **arguments})
    assert raised.value.code == code and code in tessamer.ERROR_CODES
    assert text in raised.value.message
    assert str(raised.value) == f"{code}: {raised.value.message}"
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
    engine = "tessamer-nowhere" if body is None else fake_engine(work, body)
    with pytest.raises(tessamer.RunError, match=text.replace("(", r"\(")):
        tessamer.validate(expected, actual, engine=engine)
    assert os.listdir(work / "tmp") == []


def test_keyed_runs_come_typed(work, engine, keyed):
    expected, actual = files(work, ROWS, [ROWS[0], ["9", "Bob", "0"], ROWS[1], ["3", "Alan", "30.01"]])
    result = tessamer.validate(expected, actual, engine=engine, key="id")
    pairing = result.key_pairing
    assert (pairing.key_columns, pairing.key_order, pairing.duplicate_keys) == (
        (tessamer.ColumnPair("id", "id", 0, 0),), "ANY", "REJECT")
    assert (pairing.repeated_expected_records, pairing.repeated_actual_records) == (0, 0)
    lines = list(result.divergences())
    assert [(line.type, line.key, line.expected_record, line.actual_record) for line in lines] == [
        ("CELL", ("3",), 3, 4), ("ADDITIONAL_ROW", ("9",), None, 2)]


def test_the_module_has_the_project_version():
    assert tessamer.__version__ == os.environ["TESSAMER_TEST_VERSION"]
