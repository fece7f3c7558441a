"""Validate CSV datasets against golden ones with the tessamer engine, from Python.

    import tessamer

    result = tessamer.validate("golden/orders.csv", "out/orders.csv", key="order_id")
    print(result.status, result.divergence_count)
    for divergence in result.divergences():
        if isinstance(divergence, tessamer.CellDivergence):
            print(divergence.record, divergence.column, divergence.expected, divergence.actual)

:func:`validate` builds the request, runs the engine (``tessamer`` on PATH, or the path given)
and returns a typed, immutable :class:`Result`; :meth:`Result.divergences` streams the report.
The engine's refusals raise :class:`EngineError` with its ``code`` and ``message``. For test
suites, :func:`tessamer.testing.assert_csv_matches`; at a terminal, ``tessamer-check`` (also
``python3 -m tessamer``). Standard library only.
"""

from ._errors import ERROR_CODES, EngineError, ReportError, RunError, TessamerError
from ._request import Exclusion, build_request
from ._result import (AdditionalRow, CellDivergence, ColumnPair, Divergence, EngineInfo, Headers, KeyPairing,
                      MissingRow, Result, RowWidthDivergence, Rows)
from ._run import validate

__version__ = "0.1.0"

__all__ = [
    "ERROR_CODES", "AdditionalRow", "CellDivergence", "ColumnPair", "Divergence", "EngineError", "EngineInfo",
    "Exclusion", "Headers", "KeyPairing", "MissingRow", "ReportError", "Result", "RowWidthDivergence", "Rows",
    "RunError", "TessamerError", "build_request", "validate",
]
