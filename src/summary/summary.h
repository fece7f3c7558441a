// tessamer-summary: what a run found, for the person who has to act on it.
//
// Reads the engine's result document and streams its divergence report once, counting the lines
// by type and by column, keeping the first N for display, and checking that the report is the
// whole report of that run. The aggregate (`Summary`) is then rendered as terminal text, as one
// JSON document or as a self-contained HTML page.
//
// Memory is bounded by the number of column pairs, N and the longest single report line: values
// kept for display are cut to a window around their first difference.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.h"

namespace tessamer::summary {

// A failure that ends the program with status 2: an unusable argument, file or document.
struct Error {
  std::string message;
};

template <class T>
using Expected = std::expected<T, Error>;

enum class DivergenceType { Cell, RowWidth, MissingRow, AdditionalRow };
inline constexpr std::size_t kTypeCount = 4;
inline constexpr std::array<DivergenceType, kTypeCount> kTypes = {
    DivergenceType::Cell, DivergenceType::RowWidth, DivergenceType::MissingRow, DivergenceType::AdditionalRow};

// "CELL", "ROW_WIDTH", "MISSING_ROW", "ADDITIONAL_ROW".
std::string_view type_name(DivergenceType type);

struct ColumnPair {
  std::string expected;
  std::string actual;
  std::uint64_t expected_index = 0;
  std::uint64_t actual_index = 0;
};

// What the summary takes from a result document.
struct RunResult {
  std::string status;           // "PASS", "FAIL", "PASS_WITH_EXCLUSIONS"
  std::string comparison_mode;  // "quor-csv-stream" or "quor-binary"
  std::uint64_t expected_bytes = 0;
  std::uint64_t actual_bytes = 0;
  std::string expected_sha256;
  std::string actual_sha256;
  // Null in the identical-files variant.
  std::optional<std::uint64_t> expected_rows, actual_rows, compared_rows, cells_compared;
  std::uint64_t missing_rows = 0;
  std::uint64_t additional_rows = 0;
  std::uint64_t excluded_cells = 0;
  std::uint64_t divergences = 0;
  std::vector<ColumnPair> column_pairs;
  std::vector<JsonValue> examples;  // divergenceExamples, as read

  // The fast path decided the run: no report was written.
  bool identical() const { return comparison_mode == "quor-binary"; }
};

// Reads a result document (any JSON layout). An error document of a failed run, an empty input
// and missing or mistyped members are errors.
[[nodiscard]] Expected<RunResult> parse_result_document(std::string_view bytes);

// One side of a divergence kept for display: the value, or a window of at most kKeptBytes of it
// that starts before its first difference from the other side. Both sides of a pair are cut at
// the same offset, so their common start stays aligned.
struct KeptValue {
  static constexpr std::size_t kKeptBytes = 4096;
  std::string text;
  bool cut_before = false;
  bool cut_after = false;
};

struct Divergence {
  DivergenceType type = DivergenceType::Cell;
  std::uint64_t record = 0;
  std::string column;         // CELL: the expected column name
  std::string actual_column;  // CELL: the actual column name
  // CELL: the fields (none: the record has no field there). MISSING_ROW / ADDITIONAL_ROW: the
  // record's fields in CSV form on its side. ROW_WIDTH: none.
  std::optional<KeptValue> expected, actual;
  // ROW_WIDTH only.
  std::uint64_t expected_values = 0, expected_columns = 0, actual_values = 0, actual_columns = 0;
};

struct ColumnCount {
  std::uint64_t count = 0;
  std::uint64_t first_record = 0;  // 0 while count is 0
  std::uint64_t last_record = 0;
};

struct ReportSummary {
  bool read = false;        // false when the run wrote no report (identical files)
  std::uint64_t lines = 0;  // complete lines
  std::uint64_t bytes = 0;
  std::array<std::uint64_t, kTypeCount> by_type{};
  std::vector<ColumnCount> by_column;     // parallel to RunResult::column_pairs
  std::uint64_t unknown_column_cells = 0;  // CELL lines naming no pair of the run
  std::uint64_t max_record = 0;
  std::vector<Divergence> first;          // the first N lines
  std::uint64_t cut_bytes = 0;            // bytes after the last line end
  std::uint64_t malformed_lines = 0;
  std::uint64_t first_malformed_line = 0;  // 1-based
  std::string first_malformed_message;
  std::uint64_t mismatched_examples = 0;  // of the first lines compared with divergenceExamples
  std::uint64_t first_mismatched_example = 0;  // 1-based line number
};

namespace detail {
struct Counted;
}

// Consumes a report in pieces of any size and aggregates it. Lines that span pieces are carried
// over; each line is parsed once.
class ReportScanner {
 public:
  // `result` must outlive the scanner.
  ReportScanner(const RunResult& result, std::size_t first_limit);
  void feed(std::string_view bytes);
  // Takes the aggregate; the text after the last line end, if any, is the cut last line.
  ReportSummary finish();

 private:
  void line(std::string_view text);
  void count(const detail::Counted& line);

  const RunResult& result_;
  std::size_t first_limit_;
  ReportSummary summary_;
  std::string carry_;
  // Pairs by expected index, for finding a CELL line's pair without hashing its name.
  std::vector<std::pair<std::uint64_t, std::size_t>> pair_by_index_;
};

// Streams the report file at `path` through a ReportScanner.
[[nodiscard]] Expected<ReportSummary> scan_report_file(std::string_view path, const RunResult& result,
                                                       std::size_t first_limit);

struct Summary {
  RunResult result;
  ReportSummary report;
  std::size_t first_limit = 10;
  // Why the report is not the whole report of this run; empty when it is.
  std::vector<std::string> problems;

  bool complete() const { return problems.empty(); }
};

// Holds the report against the result: line count, cut last line, malformed lines, the first
// lines against the examples, the row divergences against the row counts, unknown columns.
[[nodiscard]] Summary summarise(RunResult result, ReportSummary report, std::size_t first_limit);

// The terminal summary; `colour` adds ANSI colours and highlights the differing characters.
std::string render_text(const Summary& summary, bool colour);

// The summary as one JSON document (see schemas/summary.schema.json).
JsonValue summary_json(const Summary& summary);

// A self-contained HTML page: no scripts, no external resources.
std::string render_html(const Summary& summary);

}  // namespace tessamer::summary
