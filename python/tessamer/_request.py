"""Builds the engine's validation request from Python arguments."""

import os
from collections.abc import Iterable, Mapping
from dataclasses import dataclass

# The keyword options of validate() beyond its named parameters, and the request member each
# one sets. Absent options leave their member out, so the engine applies its own default.
OPTIONS = {
    "null_value": "nullValue",
    "expected_columns": "expectedColumns",
    "actual_columns": "actualColumns",
    "key_order": "keyOrder",
    "duplicate_keys": "duplicateKeys",
    "sort_memory_bytes": "sortMemoryBytes",
    "sort_directory": "sortDirectory",
}


@dataclass(frozen=True, slots=True, kw_only=True)
class Exclusion:
    """An approved exclusion: a column left out of the comparison, with its approval.

    ``column`` names a column that both files have; otherwise ``expected`` and ``actual`` name
    it on each side (either may be None, to drop a column that only one file has). The engine
    requires ``reason``, ``approved_by`` and ``reference`` to be non-blank.
    """

    column: str | None = None
    expected: str | None = None
    actual: str | None = None
    reason: str
    approved_by: str
    reference: str

    def __post_init__(self):
        if self.column is not None and (self.expected is not None or self.actual is not None):
            raise ValueError("an exclusion names either column, or expected and actual")
        for name in ("column", "expected", "actual"):
            _optional_text(getattr(self, name), f"exclusion {name}")
        for name in ("reason", "approved_by", "reference"):
            _text(getattr(self, name), f"exclusion {name}")

    def to_request(self):
        """The exclusion as an entry of the request's ``excludedColumns``."""
        expected, actual = (self.column, self.column) if self.column is not None else (self.expected, self.actual)
        return {"expected": expected, "actual": actual, "reason": self.reason, "approvedBy": self.approved_by,
                "approvalReference": self.reference}


# The spellings an exclusion may be given in as a mapping: the keywords of Exclusion, and the
# request's own member names.
_EXCLUSION_KEYS = {"column": "column", "expected": "expected", "actual": "actual", "reason": "reason",
                   "approved_by": "approved_by", "approvedBy": "approved_by", "reference": "reference",
                   "approvalReference": "reference"}


def build_request(expected, actual, *, report, key=None, columns=None, exclude=None, encoding="utf-8",
                  delimiter=",", quote='"', escape=None, header=True, example_limit=10, **options):
    """The validation request that :func:`tessamer.validate` hands the engine, as a dict.

    Members come in the request's field order; the optional ones only when given. ``report`` is
    the ``divergencePath``. See :func:`tessamer.validate` for the other arguments.
    """
    unknown = sorted(set(options) - set(OPTIONS))
    if unknown:
        raise TypeError(f"unexpected keyword argument '{unknown[0]}'")
    if not isinstance(header, bool):
        raise TypeError("header must be True or False")
    request = {
        "schemaVersion": 1,
        "expectedPath": _path(expected, "expected"),
        "actualPath": _path(actual, "actual"),
        "divergencePath": _path(report, "report"),
        "encoding": _text(encoding, "encoding"),
        "delimiter": _text(delimiter, "delimiter"),
        "quoteChar": _text(quote, "quote"),
        "escapeChar": _optional_text(escape, "escape"),
        "hasHeader": header,
        "nullValue": _text(options.get("null_value", ""), "null_value"),
    }
    for option in ("expected_columns", "actual_columns"):
        if options.get(option) is not None:
            request[OPTIONS[option]] = _names(options[option], option)
    if columns is not None:
        request["columns"] = _mappings(columns)
    if exclude is not None:
        request["excludedColumns"] = [_exclusion(entry).to_request() for entry in _entries(exclude)]
    request["exampleLimit"] = _count(example_limit, "example_limit")
    if key is not None:
        request["keyColumns"] = [key] if isinstance(key, str) else _names(key, "key")
    for option in ("key_order", "duplicate_keys"):
        if options.get(option) is not None:
            request[OPTIONS[option]] = _text(options[option], option)
    if options.get("sort_memory_bytes") is not None:
        request["sortMemoryBytes"] = _count(options["sort_memory_bytes"], "sort_memory_bytes")
    if options.get("sort_directory") is not None:
        request["sortDirectory"] = _path(options["sort_directory"], "sort_directory")
    return request


def _text(value, what):
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a string, not {type(value).__name__}")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"{what} cannot be written as UTF-8: {value!r}") from None
    return value


def _optional_text(value, what):
    return None if value is None else _text(value, what)


def _path(value, what):
    """A path as the engine takes it: text, used byte for byte, relative to the working directory."""
    value = os.fspath(value)
    if isinstance(value, bytes):
        try:
            value = value.decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError(f"{what} path is not UTF-8, which a request cannot hold: {value!r}") from None
    return _text(value, f"{what} path")


def _count(value, what):
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}")
    return value


def _names(values, what):
    if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
        raise TypeError(f"{what} must be a list of column names")
    return [_text(value, f"a name of {what}") for value in values]


def _mappings(columns):
    """``columns`` as the request's mappings: a mapping {expected: actual}, or a list whose
    entries are a name (the same on both sides) or an (expected, actual) pair."""
    if isinstance(columns, Mapping):
        pairs = list(columns.items())
    elif isinstance(columns, (str, bytes)) or not isinstance(columns, Iterable):
        raise TypeError("columns must be a mapping {expected: actual} or a list of names and pairs")
    else:
        pairs = []
        for entry in columns:
            if isinstance(entry, str):
                pairs.append((entry, entry))
            elif isinstance(entry, (tuple, list)) and len(entry) == 2:
                pairs.append(tuple(entry))
            else:
                raise TypeError(f"a column is a name or an (expected, actual) pair, not {entry!r}")
    return [{"expected": _text(e, "an expected column"), "actual": _text(a, "an actual column")} for e, a in pairs]


def _entries(exclude):
    if isinstance(exclude, (Exclusion, Mapping)):
        return [exclude]
    if isinstance(exclude, (str, bytes)) or not isinstance(exclude, Iterable):
        raise TypeError("exclude must be an Exclusion, a mapping, or a list of them")
    return list(exclude)


def _exclusion(entry):
    if isinstance(entry, Exclusion):
        return entry
    if not isinstance(entry, Mapping):
        raise TypeError(f"an exclusion is an Exclusion or a mapping, not {entry!r}")
    fields = {}
    for name, value in entry.items():
        if name not in _EXCLUSION_KEYS:
            raise TypeError(f"an exclusion has no member '{name}'")
        fields[_EXCLUSION_KEYS[name]] = value
    missing = [name for name in ("reason", "approved_by", "reference") if name not in fields]
    if missing:
        raise TypeError(f"an exclusion needs reason, approved_by and reference; {missing[0]} is missing")
    return Exclusion(**fields)
