// Reading the divergence report once, line by line, and holding it against the result document.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <tuple>
#include <utility>

#include "core/file.h"
#include "json/value_reader.h"
#include "json/view_reader.h"
#include "summary/detail.h"

namespace tessamer::summary {
namespace {

// The members of a report line, in the sorted order in which the engine writes them.
enum Member : unsigned {
  kActual, kActualColumn, kActualColumns, kActualIndex, kActualRecord, kActualValues, kColumn, kExpected,
  kExpectedColumn, kExpectedColumns, kExpectedIndex, kExpectedRecord, kExpectedValues, kKey, kRecord, kType,
  kMembers
};
constexpr std::array<std::string_view, kMembers> kMemberNames = {
    formats::kActual, formats::kActualColumn, formats::kActualColumns, formats::kActualIndex,
    formats::kActualRecord, formats::kActualValues, formats::kColumn, formats::kExpected,
    formats::kExpectedColumn, formats::kExpectedColumns, formats::kExpectedIndex, formats::kExpectedRecord,
    formats::kExpectedValues, formats::kKey, formats::kRecord, formats::kType};
constexpr std::uint32_t bit(Member m) { return 1u << m; }
// What each type needs, and the three members a keyed run adds to every line.
constexpr std::array<std::uint32_t, kTypeCount> kRequired = {
    bit(kActual) | bit(kActualColumn) | bit(kActualIndex) | bit(kColumn) | bit(kExpected) | bit(kExpectedColumn) |
        bit(kExpectedIndex) | bit(kRecord),
    bit(kActualColumns) | bit(kActualValues) | bit(kExpectedColumns) | bit(kExpectedValues) | bit(kRecord),
    bit(kExpected) | bit(kRecord), bit(kActual) | bit(kRecord)};
constexpr std::uint32_t kKeyed = bit(kKey) | bit(kExpectedRecord) | bit(kActualRecord);
// Why a line of each type lacks what it needs.
constexpr std::array<const char*, kTypeCount> kMissing = {"missing members of a CELL line", "missing members of a ROW_WIDTH line",
                                                          "missing the \"expected\" row", "missing the \"actual\" row"};

using Members = json::MemberReader<kMembers>;

// A value of a line as read: what it is and where its text is in the line.
struct Raw {
  enum class Kind { Null, String, Number, Array };
  Kind kind = Kind::Null;
  json::StringView s;        // String: between the quotes; Array: the whole array
  std::uint64_t number = 0;  // Number
};

// The members of one line; the element lists of the arrays are reused from line to line.
struct Line {
  std::array<Raw, kMembers> members;
  std::uint32_t seen = 0;                    // members read in this line, by bit
  std::array<std::vector<Raw>, 3> elements;  // of "expected", "actual", "key"
  const Raw& operator[](Member m) const { return members[m]; }
  std::vector<Raw>& elements_of(Member m) { return elements[m == kExpected ? 0 : m == kActual ? 1 : 2]; }
};

// Reads report lines: the report's members and what each may hold, on the member reader.
class LineReader {
 public:
  // Everything it calls is inlined into it but the cold paths: the per-line cost is in the calls.
  [[gnu::flatten]] bool read(std::string_view text, Line& line) {
    for (auto& list : line.elements) list.clear();
    return members_.read(text, line.seen, [&](std::size_t m) { return value(static_cast<Member>(m), line); });
  }

  const char* error() const { return members_.error(); }

 private:
  bool value(Member m, Line& line) {
    Raw& raw = line.members[m];
    const char c = r_.peek();
    const bool field = m == kActual || m == kExpected;
    if (c == 'n' && (field || m == kActualRecord || m == kExpectedRecord)) return raw.kind = Raw::Kind::Null, r_.literal("null");
    if (c == '[' && (field || m == kKey)) return texts(raw, line.elements_of(m));
    if (m == kKey) return r_.fail("expected an array of strings");
    if (field || m == kActualColumn || m == kColumn || m == kExpectedColumn || m == kType) {
      return raw.kind = Raw::Kind::String, r_.string(raw.s);
    }
    return raw.kind = Raw::Kind::Number, r_.count(raw.number);
  }

