// Reading the divergence report once, line by line, and holding it against the result document.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "core/bytes.h"
#include "core/file.h"
#include "core/utf8.h"
#include "json/value_reader.h"
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

// Whether the `n` bytes at `a` and `b` are the same, for the short runs of keys and names: a few
// loads that may overlap, inlined where the library call would cost more than the work.
inline bool same_run(const char* a, const char* b, std::size_t n) {
  auto word = [](const char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
  };
  if (n > 24) return std::memcmp(a, b, n) == 0;
  if (n >= 8) {
    const std::uint64_t middle = n > 16 ? word(a + 8) ^ word(b + 8) : 0;
    return ((word(a) ^ word(b)) | middle | (word(a + n - 8) ^ word(b + n - 8))) == 0;
  }
  return same_bytes(a, b, n);
}

bool same(std::string_view a, std::string_view b) { return a.size() == b.size() && same_run(a.data(), b.data(), a.size()); }

// Each member's key as the engine writes it, with its quotes and the colon.
struct KeyLiterals {
  std::array<std::array<char, 24>, kMembers> bytes{};
  constexpr KeyLiterals() {
    for (std::size_t m = 0; m < kMembers; ++m) {
      std::size_t n = 0;
      bytes[m][n++] = '"';
      for (char c : kMemberNames[m]) bytes[m][n++] = c;
      bytes[m][n++] = '"';
      bytes[m][n++] = ':';
    }
  }
  constexpr std::string_view operator[](std::size_t m) const { return {bytes[m].data(), kMemberNames[m].size() + 3}; }
};
constexpr KeyLiterals kKeyLiterals;

// A value of a line as read: what it is and where its text is in the line.
struct Raw {
  enum class Kind { Absent, Null, String, Number, Array };
  Kind kind = Kind::Absent;
  std::string_view text;     // String: between the quotes; Array: the whole array
  bool escaped = false;      // String: holds a backslash escape
  std::uint64_t number = 0;  // Number
};

// The members of one line; the element lists of the arrays are reused from line to line.
struct Line {
  std::array<Raw, kMembers> members;
  std::uint32_t seen = 0;                    // members read in this line, by bit
  std::array<std::vector<Raw>, 3> elements;  // of "expected", "actual", "key"
  const Raw& operator[](Member m) const {
    static constexpr Raw kAbsent;
    return (seen >> m & 1) != 0 ? members[m] : kAbsent;
  }
  std::vector<Raw>& elements_of(Member m) { return elements[m == kExpected ? 0 : m == kActual ? 1 : 2]; }
};

// Reads report lines in any layout JSON allows: keys in any order, white space, escapes, members
// it does not know. The engine's layout (compact, keys sorted) costs least: the next key is
// looked for after the last one first, and strings are scanned eight bytes at a time.
class LineReader {
 public:
  // Everything it calls is inlined into it, strings apart: the per-line cost is in the calls.
  [[gnu::flatten]] bool read(std::string_view text, Line& line) {
    error_ = nullptr;
    p_ = text.data();
    end_ = p_ + text.size();
    line.seen = 0;
    last_ = kMembers;
    for (auto& list : line.elements) list.clear();
    if (!take('{')) return fail("expected an object");
    space();
    if (p_ < end_ && *p_ == '}') {
      ++p_;
    } else {
      for (;;) {
        const Member m = member();
        if (m == kMembers && error_ != nullptr) return false;
        space();
        if (m == kMembers) {
          if (!skip(kJsonDepthLimit)) return false;
        } else {
          if ((line.seen >> m & 1) != 0) return fail("repeated member");
          line.seen |= 1u << m;
          if (!value(m, line)) return false;
        }
        space();
        if (p_ < end_ && *p_ == ',') {
          ++p_;
          continue;
        }
        if (!take('}')) return fail("expected ',' or '}'");
        break;
      }
    }
    space();
    return p_ == end_ || fail("trailing characters after the object");
  }

  const char* error() const { return error_; }

  // The text of a string read by `read`, its escapes resolved; `scratch` holds it when needed.
  static std::string_view text(const Raw& raw, std::string& scratch) {
    return raw.escaped ? unescape(raw, scratch) : raw.text;
  }

