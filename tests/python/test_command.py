"""tessamer-check and python3 -m tessamer: the request they write, their output, their exit status."""

import json
import os
import xml.etree.ElementTree

import pytest

from conftest import EXAMPLES, SUMMARY, fake_engine, run_command, write_csv
from tessamer._cli import _status

HEADER = ["id", "name", "amount", "date"]
ROWS = [["1", "Ada", "10.00", "2024-01-01"], ["2", "Grace", "20.00", "2024-01-02"]]
APPROVE = ["--reason", "set on import", "--approved-by", "data owner", "--reference", "TICKET-42"]

STATUSES = [
    ("byte-identical files", ["expected.csv", "expected.csv"], 0, "PASS  the files are byte-identical", ""),
    ("approved exclusion", ["expected.csv", "same.csv", "--exclude", "date", *APPROVE], 0, "PASS_WITH_EXCLUSIONS", ""),
    ("a divergence", ["expected.csv", "actual.csv", "--report", "out/r.jsonl", "--html", "page.html"], 1,
     "FAIL  1 divergence", ""),
    ("an engine error", ["missing.csv", "actual.csv"], 2, "",
     "tessamer-check: INVALID_GOLDEN_DATASET: expectedPath must be a regular file\n"),
    ("an approval without its exclusion", ["expected.csv", "actual.csv", "--reason", "r"], 2, "",
     "--reason must follow the --exclude it approves"),
    ("an exclusion without its approval", ["expected.csv", "actual.csv", "--exclude", "date", "--reason", "r"], 2, "",
     "--exclude date needs --approved-by, --reference"),
    ("a column without its pair", ["expected.csv", "actual.csv", "--column", "id"], 2, "", "--column takes EXPECTED=ACTUAL"),
    ("no engine", ["expected.csv", "actual.csv", "--engine", "./nowhere"], 2, "", "./nowhere is not an executable"),
]


@pytest.mark.parametrize("name, args, status, stdout, stderr", STATUSES, ids=[case[0] for case in STATUSES])
def test_exit_status_and_output(work, name, args, status, stdout, stderr):
    write_csv(work / "expected.csv", [HEADER, *ROWS])
    write_csv(work / "same.csv", [HEADER, ROWS[0], ROWS[1][:3] + ["2025-01-01"]])
    write_csv(work / "actual.csv", [HEADER, ROWS[0], ["2", "Grace", "20.01", "2024-01-02"]])
    run = run_command(args, work)
    assert (run.returncode, run.stdout.startswith(stdout), stderr in run.stderr) == (status, True, True), run
    assert os.listdir(work / "tmp") == []
    if "--report" in args:
        assert (work / "out" / "r.jsonl").read_text().count("\n") == 1 and "<html" in (work / "page.html").read_text()


def test_the_request_written_for_the_options(work):
    engine = fake_engine(work, f'cp "$2" "{work}/seen.json"\ncat "{EXAMPLES}/identical/result.json"')
    run = run_command(["e.csv", "a.csv", "--engine", engine, "--key", "id", "--key", "date", "--column", "id=ID",
                       "--column", "d=day=of=year", "--exclude", "note=", *APPROVE, "--exclude", "=at", *APPROVE,
                       "--exclude", "x", *APPROVE, "--encoding", "latin1", "--delimiter", ";", "--quote", "'",
                       "--escape", "\\", "--report", "out/r.jsonl"], work)
    # The fake engine's result is another run's: the summary says so.
    assert run.returncode == 2 and "the request is not this run's" in run.stderr, run.stderr
    approval = {"reason": "set on import", "approvedBy": "data owner", "approvalReference": "TICKET-42"}
    assert json.loads((work / "seen.json").read_text()) == {
        "schemaVersion": 1, "expectedPath": "e.csv", "actualPath": "a.csv", "divergencePath": "out/r.jsonl",
        "encoding": "latin1", "delimiter": ";", "quoteChar": "'", "escapeChar": "\\", "hasHeader": True, "nullValue": "",
        "columns": [{"expected": "id", "actual": "ID"}, {"expected": "d", "actual": "day=of=year"}],
        "excludedColumns": [{"expected": "note", "actual": None, **approval}, {"expected": None, "actual": "at", **approval},
                            {"expected": "x", "actual": "x", **approval}],
        "exampleLimit": 10, "keyColumns": ["id", "date"]}


def test_python_module_help_and_json(work):
    basic = os.path.join(EXAMPLES, "basic")
    run = run_command(["expected.csv", "actual.csv", "--json"], basic, module=True)
    assert (run.returncode, json.loads(run.stdout)["byType"]["CELL"]) == (1, 1)
    assert run_command(["expected.csv"], basic, module=True).stderr.startswith("usage: python3 -m tessamer EXPECTED ")
    run = run_command(["--help"], work)
    for text in ("tessamer-check expected.csv actual.csv --key id", "3  CELL  amount  1906.12   1906.21",
                 "0 PASS or PASS_WITH_EXCLUSIONS, 1 FAIL, 2 trouble"):
        assert text in run.stdout, text


def test_junit_report(work):
    run = run_command(["expected.csv", "actual.csv", "--junit", str(work / "junit.xml")], os.path.join(EXAMPLES, "basic"))
    if "has no --junit option" in run.stderr:
        pytest.skip(f"{SUMMARY} writes no JUnit XML yet")
    assert run.returncode == 1, run.stderr
    assert xml.etree.ElementTree.parse(work / "junit.xml").getroot().tag in ("testsuites", "testsuite")


def test_keyed_check_of_the_installed_example(work, keyed):
    run = run_command(["expected.csv", "actual.csv", "--key", "id"], os.path.join(EXAMPLES, "basic"))
    assert (run.returncode, "1906.[21]" in run.stdout) == (1, True), run.stderr


class Verdict:
    def __init__(self, passed):
        self.passed = passed


# tessamer-summary exits 0/1/2 for PASS/FAIL/trouble; an older one 0/1 for a complete or an
# incomplete report, whatever the verdict. The command's status must be right with either.
@pytest.mark.parametrize("passed, summary_status, status",
                         [(True, 0, 0), (False, 0, 1), (False, 1, 1), (True, 1, 2), (True, 2, 2), (False, 2, 2), (False, -9, 2)])
def test_status_from_the_summary_and_the_verdict(passed, summary_status, status):
    assert _status(summary_status, Verdict(passed)) == status
