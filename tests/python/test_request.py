"""The request that tessamer.validate() writes for each of its arguments."""

import json
import os
import pathlib

import jsonschema
import pytest

import tessamer
from conftest import EXAMPLES, SOURCE_DIR, fake_engine

FIELD_ORDER = ["schemaVersion", "expectedPath", "actualPath", "divergencePath", "encoding", "delimiter", "quoteChar",
               "escapeChar", "hasHeader", "nullValue", "expectedColumns", "actualColumns", "columns",
               "excludedColumns", "exampleLimit", "keyColumns", "keyOrder", "duplicateKeys", "sortMemoryBytes",
               "sortDirectory"]
BASE = {"schemaVersion": 1, "expectedPath": "e.csv", "actualPath": "a.csv", "divergencePath": "r.jsonl",
        "encoding": "utf-8", "delimiter": ",", "quoteChar": '"', "escapeChar": None, "hasHeader": True,
        "nullValue": "", "exampleLimit": 10}
APPROVAL = {"reason": "set on import", "approvedBy": "data owner", "approvalReference": "TICKET-42"}
EXCLUSION = {"reason": "set on import", "approved_by": "data owner", "reference": "TICKET-42"}

CASES = [
    ("defaults", {}, {}),
    ("paths of every kind", {"expected": pathlib.Path("d/e.csv"), "actual": b"a.csv", "report": pathlib.Path("r")},
     {"expectedPath": "d/e.csv", "divergencePath": "r"}),
    ("one key column", {"key": "id"}, {"keyColumns": ["id"]}),
    ("key of two columns", {"key": ("id", "date")}, {"keyColumns": ["id", "date"]}),
    ("columns as a mapping", {"columns": {"id": "ID", "v": "value"}},
     {"columns": [{"expected": "id", "actual": "ID"}, {"expected": "v", "actual": "value"}]}),
    ("columns as names and pairs", {"columns": ["id", ("v", "value")]},
     {"columns": [{"expected": "id", "actual": "id"}, {"expected": "v", "actual": "value"}]}),
    ("exclusion of both sides", {"exclude": tessamer.Exclusion(column="date", **EXCLUSION)},
     {"excludedColumns": [{"expected": "date", "actual": "date", **APPROVAL}]}),
    ("exclusions of one side, in request spelling", {"exclude": [{"actual": "at", **APPROVAL}, {"expected": "n", **APPROVAL}]},
     {"excludedColumns": [{"expected": None, "actual": "at", **APPROVAL}, {"expected": "n", "actual": None, **APPROVAL}]}),
    ("dialect", {"encoding": "windows-1252", "delimiter": ";", "quote": "'", "escape": "\\"},
     {"encoding": "windows-1252", "delimiter": ";", "quoteChar": "'", "escapeChar": "\\"}),
    ("no header", {"header": False, "expected_columns": ["id", "v"], "actual_columns": ("id", "v")},
     {"hasHeader": False, "expectedColumns": ["id", "v"], "actualColumns": ["id", "v"]}),
    ("example limit and null value", {"example_limit": 0, "null_value": "NULL"}, {"exampleLimit": 0, "nullValue": "NULL"}),
    ("keyed members", {"key": "id", "key_order": "ANY", "duplicate_keys": "PAIR_BY_OCCURRENCE",
                       "sort_memory_bytes": 1 << 20, "sort_directory": pathlib.Path("sort")},
     {"keyColumns": ["id"], "keyOrder": "ANY", "duplicateKeys": "PAIR_BY_OCCURRENCE", "sortMemoryBytes": 1048576,
      "sortDirectory": "sort"}),
]


@pytest.mark.parametrize("name, arguments, members", CASES, ids=[case[0] for case in CASES])
def test_request_for_each_argument(name, arguments, members):
    arguments = {"expected": "e.csv", "actual": "a.csv", "report": "r.jsonl", **arguments}
    request = tessamer.build_request(arguments.pop("expected"), arguments.pop("actual"), **arguments)
    assert request == {**BASE, **members}
    assert list(request) == [key for key in FIELD_ORDER if key in request], "members in the request's field order"
    with open(os.path.join(SOURCE_DIR, "schemas", "request.schema.json"), encoding="utf-8") as file:
        schema = json.load(file)
    if set(request) <= set(schema["$defs"]["requestObject"]["properties"]):
        jsonschema.validate(request, schema)


BAD = [
    ("unknown keyword", {"keycolumns": "id"}, TypeError, "unexpected keyword argument 'keycolumns'"),
    ("columns as one string", {"columns": "id"}, TypeError, "columns must be"),
    ("exclusion without its reference", {"exclude": {"column": "d", "reason": "r", "approved_by": "p"}}, TypeError,
     "reference is missing"),
    ("exclusion naming a column twice", {"exclude": {"column": "d", "expected": "d", **EXCLUSION}}, ValueError,
     "either column"),
    ("example limit as a boolean", {"example_limit": True}, TypeError, "example_limit must be an integer"),
    ("key name as a number", {"key": ["id", 1]}, TypeError, "must be a string"),
    ("path that is not UTF-8", {"report": b"\xff.jsonl"}, ValueError, "not UTF-8"),
]


@pytest.mark.parametrize("name, arguments, error, text", BAD, ids=[case[0] for case in BAD])
def test_arguments_that_make_no_request(name, arguments, error, text):
    with pytest.raises(error, match=text):
        tessamer.build_request("e.csv", "a.csv", **{"report": "r.jsonl", **arguments})


def test_the_engine_reads_the_request_built(work):
    """validate() hands the engine exactly build_request()'s request, and removes it after the run."""
    engine = fake_engine(work, f'cp "$2" "{work}/seen.json"\ncat "{EXAMPLES}/identical/result.json"')
    arguments = {"key": "id", "columns": {"id": "ID"}, "example_limit": 3, "delimiter": ";", "report": "out/r.jsonl"}
    tessamer.validate("e.csv", "a.csv", engine=engine, **arguments)
    assert json.loads((work / "seen.json").read_text()) == tessamer.build_request("e.csv", "a.csv", **arguments)
    assert os.listdir(work / "tmp") == []
