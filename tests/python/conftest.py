"""Fixtures of the Python module's tests: the built programs, scratch directories, CSV files.

The suite passes the programs in TESSAMER_TEST_ENGINE and TESSAMER_TEST_SUMMARY, and puts the
module's source directory on PYTHONPATH.
"""

import json
import os
import subprocess
import sys

import pytest

import tessamer

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLES = os.path.join(SOURCE_DIR, "examples")


def write_csv(path, rows, newline="\n"):
    """Writes rows (lists of fields, written as they are) as a CSV file; returns the path."""
    with open(path, "w", encoding="utf-8", newline="") as file:
        file.write("".join(",".join(row) + newline for row in rows))
    return str(path)


def fake_engine(directory, body):
    """A shell script standing in for the engine; $2 is the request path."""
    path = os.path.join(directory, "fake-engine")
    with open(path, "w") as file:
        file.write("#!/bin/sh\n" + body + "\n")
    os.chmod(path, 0o755)
    return path


@pytest.fixture(scope="session")
def engine():
    return os.environ["TESSAMER_TEST_ENGINE"]


@pytest.fixture(scope="session")
def summary():
    return os.environ["TESSAMER_TEST_SUMMARY"]


@pytest.fixture(scope="session")
def bindir(tmp_path_factory, engine, summary):
    """A directory holding tessamer and tessamer-summary, as an installation has them."""
    directory = tmp_path_factory.mktemp("bin")
    os.symlink(engine, directory / "tessamer")
    os.symlink(summary, directory / "tessamer-summary")
    return str(directory)


@pytest.fixture
def work(tmp_path, monkeypatch, bindir):
    """A scratch working directory, with the programs first on PATH and temporary files in it."""
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("PATH", bindir + os.pathsep + os.environ["PATH"])
    temporary = tmp_path / "tmp"
    temporary.mkdir()
    monkeypatch.setattr("tempfile.tempdir", str(temporary))
    return tmp_path


@pytest.fixture(scope="session")
def keyed(engine, tmp_path_factory):
    """Skips the test when the engine does not pair records by key yet."""
    directory = tmp_path_factory.mktemp("keyed-probe")
    data = write_csv(directory / "data.csv", [["id"], ["1"]])
    other = write_csv(directory / "other.csv", [["id"], ["2"]])
    try:
        tessamer.validate(data, other, key="id", engine=engine, report=str(directory / "report.jsonl"))
    except tessamer.EngineError as error:
        if "unknown field `keyColumns`" in error.message:
            pytest.skip("this engine does not pair records by key yet")
        raise


@pytest.fixture(scope="session")
def summary_options(summary):
    usage = subprocess.run([summary, "--help"], capture_output=True, text=True).stdout
    return {option for option in ("--junit", "--request") if option in usage}


def example_result(name):
    with open(os.path.join(EXAMPLES, name, "result.json"), encoding="utf-8") as file:
        return json.load(file)


def run_command(args, work_dir, *, module=False, env=None):
    """Runs tessamer-check (or python3 -m tessamer) from the source tree."""
    if module:
        command = [sys.executable, "-m", "tessamer", *args]
    else:
        command = [sys.executable, os.path.join(SOURCE_DIR, "python", "tessamer-check"), *args]
    return subprocess.run(command, cwd=work_dir, capture_output=True, text=True, env=env)
