#include "compare/compare.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "compare/report.h"
#include "core/bytes.h"
#include "core/file.h"
#include "core/sha256.h"
#include "csv/csv.h"

namespace tessamer {
namespace {

// Whether the two records stand in the input as the same bytes (a record without raw bytes, cut
// by a refill, never does).
bool same_raw_bytes(const csv::Record& expected, const csv::Record& actual) {
  const std::optional<std::string_view> e = expected.raw();
  const std::optional<std::string_view> a = actual.raw();
  return e && a && e->size() == a->size() && std::memcmp(e->data(), a->data(), e->size()) == 0;
}

// Writes pieces of one divergence's JSON text in order, keeping the first failure; later pieces
// are then skipped.
class TextOut {
 public:
  explicit TextOut(ReportBuffer& out) : out_(out) {}
  TextOut& raw(std::string_view text) {
    if (status_) status_ = out_.write(text);
    return *this;
  }
  TextOut& string(std::string_view text) {
    if (status_) status_ = out_.write_json_string(text);
    return *this;
  }
  TextOut& number(std::uint64_t value) {
    if (status_) status_ = out_.write_unsigned(value);
    return *this;
  }
  [[nodiscard]] IoResult<void> done() { return std::move(status_); }

 private:
  ReportBuffer& out_;
  IoResult<void> status_;
};

// Turns divergences into report lines. The text of each kind is written straight into the
// report's buffer (the constant parts of a CELL line are prepared once per column pair), in the
// form write_compact_json gives: keys in sorted order, no spaces. Fields are decoded into reused
// buffers, and all fields a line needs are decoded before any of it is written, so that a decode
// failure leaves no partial line.
class DivergenceEmitter {
 public:
  DivergenceEmitter(const CsvDialect& dialect, const std::vector<std::string>& expected_names,
                    const std::vector<std::string>& actual_names, const ColumnPlan& plan,
                    DivergenceReportWriter& report)
      : encoding_(dialect.encoding),
        utf8_(dialect.encoding == encoding::for_label("utf-8")),
        expected_columns_(expected_names.size()),
        actual_columns_(actual_names.size()),
        plan_(plan),
        report_(report),
        same_positions_(std::all_of(plan.pairs.begin(), plan.pairs.end(),
                                    [](const ColumnPair& pair) { return pair.expected_index == pair.actual_index; })) {
    cell_text_.reserve(plan.pairs.size());
    indexes_.reserve(plan.pairs.size());
    for (const ColumnPair& pair : plan.pairs) {
      indexes_.emplace_back(pair.expected_index, pair.actual_index);
      CellText text;
      text.middle = ",\"actualColumn\":";
      append_json_string(text.middle, pair.actual);
      text.middle += ",\"actualIndex\":" + std::to_string(pair.actual_index) + ",\"column\":";
      append_json_string(text.middle, pair.expected);
      text.middle += ",\"expected\":";
      text.tail = ",\"expectedColumn\":";
      append_json_string(text.tail, pair.expected);
      text.tail += ",\"expectedIndex\":" + std::to_string(pair.expected_index) + ",\"record\":";
      cell_text_.push_back(std::move(text));
    }
  }