 private:
  static std::string_view unescape(const Raw& raw, std::string& scratch) {
    scratch.clear();
    for (std::size_t i = 0; i < raw.text.size();) {
      const std::size_t slash = std::min(raw.text.find('\\', i), raw.text.size());
      scratch.append(raw.text, i, slash - i);
      if (slash == raw.text.size()) break;
      const char c = raw.text[slash + 1];
      i = slash + 2;
      if (c != 'u') {
        scratch.push_back(c == 'b' ? '\b' : c == 'f' ? '\f' : c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c);
        continue;
      }
      char32_t cp = hex4(raw.text.data() + i);
      i += 4;
      if (cp >= 0xD800 && cp <= 0xDBFF) {  // read checked that the trailing half follows
        cp = 0x10000 + ((cp - 0xD800) << 10) + (hex4(raw.text.data() + i + 2) - 0xDC00);
        i += 6;
      }
      utf8::append(scratch, cp);
    }
    return scratch;
  }

  bool fail(const char* why) {
    error_ = why;
    return false;
  }
  void space() {
    if (p_ == end_ || static_cast<unsigned char>(*p_) > ' ') return;  // the engine writes none
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\r')) ++p_;
  }
  bool take(char c) {
    space();
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }

  // At a key: which member it names (kMembers: one this reader does not know), with the colon
  // after it consumed. The key that followed the previous one last time is tried first, as the
  // bytes `"key":`: lines of one type have their keys in one order.
  Member member() {
    const unsigned guess = following_[last_];
    const std::string_view literal = kKeyLiterals[guess];
    if (static_cast<std::size_t>(end_ - p_) >= literal.size() && same_run(p_, literal.data(), literal.size())) {
      p_ += literal.size();
      last_ = guess;
      return static_cast<Member>(guess);
    }
    space();
    Raw key;
    if (p_ == end_ || *p_ != '"') return fail("expected a key"), kMembers;
    if (!string(key)) return kMembers;
    if (!take(':')) return fail("expected ':'"), kMembers;
    const std::string_view name = text(key, key_scratch_);
    for (unsigned m = 0; m < kMembers; ++m) {
      if (same(kMemberNames[m], name)) {
        following_[last_] = static_cast<std::uint8_t>(m);
        last_ = m;
        return static_cast<Member>(m);
      }
    }
    return kMembers;
  }

  bool value(Member m, Line& line) {
    Raw& raw = line.members[m];
    const char c = p_ < end_ ? *p_ : '\0';
    if (c == 'n' && (m == kActual || m == kExpected || m == kActualRecord || m == kExpectedRecord)) {
      raw.kind = Raw::Kind::Null;
      return literal("null");
    }
    switch (m) {
      case kActual:
      case kExpected:
        if (c == '"') return string(raw);
        [[fallthrough]];
      case kKey: return c == '[' ? texts(raw, line.elements_of(m)) : fail("expected a string, null or an array of strings");
      case kActualColumn:
      case kColumn:
      case kExpectedColumn:
      case kType: return c == '"' ? string(raw) : fail("expected a string");
      case kActualColumns:
      case kActualIndex:
      case kActualRecord:
      case kActualValues:
      case kExpectedColumns:
      case kExpectedIndex:
      case kExpectedRecord:
      case kExpectedValues:
      case kRecord: return number(raw);
      case kMembers: break;
    }
    return fail("unknown member");
  }

