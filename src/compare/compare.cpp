#include "compare/compare.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "compare/report.h"
#include "core/file.h"
#include "core/sha256.h"
#include "csv/csv.h"

#ifndef TESSAMER_VERSION
#define TESSAMER_VERSION "0.1.0"
#endif

namespace tessamer {
namespace {

constexpr std::size_t kReadSize = std::size_t{1} << 20;

// Hands the file's bytes to the CSV reader, hashing and counting every byte it hands on (a BOM
// the reader skips included), so that the digest covers the file exactly. Each chunk is hashed
// right after it is read, while it is still in cache for the parse that follows.
class DigestingReader final : public csv::ByteSource {
 public:
  explicit DigestingReader(int fd) : fd_(fd) {}

  std::expected<std::size_t, csv::ReadError> read(unsigned char* dst, std::size_t capacity) override {
    auto n = read_some(fd_, dst, std::min(capacity, kReadSize));
    if (!n) return std::unexpected(csv::ReadError{std::move(n.error().text)});
    digest_.update(dst, *n);
    bytes_ += *n;
    return *n;
  }

  std::uint64_t bytes() const { return bytes_; }
  std::string finish_digest() { return digest_.finish(); }

 private:
  int fd_;
  Sha256 digest_;
  std::uint64_t bytes_ = 0;
};

// One dataset being read: the file, its digesting source, the reader and the reused record.
// Not movable: the reader refers to the source.
struct Side {
  Side(UniqueFd file, const csv::Dialect& dialect)
      : fd(std::move(file)), source(fd.get()), reader(source, dialect, kReadSize) {}
  Side(const Side&) = delete;
  Side& operator=(const Side&) = delete;

  // Reads the next record; `holds` tells whether there was one. `context` prefixes a failure.
  Result<void> advance(std::string_view context) {
    auto more = reader.next(record);
    if (!more) return std::unexpected(EngineError::wrap(ErrorCode::InvalidGoldenDataset, context, more.error().text));
    holds = *more;
    return {};
  }

  UniqueFd fd;
  DigestingReader source;
  csv::Reader reader;
  csv::Record record;
  bool holds = false;
};

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
  IoResult<void> done() { return std::move(status_); }

 private:
  ReportBuffer& out_;
  IoResult<void> status_;
};

// Turns divergences into report lines. The text of each kind is written straight into the
// report's buffer (the constant parts of a CELL line are prepared once per column pair); a
// JsonValue is built only for the divergences kept as examples. Fields are decoded into reused
// buffers, and all fields a line needs are decoded before any of it is written, so that a decode
// failure leaves no partial line.
class DivergenceEmitter {
 public:
  DivergenceEmitter(const CsvDialect& dialect, const std::vector<std::string>& expected_names,
                    const std::vector<std::string>& actual_names, const ColumnPlan& plan,
                    DivergenceReportWriter& report)
      : encoding_(dialect.encoding),
        expected_columns_(expected_names.size()),
        actual_columns_(actual_names.size()),
        plan_(plan),
        report_(report),
        same_positions_(std::all_of(plan.pairs.begin(), plan.pairs.end(),
                                    [](const ColumnPair& pair) { return pair.expected_index == pair.actual_index; })) {
    cell_text_.reserve(plan.pairs.size());
    for (const ColumnPair& pair : plan.pairs) {
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
  Result<void> compare(const csv::Record& expected, const csv::Record& actual, std::uint64_t record) {
    if (expected.size() != expected_columns_ || actual.size() != actual_columns_) {
      TESSAMER_TRY(row_width(record, expected.size(), actual.size()));
    } else if (same_positions_ && same_raw_bytes(expected, actual)) {
      // Equal raw bytes give equal fields, so every pair compares an index with itself on equal
      // records: no divergence. (The widths match the headers, so there is no ROW_WIDTH either.)
      return {};
    }
    const std::size_t pairs = plan_.pairs.size();
    for (std::size_t k = 0; k < pairs; ++k) {
      const ColumnPair& pair = plan_.pairs[k];
      const bool has_expected = pair.expected_index < expected.size();
      const bool has_actual = pair.actual_index < actual.size();
      if (has_expected && has_actual) {
        std::string_view e = expected[pair.expected_index];
        std::string_view a = actual[pair.actual_index];
        if (e.size() == a.size() && (e.empty() || std::memcmp(e.data(), a.data(), e.size()) == 0)) continue;
        TESSAMER_TRY(cell(k, e, a, record));
      } else if (has_expected) {
        TESSAMER_TRY(cell(k, expected[pair.expected_index], std::nullopt, record));
      } else if (has_actual) {
        TESSAMER_TRY(cell(k, std::nullopt, actual[pair.actual_index], record));
      }
    }
    return {};
  }

  Result<void> missing_row(const csv::Record& expected, std::uint64_t record) {
    return whole_row(expected, record, "{\"expected\":[", ",\"type\":\"MISSING_ROW\"}", "expected", "MISSING_ROW");
  }

  Result<void> additional_row(const csv::Record& actual, std::uint64_t record) {
    return whole_row(actual, record, "{\"actual\":[", ",\"type\":\"ADDITIONAL_ROW\"}", "actual", "ADDITIONAL_ROW");
  }

 private:
  struct CellText {
    std::string middle;  // after the actual value, up to the expected value
    std::string tail;    // after the expected value, up to the record number
  };

  Result<void> row_width(std::uint64_t record, std::size_t expected_values, std::size_t actual_values) {
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
        },
        [&] {
          JsonValue example = JsonValue::object();
          example.set("actualColumns", JsonValue::number(actual_columns_));
          example.set("actualValues", JsonValue::number(actual_values));
          example.set("expectedColumns", JsonValue::number(expected_columns_));
          example.set("expectedValues", JsonValue::number(expected_values));
          example.set("record", JsonValue::number(record));
          example.set("type", JsonValue::string("ROW_WIDTH"));
          return example;
        });
  }

