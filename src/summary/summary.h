// tessamer-summary: what a run found, for the person who acts on it and the CI job that runs it.
//
// Reads the engine's result document (and, when given, the run's request), streams the
// divergence report once and holds every fact the result gives against it. The findings
// (`Summary`) become one `View`, sections of rows of marked spans, which thin renderers turn
// into terminal text, a JSON document or an HTML page; JUnit XML comes from the same findings.
//
// Memory is bounded by the number of column pairs, the examples kept and the longest report
// line: a value kept for display is cut to a window around its first difference.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/formats.h"
#include "json/json.h"

namespace tessamer::summary {

// A failure that ends the program with status 2 before any summary: an unusable argument, file
// or document.
struct Error {
  Error(std::string text) : message(std::move(text)) {}  // implicit: the texts of lower layers pass up as they are
  std::string message;
};

template <class T>
using Expected = std::expected<T, Error>;

enum class DivergenceType { Cell, RowWidth, MissingRow, AdditionalRow };
inline constexpr std::size_t kTypeCount = 4;
inline constexpr std::array<DivergenceType, kTypeCount> kTypes = {
    DivergenceType::Cell, DivergenceType::RowWidth, DivergenceType::MissingRow, DivergenceType::AdditionalRow};

// The report's spelling of the type: "CELL", "ROW_WIDTH", "MISSING_ROW", "ADDITIONAL_ROW".
std::string_view type_name(DivergenceType type);

struct ColumnPair {
  std::string expected, actual;
  std::uint64_t expected_index = 0, actual_index = 0;
};

// The result's "keyPairing": how a keyed run paired its records.
struct KeyPairing {
  std::vector<ColumnPair> key_columns;
  std::string key_order;       // "ANY" or "SORTED"
  std::string duplicate_keys;  // "REJECT" or "PAIR_BY_OCCURRENCE"
  std::optional<std::uint64_t> sort_memory_bytes;
  std::optional<bool> expected_sorted, actual_sorted;  // null after the identical-files check
};

// What the summary takes from a result document.
struct RunResult {
  std::string status;  // "PASS", "FAIL", "PASS_WITH_EXCLUSIONS"
  std::string comparison_mode;
  std::uint64_t expected_bytes = 0, actual_bytes = 0;
  std::string expected_sha256, actual_sha256;
  // Null in the identical-files variant.
  std::optional<std::uint64_t> expected_rows, actual_rows, compared_rows, cells_compared;
  std::uint64_t missing_rows = 0, additional_rows = 0, excluded_cells = 0, divergences = 0, duration_ms = 0;
  std::vector<std::string> expected_headers, actual_headers;
  std::vector<ColumnPair> column_pairs;
  std::vector<JsonValue> examples;  // divergenceExamples, as read
  std::optional<KeyPairing> keys;   // keyed runs only