  // At an opening quote: the string up to its closing quote, checked as it passes.
  bool string(Raw& raw) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
    const char* start = ++p_;
    raw.escaped = false;
    std::uint64_t high = 0;
    for (;;) {
      // Eight bytes at a time up to the first quote, backslash or control byte (the lowest
      // flagged byte of a word is always a true one).
      while (end_ - p_ >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p_, 8);
        const std::uint64_t q = w ^ (kOnes * '"'), b = w ^ (kOnes * '\\');
        const std::uint64_t special = (((q - kOnes) & ~q) | ((b - kOnes) & ~b) | ((w - kOnes * 0x20) & ~w)) & kHigh;
        high |= w;
        if (special != 0) {
          p_ += std::countr_zero(special) / 8;
          break;
        }
        p_ += 8;
      }
      while (p_ < end_) {
        const auto c = static_cast<unsigned char>(*p_);
        if (c == '"' || c == '\\' || c < 0x20) break;
        high |= c;
        ++p_;
      }
      if (p_ == end_) return fail("unterminated string");
      if (*p_ == '"') break;
      if (*p_ != '\\') return fail("control character in a string");
      raw.escaped = true;
      if (!escape()) return fail("invalid escape in a string");
    }
    raw.kind = Raw::Kind::String;
    raw.text = std::string_view(start, static_cast<std::size_t>(p_ - start));
    ++p_;
    return (high & kHigh) == 0 || utf8::is_valid(raw.text) || fail("invalid UTF-8 in a string");
  }

  static char32_t hex4(const char* p) {
    char32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      const char h = p[k];
      v = v * 16 + static_cast<char32_t>(h <= '9' ? h - '0' : (h | 0x20) - 'a' + 10);
    }
    return v;
  }
  bool is_hex4() const {
    return end_ - p_ >= 4 && std::all_of(p_, p_ + 4, [](char h) { return std::isxdigit(static_cast<unsigned char>(h)); });
  }

  // At a backslash: a valid escape, a leading surrogate only with its trailing one.
  bool escape() {
    if (end_ - p_ < 2) return false;
    const char c = p_[1];
    p_ += 2;
    if (c != 'u') return std::strchr("\"\\/bfnrt", c) != nullptr && c != '\0';
    if (!is_hex4()) return false;
    const char32_t first = hex4(p_);
    p_ += 4;
    if (first >= 0xDC00 && first <= 0xDFFF) return false;
    if (first < 0xD800 || first > 0xDBFF) return true;
    if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
    p_ += 2;
    if (!is_hex4()) return false;
    const char32_t second = hex4(p_);
    p_ += 4;
    return second >= 0xDC00 && second <= 0xDFFF;
  }

  bool number(Raw& raw) {
    const char* start = p_;
    std::uint64_t n = 0;
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9') {
      if (__builtin_mul_overflow(n, 10u, &n) || __builtin_add_overflow(n, static_cast<unsigned>(*p_ - '0'), &n)) {
        return fail("number out of range");
      }
      ++p_;
    }
    if (p_ == start || (*start == '0' && p_ - start > 1) || (p_ < end_ && (*p_ == '.' || *p_ == 'e' || *p_ == 'E'))) {
      return fail("expected a non-negative integer");
    }
    raw.kind = Raw::Kind::Number;
    raw.number = n;
    return true;
  }

  bool literal(std::string_view word) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word) {
      return fail("expected a value");
    }
    p_ += word.size();
    return true;
  }

  // An array of strings and nulls, each element kept in `elements`.
  bool texts(Raw& raw, std::vector<Raw>& elements) {
    const char* open = p_++;
    raw.kind = Raw::Kind::Array;
    space();
    bool more = p_ == end_ || *p_ != ']';
    while (more) {
      space();
      Raw& element = elements.emplace_back();
      if (p_ < end_ && *p_ == 'n') {
        element.kind = Raw::Kind::Null;
        if (!literal("null")) return false;
      } else if (p_ < end_ && *p_ == '"') {
        if (!string(element)) return false;
      } else {
        return fail("expected a string or null");
      }
      space();
      more = p_ < end_ && *p_ == ',';
      p_ += more;
    }
    if (!take(']')) return fail("expected ',' or ']'");
    raw.text = std::string_view(open, static_cast<std::size_t>(p_ - open));
    return true;
  }

  // Any value, checked as it passes.
  bool skip(int depth) {
    space();
    if (p_ == end_) return fail("expected a value");
    Raw raw;
    switch (*p_) {
      case '"': return string(raw);
      case 't': return literal("true");
      case 'f': return literal("false");
      case 'n': return literal("null");
      case '[':
      case '{': {
        if (depth == 0) return fail("nested too deeply");
        const char close = *p_++ == '{' ? '}' : ']';
        space();
        if (p_ < end_ && *p_ == close) return ++p_, true;
        for (;;) {
          if (close == '}') {
            space();
            if (p_ == end_ || *p_ != '"') return fail("expected a key");
            if (!string(raw)) return false;
            if (!take(':')) return fail("expected ':'");
          }
          if (!skip(depth - 1)) return false;
          space();
          if (p_ < end_ && *p_ == ',') {
            ++p_;
            continue;
          }
          return take(close) || fail("expected ',' or a closing bracket");
        }
      }
      default: break;
    }
    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
    auto digits = [&] {
      const char* start = p_;
      while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
      return p_ - start;
    };
    if (*p_ == '-') ++p_;
    const char* first = p_;
    const auto whole = digits();
    bool ok = whole > 0 && !(*first == '0' && whole > 1);
    if (ok && p_ < end_ && *p_ == '.') ++p_, ok = digits() > 0;
    if (ok && p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      ok = digits() > 0;
    }
    return ok || fail("expected a value");
  }

  const char* p_ = nullptr;
  const char* end_ = nullptr;
  // For each member, and for the start of a line (kMembers), the member that followed it last.
  std::array<std::uint8_t, kMembers + 1> following_ = [] {
    std::array<std::uint8_t, kMembers + 1> order{};
    for (unsigned m = 0; m <= kMembers; ++m) order[m] = static_cast<std::uint8_t>(m == kMembers ? 0 : (m + 1) % kMembers);
    return order;
  }();
  unsigned last_ = kMembers;
  const char* error_ = nullptr;
  std::string key_scratch_;
};

