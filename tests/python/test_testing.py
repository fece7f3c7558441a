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


def test_passes_on_pass_and_with_approved_exclusions(work):
    golden = write_csv(work / "golden.csv", [HEADER, *ROWS])
    assert assert_csv_matches(golden, write_csv(work / "same.csv", [HEADER, *ROWS])).status == "PASS"
    redated = write_csv(work / "redated.csv", [HEADER, *[row[:3] + ["2025-01-01"] for row in ROWS]])
    exclusion = tessamer.Exclusion(column="date", reason="import date", approved_by="owner", reference="T-1")
    assert assert_csv_matches(golden, redated, exclude=exclusion).status == "PASS_WITH_EXCLUSIONS"
    with pytest.raises(tessamer.EngineError, match="expectedPath must be a regular file"):
        assert_csv_matches("missing.csv", golden)


@pytest.mark.parametrize("summary", [None, "tessamer-summary-nowhere"])
def test_fails_with_the_terminal_summary(work, summary):
    golden = write_csv(work / "golden.csv", [HEADER, *ROWS])
    actual = write_csv(work / "actual.csv", [HEADER, ROWS[0], ["2", "Grace", "20.01", "2024-01-02"]])
    with pytest.raises(AssertionError) as failure:
        assert_csv_matches(golden, actual, summary=summary)
    message = str(failure.value)
    assert message.startswith(f"{actual} does not match {golden}\n\nFAIL  2 divergences\n")
    if summary is None:
        for text in ("CELL 1  ROW_WIDTH 0  MISSING_ROW 1", "amount      1", "2 of 2 divergences", "20.0[1]", "Alan"):
            assert text in message, text
        assert "\x1b[" not in message, "no colour in a CI log"
    else:  # without the summary program, a shorter text from the result alone
        assert "no tessamer-summary" in message and "record 2  CELL  amount: '20.00' != '20.01'" in message
    assert os.listdir(work / "tmp") == [], "the temporary report is gone once the message is made"


def test_a_failing_pytest_test_reads_well(work):
    golden = write_csv(work / "golden.csv", [HEADER, *ROWS])
    actual = write_csv(work / "actual.csv", [HEADER, *ROWS[:2], ["3", "Alan", "30.00", "2024-01-04"]])
    (work / "test_golden.py").write_text("from tessamer.testing import assert_csv_matches\n\n"
                                         f"def test_export():\n    assert_csv_matches({golden!r}, {actual!r})\n")
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_golden.py"], cwd=work,
                         capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=os.path.join(SOURCE_DIR, "python")))
    assert run.returncode == 1 and "1 failed" in run.stdout, run.stdout + run.stderr
    for text in ("E       AssertionError: ", "E       FAIL  1 divergence", "date        1", "2024-01-0[4]"):
        assert text in run.stdout, text
    assert "testing.py" not in run.stdout, "the helper's own frame is hidden"
