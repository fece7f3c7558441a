// Streaming the divergence report once, and holding it against the result document.
#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "core/file.h"
#include "json/reader.h"
#include "summary/detail.h"
#include "summary/summary.h"

namespace tessamer::summary {
namespace {

using detail::Counted;

// A report line's members, as far as the summary uses them.
struct Line {
  std::optional<DivergenceType> type;
  std::optional<std::uint64_t> record;
  std::optional<std::string> column, actual_column;
  std::optional<std::uint64_t> expected_index, actual_index;
  std::optional<std::uint64_t> expected_values, expected_columns, actual_values, actual_columns;
  // "expected" / "actual": a field (CELL, null when absent) or a row (MISSING_ROW, ADDITIONAL_ROW).
  bool has_expected = false, has_actual = false;
  std::optional<std::string> expected, actual;
  std::optional<std::vector<std::string>> expected_row, actual_row;
};

json::Expected<std::string> read_string(json::Reader& reader) {
  if (reader.skip_whitespace() != '"') return std::unexpected(reader.peek_error("expected a string"));
  reader.eat();
  return reader.parse_string();
}

json::Expected<std::uint64_t> read_unsigned(json::Reader& reader) {
  auto c = reader.skip_whitespace();
  if (!c || *c < '0' || *c > '9') return std::unexpected(reader.peek_error("expected a non-negative integer"));
  auto number = reader.parse_number(true);
  if (!number) return std::unexpected(number.error());
  if (number->kind != json::Number::Kind::Unsigned) {
    return std::unexpected(reader.error("expected a non-negative integer"));
  }
  return number->u;
}

// A CELL field (string or null) or a row (array of strings).
json::Expected<void> read_side(json::Reader& reader, std::optional<std::string>& field,
                               std::optional<std::vector<std::string>>& row) {
  auto c = reader.skip_whitespace();
  if (c == 'n') {
    reader.eat();
    return reader.parse_ident("ull");
  }
  if (c == '"') {
    reader.eat();
    auto text = reader.parse_string();
    if (!text) return std::unexpected(text.error());
    field = std::move(*text);
    return {};
  }
  if (c != '[') return std::unexpected(reader.peek_error("expected a string, null or an array of strings"));
  reader.eat();
  row.emplace();
  bool first = true;
  for (;;) {
    auto more = reader.next_element(first);
    if (!more) return std::unexpected(more.error());
    if (!*more) break;
    auto text = read_string(reader);
    if (!text) return std::unexpected(text.error());
    row->push_back(std::move(*text));
  }
  return reader.end_array();
}

std::optional<DivergenceType> type_from_name(std::string_view name) {
  for (DivergenceType type : kTypes) {
    if (type_name(type) == name) return type;
  }
  return std::nullopt;
}

#define SUMMARY_READ(target, expr)                                   \
  do {                                                               \
    auto summary_read_ = (expr);                                     \
    if (!summary_read_) return std::unexpected(summary_read_.error()); \
    target = std::move(*summary_read_);                              \
  } while (false)

json::Expected<Line> parse_line(std::string_view text) {
  json::Reader reader(text);
  Line line;
  if (reader.skip_whitespace() != '{') return std::unexpected(reader.peek_error("expected an object"));
  reader.eat();
  bool first = true;
  for (;;) {
    auto more = reader.next_member(first);
    if (!more) return std::unexpected(more.error());
    if (!*more) break;
    auto key = read_string(reader);
    if (!key) return std::unexpected(key.error());
    if (auto colon = reader.parse_colon(); !colon) return std::unexpected(colon.error());
    const std::string& k = *key;
    if (k == "type") {
      auto name = read_string(reader);
      if (!name) return std::unexpected(name.error());
      line.type = type_from_name(*name);
      if (!line.type) return std::unexpected(reader.error("unknown divergence type"));
    } else if (k == "record") {
      SUMMARY_READ(line.record, read_unsigned(reader));
    } else if (k == "column") {
      SUMMARY_READ(line.column, read_string(reader));
    } else if (k == "actualColumn") {
      SUMMARY_READ(line.actual_column, read_string(reader));
    } else if (k == "expected" || k == "actual") {
      bool expected = k == "expected";
      (expected ? line.has_expected : line.has_actual) = true;
      auto side = expected ? read_side(reader, line.expected, line.expected_row)
                           : read_side(reader, line.actual, line.actual_row);
      if (!side) return std::unexpected(side.error());
    } else if (k == "expectedIndex") {
      SUMMARY_READ(line.expected_index, read_unsigned(reader));
    } else if (k == "actualIndex") {
      SUMMARY_READ(line.actual_index, read_unsigned(reader));
    } else if (k == "expectedValues") {
      SUMMARY_READ(line.expected_values, read_unsigned(reader));
    } else if (k == "expectedColumns") {
      SUMMARY_READ(line.expected_columns, read_unsigned(reader));
    } else if (k == "actualValues") {
      SUMMARY_READ(line.actual_values, read_unsigned(reader));
    } else if (k == "actualColumns") {
      SUMMARY_READ(line.actual_columns, read_unsigned(reader));
    } else {
      // expectedColumn repeats column; anything else is not ours to judge.
      auto skipped = detail::read_value(reader);
      if (!skipped) return std::unexpected(skipped.error());
    }
  }
  if (auto closed = reader.end_object(); !closed) return std::unexpected(closed.error());
  if (auto end = reader.end_document(); !end) return std::unexpected(end.error());

  auto missing = [&](std::string_view what) {
    return std::unexpected(reader.error("missing " + std::string(what)));
  };
  if (!line.type) return missing("\"type\"");
  if (!line.record) return missing("\"record\"");
  switch (*line.type) {
    case DivergenceType::Cell:
      if (!line.column || !line.actual_column || !line.expected_index || !line.actual_index || !line.has_expected ||
          !line.has_actual || line.expected_row || line.actual_row) {
        return missing("members of a CELL line");
      }
      break;
    case DivergenceType::RowWidth:
      if (!line.expected_values || !line.expected_columns || !line.actual_values || !line.actual_columns) {
        return missing("members of a ROW_WIDTH line");
      }
      break;
    case DivergenceType::MissingRow:
      if (!line.expected_row) return missing("the \"expected\" row");
      break;
    case DivergenceType::AdditionalRow:
      if (!line.actual_row) return missing("the \"actual\" row");
      break;
  }
  return line;
}

// Reads a report line in exactly the layout the engine writes (compact, keys sorted), taking
// only what is counted and checking the rest as it passes: strings end where they should, hold
// no raw control byte and only valid escapes and UTF-8. This is the report's hot path: a line
// that deviates in any way, or a column name with an escape, is left to parse_line.
class FastLine {
 public:
  explicit FastLine(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  bool read(Counted& out) {
    if (literal(R"({"actual":)")) {
      if (p_ < end_ && *p_ == '[') {
        out.type = DivergenceType::AdditionalRow;
        return row() && literal(R"(,"record":)") && number(out.record) && literal(R"(,"type":"ADDITIONAL_ROW"})") && p_ == end_;
      }
      std::string_view expected_column;
      out.type = DivergenceType::Cell;
      return field() && literal(R"(,"actualColumn":)") && name(out.actual_column) && literal(R"(,"actualIndex":)") &&
             number(out.actual_index) && literal(R"(,"column":)") && name(out.column) && literal(R"(,"expected":)") &&
             field() && literal(R"(,"expectedColumn":)") && name(expected_column) && expected_column == out.column &&
             literal(R"(,"expectedIndex":)") && number(out.expected_index) && literal(R"(,"record":)") &&
             number(out.record) && literal(R"(,"type":"CELL"})") && p_ == end_;
    }
    if (literal(R"({"actualColumns":)")) {
      std::uint64_t ignored;
      out.type = DivergenceType::RowWidth;
      return number(ignored) && literal(R"(,"actualValues":)") && number(ignored) && literal(R"(,"expectedColumns":)") &&
             number(ignored) && literal(R"(,"expectedValues":)") && number(ignored) && literal(R"(,"record":)") &&
             number(out.record) && literal(R"(,"type":"ROW_WIDTH"})") && p_ == end_;
    }
    if (literal(R"({"expected":)")) {
      out.type = DivergenceType::MissingRow;
      return row() && literal(R"(,"record":)") && number(out.record) && literal(R"(,"type":"MISSING_ROW"})") && p_ == end_;
    }
    return false;
  }

 private:
  // A literal of known length, so that the comparison is inlined.
  template <std::size_t N>
  bool literal(const char (&text)[N]) {
    constexpr std::size_t n = N - 1;
    if (static_cast<std::size_t>(end_ - p_) < n || std::memcmp(p_, text, n) != 0) return false;
    p_ += n;
    return true;
  }

  bool number(std::uint64_t& out) {
    const char* start = p_;
    std::uint64_t value = 0;
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9') {
      std::uint64_t digit = static_cast<std::uint64_t>(*p_ - '0');
      if (value > (UINT64_MAX - digit) / 10) return false;
      value = value * 10 + digit;
      ++p_;
    }
    if (p_ == start || (*start == '0' && p_ - start > 1)) return false;
    out = value;
    return true;
  }