// Backs `offset` up to the start of the UTF-8 character it falls in.
std::size_t char_start(std::string_view text, std::size_t offset) {
  while (offset > 0 && offset < text.size() && utf8::is_continuation(static_cast<unsigned char>(text[offset]))) --offset;
  return offset;
}

KeptValue keep(std::string text, std::size_t start) {
  KeptValue kept;
  if (start == 0 && text.size() <= KeptValue::kKeptBytes) {
    kept.text = std::move(text);
    return kept;
  }
  start = std::min(start, text.size());
  std::size_t end = start + KeptValue::kKeptBytes;
  kept.cut_after = end < text.size();
  end = kept.cut_after ? char_start(text, end) : text.size();
  kept.cut_before = start > 0;
  kept.text.assign(text, start, end - start);
  return kept;
}

// What a kind of misfit is called in a problem, and what it says about the report.
struct MisfitText {
  const char* what;
  const char* meaning;
};
constexpr std::array<MisfitText, kMisfitCount> kMisfitTexts = {{
    {"lines that are not divergence records", ""},
    {"lines that end in CR LF", ": the report was rewritten"},
    {"lines that differ from the result's divergence examples", ": the report belongs to another run"},
    {"CELL lines naming a column pair the run did not compare", ": the report belongs to another run"},
    {"ROW_WIDTH lines with column counts other than the run's headers", ": the report belongs to another run"},
    {"lines naming records the run's row counts do not reach", ": the report belongs to another run"},
    {"lines going back to an earlier record", ": the report belongs to another run"},
    {"lines whose key members do not fit the run", ": the report belongs to another run"},
}};

}  // namespace

std::string_view type_name(DivergenceType type) {
  switch (type) {
    case DivergenceType::Cell: return formats::kCell;
    case DivergenceType::RowWidth: return formats::kRowWidth;
    case DivergenceType::MissingRow: return formats::kMissingRow;
    case DivergenceType::AdditionalRow: return formats::kAdditionalRow;
  }
  return formats::kCell;
}

struct ReportScanner::State {
  State(const RunResult& r, std::size_t n) : result(r), per_kind(n), kept_by_column(r.column_pairs.size()) {
    scan.read = true;
    for (const JsonValue& example : r.examples) examples.push_back(to_compact_json(example));
    scan.by_column.resize(r.column_pairs.size());
    for (std::size_t i = 0; i < r.column_pairs.size(); ++i) pair_by_index.emplace_back(r.column_pairs[i].expected_index, i);
    std::ranges::sort(pair_by_index);
  }

  void misfit(Misfit kind, std::string detail = {}) {
    MisfitCount& m = scan.misfits[static_cast<std::size_t>(kind)];
    if (m.lines++ == 0) {
      m.first_line = scan.lines;
      m.first_detail = std::move(detail);
    }
  }

  std::string_view text(Member m, std::size_t scratch) { return LineReader::text(line[m], scratch_[scratch]); }

  std::optional<DivergenceType> type() {
    const std::string_view name = text(kType, 0);
    for (DivergenceType t : kTypes) {
      if (same(type_name(t), name)) return t;
    }
    return std::nullopt;
  }

