// What the pairings of records share: how they are handed the two datasets and where they send
// what they find. Internal to the comparison.
//
// A pairing reads both streams, positioned after their headers, to their ends. Every pair of
// records it makes goes to the PairComparer, every record it pairs with nothing to the
// LineWriter (MISSING_ROW or ADDITIONAL_ROW), and it counts the rows. Opening the streams,
// checking them unchanged and the digests are the caller's (compare_datasets).
#pragma once

#include "compare/compare.h"
#include "compare/lines.h"
#include "csv/csv.h"
#include "input/input.h"

namespace tessamer {

struct Pairing {
  const ComparisonInput& input;
  DatasetStream& expected;
  DatasetStream& actual;
  PairComparer& pairs;
  LineWriter& lines;
};

// A record of a stream as the lines take it.
inline Row row_of(const csv::Record& record) { return Row{record.fields(), record.raw()}; }

// Pairs the n-th data record of one file with the n-th of the other; the records beyond the end of
// the shorter file are missing or additional. Fills the row counts of the totals.
[[nodiscard]] Result<ComparisonTotals> pair_by_position(const Pairing& pairing);

struct KeyedOutcome {
  ComparisonTotals totals;
  KeyedTotals keyed;
  // Under KeyOrder::Any: what the first pass read of each file; its streams are gone by then.
  std::optional<std::pair<StreamedBytes, StreamedBytes>> first_pass;
};

// Pairs records by the key columns of the plan: both sides in key order, one merge. Under
// KeyOrder::Sorted the streams must already be in key order; under KeyOrder::Any a first pass
// reads and digests each stream, sorting a side that is not in order, and a second pass reads
// the files again to merge. `report` is the open report (a sort needs a place for its files).
// Fills the row counts; under KeyOrder::Any also finishes both streams, hands on what they read
// (first_pass) and leaves them moved from, their files closed.
[[nodiscard]] Result<KeyedOutcome> pair_by_key(const Pairing& pairing, const DivergenceReportWriter& report);

}  // namespace tessamer