  // The planned pairs of one compared record pair `record`.
  [[nodiscard]] Result<void> compare(const csv::Record& expected, const csv::Record& actual, std::uint64_t record) {
    if (expected.size() == expected_columns_ && actual.size() == actual_columns_) [[likely]] {
      // Equal raw bytes give equal fields, so every pair compares an index with itself on equal
      // records: no divergence. (The widths match the headers, so there is no ROW_WIDTH either.)
      if (same_positions_ && same_raw_bytes(expected, actual)) return {};
      // Every planned index lies within both records.
      for (std::size_t k = 0; k < indexes_.size(); ++k) {
        const std::string_view e = expected[indexes_[k].first];
        const std::string_view a = actual[indexes_[k].second];
        if (e.size() == a.size() && same_bytes(e.data(), a.data(), e.size())) continue;
        TESSAMER_TRY(cell(k, e, a, record));
      }
      return {};
    }
    TESSAMER_TRY(row_width(record, expected.size(), actual.size()));
    const std::size_t pairs = plan_.pairs.size();
    for (std::size_t k = 0; k < pairs; ++k) {
      const ColumnPair& pair = plan_.pairs[k];
      const bool has_expected = pair.expected_index < expected.size();
      const bool has_actual = pair.actual_index < actual.size();
      if (has_expected && has_actual) {
        std::string_view e = expected[pair.expected_index];
        std::string_view a = actual[pair.actual_index];
        if (e.size() == a.size() && same_bytes(e.data(), a.data(), e.size())) continue;
        TESSAMER_TRY(cell(k, e, a, record));
      } else if (has_expected) {
        TESSAMER_TRY(cell(k, expected[pair.expected_index], std::nullopt, record));
      } else if (has_actual) {
        TESSAMER_TRY(cell(k, std::nullopt, actual[pair.actual_index], record));
      }
    }
    return {};
  }

  // Whether every pair of the plan compares a column with the column at the same index.
  bool compares_same_positions() const { return same_positions_; }

  [[nodiscard]] Result<void> missing_row(const csv::Record& expected, std::uint64_t record) {
    return whole_row(expected, record, "{\"expected\":[", ",\"type\":\"MISSING_ROW\"}");
  }

  [[nodiscard]] Result<void> additional_row(const csv::Record& actual, std::uint64_t record) {
    return whole_row(actual, record, "{\"actual\":[", ",\"type\":\"ADDITIONAL_ROW\"}");
  }

 private:
  struct CellText {
    std::string middle;  // after the actual value, up to the expected value
    std::string tail;    // after the expected value, up to the record number
  };

  [[nodiscard]] Result<void> row_width(std::uint64_t record, std::size_t expected_values, std::size_t actual_values) {
    return report_.record(
        [&](ReportBuffer& out) {
          return TextOut(out)
              .raw("{\"actualColumns\":")
              .number(actual_columns_)
              .raw(",\"actualValues\":")
              .number(actual_values)
              .raw(",\"expectedColumns\":")
              .number(expected_columns_)
              .raw(",\"expectedValues\":")
              .number(expected_values)
              .raw(",\"record\":")
              .number(record)
              .raw(",\"type\":\"ROW_WIDTH\"}")
              .done();
        });
  }

  [[nodiscard]] Result<void> cell(std::size_t k, std::optional<std::string_view> expected, std::optional<std::string_view> actual,
                    std::uint64_t record) {
    // The expected field is decoded first, then the actual one. Plain ASCII under UTF-8 is its
    // own text, and needs no escaping either: such a line is written straight into place.
    const bool plain = utf8_ && (!expected || is_plain_ascii(*expected)) && (!actual || is_plain_ascii(*actual));
    if (plain && cell_in_place(cell_text_[k], expected, actual, record)) return {};
    expected_text_.clear();
    actual_text_.clear();
    if (expected) TESSAMER_TRY(decode_field_into(encoding_, *expected, expected_text_));
    if (actual) TESSAMER_TRY(decode_field_into(encoding_, *actual, actual_text_));
    const CellText& text = cell_text_[k];
    auto value = [](TextOut& out, bool present, const std::string& decoded) -> TextOut& {
      return present ? out.string(decoded) : out.raw("null");
    };
    return report_.record(
        [&](ReportBuffer& buffer) {
          TextOut out(buffer);
          out.raw("{\"actual\":");
          value(out, actual.has_value(), actual_text_).raw(text.middle);
          value(out, expected.has_value(), expected_text_).raw(text.tail).number(record).raw(",\"type\":\"CELL\"}");
          return out.done();
        });
  }

