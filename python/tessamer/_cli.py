"""tessamer-check (python3 -m tessamer): compare two CSV files from the command line."""

import argparse
import os
import subprocess
import sys
import tempfile

from ._errors import EngineError, RunError
from ._request import Exclusion, build_request
from ._result import Result
from ._run import find_program, run_engine, write_request
from ._summary import find_summary

EXAMPLE = """\
example, on the examples installed with tessamer:
  cd /usr/share/doc/tessamer/examples/basic
  tessamer-check expected.csv actual.csv --key id \\
      --exclude date --reason "set on import" --approved-by "data owner" --reference TICKET-42 \\
      --junit /tmp/tessamer.xml

  pairs the records of both files by their id column, compares every column but date (left
  out on both sides, with its approval), prints the summary, ending in

    first 1 of 1 divergence
      record  type  column  expected  actual
           3  CELL  amount  1906.12   1906.21

  writes a JUnit report for the CI job, and exits 1 (FAIL). Without --key, records pair by
  position: the k-th record of one file with the k-th of the other.

columns:
  --column E=A compares expected column E with actual column A (repeat it for each column, in
  the order of comparison); --exclude COL leaves COL out on both sides, --exclude E= on the
  expected side only, --exclude =A on the actual side only. Each --exclude needs its own
  --reason, --approved-by and --reference.

exit status:
  0 PASS or PASS_WITH_EXCLUSIONS, 1 FAIL, 2 trouble: bad arguments, an error from the engine
  (printed as CODE: message), or a report that is not the whole report of the run.
"""


USAGE = """%(prog)s EXPECTED ACTUAL [--key COL ...] [--column E=A ...]
           [--exclude COL --reason R --approved-by P --reference T ...]
           [--encoding E] [--delimiter D] [--quote Q] [--escape C]
           [--report P] [--html P] [--junit P] [--json] [--examples N]
           [--engine PATH] [--summary PATH]"""


class _Exclude(argparse.Action):
    """--exclude starts an exclusion; --reason, --approved-by and --reference complete the last one."""

    def __call__(self, parser, namespace, value, option):
        exclusions = getattr(namespace, "exclusions", None) or []
        if self.dest == "exclude":
            expected, sep, actual = value.partition("=")
            names = {"column": value} if not sep else {"expected": expected or None, "actual": actual or None}
            exclusions.append({"names": names, "option": value})
        elif not exclusions:
            parser.error(f"{option} must follow the --exclude it approves")
        elif self.dest in exclusions[-1]:
            parser.error(f"{option} given twice for --exclude {exclusions[-1]['option']}")
        else:
            exclusions[-1][self.dest] = value
        namespace.exclusions = exclusions


def _parser(prog):
    parser = argparse.ArgumentParser(
        prog=prog, formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EXAMPLE, usage=USAGE,
        description="Validates the CSV file ACTUAL against the golden file EXPECTED with the tessamer engine,\n"
                    "prints the summary of the run, and exits 0 on PASS, 1 on FAIL and 2 on trouble.")
    parser.add_argument("expected", metavar="EXPECTED", help="the expected (golden) CSV file")
    parser.add_argument("actual", metavar="ACTUAL", help="the actual CSV file")
    parser.add_argument("--key", metavar="COL", action="append", help="pair records by this expected column (repeatable)")
    parser.add_argument("--column", metavar="E=A", action="append", help="compare expected column E with actual column A")
    parser.add_argument("--exclude", metavar="COL", action=_Exclude, help="leave a column out (see columns below)")
    parser.add_argument("--reason", metavar="R", action=_Exclude, help="why the excluded column is left out")
    parser.add_argument("--approved-by", metavar="P", dest="approved_by", action=_Exclude, help="who approved it")
    parser.add_argument("--reference", metavar="T", action=_Exclude, help="the approval's ticket or reference")
    parser.add_argument("--encoding", metavar="E", default="utf-8", help="encoding label of both files (default utf-8)")
    parser.add_argument("--delimiter", metavar="D", default=",", help="field delimiter (default ,)")
    parser.add_argument("--quote", metavar="Q", default='"', help='quote character (default ")')
    parser.add_argument("--escape", metavar="C", help="escape character (default none)")
    parser.add_argument("--report", metavar="P", help="keep the divergence report at P (default: a temporary file)")
    parser.add_argument("--html", metavar="P", help="also write the summary as an HTML page")
    parser.add_argument("--junit", metavar="P", help="also write the summary as JUnit XML")
    parser.add_argument("--json", action="store_true", help="print the summary as JSON instead of text")
    parser.add_argument("--examples", metavar="N", type=int, default=10, help="divergences to show (default 10)")
    parser.add_argument("--engine", metavar="PATH", help="the tessamer engine (default: tessamer on PATH)")
    parser.add_argument("--summary", metavar="PATH", help="tessamer-summary (default: beside the engine, or on PATH)")
    return parser