  Result<void> cell(std::size_t k, std::optional<std::string_view> expected, std::optional<std::string_view> actual,
                    std::uint64_t record) {
    // The expected field is decoded first, then the actual one.
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
        },
        [&] {
          const ColumnPair& pair = plan_.pairs[k];
          auto field = [](bool present, const std::string& decoded) {
            return present ? JsonValue::string(decoded) : JsonValue();
          };
          JsonValue example = JsonValue::object();
          example.set("actual", field(actual.has_value(), actual_text_));
          example.set("actualColumn", JsonValue::string(pair.actual));
          example.set("actualIndex", JsonValue::number(pair.actual_index));
          example.set("column", JsonValue::string(pair.expected));
          example.set("expected", field(expected.has_value(), expected_text_));
          example.set("expectedColumn", JsonValue::string(pair.expected));
          example.set("expectedIndex", JsonValue::number(pair.expected_index));
          example.set("record", JsonValue::number(record));
          example.set("type", JsonValue::string("CELL"));
          return example;
        });
  }

  // MISSING_ROW and ADDITIONAL_ROW: every field of one record, decoded left to right.
  Result<void> whole_row(const csv::Record& row, std::uint64_t record, std::string_view head, std::string_view end,
                         const char* fields_key, const char* type) {
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
        },
        [&] {
          JsonValue fields = JsonValue::array();
          for (std::size_t i = 0; i < row_ends_.size(); ++i) fields.push(JsonValue::string(std::string(field(i))));
          JsonValue example = JsonValue::object();
          example.set(fields_key, std::move(fields));
          example.set("record", JsonValue::number(record));
          example.set("type", JsonValue::string(type));
          return example;
        });
  }

  encoding::Encoding encoding_;
  std::size_t expected_columns_;
  std::size_t actual_columns_;
  const ColumnPlan& plan_;
  DivergenceReportWriter& report_;
  const bool same_positions_;        // every pair compares a column index with the same index
  std::vector<CellText> cell_text_;  // per pair of the plan
  std::string expected_text_;
  std::string actual_text_;
  std::string row_text_;               // every decoded field of a row, back to back
  std::vector<std::size_t> row_ends_;  // end of each field in row_text_
};

Result<UniqueFd> open_dataset(const std::string& path, std::string_view context, std::vector<FileIdentity>& identities) {
  auto fd = open_file(path, O_RDONLY);
  if (!fd) return std::unexpected(EngineError::wrap(ErrorCode::NativeIoError, context, fd.error().text));
  auto identity = file_identity(fd->get());
  if (!identity) return std::unexpected(EngineError::wrap(ErrorCode::NativeIoError, context, identity.error().text));
  identities.push_back(*identity);
  return std::move(*fd);
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum;
  return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

// The time since `start`, as whole seconds and the nanoseconds beyond them; zero if `start` lies
// ahead.
std::pair<std::uint64_t, std::uint64_t> elapsed_since(std::chrono::steady_clock::time_point start) {
  auto elapsed = std::chrono::steady_clock::now() - start;
  if (elapsed < elapsed.zero()) return {0, 0};
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
  auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed - seconds);
  return {static_cast<std::uint64_t>(seconds.count()), static_cast<std::uint64_t>(nanos.count())};
}