  // A string; `escaped` tells whether it held a backslash escape.
  bool string(bool& escaped) {
    if (p_ == end_ || *p_ != '"') return false;
    ++p_;
    escaped = false;
    for (;;) {
      // Eight bytes at a time while none is a quote, a backslash, a control byte or non-ASCII.
      while (end_ - p_ >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p_, 8);
        constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
        std::uint64_t quote = w ^ (kOnes * '"'), slash = w ^ (kOnes * '\\');
        std::uint64_t special = ((quote - kOnes) & ~quote) | ((slash - kOnes) & ~slash) | (w - kOnes * 0x20) | w;
        if ((special & kHigh) != 0) break;
        p_ += 8;
      }
      if (p_ == end_) return false;
      unsigned char c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        ++p_;
        return true;
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        if (!escape()) return false;
        escaped = true;
      } else if (c >= 0x80) {
        if (!utf8()) return false;
      } else {
        ++p_;
      }
    }
  }

  bool escape() {
    ++p_;
    if (p_ == end_) return false;
    char c = *p_++;
    if (c != 'u') return std::strchr("\"\\/bfnrt", c) != nullptr && c != '\0';
    // \uXXXX, a surrogate only as a leading one followed by an escaped trailing one.
    auto hex4 = [&](unsigned& v) {
      if (end_ - p_ < 4) return false;
      v = 0;
      for (int k = 0; k < 4; ++k) {
        char h = *p_++;
        int d = h >= '0' && h <= '9' ? h - '0' : h >= 'a' && h <= 'f' ? h - 'a' + 10 : h >= 'A' && h <= 'F' ? h - 'A' + 10 : -1;
        if (d < 0) return false;
        v = v * 16 + static_cast<unsigned>(d);
      }
      return true;
    };
    unsigned first;
    if (!hex4(first) || (first >= 0xDC00 && first <= 0xDFFF)) return false;
    if (first < 0xD800 || first > 0xDBFF) return true;
    unsigned second;
    return literal("\\u") && hex4(second) && second >= 0xDC00 && second <= 0xDFFF;
  }