  // An array of strings and nulls, each element kept in `elements`.
  bool texts(Raw& raw, std::vector<Raw>& elements) {
    const char* open = r_.position();
    r_.take('[');
    raw.kind = Raw::Kind::Array;
    if (!r_.take(']')) {
      do {
        Raw& element = elements.emplace_back();
        const char c = r_.peek();
        element.kind = c == 'n' ? Raw::Kind::Null : Raw::Kind::String;
        if (c != 'n' && c != '"') return r_.fail("expected a string or null");
        if (!(c == 'n' ? r_.literal("null") : r_.string(element.s))) return false;
      } while (r_.more(']'));
      if (r_.error() != nullptr) return false;
    }
    raw.s.raw = std::string_view(open, static_cast<std::size_t>(r_.position() - open));
    return true;
  }

  Members members_{kMemberNames, kJsonDepthLimit};
  json::ViewReader& r_ = members_.reader();
};

// A value kept for display: whole, or a window of kKeptBytes from `start`, cut at characters.
KeptValue keep(std::string text, std::size_t start) {
  if (start == 0 && text.size() <= KeptValue::kKeptBytes) return KeptValue{std::move(text)};
  start = detail::char_start(text, std::min(start, text.size()));
  const bool cut = start + KeptValue::kKeptBytes < text.size();
  const std::size_t end = cut ? detail::char_start(text, start + KeptValue::kKeptBytes) : text.size();
  return KeptValue{text.substr(start, end - start), start > 0, cut};
}

// What a kind of misfit is called in a problem, and what it says about the report.
constexpr std::array<std::pair<const char*, const char*>, kMisfitCount> kMisfitTexts = {{
    {"lines that are not divergence records", ""},
    {"lines that end in CR LF", ": the report was rewritten"},
    {"lines that differ from the result's divergence examples", ": the report belongs to another run"},
    {"CELL lines naming a column pair the run did not compare", ": the report belongs to another run"},
    {"ROW_WIDTH lines with column counts other than the run's headers", ": the report belongs to another run"},
    {"lines naming records the run's row counts do not reach", ": the report belongs to another run"},
    {"lines going back to an earlier record", ": the report belongs to another run"},
    {"lines whose key members do not fit the run", ": the report belongs to another run"},
}};

// One pass over a report: the line reader, the counts and the examples kept so far.
struct Scan {
  Scan(const RunResult& r, std::size_t n) : result(r), per_kind(n), kept_by_column(r.column_pairs.size()) {
    scan.read = true;
    for (const JsonValue& example : r.examples) examples.push_back(to_compact_json(example));
    scan.by_column.resize(r.column_pairs.size());
    for (std::size_t i = 0; i < r.column_pairs.size(); ++i) pair_by_index.emplace_back(r.column_pairs[i].expected_index, i);
    std::ranges::sort(pair_by_index);
  }

  void misfit(Misfit kind, std::string detail = {}) {
    MisfitCount& m = scan.misfits[static_cast<std::size_t>(kind)];
    if (m.lines++ == 0) m = {1, scan.lines, std::move(detail)};
  }

  std::string_view text(Member m, std::size_t scratch) { return json::ViewReader::text(line[m].s, scratch_[scratch]); }
  bool has(std::uint32_t members) const { return (line.seen & members) == members; }

  // Why the line is no divergence record of its type; nullptr when it is one.
  const char* shape_error(DivergenceType type) {
    using K = Raw::Kind;
    const bool cell = type == DivergenceType::Cell;
    const Member row = type == DivergenceType::AdditionalRow ? kActual : kExpected;
    const bool fits = cell ? line[kExpected].kind != K::Array && line[kActual].kind != K::Array
                           : type == DivergenceType::RowWidth ||
                                 (line[row].kind == K::Array &&
                                  std::ranges::none_of(line.elements_of(row), [](const Raw& e) { return e.kind == K::Null; }));
    if (!has(kRequired[static_cast<std::size_t>(type)]) || !fits) return kMissing[static_cast<std::size_t>(type)];
    if (cell && !Members::same(text(kExpectedColumn, 1), text(kColumn, 2))) return "\"expectedColumn\" differs from \"column\"";
    if ((line.seen & kKeyed) == 0) return nullptr;
    if (!has(kKeyed)) return "\"key\", \"expectedRecord\" and \"actualRecord\" must come together";
    const bool additional = type == DivergenceType::AdditionalRow;
    if (line[kExpectedRecord].kind != (additional ? K::Null : K::Number) ||
        line[kActualRecord].kind != (type == DivergenceType::MissingRow ? K::Null : K::Number) ||
        line[kRecord].number != line[additional ? kActualRecord : kExpectedRecord].number) {
      return "\"record\", \"expectedRecord\" and \"actualRecord\" do not fit the line's type";
    }
    return nullptr;
  }

