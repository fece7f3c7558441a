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


# A keyed run's result and report lines: an insertion, a changed cell and a deletion, paired by key.
KEYED_RESULT = json.loads(
    '{"actualBytes":30,"actualSha256":"0f2aba42cc8afb385e296e8139921d6976d984158f94c85c45176f81f339c943",'
    '"cellsCompared":6,"columnPairs":[{"actual":"id","actualIndex":0,"expected":"id","expectedIndex":0},'
    '{"actual":"v","actualIndex":1,"expected":"v","expectedIndex":1}],"columnsCompared":2,'
    '"comparisonMode":"quor-csv-stream","divergenceExamples":['
    '{"actual":["k15","15"],"actualRecord":2,"expectedRecord":null,"key":["k15"],"record":2,"type":"ADDITIONAL_ROW"},'
    '{"actual":"31","actualColumn":"v","actualIndex":1,"actualRecord":4,"column":"v","expected":"30",'
    '"expectedColumn":"v","expectedIndex":1,"expectedRecord":3,"key":["k3"],"record":3,"type":"CELL"},'
    '{"actualRecord":null,"expected":["k4","40"],"expectedRecord":4,"key":["k4"],"record":4,"type":"MISSING_ROW"}],'
    '"divergences":3,"durationMs":0,"engine":{"name":"tessamer","target":"x86_64-unknown-linux-gnu","version":"0.1.0"},'
    '"excludedCells":0,"expectedBytes":29,'
    '"expectedSha256":"58f320ecd335ec1f4645b5990b8536f36f6753cef4aeaa6f9764fba0c3d63007",'
    '"headers":{"actual":["id","v"],"expected":["id","v"]},"keyPairing":{"actualSorted":true,"duplicateKeys":"REJECT",'
    '"expectedSorted":true,"keyColumns":[{"actual":"id","actualIndex":0,"expected":"id","expectedIndex":0}],'
    '"keyOrder":"SORTED","repeatedKeyRecords":{"actual":0,"expected":0},"sortMemoryBytes":null},'
    '"rows":{"actual":4,"additional":1,"compared":3,"expected":4,"missing":1},"status":"FAIL",'
    '"throughputBytesPerSecond":0}')