  bool utf8() {
    const auto* s = reinterpret_cast<const unsigned char*>(p_);
    std::size_t left = static_cast<std::size_t>(end_ - p_);
    unsigned char c = s[0];
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (left < length || s[1] < low || s[1] > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if (s[k] < 0x80 || s[k] > 0xBF) return false;
    }
    p_ += length;
    return true;
  }

  bool name(std::string_view& out) {
    const char* start = p_ + 1;
    bool escaped;
    if (!string(escaped) || escaped) return false;
    out = std::string_view(start, static_cast<std::size_t>(p_ - 1 - start));
    return true;
  }

  bool field() {
    if (literal("null")) return true;
    bool escaped;
    return string(escaped);
  }

  bool row() {
    if (!literal("[")) return false;
    if (literal("]")) return true;
    bool escaped;
    do {
      if (!string(escaped)) return false;
    } while (literal(","));
    return literal("]");
  }

  const char* p_;
  const char* end_;
};

// Backs `offset` up to the start of the UTF-8 character it falls in.
std::size_t char_start(std::string_view text, std::size_t offset) {
  while (offset > 0 && offset < text.size() && (static_cast<unsigned char>(text[offset]) & 0xC0) == 0x80) --offset;
  return offset;
}

KeptValue keep(std::string&& text, std::size_t start) {
  KeptValue kept;
  if (start == 0 && text.size() <= KeptValue::kKeptBytes) {
    kept.text = std::move(text);
    return kept;
  }
  start = std::min(start, text.size());
  std::size_t end = start + KeptValue::kKeptBytes;
  if (end < text.size()) {
    end = char_start(text, end);
    kept.cut_after = true;
  } else {
    end = text.size();
  }
  kept.cut_before = start > 0;
  kept.text.assign(text, start, end - start);
  return kept;
}