JsonValue string_array(const std::vector<std::string>& texts) {
  JsonValue array = JsonValue::array();
  for (const std::string& text : texts) array.push(JsonValue::string(text));
  return array;
}

// The members both result documents have with the same meaning.
JsonValue common_document(const std::vector<std::string>& expected_names, const std::vector<std::string>& actual_names,
                          const ColumnPlan& plan, const ComparisonTotals& totals) {
  JsonValue pairs = JsonValue::array();
  for (const ColumnPair& pair : plan.pairs) {
    JsonValue entry = JsonValue::object();
    entry.set("actual", JsonValue::string(pair.actual));
    entry.set("actualIndex", JsonValue::number(pair.actual_index));
    entry.set("expected", JsonValue::string(pair.expected));
    entry.set("expectedIndex", JsonValue::number(pair.expected_index));
    pairs.push(std::move(entry));
  }
  JsonValue headers = JsonValue::object();
  headers.set("actual", string_array(actual_names));
  headers.set("expected", string_array(expected_names));

  JsonValue document = JsonValue::object();
  document.set("actualBytes", JsonValue::number(totals.actual_bytes));
  document.set("actualSha256", JsonValue::string(totals.actual_sha256));
  document.set("columnPairs", std::move(pairs));
  document.set("columnsCompared", JsonValue::number(plan.pairs.size()));
  document.set("engine", engine_metadata());
  document.set("expectedBytes", JsonValue::number(totals.expected_bytes));
  document.set("expectedSha256", JsonValue::string(totals.expected_sha256));
  document.set("headers", std::move(headers));
  return document;
}

// The two clock readings come last, in this order: the duration, then the throughput.
void add_timing(JsonValue& document, const ComparisonTotals& totals, std::chrono::steady_clock::time_point start) {
  auto [seconds, nanos] = elapsed_since(start);
  document.set("durationMs", JsonValue::number(saturating_add(saturating_mul(seconds, 1000), nanos / 1'000'000)));
  document.set("throughputBytesPerSecond",
               JsonValue::number(throughput_bytes_per_second(
                   saturating_add(totals.expected_bytes, totals.actual_bytes), start)));
}

}  // namespace

Result<ComparisonOutcome> compare_datasets(const ValidationRequest& request, const CsvDialect& dialect,
                                           const std::vector<std::string>& expected_names,
                                           const std::vector<std::string>& actual_names, const ColumnPlan& plan,
                                           std::chrono::steady_clock::time_point /*start*/) {
  std::vector<FileIdentity> datasets;
  auto expected_fd = open_dataset(request.expected_path, "cannot open expected CSV", datasets);
  if (!expected_fd) return std::unexpected(std::move(expected_fd.error()));
  auto actual_fd = open_dataset(request.actual_path, "cannot open actual CSV", datasets);
  if (!actual_fd) return std::unexpected(std::move(actual_fd.error()));

  const csv::Dialect csv_dialect = reader_dialect(dialect);
  Side expected(std::move(*expected_fd), csv_dialect);
  Side actual(std::move(*actual_fd), csv_dialect);

  if (request.has_header) {
    TESSAMER_TRY(expected.advance("cannot parse expected header"));
    TESSAMER_TRY(actual.advance("cannot parse actual header"));
  }

  auto report = open_divergence_report(request.divergence_path, request.example_limit, datasets);
  if (!report) return std::unexpected(std::move(report.error()));
  DivergenceEmitter emit(dialect, expected_names, actual_names, plan, *report);

  static constexpr std::string_view kExpectedContext = "cannot parse expected CSV";
  static constexpr std::string_view kActualContext = "cannot parse actual CSV";
  ComparisonTotals totals;
  TESSAMER_TRY(expected.advance(kExpectedContext));
  for (;;) {
    TESSAMER_TRY(actual.advance(kActualContext));
    if (expected.holds) {
      ++totals.expected_rows;
      if (actual.holds) {
        ++totals.actual_rows;
        ++totals.compared_rows;
        TESSAMER_TRY(emit.compare(expected.record, actual.record, totals.compared_rows));
      } else {
        ++totals.missing_rows;
        TESSAMER_TRY(emit.missing_row(expected.record, totals.compared_rows + totals.missing_rows));
      }
      TESSAMER_TRY(expected.advance(kExpectedContext));
    } else if (actual.holds) {
      ++totals.actual_rows;
      ++totals.additional_rows;
      TESSAMER_TRY(emit.additional_row(actual.record, totals.compared_rows + totals.additional_rows));
      TESSAMER_TRY(expected.advance(kExpectedContext));
    } else {
      break;
    }
  }

  auto summary = finish_divergence_report(std::move(*report));
  if (!summary) return std::unexpected(std::move(summary.error()));
  totals.expected_sha256 = expected.source.finish_digest();
  totals.expected_bytes = expected.source.bytes();
  expected.fd.reset();
  totals.actual_sha256 = actual.source.finish_digest();
  totals.actual_bytes = actual.source.bytes();
  actual.fd.reset();
  return ComparisonOutcome{std::move(totals), summary->count, std::move(summary->examples)};
}