  // A CELL line of values that stand in it as they are, in the form cell() writes; false when the
  // report takes it another way (see record_in_place).
  bool cell_in_place(const CellText& text, std::optional<std::string_view> expected,
                     std::optional<std::string_view> actual, std::uint64_t record) {
    static constexpr std::string_view kHead = "{\"actual\":";
    static constexpr std::string_view kEnd = ",\"type\":\"CELL\"}";
    static constexpr std::string_view kNull = "null";
    char digits[20];
    const std::size_t digit_count = static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, record).ptr - digits);
    auto value_size = [](std::optional<std::string_view> value) { return value ? value->size() + 2 : kNull.size(); };
    const std::size_t size = kHead.size() + value_size(actual) + text.middle.size() + value_size(expected) +
                             text.tail.size() + digit_count + kEnd.size();
    return report_.record_in_place(size, [&](char* out) {
      auto put = [&out](std::string_view piece) {
        copy_bytes(out, piece.data(), piece.size());
        out += piece.size();
      };
      auto put_value = [&](std::optional<std::string_view> value) {
        if (!value) return put(kNull);
        *out++ = '"';
        put(*value);
        *out++ = '"';
      };
      put(kHead);
      put_value(actual);
      put(text.middle);
      put_value(expected);
      put(text.tail);
      put(std::string_view(digits, digit_count));
      put(kEnd);
    });
  }

  // MISSING_ROW and ADDITIONAL_ROW: every field of one record, decoded left to right.
  [[nodiscard]] Result<void> whole_row(const csv::Record& row, std::uint64_t record, std::string_view head, std::string_view end) {
    row_text_.clear();
    row_ends_.clear();
    for (std::size_t i = 0; i < row.size(); ++i) {
      TESSAMER_TRY(decode_field_into(encoding_, row[i], row_text_));
      row_ends_.push_back(row_text_.size());
    }
    auto field = [this](std::size_t i) {
      std::size_t begin = i == 0 ? 0 : row_ends_[i - 1];
      return std::string_view(row_text_).substr(begin, row_ends_[i] - begin);
    };
    return report_.record(
        [&](ReportBuffer& buffer) {
          TextOut out(buffer);
          out.raw(head);
          for (std::size_t i = 0; i < row_ends_.size(); ++i) {
            if (i > 0) out.raw(",");
            out.string(field(i));
          }
          return out.raw("],\"record\":").number(record).raw(end).done();
        });
  }

  encoding::Encoding encoding_;
  const bool utf8_;  // the text of a field is its bytes, once they are valid UTF-8
  std::size_t expected_columns_;
  std::size_t actual_columns_;
  const ColumnPlan& plan_;
  DivergenceReportWriter& report_;
  const bool same_positions_;        // every pair compares a column index with the same index
  std::vector<CellText> cell_text_;  // per pair of the plan
  std::vector<std::pair<std::size_t, std::size_t>> indexes_;  // per pair: expected and actual index
  std::string expected_text_;
  std::string actual_text_;
  std::string row_text_;               // every decoded field of a row, back to back
  std::vector<std::size_t> row_ends_;  // end of each field in row_text_
};

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
  DivergenceEmitter emit(dialect, expected_names, actual_names, plan, *report);

  ComparisonTotals totals;
  // Records that are the same bytes on both sides, with the headers' width, give no divergence
  // when every pair compares a column with the one at the same index: such runs are passed over
  // whole, without splitting them into fields.
  const std::size_t columns = expected_names.size();
  const bool skip_equal = emit.compares_same_positions() && actual_names.size() == columns;
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
        TESSAMER_TRY(emit.compare(expected.record(), actual.record(), totals.compared_rows));
      } else {
        ++totals.missing_rows;
        TESSAMER_TRY(emit.missing_row(expected.record(), totals.compared_rows + totals.missing_rows));
      }
    } else if (actual_holds) {
      ++totals.actual_rows;
      ++totals.additional_rows;
      TESSAMER_TRY(emit.additional_row(actual.record(), totals.compared_rows + totals.additional_rows));
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
