#!/usr/bin/python3
"""Holds the documents tessamer reads and writes to the JSON Schemas in schemas/.

Usage:
  check_documents.py [--standalone <schemas dir>] <source dir> examples
      every request, result, error and report line under examples/
  check_documents.py <source dir> sample <test program>...
      runs the end-to-end test programs with TESSAMER_DOCUMENT_SAMPLE set, so that they keep a
      copy of what the engine printed and reported, and checks those documents
  check_documents.py <source dir> broken
      documents with one deliberate fault each must fail, the sound ones they derive from pass

Every result, error and report line must also be written exactly as the engine's compact text:
one line, no spaces, keys in byte order, non-ASCII unescaped.

With --standalone, the schemas are those of <schemas dir> (the installed ones), each used on its
own as `jsonschema.validate(document, schema)` uses it: no registry of its siblings, and no
network (any connection attempt fails the check).
"""

import copy
import json
import os
import pathlib
import socket
import subprocess
import sys
import tempfile

import jsonschema

KINDS = ("request", "result", "error", "divergence")


def load_validators(source):
    schemas = {}
    for kind in KINDS:
        schema = json.loads((source / "schemas" / f"{kind}.schema.json").read_text(encoding="utf-8"))
        jsonschema.Draft202012Validator.check_schema(schema)
        schemas[kind] = schema
    store = {schema["$id"]: schema for schema in schemas.values()}
    return {
        kind: jsonschema.Draft202012Validator(schema, resolver=jsonschema.RefResolver.from_schema(schema, store=store))
        for kind, schema in schemas.items()
    }


def no_network(*args, **kwargs):
    raise OSError("a standalone schema must not reach for the network")


def load_standalone_validators(directory):
    """The validators that jsonschema.validate(document, schema) makes, from each schema alone."""
    socket.getaddrinfo = no_network
    socket.socket.connect = no_network
    validators = {}
    for kind in KINDS:
        schema = json.loads((directory / f"{kind}.schema.json").read_text(encoding="utf-8"))
        cls = jsonschema.validators.validator_for(schema)
        cls.check_schema(schema)
        validators[kind] = cls(schema)
    return validators


def compact(document):
    return json.dumps(document, sort_keys=True, separators=(",", ":"), ensure_ascii=False) + "\n"


class Checker:
    def __init__(self, source, standalone=None):
        self.validators = load_validators(source) if standalone is None else load_standalone_validators(standalone)
        self.standalone = standalone
        self.failures = []
        self.counts = dict.fromkeys(KINDS, 0)

    def fail(self, where, message):
        self.failures.append(f"{where}: {message}")

    def check(self, kind, document, where):
        self.counts[kind] += 1
        try:
            error = jsonschema.exceptions.best_match(self.validators[kind].iter_errors(document))
        except jsonschema.exceptions.RefResolutionError as unresolved:
            self.fail(where, f"a reference of the {kind} schema does not resolve: {unresolved}")
            return
        if error is not None:
            self.fail(where, f"not a valid {kind}: {error.message} at {list(error.absolute_path)}")

    def check_text(self, kind, text, where):
        """One document written by the engine: `text` is its whole output, one line."""
        try:
            document = json.loads(text)
        except ValueError as error:
            self.fail(where, f"not JSON: {error}")
            return
        if text != compact(document):
            self.fail(where, f"not written as compact text: {text!r}")
        self.check(kind, document, where)

    def check_file(self, kind, path):
        data = path.read_bytes().decode("utf-8")
        if kind == "request":
            self.check(kind, json.loads(data), str(path))
        elif kind == "divergence":
            if data and not data.endswith("\n"):
                self.fail(str(path), "last line does not end with a newline")
            for number, line in enumerate(data.splitlines(keepends=True), 1):
                self.check_text(kind, line, f"{path}:{number}")
        else:
            self.check_text(kind, data, str(path))

    def report(self):
        for failure in self.failures:
            print(failure, file=sys.stderr)
        print("checked: " + ", ".join(f"{count} {kind}" for kind, count in self.counts.items()))
        return 1 if self.failures else 0


