#include "compare/compare.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "compare/lines.h"
#include "compare/report.h"
#include "core/bytes.h"
#include "core/file.h"
#include "core/sha256.h"
#include "csv/csv.h"

namespace tessamer {
namespace {

// A record as the lines see it.
Row row_of(const csv::Record& record) { return Row{record.fields(), record.raw()}; }

}  // namespace

Result<ComparisonOutcome> compare_datasets(const ValidationRequest& request, const CsvDialect& dialect,
                                           const std::vector<std::string>& expected_names,
                                           const std::vector<std::string>& actual_names, const ColumnPlan& plan,
                                           DatasetFile& expected_file, DatasetFile& actual_file,
                                           std::optional<FileIdentity> request_file, const DigestedPrefix& prefix) {
  PairedDigests digests(prefix);
  TESSAMER_ASSIGN_OR_RETURN(DatasetStream expected, DatasetStream::open(expected_file, dialect, &digests));
  TESSAMER_ASSIGN_OR_RETURN(DatasetStream actual, DatasetStream::open(actual_file, dialect, &digests));
  const FileIdentity datasets[] = {*expected_file.identity(), *actual_file.identity()};

  if (request.has_header) {
    TESSAMER_TRY(expected.read_header());
    TESSAMER_TRY(actual.read_header());
  }

  auto report = open_divergence_report(request.divergence_path, request.example_limit, datasets, request_file);
  if (!report) return std::unexpected(std::move(report.error()));
  LineWriter lines(dialect.encoding, expected_names.size(), actual_names.size(), plan, *report);
  PairComparer pairs(expected_names.size(), actual_names.size(), plan, lines);

  ComparisonTotals totals;
  // Records that are the same bytes on both sides, with the headers' width, give no divergence
  // when every pair compares a column with the one at the same index: such runs are passed over
  // whole, without splitting them into fields.
  const std::size_t columns = expected_names.size();
  const bool skip_equal = pairs.compares_same_positions() && actual_names.size() == columns;
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
        TESSAMER_TRY(pairs.compare(row_of(expected.record()), row_of(actual.record()), {totals.compared_rows}));
      } else {
        ++totals.missing_rows;
        TESSAMER_TRY(lines.missing_row(expected.record().fields(), {totals.compared_rows + totals.missing_rows}));
      }
    } else if (actual_holds) {
      ++totals.actual_rows;
      ++totals.additional_rows;
      TESSAMER_TRY(lines.additional_row(actual.record().fields(), {totals.compared_rows + totals.additional_rows}));
    } else {
      break;
    }
  }
  TESSAMER_ASSIGN_OR_RETURN(StreamedBytes expected_read, expected.finish());
  TESSAMER_ASSIGN_OR_RETURN(StreamedBytes actual_read, actual.finish());

  TESSAMER_ASSIGN_OR_RETURN(DivergenceSummary summary, finish_divergence_report(std::move(*report)));
  totals.expected_sha256 = std::move(expected_read.sha256);
  totals.expected_bytes = expected_read.bytes;
  totals.actual_sha256 = std::move(actual_read.sha256);
  totals.actual_bytes = actual_read.bytes;
  return ComparisonOutcome{std::move(totals), summary.count, std::move(summary.examples)};
}

Result<ComparisonOutcome> compare_datasets(const ValidationRequest& request, const CsvDialect& dialect,
                                           const std::vector<std::string>& expected_names,
                                           const std::vector<std::string>& actual_names, const ColumnPlan& plan) {
  DatasetFile expected(DatasetSide::Expected, request.expected_path);
  DatasetFile actual(DatasetSide::Actual, request.actual_path);
  return compare_datasets(request, dialect, expected_names, actual_names, plan, expected, actual, std::nullopt, {});
}

}  // namespace tessamer
