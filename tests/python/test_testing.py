"""tessamer.testing.assert_csv_matches(): passes on PASS, fails with a summary a person can read."""

import os
import subprocess
import sys

import pytest

import tessamer
from conftest import SOURCE_DIR, write_csv
from tessamer.testing import assert_csv_matches

HEADER = ["id", "name", "amount", "date"]
ROWS = [["1", "Ada", "10.00", "2024-01-01"], ["2", "Grace", "20.00", "2024-01-02"], ["3", "Alan", "30.00", "2024-01-03"]]
APPROVAL = dict(reason="set on import", approved_by="data owner", reference="TICKET-42")


@pytest.fixture
def golden(work):
    return write_csv(work / "golden.csv", [HEADER, *ROWS])


def test_passes_on_pass_and_with_approved_exclusions(work, golden):
    same = write_csv(work / "same.csv", [HEADER, *ROWS])
    assert assert_csv_matches(golden, same).status == "PASS"
    redated = write_csv(work / "redated.csv", [HEADER, *[row[:3] + ["2025-01-01"] for row in ROWS]])
    result = assert_csv_matches(golden, redated, exclude=tessamer.Exclusion(column="date", **APPROVAL))
    assert result.status == "PASS_WITH_EXCLUSIONS"


def test_fails_with_the_terminal_summary(work, golden):
    actual = write_csv(work / "actual.csv", [HEADER, ROWS[0], ["2", "Grace", "20.01", "2024-01-02"]])
    with pytest.raises(AssertionError) as failure:
        assert_csv_matches(golden, actual)
    message = str(failure.value)
    assert message.startswith(f"{actual} does not match {golden}\n\nFAIL  2 divergences\n")
    for text in ("by type", "CELL            1", "MISSING_ROW     1", "by column", "amount      1",
                 "first 2 of 2 divergences", "20.00", "20.01", "Alan"):
        assert text in message, text
    assert "\x1b[" not in message, "no colour in a CI log"
    assert os.listdir(work / "tmp") == [], "the temporary report is gone once the message is made"


def test_an_engine_error_is_no_assertion(work, golden):
    with pytest.raises(tessamer.EngineError, match="expectedPath must be a regular file"):
        assert_csv_matches("missing.csv", golden)


def test_without_tessamer_summary_the_message_comes_from_the_result(work, golden):
    actual = write_csv(work / "actual.csv", [HEADER, ROWS[0], ["2", "Grace", "20.01", "2024-01-02"], ROWS[2]])
    with pytest.raises(AssertionError) as failure:
        assert_csv_matches(golden, actual, summary="tessamer-summary-nowhere")
    message = str(failure.value)
    assert "FAIL  1 divergence\n" in message and "no tessamer-summary" in message
    assert "record 2  CELL  amount: '20.00' != '20.01'" in message


def test_a_failing_pytest_test_reads_well(work, golden):
    actual = write_csv(work / "actual.csv", [HEADER, *ROWS[:2], ["3", "Alan", "30.00", "2024-01-04"]])
    (work / "test_golden.py").write_text(
        "from tessamer.testing import assert_csv_matches\n\n"
        "def test_export():\n"
        f"    assert_csv_matches({golden!r}, {actual!r})\n")
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_golden.py"],
                         cwd=work, capture_output=True, text=True,
                         env=dict(os.environ, PYTHONPATH=os.path.join(SOURCE_DIR, "python")))
    assert run.returncode == 1, run.stdout + run.stderr
    assert "1 failed" in run.stdout
    assert "E       AssertionError: " in run.stdout
    assert "E       FAIL  1 divergence" in run.stdout
    assert "date        1" in run.stdout and "2024-01-04" in run.stdout
    assert "testing.py" not in run.stdout, "the helper's own frame is hidden"