  // Holds the line against what the result says of the run and counts it; the line's column
  // pair, or npos.
  std::size_t count(DivergenceType type) {
    scan.by_type[static_cast<std::size_t>(type)] += 1;
    const RunResult& r = result;
    const std::uint64_t record = line[kRecord].number, compared = r.compared_rows.value_or(0),
                        expected = r.expected_rows.value_or(0), actual = r.actual_rows.value_or(0);
    auto out_of_range = [&] {
      misfit(Misfit::RecordRange, "record " + detail::grouped(record) + " of a run of " + detail::grouped(compared) +
                                      " compared, " + detail::grouped(expected) + " expected and " +
                                      detail::grouped(actual) + " actual records");
    };
    const bool keyed = (line.seen & kKeyed) != 0;
    if (keyed != r.keys.has_value()) {
      misfit(Misfit::Keying, r.keys ? "no key in a keyed run" : "a key in a positional run");
    } else if (keyed) {
      const std::size_t fields = line.elements_of(kKey).size(), columns = r.keys->key_columns.size();
      if (fields != columns) {
        misfit(Misfit::Keying, "a key of " + detail::plural(fields, "field", "fields") + " for " +
                                   detail::plural(columns, "key column", "key columns"));
      }
      auto within = [](const Raw& n, std::uint64_t rows) { return n.kind == Raw::Kind::Null || (n.number >= 1 && n.number <= rows); };
      if (!within(line[kExpectedRecord], expected) || !within(line[kActualRecord], actual)) out_of_range();
      // Keyed reports come in key order, so the lines of one key stand together.
      auto distinct = [&](std::string& last, std::uint64_t& keys) {
        if (keys == 0 || last != line[kKey].s.raw) ++keys, last.assign(line[kKey].s.raw);
      };
      distinct(last_keys_[0], scan.divergent_keys);
      if (type == DivergenceType::MissingRow) distinct(last_keys_[1], scan.missing_keys);
      if (type == DivergenceType::AdditionalRow) distinct(last_keys_[2], scan.additional_keys);
    } else {
      const bool pair_line = type == DivergenceType::Cell || type == DivergenceType::RowWidth;
      const std::uint64_t top = pair_line ? compared : type == DivergenceType::MissingRow ? expected : actual;
      if (record > top || record <= (pair_line ? 0 : compared)) out_of_range();
      if (record < last_record_) misfit(Misfit::RecordOrder, "record " + detail::grouped(record) + " after " + detail::grouped(last_record_));
      last_record_ = record;
    }
    if (type == DivergenceType::RowWidth) {
      const std::uint64_t ec = line[kExpectedColumns].number, ac = line[kActualColumns].number;
      if (ec != r.expected_headers.size() || ac != r.actual_headers.size() ||
          (line[kExpectedValues].number == ec && line[kActualValues].number == ac)) {
        misfit(Misfit::Widths);
      }
    }
    if (type != DivergenceType::Cell) return std::string::npos;
    const std::uint64_t index = line[kExpectedIndex].number;
    for (auto it = std::ranges::lower_bound(pair_by_index, std::pair{index, std::size_t{0}});
         it != pair_by_index.end() && it->first == index; ++it) {
      const ColumnPair& pair = r.column_pairs[it->second];
      if (pair.actual_index != line[kActualIndex].number || !Members::same(pair.expected, text(kColumn, 1)) ||
          !Members::same(pair.actual, text(kActualColumn, 2))) {
        continue;
      }
      ColumnCount& c = scan.by_column[it->second];
      if (c.count++ == 0) c.first_record = record;
      c.last_record = record;
      return it->second;
    }
    misfit(Misfit::UnknownPair);
    return std::string::npos;
  }

  // The elements of an array member in CSV form; nulls are left empty.
  std::string csv_of(Member m) {
    std::vector<std::optional<std::string>> fields;
    for (const Raw& e : line.elements_of(m)) {
      fields.push_back(e.kind == Raw::Kind::Null ? std::nullopt
                                                 : std::optional(std::string(json::ViewReader::text(e.s, scratch_[3]))));
    }
    return detail::csv_row(fields);
  }

