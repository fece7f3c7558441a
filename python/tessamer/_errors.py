"""The exceptions of the tessamer module."""

ERROR_CODES = (
    "INVALID_NATIVE_ARGUMENTS",
    "INVALID_NATIVE_REQUEST",
    "NATIVE_IO_ERROR",
    "INVALID_GOLDEN_DATASET",
    "UNSUPPORTED_NATIVE_ENCODING",
    "NATIVE_REPORT_ERROR",
)


class TessamerError(Exception):
    """Base class of every error this module raises about a run."""


class EngineError(TessamerError):
    """The engine refused the run and printed its error document.

    ``code`` is one of :data:`ERROR_CODES` (for example ``"INVALID_GOLDEN_DATASET"``) and
    ``message`` the engine's message, exactly as printed.
    """

    def __init__(self, code, message):
        super().__init__(f"{code}: {message}")
        self.code = code
        self.message = message


class RunError(TessamerError):
    """The engine gave no verdict: it was not found, could not be started, was killed, or
    exited without the document its exit status promises."""


class ReportError(TessamerError):
    """A divergence report is not the whole report of the result it is read with: cut, too
    short, too long, holding lines that are not divergence records, or from another run."""
