"""The typed, immutable result of a run, and its divergence report read as a stream."""

import json
import shutil
import weakref
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import ClassVar

from ._errors import ReportError, RunError

STATUSES = ("PASS", "FAIL", "PASS_WITH_EXCLUSIONS")
STREAMING = "quor-csv-stream"
BYTE_IDENTICAL = "quor-binary"

# The report is read in large pieces; memory holds one piece and one line, whatever its size.
_READ_BUFFER = 1 << 20
_decode = json.JSONDecoder().decode


@dataclass(frozen=True, slots=True)
class ColumnPair:
    """An expected column compared with an actual column; indices count from 0."""

    expected: str
    actual: str
    expected_index: int
    actual_index: int

    @classmethod
    def _from(cls, member):
        return cls(member["expected"], member["actual"], member["expectedIndex"], member["actualIndex"])


@dataclass(frozen=True, slots=True)
class Rows:
    """Data records of each file and how they paired. After byte-identical files, ``expected``,
    ``actual`` and ``compared`` are None (the engine did not count them)."""

    expected: int | None
    actual: int | None
    compared: int | None
    missing: int
    additional: int


@dataclass(frozen=True, slots=True)
class Headers:
    """The column names of each file, in column order."""

    expected: tuple[str, ...]
    actual: tuple[str, ...]


@dataclass(frozen=True, slots=True)
class EngineInfo:
    """The engine that gave the result."""

    name: str
    target: str
    version: str


@dataclass(frozen=True, slots=True)
class KeyPairing:
    """How a keyed run paired records. After byte-identical files, the sorted flags and the
    repeated-key counts are None."""

    key_columns: tuple[ColumnPair, ...]
    key_order: str
    duplicate_keys: str
    sort_memory_bytes: int | None
    expected_sorted: bool | None
    actual_sorted: bool | None
    repeated_expected_records: int | None
    repeated_actual_records: int | None

    @classmethod
    def _from(cls, member):
        repeated = member["repeatedKeyRecords"]
        return cls(tuple(ColumnPair._from(pair) for pair in member["keyColumns"]), member["keyOrder"],
                   member["duplicateKeys"], member["sortMemoryBytes"], member["expectedSorted"],
                   member["actualSorted"], repeated["expected"], repeated["actual"])


@dataclass(frozen=True, slots=True, kw_only=True)
class Divergence:
    """One line of the divergence report. ``record`` counts data records from 1.

    In a keyed run ``key`` holds the record's key fields (None for an absent field) and
    ``expected_record`` and ``actual_record`` the record's number in each file (None on the
    side that has no record); in a positional run all three are None.
    """

    type: ClassVar[str]
    record: int
    key: tuple[str | None, ...] | None = None
    expected_record: int | None = None
    actual_record: int | None = None


@dataclass(frozen=True, slots=True, kw_only=True)
class CellDivergence(Divergence):
    """Two paired fields differ; a side whose record has no field there is None."""

    type: ClassVar[str] = "CELL"
    column: str
    expected_column: str
    actual_column: str
    expected_index: int
    actual_index: int
    expected: str | None
    actual: str | None


@dataclass(frozen=True, slots=True, kw_only=True)
class RowWidthDivergence(Divergence):
    """A record has more or fewer fields than its file has columns."""

    type: ClassVar[str] = "ROW_WIDTH"
    expected_columns: int
    expected_values: int
    actual_columns: int
    actual_values: int


@dataclass(frozen=True, slots=True, kw_only=True)
class MissingRow(Divergence):
    """An expected record that no actual record pairs with: all its fields."""

    type: ClassVar[str] = "MISSING_ROW"
    expected: tuple[str, ...]


@dataclass(frozen=True, slots=True, kw_only=True)
class AdditionalRow(Divergence):
    """An actual record that no expected record pairs with: all its fields."""

    type: ClassVar[str] = "ADDITIONAL_ROW"
    actual: tuple[str, ...]


def _keyed_members(line):
    if "key" not in line:
        return {}
    return {"key": tuple(line["key"]), "expected_record": line["expectedRecord"],
            "actual_record": line["actualRecord"]}