JsonValue engine_metadata() {
  JsonValue engine = JsonValue::object();
  engine.set("name", JsonValue::string("tessamer"));
  engine.set("target", JsonValue::string("x86_64-unknown-linux-gnu"));
  engine.set("version", JsonValue::string(TESSAMER_VERSION));
  return engine;
}

std::uint64_t throughput_bytes_per_second(std::uint64_t total_bytes, std::chrono::steady_clock::time_point start) {
  auto [whole, nanos] = elapsed_since(start);
  double seconds = static_cast<double>(whole) + static_cast<double>(nanos) / 1e9;
  if (seconds < 1e-6) seconds = 1e-6;
  double rate = static_cast<double>(total_bytes) / seconds;
  // 2^64: the first rate that no longer fits.
  if (rate >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<std::uint64_t>(rate);
}

JsonValue build_result_document(const ValidationRequest& request, const std::vector<std::string>& expected_names,
                                const std::vector<std::string>& actual_names, const ColumnPlan& plan,
                                ComparisonOutcome outcome, std::chrono::steady_clock::time_point start) {
  const ComparisonTotals& totals = outcome.totals;
  std::uint64_t excluded_expected = 0;
  std::uint64_t excluded_actual = 0;
  for (const ExcludedColumn& excluded : request.excluded_columns) {
    if (excluded.expected) ++excluded_expected;
    if (excluded.actual) ++excluded_actual;
  }
  const char* status = outcome.divergences > 0               ? "FAIL"
                       : !request.excluded_columns.empty() ? "PASS_WITH_EXCLUSIONS"
                                                           : "PASS";
  JsonValue rows = JsonValue::object();
  rows.set("actual", JsonValue::number(totals.actual_rows));
  rows.set("additional", JsonValue::number(totals.additional_rows));
  rows.set("compared", JsonValue::number(totals.compared_rows));
  rows.set("expected", JsonValue::number(totals.expected_rows));
  rows.set("missing", JsonValue::number(totals.missing_rows));

  JsonValue document = common_document(expected_names, actual_names, plan, totals);
  document.set("cellsCompared", JsonValue::number(saturating_mul(totals.compared_rows, plan.pairs.size())));
  document.set("comparisonMode", JsonValue::string("quor-csv-stream"));
  JsonValue examples = JsonValue::array();
  examples.as_array() = std::move(outcome.examples);
  document.set("divergenceExamples", std::move(examples));
  document.set("divergences", JsonValue::number(outcome.divergences));
  document.set("excludedCells", JsonValue::number(saturating_add(saturating_mul(totals.expected_rows, excluded_expected),
                                                                 saturating_mul(totals.actual_rows, excluded_actual))));
  document.set("rows", std::move(rows));
  document.set("status", JsonValue::string(status));
  add_timing(document, totals, start);
  return document;
}

JsonValue build_identical_result_document(const std::vector<std::string>& expected_names,
                                          const std::vector<std::string>& actual_names, const ColumnPlan& plan,
                                          const ComparisonTotals& totals,
                                          std::chrono::steady_clock::time_point start) {
  JsonValue rows = JsonValue::object();
  rows.set("actual", JsonValue());
  rows.set("additional", JsonValue::number(0));
  rows.set("compared", JsonValue());
  rows.set("expected", JsonValue());
  rows.set("missing", JsonValue::number(0));

  JsonValue document = common_document(expected_names, actual_names, plan, totals);
  document.set("cellsCompared", JsonValue());
  document.set("comparisonMode", JsonValue::string("quor-binary"));
  document.set("divergenceExamples", JsonValue::array());
  document.set("divergences", JsonValue::number(0));
  document.set("excludedCells", JsonValue::number(0));
  document.set("rows", std::move(rows));
  document.set("status", JsonValue::string("PASS"));
  add_timing(document, totals, start);
  return document;
}

}  // namespace tessamer
