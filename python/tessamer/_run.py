"""Runs the engine on a request and turns its outcome into a result or an exception."""

import json
import os
import shutil
import signal
import subprocess
import tempfile

from ._errors import EngineError, RunError
from ._request import build_request
from ._result import Result, _Scratch


def find_program(given, name):
    """The program to run: ``given`` (a path, or a name looked up on PATH), else ``name`` on PATH."""
    wanted = name if given is None else os.fspath(given)
    if os.sep in wanted:
        if not os.access(wanted, os.X_OK) or os.path.isdir(wanted):
            raise RunError(f"{wanted} is not an executable program")
        return wanted
    found = shutil.which(wanted)
    if found is None:
        raise RunError(f"cannot find {wanted} on PATH")
    return found


def write_request(request, path):
    with open(path, "w", encoding="utf-8") as file:
        json.dump(request, file, ensure_ascii=False, indent=2)
        file.write("\n")


def run_engine(program, request_path):
    """Runs ``program --request request_path``; returns the result document's text, or raises
    EngineError (exit status 2 with an error document) or RunError (anything else)."""
    try:
        run = subprocess.run([program, "--request", os.fspath(request_path)], stdin=subprocess.DEVNULL,
                             capture_output=True)
    except OSError as error:
        raise RunError(f"cannot start {program}: {error.strerror}") from None
    if run.returncode == 0:
        return run.stdout.decode("utf-8", errors="replace")
    stderr = run.stderr.decode("utf-8", errors="replace")
    if run.returncode == 2:
        try:
            document = json.loads(stderr)
            code, message = document["code"], document["message"]
        except (ValueError, KeyError, TypeError):
            raise RunError(f"{program} exited with status 2 without an error document: {stderr.strip()!r}") from None
        raise EngineError(code, message)
    if run.returncode < 0:
        raise RunError(f"{program} was killed by {signal.Signals(-run.returncode).name}")
    raise RunError(f"{program} exited with status {run.returncode}, which is no verdict: {stderr.strip()!r}")


def validate(expected, actual, *, key=None, columns=None, exclude=None, encoding="utf-8", delimiter=",", quote='"',
             escape=None, header=True, report=None, example_limit=10, engine=None, **options):
    """Validates the CSV file ``actual`` against the golden file ``expected`` with the engine.

    Arguments (paths are used as given, relative to the working directory):

    - ``key``: a column name or a list of them: records are paired by the values of these
      expected columns instead of by position (``keyColumns``);
    - ``columns``: which columns to compare, in order: a mapping ``{expected: actual}``, or a
      list of names (the same in both files) and ``(expected, actual)`` pairs; by default
      every column, paired by name;
    - ``exclude``: an :class:`Exclusion`, a mapping with its keywords, or a list of them;
    - ``encoding`` (any WHATWG Encoding Standard label), ``delimiter``, ``quote``, ``escape``
      (None for none): the CSV dialect, each one character;
    - ``header``: False when the files have no header line; then give ``expected_columns``
      and ``actual_columns``;
    - ``report``: where the divergence report goes; by default a temporary file that the
      result owns (see :class:`Result`);
    - ``example_limit``: how many divergences the result repeats as examples, 0 to 100;
    - ``engine``: the engine program, by default ``tessamer`` on PATH;
    - further request members by keyword: ``null_value``, ``expected_columns``,
      ``actual_columns``, ``key_order`` ("ANY" or "SORTED"), ``duplicate_keys`` ("REJECT" or
      "PAIR_BY_OCCURRENCE"), ``sort_memory_bytes``, ``sort_directory``.

    Returns a :class:`Result` whatever the verdict; raises :class:`EngineError` when the engine
    refuses the run, :class:`RunError` when it gives no verdict, and TypeError or ValueError for
    arguments that cannot make a request.
    """
    program = find_program(engine, "tessamer")
    scratch = tempfile.mkdtemp(prefix="tessamer-")
    try:
        report_path = os.path.join(scratch, "divergences.jsonl") if report is None else report
        request = build_request(expected, actual, report=report_path, key=key, columns=columns, exclude=exclude,
                                encoding=encoding, delimiter=delimiter, quote=quote, escape=escape, header=header,
                                example_limit=example_limit, **options)
        request_path = os.path.join(scratch, "request.json")
        write_request(request, request_path)
        text = run_engine(program, request_path)
        os.unlink(request_path)
        owner = _Scratch(scratch) if report is None else None
        try:
            result = Result._from_document(json.loads(text), text, request["divergencePath"], owner)
        except (ValueError, KeyError, TypeError, AttributeError) as error:
            raise RunError(f"{program} printed no result document: {error}: {text[:200]!r}") from None
    except BaseException:
        shutil.rmtree(scratch, ignore_errors=True)
        raise
    if result._scratch is None:
        shutil.rmtree(scratch, ignore_errors=True)
    return result