def _arguments(parser, argv):
    args = parser.parse_args(argv)
    columns = []
    for column in args.column or []:
        expected, sep, actual = column.partition("=")
        if not sep or not expected or not actual:
            parser.error(f"--column takes EXPECTED=ACTUAL, not '{column}'")
        columns.append((expected, actual))
    args.columns = columns or None
    args.excluded = []
    for entry in getattr(args, "exclusions", None) or []:
        missing = [option for option, dest in (("--reason", "reason"), ("--approved-by", "approved_by"),
                                               ("--reference", "reference")) if dest not in entry]
        if missing:
            parser.error(f"--exclude {entry['option']} needs {', '.join(missing)}")
        args.excluded.append(Exclusion(**entry["names"], reason=entry["reason"], approved_by=entry["approved_by"],
                                       reference=entry["reference"]))
    return args


def _summary_options(summary):
    """The options this tessamer-summary knows beyond the first ones, from its usage text."""
    run = subprocess.run([summary, "--help"], capture_output=True)
    usage = run.stdout.decode("utf-8", errors="replace")
    return {option for option in ("--junit", "--request") if option in usage}


def _status(summary_status, result):
    """The command's exit status from the summary's and the verdict.

    tessamer-summary exits 0 on PASS, 1 on FAIL and 2 on trouble; an older one exits 0 for a
    complete report and 1 for an incomplete one, whatever the verdict. Taken together: 2 for
    trouble, 1 for any FAIL, and a 1 after a passing run can only be an incomplete report.
    """
    if summary_status not in (0, 1):
        return 2
    if not result.passed:
        return 1
    return 0 if summary_status == 0 else 2


def main(argv=None, prog="tessamer-check"):
    """Runs the command on ``argv`` (default: sys.argv[1:]); returns the exit status."""
    parser = _parser(prog)
    args = _arguments(parser, argv)

    def trouble(message):
        print(f"{prog}: {message}", file=sys.stderr)
        return 2

    try:
        engine = find_program(args.engine, "tessamer")
        summary = find_summary(args.summary, engine)
        known = _summary_options(summary)
        if args.junit is not None and "--junit" not in known:
            return trouble(f"{summary} cannot write JUnit XML: it has no --junit option")
        with tempfile.TemporaryDirectory(prefix="tessamer-check-") as scratch:
            report = args.report if args.report is not None else os.path.join(scratch, "divergences.jsonl")
            request = build_request(args.expected, args.actual, report=report, key=args.key, columns=args.columns,
                                    exclude=args.excluded or None, encoding=args.encoding, delimiter=args.delimiter,
                                    quote=args.quote, escape=args.escape)
            request_path = os.path.join(scratch, "request.json")
            write_request(request, request_path)
            text = run_engine(engine, request_path)
            result = Result.from_json(text, report)
            command = [summary, "--result", "-", "--report", report, "--examples", str(args.examples)]
            if "--request" in known:
                command += ["--request", request_path]
            for option, value in (("--html", args.html), ("--junit", args.junit)):
                if value is not None:
                    command += [option, value]
            if args.json:
                command.append("--json")
            sys.stdout.flush()
            run = subprocess.run(command, input=text.encode("utf-8"))
    except EngineError as error:
        return trouble(f"{error.code}: {error.message}")
    except (RunError, OSError, ValueError, TypeError) as error:
        return trouble(str(error))
    return _status(run.returncode, result)