KEYED_ROW_WIDTH = {"actualColumns": 2, "actualRecord": 2, "actualValues": 1, "expectedColumns": 2, "expectedRecord": 1,
                   "expectedValues": 1, "key": [None], "record": 1, "type": "ROW_WIDTH"}


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
    keyed = dict(request, keyColumns=["sku"])
    keyed_array = request_as_array(request) + [["sku"], "ANY", "REJECT", 1048576, "."]
    keyed_additional, keyed_cell, keyed_missing = KEYED_RESULT["divergenceExamples"]
    keyed_identical = dict(identical, keyPairing={
        "actualSorted": None, "duplicateKeys": "REJECT", "expectedSorted": None,
        "keyColumns": [{"actual": "id", "actualIndex": 0, "expected": "id", "expectedIndex": 0}], "keyOrder": "SORTED",
        "repeatedKeyRecords": {"actual": None, "expected": None}, "sortMemoryBytes": None})
    keyed_any = mutated(KEYED_RESULT, lambda d: d["keyPairing"].update(keyOrder="ANY", sortMemoryBytes=67108864,
                                                                       actualSorted=False))
    occurrence = mutated(KEYED_RESULT, lambda d: d["keyPairing"].update(
        duplicateKeys="PAIR_BY_OCCURRENCE", repeatedKeyRecords={"actual": 1, "expected": 2}))

    def pairing(**members):
        return lambda document: document["keyPairing"].update(members)

    def set_(key, value):
        return lambda document: document.__setitem__(key, value)

    def drop(key):
        return lambda document: document.pop(key)

    sound = [
        ("request", "object form", request),
        ("request", "positional form", request_as_array(request)),
        ("request", "positional entries", mutated(request, set_("excludedColumns", [list(exclusion.values())]))),
        ("request", "without a header", headerless),
        ("request", "keyed", keyed),
        ("request", "keyed with every member", dict(keyed, keyOrder="ANY", duplicateKeys="PAIR_BY_OCCURRENCE",
                                                    sortMemoryBytes=4294967296, sortDirectory="tmp")),
        ("request", "keyed and sorted", dict(keyed, keyOrder="SORTED", duplicateKeys="REJECT")),
        ("request", "keyed positional form", keyed_array),
        ("request", "keyed positional form, 16 values", keyed_array[:16]),
        ("request", "keyed positional form, sorted", keyed_array[:15] + [["sku"], "SORTED", "REJECT"]),
        ("result", "keyed streaming", KEYED_RESULT),
        ("result", "keyed streaming, sorted by the engine", keyed_any),
        ("result", "keyed streaming, pairs by occurrence", occurrence),
        ("result", "keyed byte-identical", keyed_identical),
        ("divergence", "keyed CELL", keyed_cell),
        ("divergence", "keyed ROW_WIDTH, absent key field", KEYED_ROW_WIDTH),
        ("divergence", "keyed ADDITIONAL_ROW", keyed_additional),
        ("divergence", "keyed MISSING_ROW", keyed_missing),
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
        ("request", "keyOrder without keyColumns", mutated(request, set_("keyOrder", "ANY"))),
        ("request", "sortDirectory without keyColumns", mutated(request, set_("sortDirectory", "."))),
        ("request", "empty keyColumns", mutated(keyed, set_("keyColumns", []))),
        ("request", "keyColumns with a repeat", mutated(keyed, set_("keyColumns", ["sku", "sku"]))),
        ("request", "keyColumns null", mutated(keyed, set_("keyColumns", None))),
        ("request", "keyOrder in lower case", mutated(keyed, set_("keyOrder", "sorted"))),
        ("request", "unknown duplicateKeys", mutated(keyed, set_("duplicateKeys", "FIRST"))),
        ("request", "sortMemoryBytes below the range", mutated(keyed, set_("sortMemoryBytes", 1048575))),
        ("request", "sortMemoryBytes above the range", mutated(keyed, set_("sortMemoryBytes", 4294967297))),
        ("request", "sortDirectory under SORTED", dict(keyed, keyOrder="SORTED", sortDirectory=".")),
        ("request", "sortMemoryBytes under SORTED", dict(keyed, keyOrder="SORTED", sortMemoryBytes=67108864)),
        ("request", "positional form too long", keyed_array + [1]),
        ("request", "positional sortMemoryBytes under SORTED", keyed_array[:15] + [["sku"], "SORTED", "REJECT", 1048576]),
        ("request", "positional key member null", keyed_array[:15] + [["sku"], None]),
        ("result", "keyPairing member missing", mutated(KEYED_RESULT, lambda d: d["keyPairing"].pop("keyOrder"))),
        ("result", "keyPairing extra member", mutated(KEYED_RESULT, pairing(fanIn=2))),
        ("result", "keyPairing without key columns", mutated(KEYED_RESULT, pairing(keyColumns=[]))),
        ("result", "sort budget under SORTED", mutated(KEYED_RESULT, pairing(sortMemoryBytes=67108864))),
        ("result", "no sort budget under ANY", mutated(keyed_any, pairing(sortMemoryBytes=None))),
        ("result", "SORTED run with a side found unsorted", mutated(KEYED_RESULT, pairing(expectedSorted=False))),
        ("result", "repeated keys under REJECT", mutated(KEYED_RESULT, pairing(repeatedKeyRecords={"actual": 0, "expected": 1}))),
        ("result", "streaming with unknown sortedness", mutated(keyed_any, pairing(actualSorted=None))),
        ("result", "byte-identical with sortedness", mutated(keyed_identical, pairing(expectedSorted=True))),
        ("result", "byte-identical with repeat counts", mutated(keyed_identical, pairing(repeatedKeyRecords={"actual": 0, "expected": 0}))),
        ("divergence", "key alone", mutated(keyed_cell, lambda d: (d.pop("expectedRecord"), d.pop("actualRecord")))),
        ("divergence", "record numbers without the key", mutated(keyed_cell, drop("key"))),
        ("divergence", "empty key", mutated(keyed_cell, set_("key", []))),
        ("divergence", "key field as a number", mutated(keyed_cell, set_("key", [3]))),
        ("divergence", "CELL without its actual record", mutated(keyed_cell, set_("actualRecord", None))),
        ("divergence", "ROW_WIDTH without its expected record", mutated(KEYED_ROW_WIDTH, set_("expectedRecord", None))),
        ("divergence", "MISSING_ROW with an actual record", mutated(keyed_missing, set_("actualRecord", 2))),
        ("divergence", "ADDITIONAL_ROW with an expected record", mutated(keyed_additional, set_("expectedRecord", 1))),
        ("divergence", "expectedRecord 0", mutated(keyed_cell, set_("expectedRecord", 0))),
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
