"""The people's view of a run, from tessamer-summary, for messages that a person reads."""

import os
import subprocess

from ._errors import RunError
from ._run import find_program


def find_summary(given=None, engine=None):
    """tessamer-summary: ``given``, else the one beside the engine in use, else the one on PATH."""
    if given is None and engine is not None:
        beside = os.path.join(os.path.dirname(engine), "tessamer-summary")
        if os.access(beside, os.X_OK):
            return beside
    return find_program(given, "tessamer-summary")


def summary_text(result, *, examples=10, summary=None, engine=None):
    """The terminal summary of ``result`` and its report, without colour; a short text made
    from the result alone when tessamer-summary cannot be found or run."""
    try:
        program = find_summary(summary, engine)
        run = subprocess.run([program, "--result", "-", "--report", result.report_path or os.devnull,
                              "--examples", str(examples)],
                             input=result.to_json().encode("utf-8") + b"\n", capture_output=True,
                             env=dict(os.environ, NO_COLOR="1"))
    except (RunError, OSError) as error:
        return _short_text(result, f"(no tessamer-summary: {error})")
    text = run.stdout.decode("utf-8", errors="replace")
    if not text.strip():
        return _short_text(result, "(tessamer-summary failed: " + run.stderr.decode("utf-8", errors="replace").strip() + ")")
    return text.rstrip("\n")


def _short_text(result, note):
    rows = result.rows
    count = result.divergence_count
    lines = [f"{result.status}  {count} divergence{'' if count == 1 else 's'}", note,
             f"rows  expected {rows.expected}  actual {rows.actual}  compared {rows.compared}  "
             f"missing {rows.missing}  additional {rows.additional}"]
    for example in result.examples:
        detail = f"{example.column}: {example.expected!r} != {example.actual!r}" if example.type == "CELL" else ""
        lines.append(f"  record {example.record}  {example.type}  {detail}".rstrip())
    return "\n".join(lines)