  Example example(DivergenceType type) {
    Example e;
    std::tie(e.type, e.line, e.record) = std::tuple(type, scan.lines, line[kRecord].number);
    if ((line.seen & kKeyed) != 0) {
      e.key = csv_of(kKey);
      if (line[kExpectedRecord].kind == Raw::Kind::Number) e.expected_record = line[kExpectedRecord].number;
      if (line[kActualRecord].kind == Raw::Kind::Number) e.actual_record = line[kActualRecord].number;
    }
    if (type == DivergenceType::RowWidth) {
      e.expected_values = line[kExpectedValues].number;
      e.expected_columns = line[kExpectedColumns].number;
      e.actual_values = line[kActualValues].number;
      e.actual_columns = line[kActualColumns].number;
    } else if (type != DivergenceType::Cell) {
      (type == DivergenceType::MissingRow ? e.expected : e.actual) = keep(csv_of(type == DivergenceType::MissingRow ? kExpected : kActual), 0);
    } else {
      e.column = text(kColumn, 1);
      e.actual_column = text(kActualColumn, 2);
      auto value = [&](Member m) { return line[m].kind == Raw::Kind::Null ? std::nullopt : std::optional(std::string(text(m, 3))); };
      std::optional<std::string> expected = value(kExpected), actual = value(kActual);
      // Both sides are cut at one offset some way before their first difference.
      std::size_t start = 0;
      if (expected && actual) {
        e.likeness = detail::likeness(*expected, *actual);
        const auto common = static_cast<std::size_t>(std::ranges::mismatch(*expected, *actual).in1 - expected->begin());
        start = common > KeptValue::kKeptBytes / 4 ? common - KeptValue::kKeptBytes / 4 : 0;
      }
      if (expected) e.expected = keep(std::move(*expected), start);
      if (actual) e.actual = keep(std::move(*actual), start);
    }
    return e;
  }

  void take(std::string_view text) {
    ++scan.lines;
    if (text.ends_with('\r')) {
      misfit(Misfit::CrLf);
      text.remove_suffix(1);
    }
    // The examples are copies of the first lines as the engine wrote them, byte for byte.
    if (scan.lines <= examples.size() && text != examples[scan.lines - 1]) misfit(Misfit::Example);
    if (!reader.read(text, line)) return misfit(Misfit::Malformed, reader.error());
    // A member not in this line still holds a view into an earlier one.
    if ((line.seen & bit(kType)) == 0) return misfit(Misfit::Malformed, "missing \"type\"");
    const std::string_view name = this->text(kType, 0);
    const auto* type = std::ranges::find_if(kTypes, [&](DivergenceType t) { return Members::same(type_name(t), name); });
    if (type == kTypes.end()) return misfit(Misfit::Malformed, "unknown divergence type");
    if (const char* why = shape_error(*type)) return misfit(Misfit::Malformed, why);
    const std::size_t pair = count(*type);
    const auto t = static_cast<std::size_t>(*type);
    const bool column_wants = pair != std::string::npos && kept_by_column[pair] < per_kind;
    if (scan.examples.size() < per_kind * 20 && (kept_by_type[t] < per_kind || column_wants)) {
      ++kept_by_type[t];
      if (pair != std::string::npos) ++kept_by_column[pair];
      scan.examples.push_back(example(*type));
    }
  }

