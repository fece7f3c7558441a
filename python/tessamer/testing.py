"""Assertions for test suites (pytest or unittest) that hold a CSV file to a golden one."""

from ._run import find_program, validate
from ._summary import summary_text

__all__ = ["assert_csv_matches"]


def assert_csv_matches(expected, actual, *, examples=10, summary=None, **options):
    """Asserts that the CSV file ``actual`` matches the golden file ``expected``.

    Passes on PASS and PASS_WITH_EXCLUSIONS and returns the :class:`tessamer.Result`. On FAIL
    raises AssertionError whose message is the run's terminal summary, as tessamer-summary
    prints it: the counts, the divergences by type and by column, and the first ``examples``
    divergences, so that a failing test reads well in a CI log. ``summary`` is the
    tessamer-summary program (by default the one beside the engine, else on PATH). The other
    keywords are those of :func:`tessamer.validate`; an engine error raises
    :class:`tessamer.EngineError`, as it is no verdict on the data.

        from tessamer.testing import assert_csv_matches

        def test_export_matches_golden():
            assert_csv_matches("golden/orders.csv", "out/orders.csv", key="order_id")
    """
    __tracebackhide__ = True  # pytest shows the assertion, not this helper's frame
    engine = find_program(options.pop("engine", None), "tessamer")
    result = validate(expected, actual, engine=engine, **options)
    if result.passed:
        return result
    with result:
        text = summary_text(result, examples=examples, summary=summary, engine=engine)
    raise AssertionError(f"{actual} does not match {expected}\n\n{text}")