def _divergence(line):
    """The typed record of one report line (a dict); KeyError, TypeError or ValueError when it
    is not one. Members this module does not know are passed over."""
    kind = line["type"]
    common = {"record": line["record"], **_keyed_members(line)}
    if kind == "CELL":
        return CellDivergence(column=line["column"], expected_column=line["expectedColumn"],
                              actual_column=line["actualColumn"], expected_index=line["expectedIndex"],
                              actual_index=line["actualIndex"], expected=line["expected"], actual=line["actual"],
                              **common)
    if kind == "ROW_WIDTH":
        return RowWidthDivergence(expected_columns=line["expectedColumns"], expected_values=line["expectedValues"],
                                  actual_columns=line["actualColumns"], actual_values=line["actualValues"], **common)
    if kind == "MISSING_ROW":
        return MissingRow(expected=tuple(line["expected"]), **common)
    if kind == "ADDITIONAL_ROW":
        return AdditionalRow(actual=tuple(line["actual"]), **common)
    raise ValueError(f"unknown divergence type {kind!r}")


class _Scratch:
    """A temporary directory that holds a run's report; removed by close(), or when the last
    result that uses it is collected, or at exit."""

    def __init__(self, path):
        self.path = path
        self._finalizer = weakref.finalize(self, shutil.rmtree, path, ignore_errors=True)

    def remove(self):
        self._finalizer()

    @property
    def removed(self):
        return not self._finalizer.alive