  // Why the line is no divergence record of its type; nullptr when it is one.
  const char* shape_error(DivergenceType type) {
    using K = Raw::Kind;
    auto is = [&](Member m, K kind) { return line[m].kind == kind; };
    auto field = [&](Member m) { return is(m, K::String) || is(m, K::Null); };
    auto row = [&](Member m) {
      return is(m, K::Array) &&
             std::ranges::none_of(line.elements_of(m), [](const Raw& e) { return e.kind == K::Null; });
    };
    if (!is(kRecord, K::Number)) return "missing \"record\"";
    switch (type) {
      case DivergenceType::Cell:
        if (!is(kColumn, K::String) || !is(kActualColumn, K::String) || !is(kExpectedColumn, K::String) ||
            !is(kExpectedIndex, K::Number) || !is(kActualIndex, K::Number) || !field(kExpected) || !field(kActual)) {
          return "missing members of a CELL line";
        }
        if (!same(text(kExpectedColumn, 1), text(kColumn, 2))) return "\"expectedColumn\" differs from \"column\"";
        break;
      case DivergenceType::RowWidth:
        if (!is(kExpectedValues, K::Number) || !is(kExpectedColumns, K::Number) || !is(kActualValues, K::Number) ||
            !is(kActualColumns, K::Number)) {
          return "missing members of a ROW_WIDTH line";
        }
        break;
      case DivergenceType::MissingRow:
        if (!row(kExpected)) return "missing the \"expected\" row";
        break;
      case DivergenceType::AdditionalRow:
        if (!row(kActual)) return "missing the \"actual\" row";
        break;
    }
    if (!keyed_line()) return nullptr;
    if (!is(kKey, K::Array) || is(kExpectedRecord, K::Absent) || is(kActualRecord, K::Absent)) {
      return "\"key\", \"expectedRecord\" and \"actualRecord\" must come together";
    }
    const bool additional = type == DivergenceType::AdditionalRow;
    if (!is(kExpectedRecord, additional ? K::Null : K::Number) ||
        !is(kActualRecord, type == DivergenceType::MissingRow ? K::Null : K::Number) ||
        line[kRecord].number != line[additional ? kActualRecord : kExpectedRecord].number) {
      return "\"record\", \"expectedRecord\" and \"actualRecord\" do not fit the line's type";
    }
    return nullptr;
  }

  bool keyed_line() const {
    return line[kKey].kind != Raw::Kind::Absent || line[kExpectedRecord].kind != Raw::Kind::Absent ||
           line[kActualRecord].kind != Raw::Kind::Absent;
  }

