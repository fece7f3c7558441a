"""tessamer-check and python3 -m tessamer: the request they write, their output, their exit status."""

import json
import os
import xml.etree.ElementTree

import pytest

from conftest import EXAMPLES, fake_engine, run_command, write_csv
from tessamer._cli import _status

HEADER = ["id", "name", "amount", "date"]
ROWS = [["1", "Ada", "10.00", "2024-01-01"], ["2", "Grace", "20.00", "2024-01-02"]]
APPROVE = ["--reason", "set on import", "--approved-by", "data owner", "--reference", "TICKET-42"]


@pytest.fixture
def data(work):
    write_csv(work / "expected.csv", [HEADER, *ROWS])
    write_csv(work / "same.csv", [HEADER, ROWS[0], ROWS[1][:3] + ["2025-01-01"]])
    write_csv(work / "actual.csv", [HEADER, ROWS[0], ["2", "Grace", "20.01", "2024-01-02"]])
    return work


STATUSES = [
    ("byte-identical files pass", ["expected.csv", "expected.csv"], 0, "PASS  the files are byte-identical", ""),
    ("approved exclusion passes", ["expected.csv", "same.csv", "--exclude", "date", *APPROVE], 0,
     "PASS_WITH_EXCLUSIONS", ""),
    ("a divergence fails", ["expected.csv", "actual.csv"], 1, "FAIL  1 divergence", ""),
    ("an engine error is trouble", ["missing.csv", "actual.csv"], 2, "",
     "tessamer-check: INVALID_GOLDEN_DATASET: expectedPath must be a regular file\n"),
    ("an approval without its exclusion", ["expected.csv", "actual.csv", "--reason", "r"], 2, "",
     "--reason must follow the --exclude it approves"),
    ("an exclusion without its approval", ["expected.csv", "actual.csv", "--exclude", "date", "--reason", "r"], 2, "",
     "--exclude date needs --approved-by, --reference"),
    ("an approval given twice", ["expected.csv", "actual.csv", "--exclude", "date", "--reason", "r", "--reason", "s"],
     2, "", "--reason given twice for --exclude date"),
    ("a column without its pair", ["expected.csv", "actual.csv", "--column", "id"], 2, "",
     "--column takes EXPECTED=ACTUAL, not 'id'"),
    ("an engine that is not there", ["expected.csv", "actual.csv", "--engine", "./nowhere/tessamer"], 2, "",
     "tessamer-check: ./nowhere/tessamer is not an executable program\n"),
]


@pytest.mark.parametrize("name, args, status, stdout, stderr", STATUSES, ids=[case[0] for case in STATUSES])
def test_exit_status_and_output(data, name, args, status, stdout, stderr):
    run = run_command(args, data)
    assert run.returncode == status, run.stdout + run.stderr
    assert run.stdout.startswith(stdout)
    assert stderr in run.stderr
    assert os.listdir(data / "tmp") == []


def test_python_module_is_the_same_command(data):
    run = run_command(["expected.csv", "actual.csv"], data, module=True)
    assert (run.returncode, run.stdout.splitlines()[0]) == (1, "FAIL  1 divergence")
    run = run_command(["expected.csv"], data, module=True)
    assert run.returncode == 2 and run.stderr.startswith("usage: python3 -m tessamer ")


def test_the_request_written_for_the_options(data):
    engine = fake_engine(data, f'cp "$2" "{data}/seen.json"\ncat "{EXAMPLES}/identical/result.json"')
    run = run_command(["e.csv", "a.csv", "--engine", engine, "--key", "id", "--key", "date", "--column", "id=ID",
                       "--column", "date=day=of=year", "--exclude", "note=", *APPROVE, "--exclude", "=loaded_at",
                       *APPROVE, "--exclude", "x", *APPROVE, "--encoding", "latin1", "--delimiter", ";",
                       "--quote", "'", "--escape", "\\", "--report", "out/r.jsonl"], data)
    assert run.returncode == 0, run.stderr
    approval = {"reason": "set on import", "approvedBy": "data owner", "approvalReference": "TICKET-42"}
    assert json.loads((data / "seen.json").read_text()) == {
        "schemaVersion": 1, "expectedPath": "e.csv", "actualPath": "a.csv", "divergencePath": "out/r.jsonl",
        "encoding": "latin1", "delimiter": ";", "quoteChar": "'", "escapeChar": "\\", "hasHeader": True,
        "nullValue": "",
        "columns": [{"expected": "id", "actual": "ID"}, {"expected": "date", "actual": "day=of=year"}],
        "excludedColumns": [{"expected": "note", "actual": None, **approval},
                            {"expected": None, "actual": "loaded_at", **approval},
                            {"expected": "x", "actual": "x", **approval}],
        "exampleLimit": 10, "keyColumns": ["id", "date"]}


def test_report_and_page_are_kept_where_asked(data):
    run = run_command(["expected.csv", "actual.csv", "--report", "out/div.jsonl", "--html", "page.html",
                       "--examples", "0"], data)
    assert run.returncode == 1
    assert (data / "out" / "div.jsonl").read_text().count("\n") == 1
    assert "<html" in (data / "page.html").read_text()
    assert "FAIL  1 divergence" in run.stdout and "record  type" not in run.stdout


def test_json_summary(data):
    run = run_command(["expected.csv", "actual.csv", "--json"], data)
    assert run.returncode == 1
    assert json.loads(run.stdout)["byType"]["CELL"] == 1


def test_junit_report(data, summary_options):
    run = run_command(["expected.csv", "actual.csv", "--junit", "junit.xml"], data)
    if "--junit" not in summary_options:
        assert run.returncode == 2 and "has no --junit option" in run.stderr
        pytest.skip("this tessamer-summary writes no JUnit XML yet")
    assert run.returncode == 1, run.stderr
    assert xml.etree.ElementTree.parse(data / "junit.xml").getroot().tag in ("testsuites", "testsuite")


def test_keyed_check_of_the_installed_example(work, keyed):
    run = run_command(["expected.csv", "actual.csv", "--key", "id"], os.path.join(EXAMPLES, "basic"))
    assert run.returncode == 1, run.stderr
    assert "1906.21" in run.stdout


def test_help_shows_a_worked_example(work):
    run = run_command(["--help"], work)
    assert run.returncode == 0
    for text in ("usage: tessamer-check EXPECTED ACTUAL", "tessamer-check expected.csv actual.csv --key id",
                 "--exclude date --reason", "3  CELL  amount  1906.12   1906.21", "exit status:",
                 "0 PASS or PASS_WITH_EXCLUSIONS, 1 FAIL, 2 trouble"):
        assert text in run.stdout, text


class Verdict:
    def __init__(self, passed):
        self.passed = passed


# tessamer-summary exits 0/1/2 for PASS/FAIL/trouble; an older one 0/1 for a complete or an
# incomplete report, whatever the verdict. The command's status must be right with either.
SUMMARY_STATUSES = [
    (True, 0, 0), (False, 0, 1), (False, 1, 1), (True, 1, 2), (True, 2, 2), (False, 2, 2), (False, -9, 2),
]


@pytest.mark.parametrize("passed, summary_status, status", SUMMARY_STATUSES)
def test_status_from_the_summary_and_the_verdict(passed, summary_status, status):
    assert _status(summary_status, Verdict(passed)) == status