@dataclass(frozen=True, slots=True)
class Result:
    """The verdict of one run: the engine's result document, typed.

    ``status`` is ``"PASS"``, ``"FAIL"`` or ``"PASS_WITH_EXCLUSIONS"``; ``divergence_count``
    the number of lines in the report, of which ``examples`` are the first (at most the
    request's example limit). ``comparison_mode`` is ``"quor-binary"`` when the files were
    byte-identical (no report was written, :attr:`report_path` is None) and
    ``"quor-csv-stream"`` otherwise. ``key_pairing`` is None in a positional run.

    A result made by :func:`tessamer.validate` without a ``report`` path owns a temporary
    report: it is removed by :meth:`close` (or leaving a ``with`` block), or when the result
    is garbage-collected.
    """

    status: str
    comparison_mode: str
    divergence_count: int
    examples: tuple[Divergence, ...]
    rows: Rows
    cells_compared: int | None
    columns_compared: int
    excluded_cells: int
    column_pairs: tuple[ColumnPair, ...]
    headers: Headers
    expected_bytes: int
    actual_bytes: int
    expected_sha256: str
    actual_sha256: str
    duration_ms: int
    throughput_bytes_per_second: int
    engine: EngineInfo
    key_pairing: KeyPairing | None
    report_path: str | None
    _text: str = field(repr=False, compare=False)
    _scratch: _Scratch | None = field(default=None, repr=False, compare=False)

    @classmethod
    def from_json(cls, text, report=None):
        """The result of a run from its result document (the engine's standard output, as
        text or bytes), with the path of that run's report (not needed after byte-identical
        files)."""
        if isinstance(text, bytes):
            text = text.decode("utf-8")
        try:
            document = json.loads(text)
            return cls._from_document(document, text, None if report is None else str(report))
        except (ValueError, KeyError, TypeError, AttributeError) as error:
            raise RunError(f"not a tessamer result document: {error}") from None

    @classmethod
    def _from_document(cls, document, text, report, scratch=None):
        if document["status"] not in STATUSES or document["comparisonMode"] not in (STREAMING, BYTE_IDENTICAL):
            raise ValueError(f"unknown status or comparison mode in {text[:200]!r}")
        rows = document["rows"]
        identical = document["comparisonMode"] == BYTE_IDENTICAL
        return cls(
            status=document["status"],
            comparison_mode=document["comparisonMode"],
            divergence_count=document["divergences"],
            examples=tuple(_divergence(example) for example in document["divergenceExamples"]),
            rows=Rows(rows["expected"], rows["actual"], rows["compared"], rows["missing"], rows["additional"]),
            cells_compared=document["cellsCompared"],
            columns_compared=document["columnsCompared"],
            excluded_cells=document["excludedCells"],
            column_pairs=tuple(ColumnPair._from(pair) for pair in document["columnPairs"]),
            headers=Headers(tuple(document["headers"]["expected"]), tuple(document["headers"]["actual"])),
            expected_bytes=document["expectedBytes"],
            actual_bytes=document["actualBytes"],
            expected_sha256=document["expectedSha256"],
            actual_sha256=document["actualSha256"],
            duration_ms=document["durationMs"],
            throughput_bytes_per_second=document["throughputBytesPerSecond"],
            engine=EngineInfo(document["engine"]["name"], document["engine"]["target"], document["engine"]["version"]),
            key_pairing=KeyPairing._from(document["keyPairing"]) if "keyPairing" in document else None,
            report_path=None if identical else report,
            _text=text,
            _scratch=None if identical else scratch,
        )

    @property
    def passed(self):
        """True for PASS and PASS_WITH_EXCLUSIONS."""
        return self.status != "FAIL"

    @property
    def identical(self):
        """True when the files were byte-identical (and no report was written)."""
        return self.comparison_mode == BYTE_IDENTICAL

    def to_json(self):
        """The result document as the engine printed it (without the newline)."""
        return self._text.rstrip("\n")

    def divergences(self) -> Iterator[Divergence]:
        """The report's lines as typed records, in report order, read as a stream: memory holds
        one line at a time, whatever the report's size.

        Raises :class:`tessamer.ReportError`, while iterating, as soon as the report shows it
        is not this run's whole report: a line that is not a divergence record, a first line
        that differs from the result's examples, a column pair or record the run did not have,
        a cut last line, more or fewer lines than ``divergence_count``. Yields nothing after
        byte-identical files.
        """
        if self.identical:
            return iter(())
        if self.report_path is None:
            raise ReportError("this result was read without the path of its report")
        if self._scratch is not None and self._scratch.removed:
            raise ValueError("the result is closed: its temporary report was removed")
        return self._stream()

    def close(self):
        """Removes the temporary report, if this result owns one; nothing otherwise."""
        if self._scratch is not None:
            self._scratch.remove()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def _stream(self):
        path = self.report_path
        pairs = {(pair.expected, pair.actual, pair.expected_index, pair.actual_index) for pair in self.column_pairs}
        missing = additional = number = 0
        try:
            report = open(path, encoding="utf-8", newline="\n", buffering=_READ_BUFFER)
        except OSError as error:
            raise ReportError(f"cannot read report {path}: {error.strerror}") from None
        with report:
            try:
                for line in report:
                    number += 1
                    if number > self.divergence_count:
                        raise ReportError(f"{path} is longer than the run: more than {self.divergence_count} lines")
                    if not line.endswith("\n"):
                        raise ReportError(f"{path} ends in a cut line (line {number})")
                    try:
                        record = _divergence(_decode(line))
                    except (ValueError, KeyError, TypeError):
                        raise ReportError(f"line {number} of {path} is not a divergence record") from None
                    if number <= len(self.examples) and record != self.examples[number - 1]:
                        raise ReportError(f"{path} is not this run's report: line {number} differs from the result's "
                                          "example")
                    if not self._fits(record, pairs):
                        raise ReportError(f"{path} is not this run's report: line {number} names a column pair or "
                                          "record the run did not have")
                    missing += record.type == MissingRow.type
                    additional += record.type == AdditionalRow.type
                    yield record
            except UnicodeDecodeError:
                raise ReportError(f"{path} is not UTF-8 text") from None
        if number < self.divergence_count:
            raise ReportError(f"{path} is shorter than the run: {number} lines for {self.divergence_count} divergences")
        if (missing, additional) != (self.rows.missing, self.rows.additional):
            raise ReportError(f"{path} is not this run's report: {missing} missing and {additional} additional rows "
                              f"for the run's {self.rows.missing} and {self.rows.additional}")

    def _fits(self, record, pairs):
        """Whether a line could come from this run: a compared column pair, records it read."""
        rows = self.rows
        if isinstance(record, CellDivergence):
            if (record.expected_column, record.actual_column, record.expected_index, record.actual_index) not in pairs:
                return False
        if isinstance(record, AdditionalRow):
            return record.record <= rows.actual
        if isinstance(record, MissingRow):
            return record.record <= rows.expected
        if self.key_pairing is None:
            return record.record <= rows.compared
        return record.record <= rows.expected and (record.actual_record or 0) <= rows.actual
