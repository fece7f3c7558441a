"""Fixtures of the Python module's tests. The suite passes the built programs in
TESSAMER_TEST_ENGINE and TESSAMER_TEST_SUMMARY and puts python/ on PYTHONPATH."""

import os
import subprocess
import sys

import pytest

import tessamer

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLES = os.path.join(SOURCE_DIR, "examples")
ENGINE, SUMMARY = os.environ["TESSAMER_TEST_ENGINE"], os.environ["TESSAMER_TEST_SUMMARY"]


def write_csv(path, rows):
    path.write_text("".join(",".join(row) + "\n" for row in rows), encoding="utf-8")
    return str(path)


def fake_engine(directory, body):
    """A shell script standing in for the engine; $2 is the request path."""
    path = os.path.join(directory, "fake-engine")
    with open(path, "w") as file:
        file.write("#!/bin/sh\n" + body + "\n")
    os.chmod(path, 0o755)
    return path


@pytest.fixture
def work(tmp_path, tmp_path_factory, monkeypatch):
    """A scratch working directory, with both programs first on PATH and temporary files in tmp/."""
    bindir = tmp_path_factory.mktemp("bin")
    os.symlink(ENGINE, bindir / "tessamer")
    os.symlink(SUMMARY, bindir / "tessamer-summary")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("PATH", f"{bindir}{os.pathsep}{os.environ['PATH']}")
    (tmp_path / "tmp").mkdir()
    monkeypatch.setattr("tempfile.tempdir", str(tmp_path / "tmp"))
    return tmp_path


@pytest.fixture
def keyed(work):
    """Skips the test when the engine does not pair records by key yet."""
    data = write_csv(work / "probe.csv", [["id"], ["1"]])
    try:
        tessamer.validate(data, data, key="id", engine=ENGINE)
    except tessamer.EngineError as error:
        if "unknown field `keyColumns`" in error.message:
            pytest.skip("this engine does not pair records by key yet")
        raise


def run_command(args, cwd, module=False):
    """Runs tessamer-check (or python3 -m tessamer) from the source tree."""
    program = ["-m", "tessamer"] if module else [os.path.join(SOURCE_DIR, "python", "tessamer-check")]
    return subprocess.run([sys.executable, *program, *args], cwd=cwd, capture_output=True, text=True)