  // Holds the line against what the result says of the run, and counts it.
  std::size_t count(DivergenceType type) {
    scan.by_type[static_cast<std::size_t>(type)] += 1;
    const RunResult& r = result;
    const std::uint64_t record = line[kRecord].number;
    const std::uint64_t compared = r.compared_rows.value_or(0), expected = r.expected_rows.value_or(0),
                        actual = r.actual_rows.value_or(0);
    auto out_of_range = [&] {
      misfit(Misfit::RecordRange, "record " + detail::grouped(record) + " of a run of " + detail::grouped(compared) +
                                      " compared, " + detail::grouped(expected) + " expected and " +
                                      detail::grouped(actual) + " actual records");
    };
    if (keyed_line() != r.keys.has_value()) {
      misfit(Misfit::Keying, r.keys ? "no key in a keyed run" : "a key in a positional run");
    } else if (r.keys) {
      const std::vector<Raw>& key = line.elements_of(kKey);
      if (key.size() != r.keys->key_columns.size()) {
        misfit(Misfit::Keying, "a key of " + detail::plural(key.size(), "field", "fields") + " for " +
                                   detail::plural(r.keys->key_columns.size(), "key column", "key columns"));
      }
      auto within = [](const Raw& n, std::uint64_t rows) { return n.kind == Raw::Kind::Null || (n.number >= 1 && n.number <= rows); };
      if (!within(line[kExpectedRecord], expected) || !within(line[kActualRecord], actual)) {
        out_of_range();
      }
      // Keyed reports come in key order, so the lines of one key stand together.
      const std::string_view raw_key = line[kKey].text;
      auto distinct = [&](std::string& last, std::uint64_t& keys) {
        if (keys == 0 || last != raw_key) ++keys, last.assign(raw_key);
      };
      distinct(last_key_, scan.divergent_keys);
      if (type == DivergenceType::MissingRow) distinct(last_missing_key_, scan.missing_keys);
      if (type == DivergenceType::AdditionalRow) distinct(last_additional_key_, scan.additional_keys);
    } else {
      const bool pair_line = type == DivergenceType::Cell || type == DivergenceType::RowWidth;
      const std::uint64_t top = pair_line ? compared : type == DivergenceType::MissingRow ? expected : actual;
      if (record > top || record <= (pair_line ? 0 : compared)) out_of_range();
      if (record < last_record_) misfit(Misfit::RecordOrder, "record " + detail::grouped(record) + " after " + detail::grouped(last_record_));
      last_record_ = record;
    }
    if (type == DivergenceType::RowWidth) {
      const std::uint64_t ev = line[kExpectedValues].number, ec = line[kExpectedColumns].number,
                          av = line[kActualValues].number, ac = line[kActualColumns].number;
      if (ec != r.expected_headers.size() || ac != r.actual_headers.size() || (ev == ec && av == ac)) misfit(Misfit::Widths);
    }
    if (type != DivergenceType::Cell) return std::string::npos;
    const std::uint64_t expected_index = line[kExpectedIndex].number, actual_index = line[kActualIndex].number;
    auto it = std::ranges::lower_bound(pair_by_index, std::pair{expected_index, std::size_t{0}});
    for (; it != pair_by_index.end() && it->first == expected_index; ++it) {
      const ColumnPair& pair = r.column_pairs[it->second];
      if (pair.actual_index != actual_index || !same(pair.expected, text(kColumn, 1)) ||
          !same(pair.actual, text(kActualColumn, 2))) {
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

  std::vector<std::optional<std::string>> fields(Member m) {
    std::vector<std::optional<std::string>> out;
    for (const Raw& e : line.elements_of(m)) {
      if (e.kind == Raw::Kind::Null) {
        out.emplace_back();
      } else {
        out.emplace_back(std::string(LineReader::text(e, scratch_[3])));
      }
    }
    return out;
  }

  Example example(DivergenceType type) {
    Example e;
    e.type = type;
    e.line = scan.lines;
    e.record = line[kRecord].number;
    if (keyed_line()) {
      e.key = detail::csv_row(fields(kKey));
      if (line[kExpectedRecord].kind == Raw::Kind::Number) e.expected_record = line[kExpectedRecord].number;
      if (line[kActualRecord].kind == Raw::Kind::Number) e.actual_record = line[kActualRecord].number;
    }
    switch (type) {
      case DivergenceType::Cell: {
        e.column = text(kColumn, 1);
        e.actual_column = text(kActualColumn, 2);
        auto value = [&](Member m) -> std::optional<std::string> {
          if (line[m].kind == Raw::Kind::Null) return std::nullopt;
          return std::string(text(m, 3));
        };
        std::optional<std::string> expected = value(kExpected), actual = value(kActual);
        // Both sides are cut at one offset some way before their first difference.
        std::size_t start = 0;
        if (expected && actual) {
          e.likeness = detail::likeness(*expected, *actual);
          const std::size_t n = std::min(expected->size(), actual->size());
          const auto common = static_cast<std::size_t>(
              std::ranges::mismatch(std::string_view(*expected).substr(0, n), std::string_view(*actual)).in1 - expected->data());
          if (common > KeptValue::kKeptBytes / 4) start = char_start(*expected, common - KeptValue::kKeptBytes / 4);
        }
        if (expected) e.expected = keep(std::move(*expected), start);
        if (actual) e.actual = keep(std::move(*actual), start);
        break;
      }
      case DivergenceType::RowWidth:
        e.expected_values = line[kExpectedValues].number;
        e.expected_columns = line[kExpectedColumns].number;
        e.actual_values = line[kActualValues].number;
        e.actual_columns = line[kActualColumns].number;
        break;
      case DivergenceType::MissingRow: e.expected = keep(detail::csv_row(fields(kExpected)), 0); break;
      case DivergenceType::AdditionalRow: e.actual = keep(detail::csv_row(fields(kActual)), 0); break;
    }
    return e;
  }

  void take(std::string_view text) {
    ++scan.lines;
    if (!text.empty() && text.back() == '\r') {
      misfit(Misfit::CrLf);
      text.remove_suffix(1);
    }
    // The examples are copies of the first lines as the engine wrote them, byte for byte.
    if (scan.lines <= examples.size() && text != examples[scan.lines - 1]) misfit(Misfit::Example);
    if (!reader.read(text, line)) return misfit(Misfit::Malformed, reader.error());
    const std::optional<DivergenceType> type = this->type();
    if (!type) return misfit(Misfit::Malformed, line[kType].kind == Raw::Kind::Absent ? "missing \"type\"" : "unknown divergence type");
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
  std::string last_key_, last_missing_key_, last_additional_key_;
};

ReportScanner::ReportScanner(const RunResult& result, std::size_t per_kind)
    : state_(std::make_unique<State>(result, per_kind)) {}
ReportScanner::~ReportScanner() = default;

void ReportScanner::feed(std::string_view bytes) {
  State& s = *state_;
  s.scan.bytes += bytes.size();
  while (!bytes.empty()) {
    const void* end = std::memchr(bytes.data(), '\n', bytes.size());
    if (end == nullptr) {
      s.carry.append(bytes);
      return;
    }
    const auto n = static_cast<std::size_t>(static_cast<const char*>(end) - bytes.data());
    if (s.carry.empty()) {
      s.take(bytes.substr(0, n));
    } else {
      s.carry.append(bytes.substr(0, n));
      s.take(s.carry);
      s.carry.clear();
    }
    bytes.remove_prefix(n + 1);
  }
}

ReportScan ReportScanner::finish() {
  state_->scan.cut_bytes = state_->carry.size();
  return std::move(state_->scan);
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
  ReportScanner scanner(result, per_kind);
  if (S_ISFIFO(status->st_mode)) {
    ssize_t n;
    do n = ::read(fd->get(), buffer.get(), kChunk);
    while (n < 0 && errno == EINTR);
    if (n == 0) return fail("no process writes to this FIFO");
    if (n < 0 && errno != EAGAIN) return fail(system_error_text(errno));
    if (n > 0) scanner.feed(std::string_view(buffer.get(), static_cast<std::size_t>(n)));
  }
  const int flags = ::fcntl(fd->get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd->get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return fail(system_error_text(errno));
  ::posix_fadvise(fd->get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  // Read, not mapped: a mapping of a report that is truncated meanwhile (a new run writing it)
  // would end the process with SIGBUS instead of a summary.
  for (;;) {
    auto n = read_some(fd->get(), buffer.get(), kChunk);
    if (!n) return fail(n.error().text);
    if (*n == 0) break;
    scanner.feed(std::string_view(buffer.get(), *n));
  }
  return scanner.finish();
}

int Summary::exit_status() const {
  if (!trusted()) return 2;
  return result.status == "FAIL" ? 1 : 0;
}

Summary summarise(RunResult result, ReportScan report, std::optional<Request> request, std::string report_path,
                  std::size_t per_kind) {
  Summary s{std::move(result), std::move(report), std::move(request), std::move(report_path), per_kind, {}, {}};
  if (s.request) s.request_problems = detail::request_problems(*s.request, s.result);
  const RunResult& r = s.result;
  const ReportScan& rep = s.report;
  if (!rep.read) return s;
  auto& problems = s.problems;
  using detail::grouped;
  if (rep.cut_bytes > 0) {
    problems.push_back("the last line is cut off (" + grouped(rep.cut_bytes) +
                       " bytes after the last line end): the report was not written to its end");
  }
  if (rep.lines != r.divergences) {
    problems.push_back(std::string("the report is ") + (rep.lines < r.divergences ? "shorter" : "longer") +
                       " than the run: " + detail::plural(rep.lines, "line", "lines") + " for " +
                       detail::plural(r.divergences, "divergence", "divergences"));
  }
  const std::uint64_t missing = rep.by_type[static_cast<std::size_t>(DivergenceType::MissingRow)];
  const std::uint64_t additional = rep.by_type[static_cast<std::size_t>(DivergenceType::AdditionalRow)];
  if (rep.lines == r.divergences && rep.misfits[0].lines == 0 &&
      (missing != r.missing_rows || additional != r.additional_rows)) {
    problems.push_back("the report's " + grouped(missing) + " MISSING_ROW and " + grouped(additional) +
                       " ADDITIONAL_ROW lines differ from the run's " + grouped(r.missing_rows) + " missing and " +
                       grouped(r.additional_rows) + " additional rows: the report belongs to another run");
  }
  for (std::size_t k = 0; k < kMisfitCount; ++k) {
    const MisfitCount& m = rep.misfits[k];
    if (m.lines == 0) continue;
    problems.push_back(std::string(kMisfitTexts[k].what) + ": " + detail::plural(m.lines, "line", "lines") +
                       ", the first at line " + grouped(m.first_line) +
                       (m.first_detail.empty() ? "" : " (" + m.first_detail + ")") + kMisfitTexts[k].meaning);
  }
  return s;
}

}  // namespace tessamer::summary