  // The fast path decided the run: no report was written.
  bool identical() const { return comparison_mode == formats::kIdenticalMode; }
};

// Reads a result document (any JSON layout). An error document of a failed run, an empty input
// and missing or mistyped members are errors.
[[nodiscard]] Expected<RunResult> parse_result_document(std::string_view bytes);

struct Exclusion {
  std::optional<std::string> expected, actual;
  std::string reason, approved_by, reference;
};

// What the summary takes from the run's request (object or positional form): the audit trail,
// and what can be held against the result.
struct Request {
  std::string path;  // as given to the summary
  std::string expected_path, actual_path, divergence_path, encoding, delimiter, quote;
  std::optional<std::string> escape;
  bool has_header = true;
  std::string null_value;
  std::vector<std::string> expected_columns, actual_columns;
  std::vector<std::pair<std::string, std::string>> columns;
  std::vector<Exclusion> exclusions;
  std::uint64_t example_limit = 0;
  std::optional<std::vector<std::string>> key_columns;
  std::optional<std::string> key_order, duplicate_keys, sort_directory;
  std::optional<std::uint64_t> sort_memory_bytes;
};

[[nodiscard]] Expected<Request> parse_request_document(std::string_view bytes, std::string path);

// One side of a divergence kept for display: the value, or a window of at most kKeptBytes of it
// that starts before its first difference from the other side. Both sides of a pair are cut at
// the same offset, so their common start stays aligned.
struct KeptValue {
  static constexpr std::size_t kKeptBytes = 4096;
  std::string text;
  bool cut_before = false, cut_after = false;
};

// How two differing values are alike, judged on the whole values.
enum class Likeness { None, Whitespace, Case, WhitespaceAndCase };

// A report line kept as an example.
struct Example {
  DivergenceType type = DivergenceType::Cell;
  std::uint64_t line = 0;  // in the report, from 1
  std::uint64_t record = 0;
  // Keyed runs: the key's fields in CSV form, and each side's record number (none: no record).
  std::optional<std::string> key;
  std::optional<std::uint64_t> expected_record, actual_record;
  std::string column, actual_column;  // CELL
  // CELL: the fields (none: no field there). MISSING_ROW / ADDITIONAL_ROW: the record in CSV form.
  std::optional<KeptValue> expected, actual;
  std::uint64_t expected_values = 0, expected_columns = 0, actual_values = 0, actual_columns = 0;  // ROW_WIDTH
  Likeness likeness = Likeness::None;
};

// A column pair's CELL lines, and the records of its first and last in report order (0 while
// there is none).
struct ColumnCount {
  std::uint64_t count = 0, first_record = 0, last_record = 0;
};

// Kinds of report lines that do not fit the run whose result is read: not a divergence record;
// ending in CR LF (rewritten); differing from the result's divergence example of that line; a
// CELL line naming no column pair of the run; a ROW_WIDTH line whose column counts are not the
// run's; a record number the run's row counts do not reach; a record number lower than the line
// before (positional runs); key members where the run was positional, or none where it was keyed.
enum class Misfit { Malformed, CrLf, Example, UnknownPair, Widths, RecordRange, RecordOrder, Keying };
inline constexpr std::size_t kMisfitCount = 8;

// How many lines of one misfit, and the first of them with what was wrong with it.
struct MisfitCount {
  std::uint64_t lines = 0, first_line = 0;
  std::string first_detail;
};

// What one pass over the report found.
struct ReportScan {
  bool read = false;  // false when the run wrote no report (identical files)
  std::uint64_t lines = 0, bytes = 0, cut_bytes = 0;  // cut: after the last line end
  std::array<std::uint64_t, kTypeCount> by_type{};
  std::vector<ColumnCount> by_column;  // parallel to RunResult::column_pairs
  std::array<MisfitCount, kMisfitCount> misfits{};
  // Keyed runs: distinct keys with any divergence, with MISSING_ROW and with ADDITIONAL_ROW lines.
  std::uint64_t divergent_keys = 0, missing_keys = 0, additional_keys = 0;
  std::vector<Example> examples;  // in report order
};

// Reads a report from `read`, which hands out pieces of any size and an empty one at its end:
// each line is read once, by one reader, and lines that span pieces are carried over. Keeps the
// first `per_kind` lines of each divergence type and of each column pair as examples. The text
// after the last line end, if any, is a cut last line.
[[nodiscard]] Expected<ReportScan> scan_report(const RunResult& result, std::size_t per_kind,
                                               const std::function<Expected<std::string_view>()>& read);

// Streams the report at `path` through scan_report. A FIFO nobody writes to is refused rather
// than waited on.
[[nodiscard]] Expected<ReportScan> scan_report_file(std::string_view path, const RunResult& result,
                                                    std::size_t per_kind);

struct Summary {
  RunResult result;
  ReportScan report;
  std::optional<Request> request;
  std::string report_path;
  std::size_t per_kind = 3;
  std::vector<std::string> problems;          // why the report cannot be vouched for as this run's
  std::vector<std::string> request_problems;  // why the request is not this run's

  bool trusted() const { return problems.empty() && request_problems.empty(); }
  // 0 for PASS and PASS_WITH_EXCLUSIONS, 1 for FAIL, 2 when the summary cannot vouch for the
  // report or the request.
  int exit_status() const;
};

// Holds the report and the request against the result.
[[nodiscard]] Summary summarise(RunResult result, ReportScan report, std::optional<Request> request,
                                std::string report_path, std::size_t per_kind);

// How a span of shown text stands out.
enum class Mark { None, Removed, Added, Quiet, Pass, Fail, Warn };

struct Span {
  std::string text;  // display-safe: invisible and control characters already spelled out
  Mark mark = Mark::None;
};

// One value of the view: what people see and, when `key` is set, its member in the JSON document.
struct Cell {
  std::string key;
  JsonValue json;
  std::vector<Span> spans;
  bool shown = true;  // false: in the JSON document only
};

struct Row {
  std::string key;    // Fields: the row's member in the JSON document; empty: its cells are members of the section's
  std::string label;  // Fields and Notes: the row's heading
  std::vector<Cell> cells;
  std::optional<double> bar;  // Table: the row's share of the largest, drawn as a bar on the page
};

// Table columns: words, numbers (aligned right), or data shown as it stands (a fixed-width font).
enum class ColumnKind { Text, Number, Data };

struct Section {
  enum class Layout { Headline, Notes, Fields, Table };
  Layout layout = Layout::Table;
  std::string id;        // the page's anchor
  std::string title;     // heading
  std::string json_key;  // member of the JSON document; empty: the rows' members go into the document itself
  bool shown = true;     // false: JSON only
  bool in_json = true;   // false: for people only
  std::vector<std::string> columns;  // Table: headings of the shown cells
  std::vector<ColumnKind> kinds;     // Table: parallel to `columns`
  std::vector<Row> rows;
  std::string footnote;
};

struct View {
  std::vector<Section> sections;
};

// How much room the renderer has: values and names are shortened to `value_width` columns.
struct ViewOptions {
  std::size_t value_width = 32, column_rows = 20;  // column rows: of the by-column table
  bool full_digests = false;
};

// The summary as people and programs see it, computed once for a renderer.
View build_view(const Summary& summary, const ViewOptions& options);

// Terminal text; `colour` adds ANSI colours, and without it differing spans are [bracketed].
std::string render_text(const View& view, bool colour);
// One JSON document (see schemas/summary.schema.json).
JsonValue render_json(const View& view);
// A self-contained HTML page: no scripts, no external resources.
std::string render_html(const View& view);
// JUnit XML: one test suite, a case per column pair, one for the rows, the exclusions skipped.
std::string render_junit(const Summary& summary);

}  // namespace tessamer::summary