Divergence to_divergence(Line&& line) {
  Divergence d;
  d.type = *line.type;
  d.record = *line.record;
  switch (d.type) {
    case DivergenceType::Cell: {
      d.column = std::move(*line.column);
      d.actual_column = std::move(*line.actual_column);
      // Both sides are cut at one offset some way before their first difference.
      std::size_t start = 0;
      if (line.expected && line.actual) {
        const std::string& e = *line.expected;
        const std::string& a = *line.actual;
        std::size_t common = static_cast<std::size_t>(
            std::mismatch(e.begin(), e.begin() + static_cast<std::ptrdiff_t>(std::min(e.size(), a.size())), a.begin())
                .first -
            e.begin());
        if (common > KeptValue::kKeptBytes / 4) start = char_start(e, common - KeptValue::kKeptBytes / 4);
      }
      if (line.expected) d.expected = keep(std::move(*line.expected), start);
      if (line.actual) d.actual = keep(std::move(*line.actual), start);
      break;
    }
    case DivergenceType::RowWidth:
      d.expected_values = *line.expected_values;
      d.expected_columns = *line.expected_columns;
      d.actual_values = *line.actual_values;
      d.actual_columns = *line.actual_columns;
      break;
    case DivergenceType::MissingRow: d.expected = keep(detail::csv_row(*line.expected_row), 0); break;
    case DivergenceType::AdditionalRow: d.actual = keep(detail::csv_row(*line.actual_row), 0); break;
  }
  return d;
}

std::string lines_text(std::uint64_t n) { return detail::grouped(n) + (n == 1 ? " line" : " lines"); }

}  // namespace

std::string_view type_name(DivergenceType type) {
  switch (type) {
    case DivergenceType::Cell: return "CELL";
    case DivergenceType::RowWidth: return "ROW_WIDTH";
    case DivergenceType::MissingRow: return "MISSING_ROW";
    case DivergenceType::AdditionalRow: return "ADDITIONAL_ROW";
  }
  return "CELL";
}

ReportScanner::ReportScanner(const RunResult& result, std::size_t first_limit)
    : result_(result), first_limit_(first_limit) {
  summary_.read = true;
  summary_.by_column.resize(result.column_pairs.size());
  pair_by_index_.reserve(result.column_pairs.size());
  for (std::size_t i = 0; i < result.column_pairs.size(); ++i) {
    pair_by_index_.emplace_back(result.column_pairs[i].expected_index, i);
  }
  // By index, then by place in the plan (each pair is unique).
  std::sort(pair_by_index_.begin(), pair_by_index_.end());
}

void ReportScanner::feed(std::string_view bytes) {
  summary_.bytes += bytes.size();
  if (!carry_.empty()) {
    const void* end = std::memchr(bytes.data(), '\n', bytes.size());
    if (end == nullptr) {
      carry_.append(bytes);
      return;
    }
    std::size_t n = static_cast<std::size_t>(static_cast<const char*>(end) - bytes.data());
    carry_.append(bytes.substr(0, n));
    line(carry_);
    carry_.clear();
    bytes.remove_prefix(n + 1);
  }
  for (;;) {
    const void* end = std::memchr(bytes.data(), '\n', bytes.size());
    if (end == nullptr) break;
    std::size_t n = static_cast<std::size_t>(static_cast<const char*>(end) - bytes.data());
    line(bytes.substr(0, n));
    bytes.remove_prefix(n + 1);
  }
  carry_.append(bytes);
}

void ReportScanner::line(std::string_view text) {
  const std::uint64_t number = ++summary_.lines;
  if (number <= result_.examples.size()) {
    json::Reader reader(text);
    auto value = detail::read_value(reader);
    bool same = value && reader.end_document() && *value == result_.examples[number - 1];
    if (!same && summary_.mismatched_examples++ == 0) summary_.first_mismatched_example = number;
  }
  Counted counted;
  if (summary_.first.size() >= first_limit_ && FastLine(text).read(counted)) {
    count(counted);
    return;
  }
  auto full = parse_line(text);
  if (!full) {
    if (summary_.malformed_lines++ == 0) {
      summary_.first_malformed_line = number;
      summary_.first_malformed_message = full.error().to_string();
    }
    return;
  }
  Line& l = *full;
  counted.type = *l.type;
  counted.record = *l.record;
  if (counted.type == DivergenceType::Cell) {
    counted.column = *l.column;
    counted.actual_column = *l.actual_column;
    counted.expected_index = *l.expected_index;
    counted.actual_index = *l.actual_index;
  }
  count(counted);
  if (summary_.first.size() < first_limit_) summary_.first.push_back(to_divergence(std::move(l)));
}