def check_examples(checker, source):
    for example in sorted((source / "examples").iterdir()):
        for name, kind in (("request.json", "request"), ("result.json", "result"), ("error.json", "error"),
                           ("divergences.jsonl", "divergence")):
            if (example / name).exists():
                checker.check_file(kind, example / name)


def check_sample(checker, programs):
    with tempfile.TemporaryDirectory(prefix="tessamer-sample-") as sample:
        for program in programs:
            run = subprocess.run([program], env=dict(os.environ, TESSAMER_DOCUMENT_SAMPLE=sample),
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            if run.returncode != 0:
                checker.fail(program, "failed:\n" + run.stdout.decode(errors="replace")[-4000:])
        for directory, kind in (("request", "request"), ("result", "result"), ("error", "error"),
                                ("report", "divergence")):
            files = sorted((pathlib.Path(sample) / directory).glob("*"))
            if not files:
                checker.fail(directory, "the end-to-end tests left no document of this kind")
            for path in files:
                checker.check_file(kind, path)


def request_as_array(request):
    keys = ("schemaVersion", "expectedPath", "actualPath", "divergencePath", "encoding", "delimiter", "quoteChar",
            "escapeChar", "hasHeader", "nullValue", "expectedColumns", "actualColumns", "columns", "excludedColumns",
            "exampleLimit")
    defaults = {"escapeChar": None, "expectedColumns": [], "actualColumns": [], "columns": [], "excludedColumns": []}
    return [request.get(key, defaults.get(key)) for key in keys]


def mutated(document, change):
    document = copy.deepcopy(document)
    change(document)
    return document


def check_broken(checker, source):
    examples = source / "examples"
    request = json.loads((examples / "approved-exclusion" / "request.json").read_text(encoding="utf-8"))
    headerless = json.loads((examples / "headerless" / "request.json").read_text(encoding="utf-8"))
    streaming = json.loads((examples / "headerless" / "result.json").read_text(encoding="utf-8"))
    identical = json.loads((examples / "identical" / "result.json").read_text(encoding="utf-8"))
    error = json.loads((examples / "error-renamed-column" / "error.json").read_text(encoding="utf-8"))
    row_width, cell, additional = (json.loads(line) for line in (examples / "headerless" / "divergences.jsonl").open())
    missing = json.loads((examples / "windows-1252" / "divergences.jsonl").read_text(encoding="utf-8").splitlines()[1])
    exclusion = request["excludedColumns"][0]

    def set_(key, value):
        return lambda document: document.__setitem__(key, value)

    def drop(key):
        return lambda document: document.pop(key)

    sound = [
        ("request", "object form", request),
        ("request", "positional form", request_as_array(request)),
        ("request", "positional entries", mutated(request, set_("excludedColumns", [list(exclusion.values())]))),
        ("request", "without a header", headerless),
        ("result", "streaming", streaming),
        ("result", "byte-identical", identical),
        ("error", "error", error),
        ("divergence", "CELL", cell),
        ("divergence", "ROW_WIDTH", row_width),
        ("divergence", "ADDITIONAL_ROW", additional),
        ("divergence", "MISSING_ROW", missing),
    ]
    broken = [
        ("request", "required key missing", mutated(request, drop("exampleLimit"))),
        ("request", "unknown key", mutated(request, set_("examplelimit", 10))),
        ("request", "schemaVersion 2", mutated(request, set_("schemaVersion", 2))),
        ("request", "hasHeader as a string", mutated(request, set_("hasHeader", "true"))),
        ("request", "two-character delimiter", mutated(request, set_("delimiter", ";;"))),
        ("request", "newline quoteChar", mutated(request, set_("quoteChar", "\n"))),
        ("request", "exampleLimit above 100", mutated(request, set_("exampleLimit", 101))),
        ("request", "nullValue with a line break", mutated(request, set_("nullValue", "NULL\r"))),
        ("request", "no names without a header", mutated(headerless, drop("actualColumns"))),
        ("request", "empty name without a header", mutated(headerless, set_("expectedColumns", ["sensor", ""]))),
        ("request", "exclusion naming no column",
         mutated(request, set_("excludedColumns", [dict(exclusion, expected=None, actual=None)]))),
        ("request", "exclusion with a blank reason", mutated(request, set_("excludedColumns", [dict(exclusion, reason=" ")]))),
        ("request", "mapping with a third key",
         mutated(request, set_("columns", [{"expected": "sku", "actual": "sku", "note": ""}]))),
        ("request", "positional form too short", request_as_array(request)[:14]),
        ("result", "member missing", mutated(streaming, drop("rows"))),
        ("result", "extra member", mutated(streaming, set_("warnings", []))),
        ("result", "unknown status", mutated(streaming, set_("status", "PASSED"))),
        ("result", "unknown comparisonMode", mutated(streaming, set_("comparisonMode", "quor-fast"))),
        ("result", "FAIL without divergences", mutated(identical, set_("comparisonMode", "quor-csv-stream")) | {
            "cellsCompared": 0, "status": "FAIL", "rows": {"actual": 0, "additional": 0, "compared": 0, "expected": 0, "missing": 0}}),
        ("result", "streaming with null rows", mutated(streaming, set_("rows", identical["rows"]))),
        ("result", "byte-identical with divergences", mutated(identical, set_("divergences", 1))),
        ("result", "digest in capitals", mutated(streaming, set_("actualSha256", streaming["actualSha256"].upper()))),
        ("result", "example of an unknown type",
         mutated(streaming, set_("divergenceExamples", [dict(cell, type="VALUE")]))),
        ("error", "unknown code", mutated(error, set_("code", "INVALID_REQUEST"))),
        ("error", "extra member", mutated(error, set_("detail", ""))),
        ("error", "message missing", mutated(error, drop("message"))),
        ("divergence", "unknown type", mutated(cell, set_("type", "VALUE"))),
        ("divergence", "record 0", mutated(cell, set_("record", 0))),
        ("divergence", "CELL with both sides absent", mutated(cell, set_("expected", None))),
        ("divergence", "CELL without its column", mutated(cell, drop("column"))),
        ("divergence", "ROW_WIDTH with a negative count", mutated(row_width, set_("actualValues", -1))),
        ("divergence", "MISSING_ROW with the actual side", mutated(missing, set_("actual", ["x"]))),
    ]
    for kind, name, document in sound:
        checker.check(kind, document, f"sound {kind} ({name})")
        if checker.standalone is not None:
            schema = json.loads((checker.standalone / f"{kind}.schema.json").read_text(encoding="utf-8"))
            try:
                jsonschema.validate(document, schema)
            except (jsonschema.ValidationError, jsonschema.exceptions.RefResolutionError) as error:
                checker.fail(f"sound {kind} ({name})", f"jsonschema.validate: {error}")
    for kind, name, document in broken:
        try:
            valid = checker.validators[kind].is_valid(document)
        except jsonschema.exceptions.RefResolutionError as unresolved:
            checker.fail(f"broken {kind} ({name})", f"a reference does not resolve: {unresolved}")
            continue
        if valid:
            checker.fail(f"broken {kind} ({name})", "passed validation")


def main():
    args = sys.argv[1:]
    standalone = None
    if args[:1] == ["--standalone"] and len(args) > 1:
        standalone = pathlib.Path(args[1])
        args = args[2:]
    if len(args) < 2 or args[1] not in ("examples", "sample", "broken") or (args[1] == "sample") != (len(args) > 2):
        print(__doc__, file=sys.stderr)
        return 2
    source = pathlib.Path(args[0])
    checker = Checker(source, standalone)
    if args[1] == "examples":
        check_examples(checker, source)
    elif args[1] == "sample":
        check_sample(checker, args[2:])
    else:
        check_broken(checker, source)
    return checker.report()


if __name__ == "__main__":
    sys.exit(main())