  const RunResult& result;
  const std::size_t per_kind;
  std::vector<std::string> examples;  // the result's divergence examples as compact text
  ReportScan scan;
  LineReader reader;
  Line line;
  std::string carry;
  std::array<std::string, 4> scratch_;
  std::vector<std::pair<std::uint64_t, std::size_t>> pair_by_index;  // pairs by expected index
  std::array<std::size_t, kTypeCount> kept_by_type{};
  std::vector<std::size_t> kept_by_column;
  std::uint64_t last_record_ = 0;
  std::array<std::string, 3> last_keys_;  // of any line, of MISSING_ROW, of ADDITIONAL_ROW
};

}  // namespace

std::string_view type_name(DivergenceType type) {
  static constexpr std::string_view kNames[] = {formats::kCell, formats::kRowWidth, formats::kMissingRow, formats::kAdditionalRow};
  return kNames[static_cast<std::size_t>(type)];
}

Expected<ReportScan> scan_report(const RunResult& result, std::size_t per_kind,
                                 const std::function<Expected<std::string_view>()>& read) {
  Scan s(result, per_kind);
  for (;;) {
    TESSAMER_ASSIGN_OR_RETURN(std::string_view bytes, read());
    if (bytes.empty()) break;
    s.scan.bytes += bytes.size();
    for (std::size_t n; (n = bytes.find('\n')) != std::string_view::npos; bytes.remove_prefix(n + 1)) {
      if (s.carry.empty()) {
        s.take(bytes.substr(0, n));
      } else {
        s.take(s.carry.append(bytes.substr(0, n)));
        s.carry.clear();
      }
    }
    s.carry.append(bytes);
  }
  s.scan.cut_bytes = s.carry.size();
  return std::move(s.scan);
}

Expected<ReportScan> scan_report_file(std::string_view path, const RunResult& result, std::size_t per_kind) {
  auto fail = [&](std::string_view cause) {
    return std::unexpected(Error{"cannot read report " + std::string(path) + ": " + std::string(cause)});
  };
  // Opened without waiting for a writer, which a FIFO would do forever when nobody writes to it.
  auto fd = open_file(path, O_RDONLY | O_NONBLOCK);
  if (!fd) return fail(fd.error().text);
  auto status = stat_fd(fd->get());
  if (!status) return fail(status.error().text);
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  auto buffer = std::make_unique_for_overwrite<char[]>(kChunk);
  bool first = S_ISFIFO(status->st_mode);
  auto blocking = [&]() -> Expected<void> {
    const int flags = ::fcntl(fd->get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd->get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return fail(system_error_text(errno));
    return {};
  };
  if (!first) {
    TESSAMER_TRY(blocking());
    ::posix_fadvise(fd->get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  // Read, not mapped: a mapping of a report that is truncated meanwhile (a new run writing it)
  // would end the process with SIGBUS instead of a summary.
  return scan_report(result, per_kind, [&]() -> Expected<std::string_view> {
    if (std::exchange(first, false)) {
      // Still without waiting: nothing to read yet (EAGAIN) means a writer has the FIFO open.
      auto n = read_some(fd->get(), buffer.get(), kChunk);
      if (n && *n == 0) return fail("no process writes to this FIFO");
      if (!n && errno != EAGAIN) return fail(n.error().text);
      TESSAMER_TRY(blocking());
      if (n) return std::string_view(buffer.get(), *n);
    }
    auto n = read_some(fd->get(), buffer.get(), kChunk);
    if (!n) return fail(n.error().text);
    return std::string_view(buffer.get(), *n);
  });
}

int Summary::exit_status() const { return !trusted() ? 2 : result.status == "FAIL" ? 1 : 0; }

Summary summarise(RunResult result, ReportScan report, std::optional<Request> request, std::string report_path,
                  std::size_t per_kind) {
  Summary s{std::move(result), std::move(report), std::move(request), std::move(report_path), per_kind, {}, {}};
  if (s.request) s.request_problems = detail::request_problems(*s.request, s.result);
  const RunResult& r = s.result;
  const ReportScan& rep = s.report;
  if (!rep.read) return s;
  using detail::grouped;
  if (rep.cut_bytes > 0) {
    s.problems.push_back("the last line is cut off (" + grouped(rep.cut_bytes) +
                         " bytes after the last line end): the report was not written to its end");
  }
  if (rep.lines != r.divergences) {
    s.problems.push_back(std::string("the report is ") + (rep.lines < r.divergences ? "shorter" : "longer") +
                         " than the run: " + detail::plural(rep.lines, "line", "lines") + " for " +
                         detail::plural(r.divergences, "divergence", "divergences"));
  }
  const std::uint64_t missing = rep.by_type[static_cast<std::size_t>(DivergenceType::MissingRow)],
                      additional = rep.by_type[static_cast<std::size_t>(DivergenceType::AdditionalRow)];
  if (rep.lines == r.divergences && rep.misfits[0].lines == 0 && (missing != r.missing_rows || additional != r.additional_rows)) {
    s.problems.push_back("the report's " + grouped(missing) + " MISSING_ROW and " + grouped(additional) +
                         " ADDITIONAL_ROW lines differ from the run's " + grouped(r.missing_rows) + " missing and " +
                         grouped(r.additional_rows) + " additional rows: the report belongs to another run");
  }
  for (std::size_t k = 0; k < kMisfitCount; ++k) {
    const MisfitCount& m = rep.misfits[k];
    if (m.lines == 0) continue;
    s.problems.push_back(std::string(kMisfitTexts[k].first) + ": " + detail::plural(m.lines, "line", "lines") +
                         ", the first at line " + grouped(m.first_line) +
                         (m.first_detail.empty() ? "" : " (" + m.first_detail + ")") + kMisfitTexts[k].second);
  }
  return s;
}

}  // namespace tessamer::summary
