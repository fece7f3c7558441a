#!/usr/bin/python3
"""Runs the engine on one directory of examples/ and compares what it prints and reports.

Usage: run_example.py <tessamer> <source dir> <example name> [--update]
       run_example.py <tessamer> <source dir> --readme

The example's request names its files relative to the repository root, as a person running it
from there would. The run happens in a scratch copy of examples/, so the source tree and other
runs are never written to. An example holds what the run must give:
  result.json        standard output (exit status 0), or
  error.json         standard error (exit status 2);
  divergences.jsonl  the report; when absent, the run must not create one.
durationMs and throughputBytesPerSecond change from run to run and are compared as 0.
--update rewrites those files from the run instead of comparing.
--readme runs the README's first JSON block, its sample request, as written: it must give a result.
"""

import json
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

VOLATILE = re.compile(rb'"(durationMs|throughputBytesPerSecond)":[0-9]+')


def without_timings(document: bytes) -> bytes:
    return VOLATILE.sub(rb'"\1":0', document)


def run_in_copy(engine, source, request_path, request_text=None):
    """Runs the engine from the root of a scratch copy of examples/; returns the run and its report."""
    with tempfile.TemporaryDirectory(prefix="tessamer-example-") as scratch:
        root = pathlib.Path(scratch)
        shutil.copytree(pathlib.Path(source) / "examples", root / "examples")
        if request_text is not None:
            (root / request_path).write_text(request_text, encoding="utf-8")
        request = json.loads((root / request_path).read_text(encoding="utf-8"))
        run = subprocess.run([engine, "--request", request_path], cwd=root, capture_output=True)
        report = root / request["divergencePath"] if isinstance(request, dict) else root / request[3]
        return run, report.read_bytes() if report.exists() else None


def check_readme(engine, source):
    readme = (pathlib.Path(source) / "README.md").read_text(encoding="utf-8")
    sample = re.search(r"^```json\n(.*?)^```$", readme, re.MULTILINE | re.DOTALL)
    if sample is None:
        print("README.md has no JSON block", file=sys.stderr)
        return 1
    run, _ = run_in_copy(engine, source, "request.json", sample.group(1))
    if run.returncode != 0 or run.stderr or not run.stdout.endswith(b"\n"):
        print(f"the README's sample request fails: exit {run.returncode}\n{run.stderr.decode()}", file=sys.stderr)
        return 1
    return 0


def main() -> int:
    if len(sys.argv) == 4 and sys.argv[3] == "--readme":
        return check_readme(str(pathlib.Path(sys.argv[1]).resolve()), sys.argv[2])
    if len(sys.argv) not in (4, 5) or (len(sys.argv) == 5 and sys.argv[4] != "--update"):
        print(__doc__, file=sys.stderr)
        return 2
    engine, source, name = str(pathlib.Path(sys.argv[1]).resolve()), sys.argv[2], sys.argv[3]
    update = len(sys.argv) == 5
    example = pathlib.Path(source) / "examples" / name
    run, report = run_in_copy(engine, source, f"examples/{name}/request.json")
    if run.returncode not in (0, 2) or (run.returncode == 0 and run.stderr) or (run.returncode == 2 and run.stdout):
        print(f"unexpected run: exit {run.returncode}\nstdout: {run.stdout!r}\nstderr: {run.stderr!r}", file=sys.stderr)
        return 1
    got = {
        "result.json": without_timings(run.stdout) if run.returncode == 0 else None,
        "error.json": run.stderr if run.returncode == 2 else None,
        "divergences.jsonl": report,
    }

    if update:
        for file, content in got.items():
            (example / file).unlink(missing_ok=True)
            if content is not None:
                (example / file).write_bytes(content)
        return 0

    failures = 0
    for file, content in got.items():
        path = example / file
        want = path.read_bytes() if path.exists() else None
        if content != want:
            failures += 1
            print(f"{name}/{file}:\n  expected: {want!r}\n  actual:   {content!r}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