void ReportScanner::count(const Counted& line) {
  summary_.by_type[static_cast<std::size_t>(line.type)] += 1;
  summary_.max_record = std::max(summary_.max_record, line.record);
  if (line.type != DivergenceType::Cell) return;
  auto it = std::lower_bound(pair_by_index_.begin(), pair_by_index_.end(), line.expected_index,
                             [](const auto& entry, std::uint64_t index) { return entry.first < index; });
  for (; it != pair_by_index_.end() && it->first == line.expected_index; ++it) {
    const ColumnPair& pair = result_.column_pairs[it->second];
    if (pair.actual_index != line.actual_index || pair.expected != line.column || pair.actual != line.actual_column) continue;
    ColumnCount& c = summary_.by_column[it->second];
    if (c.count++ == 0) c.first_record = line.record;
    c.last_record = line.record;
    return;
  }
  ++summary_.unknown_column_cells;
}

ReportSummary ReportScanner::finish() {
  summary_.cut_bytes = carry_.size();
  carry_.clear();
  carry_.shrink_to_fit();
  return std::move(summary_);
}

Expected<ReportSummary> scan_report_file(std::string_view path, const RunResult& result, std::size_t first_limit) {
  auto fail = [&](std::string_view cause) {
    return std::unexpected(Error{"cannot read report " + std::string(path) + ": " + std::string(cause)});
  };
  auto fd = open_file(path, O_RDONLY);
  if (!fd) return fail(fd.error().text);
  ::posix_fadvise(fd->get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  // Read, not mapped: a mapping of a report that is truncated meanwhile (a new run writing it)
  // would end the process with SIGBUS instead of a summary.
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  auto buffer = std::make_unique_for_overwrite<char[]>(kChunk);
  ReportScanner scanner(result, first_limit);
  for (;;) {
    auto n = read_some(fd->get(), buffer.get(), kChunk);
    if (!n) return fail(n.error().text);
    if (*n == 0) break;
    scanner.feed(std::string_view(buffer.get(), *n));
  }
  return scanner.finish();
}

Summary summarise(RunResult result, ReportSummary report, std::size_t first_limit) {
  Summary s{std::move(result), std::move(report), first_limit, {}};
  const RunResult& r = s.result;
  const ReportSummary& rep = s.report;
  if (!rep.read) return s;
  auto& problems = s.problems;
  if (rep.cut_bytes > 0) {
    problems.push_back("the last line is cut off (" + detail::grouped(rep.cut_bytes) +
                       " bytes after the last line end): the report was not written to its end");
  }
  if (rep.lines < r.divergences) {
    problems.push_back("the report is shorter than the run: " + lines_text(rep.lines) + " for " +
                       detail::grouped(r.divergences) + " divergences");
  } else if (rep.lines > r.divergences) {
    problems.push_back("the report is longer than the run: " + lines_text(rep.lines) + " for " +
                       detail::grouped(r.divergences) + " divergences");
  }
  if (rep.malformed_lines > 0) {
    problems.push_back(lines_text(rep.malformed_lines) + " not divergence records, the first at line " +
                       detail::grouped(rep.first_malformed_line) + ": " + rep.first_malformed_message);
  }
  bool other_run = false;
  if (rep.mismatched_examples > 0) {
    problems.push_back("line " + detail::grouped(rep.first_mismatched_example) +
                       " differs from the result's divergence example: the report belongs to another run");
    other_run = true;
  }
  if (!other_run && rep.unknown_column_cells > 0) {
    problems.push_back(lines_text(rep.unknown_column_cells) +
                       " name a column pair the run did not compare: the report belongs to another run");
    other_run = true;
  }
  std::uint64_t rows = std::max(r.expected_rows.value_or(0), r.actual_rows.value_or(0));
  if (!other_run && rep.max_record > rows) {
    problems.push_back("the report reaches record " + detail::grouped(rep.max_record) + " of a run of " +
                       detail::grouped(rows) + " records: the report belongs to another run");
    other_run = true;
  }
  const auto& t = rep.by_type;
  std::uint64_t missing = t[static_cast<std::size_t>(DivergenceType::MissingRow)];
  std::uint64_t additional = t[static_cast<std::size_t>(DivergenceType::AdditionalRow)];
  if (!other_run && rep.lines == r.divergences && rep.malformed_lines == 0 &&
      (missing != r.missing_rows || additional != r.additional_rows)) {
    problems.push_back("the report's " + detail::grouped(missing) + " MISSING_ROW and " + detail::grouped(additional) +
                       " ADDITIONAL_ROW lines differ from the run's " + detail::grouped(r.missing_rows) +
                       " missing and " + detail::grouped(r.additional_rows) +
                       " additional rows: the report belongs to another run");
  }
  return s;
}

}  // namespace tessamer::summary
