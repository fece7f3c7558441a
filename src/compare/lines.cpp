// Report lines: the spelling of each line type, and the comparison of a record pair that decides
// which lines it gets.
#include "compare/lines.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <charconv>
#include <cstring>

#include "core/bytes.h"
#include "core/formats.h"
#include "input/input.h"
#include "json/json.h"

namespace tessamer {
namespace {

using Value = std::optional<std::string_view>;

// ---- Fixed texts, joined at compile time from the spellings in formats.h ----

inline constexpr std::string_view kOpenQuote = "{\"";
inline constexpr std::string_view kCommaQuote = ",\"";
inline constexpr std::string_view kQuoteColon = "\":";
inline constexpr std::string_view kQuoteColonQuote = "\":\"";
inline constexpr std::string_view kQuoteClose = "\"}";
inline constexpr std::string_view kNull = "null";

template <const std::string_view&... Parts>
struct Joined {
  static constexpr std::size_t kSize = (Parts.size() + ...);
  static constexpr std::array<char, kSize> kChars = [] {
    std::array<char, kSize> chars{};
    std::size_t at = 0;
    ((std::copy(Parts.begin(), Parts.end(), chars.begin() + at), at += Parts.size()), ...);
    return chars;
  }();
  static constexpr std::string_view kText{kChars.data(), kSize};
};

// `{"key":`, the first member of a line.
template <const std::string_view& Key>
inline constexpr std::string_view kFirst = Joined<kOpenQuote, Key, kQuoteColon>::kText;
// `,"key":`, every later member.
template <const std::string_view& Key>
inline constexpr std::string_view kMember = Joined<kCommaQuote, Key, kQuoteColon>::kText;
// `,"type":"TYPE"}`, the last member, which closes the line.
template <const std::string_view& Type>
inline constexpr std::string_view kTypeEnd = Joined<kCommaQuote, formats::kType, kQuoteColonQuote, Type, kQuoteClose>::kText;

// ---- Where a line's text goes ----
// Every line is spelled once, as a function template over one of these: the report's buffer, or
// (for a CELL line of plain values) a measuring pass and then the bytes straight into place.

// Into the report's buffer, keeping the first failure; later pieces are then skipped.
class BufferedText {
 public:
  explicit BufferedText(ReportBuffer& out) : out_(out) {}
  void raw(std::string_view text) {
    if (status_) status_ = out_.write(text);
  }
  // `text` as a JSON string, escaped as it needs.
  void string(std::string_view text) {
    if (status_) status_ = out_.write_json_string(text);
  }
  void number(std::uint64_t value) {
    if (status_) status_ = out_.write_unsigned(value);
  }
  [[nodiscard]] IoResult<void> done() { return std::move(status_); }

