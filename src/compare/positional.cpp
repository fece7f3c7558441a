// Pairing records by position, passing over runs of records that both files hold as the same bytes.
#include <algorithm>

#include "compare/pairing.h"

namespace tessamer {

Result<ComparisonTotals> pair_by_position(const Pairing& pairing) {
  DatasetStream& expected = pairing.expected;
  DatasetStream& actual = pairing.actual;
  ComparisonTotals totals;
  // Records that are the same bytes on both sides, with the headers' width, give no divergence
  // when every pair compares a column with the one at the same index: such runs are passed over
  // whole, without splitting them into fields.
  const std::size_t columns = pairing.input.expected_names.size();
  const bool skip_equal = pairing.pairs.compares_same_positions() && pairing.input.actual_names.size() == columns;
  // Where most records differ, looking for runs costs more than it finds: after each look that
  // finds none, the next one waits twice as many records, up to kLongestWait.
  static constexpr unsigned kLongestWait = 16;
  unsigned wait = 0, waited = 0;
  for (;;) {
    if (skip_equal && waited++ == wait) {
      const std::size_t same = csv::skip_equal_records(expected.reader(), actual.reader(), columns);
      totals.expected_rows += same;
      totals.actual_rows += same;
      totals.compared_rows += same;
      wait = same > 0 ? 0 : std::min(std::max(2 * wait, 1u), kLongestWait);
      waited = 0;
    }
    TESSAMER_ASSIGN_OR_RETURN(const bool expected_holds, expected.next());
    TESSAMER_ASSIGN_OR_RETURN(const bool actual_holds, actual.next());
    if (expected_holds) {
      ++totals.expected_rows;
      if (actual_holds) {
        ++totals.actual_rows;
        ++totals.compared_rows;
        TESSAMER_TRY(pairing.pairs.compare(row_of(expected.record()), row_of(actual.record()), {totals.compared_rows}));
      } else {
        ++totals.missing_rows;
        TESSAMER_TRY(pairing.lines.missing_row(expected.record().fields(), {totals.compared_rows + totals.missing_rows}));
      }
    } else if (actual_holds) {
      ++totals.actual_rows;
      ++totals.additional_rows;
      TESSAMER_TRY(
          pairing.lines.additional_row(actual.record().fields(), {totals.compared_rows + totals.additional_rows}));
    } else {
      return totals;
    }
  }
}

}  // namespace tessamer