 private:
  ReportBuffer& out_;
  IoResult<void> status_;
};

// The most bytes a line can take, numbers counted at their widest.
struct MeasuredText {
  std::size_t size = 0;
  void raw(std::string_view text) { size += text.size(); }
  void string(std::string_view text) { size += text.size() + 2; }
  void number(std::uint64_t) { size += 20; }
};

// Straight into place. Strings must need no escaping (see is_plain_ascii).
struct PlacedText {
  char* out;
  void raw(std::string_view text) {
    copy_bytes(out, text.data(), text.size());
    out += text.size();
  }
  void string(std::string_view text) {
    *out++ = '"';
    raw(text);
    *out++ = '"';
  }
  void number(std::uint64_t value) { out = std::to_chars(out, out + 20, value).ptr; }
};

template <class Text>
void value(Text& out, Value text) {
  if (text) return out.string(*text);
  out.raw(kNull);
}

template <class Text>
void number_or_null(Text& out, std::optional<std::uint64_t> number) {
  if (number) return out.number(*number);
  out.raw(kNull);
}

template <class Text>
void fields_array(Text& out, std::string_view text, std::span<const std::size_t> ends) {
  out.raw("[");
  for (std::size_t i = 0, begin = 0; i < ends.size(); begin = ends[i++]) {
    if (i > 0) out.raw(",");
    out.string(text.substr(begin, ends[i] - begin));
  }
  out.raw("]");
}

// ---- The spelling of each line type ----
// Members in sorted key order; the members in brackets only in keyed runs.

// {"actual":A,"actualColumn":..,"actualIndex":..,["actualRecord":..,]"column":..,"expected":E,
//  "expectedColumn":..,"expectedIndex":..,["expectedRecord":..,"key":[..],]"record":R,"type":"CELL"}
// `pair` is the LineWriter::PairText of the line's column pair.
template <class Text>
void spell_cell(Text& out, const auto& pair, Value expected, Value actual, const LineContext& at,
                       std::string_view key) {
  out.raw(kFirst<formats::kActual>);
  value(out, actual);
  if (at.key == nullptr) {
    out.raw(pair.between_values);
    value(out, expected);
    out.raw(pair.after_values);
  } else {
    out.raw(pair.actual_side);
    out.raw(kMember<formats::kActualRecord>);
    number_or_null(out, at.key->actual_record);
    out.raw(pair.column);
    out.raw(kMember<formats::kExpected>);
    value(out, expected);
    out.raw(pair.expected_side);
    out.raw(kMember<formats::kExpectedRecord>);
    number_or_null(out, at.key->expected_record);
    out.raw(kMember<formats::kKey>);
    out.raw(key);
    out.raw(kMember<formats::kRecord>);
  }
  out.number(at.record);
  out.raw(kTypeEnd<formats::kCell>);
}

// {"actualColumns":..,["actualRecord":..,]"actualValues":..,"expectedColumns":..,["expectedRecord":..,]
//  "expectedValues":..,["key":[..],]"record":R,"type":"ROW_WIDTH"}
template <class Text>
void spell_row_width(Text& out, std::size_t expected_columns, std::size_t actual_columns,
                            std::size_t expected_values, std::size_t actual_values, const LineContext& at,
                            std::string_view key) {
  out.raw(kFirst<formats::kActualColumns>);
  out.number(actual_columns);
  if (at.key != nullptr) {
    out.raw(kMember<formats::kActualRecord>);
    number_or_null(out, at.key->actual_record);
  }
  out.raw(kMember<formats::kActualValues>);
  out.number(actual_values);
  out.raw(kMember<formats::kExpectedColumns>);
  out.number(expected_columns);
  if (at.key != nullptr) {
    out.raw(kMember<formats::kExpectedRecord>);
    number_or_null(out, at.key->expected_record);
  }
  out.raw(kMember<formats::kExpectedValues>);
  out.number(expected_values);
  if (at.key != nullptr) {
    out.raw(kMember<formats::kKey>);
    out.raw(key);
  }
  out.raw(kMember<formats::kRecord>);
  out.number(at.record);
  out.raw(kTypeEnd<formats::kRowWidth>);
}

// {["actualRecord":..,]"expected":[..],["expectedRecord":..,"key":[..],]"record":R,"type":"MISSING_ROW"}
template <class Text>
void spell_missing_row(Text& out, std::string_view fields, std::span<const std::size_t> ends,
                              const LineContext& at, std::string_view key) {
  if (at.key != nullptr) {
    out.raw(kFirst<formats::kActualRecord>);
    number_or_null(out, at.key->actual_record);
    out.raw(kMember<formats::kExpected>);
  } else {
    out.raw(kFirst<formats::kExpected>);
  }
  fields_array(out, fields, ends);
  if (at.key != nullptr) {
    out.raw(kMember<formats::kExpectedRecord>);
    number_or_null(out, at.key->expected_record);
    out.raw(kMember<formats::kKey>);
    out.raw(key);
  }
  out.raw(kMember<formats::kRecord>);
  out.number(at.record);
  out.raw(kTypeEnd<formats::kMissingRow>);
}

// {"actual":[..],["actualRecord":..,"expectedRecord":..,"key":[..],]"record":R,"type":"ADDITIONAL_ROW"}
template <class Text>
void spell_additional_row(Text& out, std::string_view fields, std::span<const std::size_t> ends,
                                 const LineContext& at, std::string_view key) {
  out.raw(kFirst<formats::kActual>);
  fields_array(out, fields, ends);
  if (at.key != nullptr) {
    out.raw(kMember<formats::kActualRecord>);
    number_or_null(out, at.key->actual_record);
    out.raw(kMember<formats::kExpectedRecord>);
    number_or_null(out, at.key->expected_record);
    out.raw(kMember<formats::kKey>);
    out.raw(key);
  }
  out.raw(kMember<formats::kRecord>);
  out.number(at.record);
  out.raw(kTypeEnd<formats::kAdditionalRow>);
}

}  // namespace

// ---- LineWriter ----

LineWriter::LineWriter(encoding::Encoding encoding, std::size_t expected_columns, std::size_t actual_columns,
                       const ColumnPlan& plan, DivergenceReportWriter& report)
    : encoding_(encoding),
      utf8_(encoding == encoding::for_label("utf-8")),
      expected_columns_(expected_columns),
      actual_columns_(actual_columns),
      report_(report) {
  pair_text_.reserve(plan.pairs.size());
  for (const ColumnPair& pair : plan.pairs) {
    PairText text;
    text.actual_side = kMember<formats::kActualColumn>;
    append_json_string(text.actual_side, pair.actual);
    text.actual_side.append(kMember<formats::kActualIndex>).append(std::to_string(pair.actual_index));
    text.column = kMember<formats::kColumn>;
    append_json_string(text.column, pair.expected);
    text.expected_side = kMember<formats::kExpectedColumn>;
    append_json_string(text.expected_side, pair.expected);
    text.expected_side.append(kMember<formats::kExpectedIndex>).append(std::to_string(pair.expected_index));
    text.between_values = text.actual_side + text.column + std::string(kMember<formats::kExpected>);
    text.after_values = text.expected_side + std::string(kMember<formats::kRecord>);
    pair_text_.push_back(std::move(text));
  }
}

Result<void> LineWriter::decode(std::optional<std::string_view> field, std::string& out) {
  out.clear();
  if (!field) return {};
  return decode_field_into(encoding_, *field, out);
}

Result<void> LineWriter::decode_key(const KeyContext& key) {
  key_text_.clear();
  key_text_.push_back('[');
  for (std::size_t i = 0; i < key.key.size(); ++i) {
    if (i > 0) key_text_.push_back(',');
    const std::optional<std::string_view> field = key.key[i];
    if (!field) {
      key_text_.append(kNull);
      continue;
    }
    TESSAMER_TRY(decode(field, expected_text_));
    append_json_string(key_text_, expected_text_);
  }
  key_text_.push_back(']');
  return {};
}

// Inlined into cell(): called for most lines of a large report, where a call of its own costs as much
// as the measuring pass.
[[gnu::always_inline]] inline bool LineWriter::cell_in_place(const PairText& text, std::optional<std::string_view> expected,
                               std::optional<std::string_view> actual, const LineContext& at) {
  MeasuredText measured;
  spell_cell(measured, text, expected, actual, at, key_text_);
  return report_.record_in_place(measured.size, [&](char* line) {
    PlacedText out{line};
    spell_cell(out, text, expected, actual, at, key_text_);
    return static_cast<std::size_t>(out.out - line);
  });
}

Result<void> LineWriter::cell(std::size_t pair, std::optional<std::string_view> expected,
                              std::optional<std::string_view> actual, const LineContext& at) {
  assert(pair < pair_text_.size() && "a CELL line is about a pair of the plan");
  assert((expected || actual) && "a CELL line shows at least one field");
  if (at.key != nullptr) TESSAMER_TRY(decode_key(*at.key));
  const PairText& text = pair_text_[pair];
  // Plain ASCII under UTF-8 is its own text, and needs no escaping either: such a line is written
  // straight into place.
  const bool plain = utf8_ && (!expected || is_plain_ascii(*expected)) && (!actual || is_plain_ascii(*actual));
  if (plain && cell_in_place(text, expected, actual, at)) return {};
  TESSAMER_TRY(decode(expected, expected_text_));
  TESSAMER_TRY(decode(actual, actual_text_));
  const Value expected_text = expected ? Value(expected_text_) : std::nullopt;
  const Value actual_text = actual ? Value(actual_text_) : std::nullopt;
  return report_.record([&](ReportBuffer& buffer) {
    BufferedText out(buffer);
    spell_cell(out, text, expected_text, actual_text, at, key_text_);
    return out.done();
  });
}

Result<void> LineWriter::row_width(std::size_t expected_values, std::size_t actual_values, const LineContext& at) {
  if (at.key != nullptr) TESSAMER_TRY(decode_key(*at.key));
  return report_.record([&](ReportBuffer& buffer) {
    BufferedText out(buffer);
    spell_row_width(out, expected_columns_, actual_columns_, expected_values, actual_values, at, key_text_);
    return out.done();
  });
}

Result<void> LineWriter::whole_row(Fields row, bool expected_side, const LineContext& at) {
  if (at.key != nullptr) TESSAMER_TRY(decode_key(*at.key));
  row_text_.clear();
  row_ends_.clear();
  for (const std::string_view field : row) {
    TESSAMER_TRY(decode_field_into(encoding_, field, row_text_));
    row_ends_.push_back(row_text_.size());
  }
  return report_.record([&](ReportBuffer& buffer) {
    BufferedText out(buffer);
    if (expected_side) {
      spell_missing_row(out, row_text_, row_ends_, at, key_text_);
    } else {
      spell_additional_row(out, row_text_, row_ends_, at, key_text_);
    }
    return out.done();
  });
}

Result<void> LineWriter::missing_row(Fields expected, const LineContext& at) { return whole_row(expected, true, at); }

Result<void> LineWriter::additional_row(Fields actual, const LineContext& at) { return whole_row(actual, false, at); }

// ---- PairComparer ----

namespace {

bool same_field(std::string_view a, std::string_view b) {
  return a.size() == b.size() && same_bytes(a.data(), b.data(), a.size());
}

bool same_raw_bytes(const Row& expected, const Row& actual) {
  return expected.raw && actual.raw && same_field(*expected.raw, *actual.raw);
}

}  // namespace

PairComparer::PairComparer(std::size_t expected_columns, std::size_t actual_columns, const ColumnPlan& plan,
                           LineWriter& lines)
    : expected_columns_(expected_columns),
      actual_columns_(actual_columns),
      lines_(lines),
      same_positions_(std::all_of(plan.pairs.begin(), plan.pairs.end(), [](const ColumnPair& pair) {
        return pair.expected_index == pair.actual_index;
      })) {
  indexes_.reserve(plan.pairs.size());
  for (const ColumnPair& pair : plan.pairs) indexes_.emplace_back(pair.expected_index, pair.actual_index);
}

Result<void> PairComparer::compare(const Row& expected, const Row& actual, const LineContext& at) {
  if (expected.fields.size() == expected_columns_ && actual.fields.size() == actual_columns_) [[likely]] {
    // Equal raw bytes give equal fields, so every pair compares an index with itself on equal
    // records: no divergence. (The widths match the headers, so there is no ROW_WIDTH either.)
    if (same_positions_ && same_raw_bytes(expected, actual)) return {};
    return cells<true>(expected.fields, actual.fields, at);
  }
  TESSAMER_TRY(lines_.row_width(expected.fields.size(), actual.fields.size(), at));
  return cells<false>(expected.fields, actual.fields, at);
}

// With `kFullWidth`, both records have their headers' widths, so every planned index lies within
// both and needs no check.
template <bool kFullWidth>
Result<void> PairComparer::cells(Fields expected, Fields actual, const LineContext& at) {
  for (std::size_t k = 0; k < indexes_.size(); ++k) {
    const auto [e, a] = indexes_[k];
    const bool has_expected = kFullWidth || e < expected.size();
    const bool has_actual = kFullWidth || a < actual.size();
    if (has_expected && has_actual) {
      if (same_field(expected[e], actual[a])) continue;
      TESSAMER_TRY(lines_.cell(k, expected[e], actual[a], at));
    } else if (has_expected) {
      TESSAMER_TRY(lines_.cell(k, expected[e], std::nullopt, at));
    } else if (has_actual) {
      TESSAMER_TRY(lines_.cell(k, std::nullopt, actual[a], at));
    }
  }
  return {};
}

}  // namespace tessamer
