// The strict JSON pull reader: whitespace, literals, strings and their escapes, numbers, and
// error positions.
#include "json/reader.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/try.h"
#include "core/utf8.h"

namespace json {
namespace {

constexpr std::string_view kEofValue = "EOF while parsing a value";
constexpr std::string_view kEofString = "EOF while parsing a string";
constexpr std::string_view kInvalidNumber = "invalid number";
constexpr std::string_view kOutOfRange = "number out of range";

// Powers of ten 1e0 .. 1e308, each the correctly rounded double.
const std::array<double, 309>& powers_of_ten() {
  static const std::array<double, 309> table = [] {
    std::array<double, 309> powers{};
    for (int e = 0; e <= 308; ++e) {
      char text[8];
      auto end = std::to_chars(text + 2, text + sizeof text, e).ptr;
      text[0] = '1';
      text[1] = 'e';
      std::from_chars(text, end, powers[static_cast<std::size_t>(e)]);
    }
    return powers;
  }();
  return table;
}

// Would `value * 10 + digit` exceed `limit`?
constexpr bool overflows(std::uint64_t value, std::uint64_t digit, std::uint64_t limit) {
  return value >= limit / 10 && (value > limit / 10 || digit > limit % 10);
}

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string Error::to_string() const {
  std::string text = message;
  text.append(" at line ").append(std::to_string(line)).append(" column ").append(std::to_string(column));
  return text;
}

std::string format_float(double value) {
  // Shortest round-trip digits from the library, laid out in plain notation for moderate
  // exponents (always with a fraction) and in scientific notation otherwise.
  char sci[40];
  auto end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
  std::string_view text(sci, static_cast<std::size_t>(end - sci));
  std::string out;
  if (!text.empty() && text.front() == '-') {
    out.push_back('-');
    text.remove_prefix(1);
  }
  std::size_t e_pos = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e_pos)) {
    if (c != '.') digits.push_back(c);
  }
  int exponent = 0;
  std::string_view exp_text = text.substr(e_pos + 1);
  if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
  // value = 0.digits x 10^point
  int point = digits == "0" ? 1 : exponent + 1;
  const int count = static_cast<int>(digits.size());
  if (point > 0 && point <= 16) {
    if (count <= point) {
      out.append(digits).append(static_cast<std::size_t>(point - count), '0').append(".0");
    } else {
      out.append(digits, 0, static_cast<std::size_t>(point)).append(".").append(digits, static_cast<std::size_t>(point));
    }
  } else if (point > -5 && point <= 0) {
    out.append("0.").append(static_cast<std::size_t>(-point), '0').append(digits);
  } else {
    out.push_back(digits[0]);
    if (count > 1) out.append(".").append(digits, 1);
    out.append("e").append(std::to_string(point - 1));
  }
  return out;
}

std::string describe(const Unexpected& unexpected) {
  switch (unexpected.kind) {
    case Unexpected::Kind::Null: return "null";
    case Unexpected::Kind::Bool: return unexpected.boolean ? "boolean `true`" : "boolean `false`";
    case Unexpected::Kind::Unsigned: return "integer `" + std::to_string(unexpected.u) + "`";
    case Unexpected::Kind::Signed: return "integer `" + std::to_string(unexpected.i) + "`";
    case Unexpected::Kind::Float: return "floating point `" + format_float(unexpected.f) + "`";
    case Unexpected::Kind::String: return "string " + unexpected.text;
    case Unexpected::Kind::Sequence: return "sequence";
    case Unexpected::Kind::Map: return "map";
  }
  return "map";
}

Error Reader::positioned(std::string message, std::size_t index) const {
  std::string_view before = data_.substr(0, index);
  std::size_t start_of_line = before.rfind('\n');
  start_of_line = start_of_line == std::string_view::npos ? 0 : start_of_line + 1;
  std::size_t line = 1;
  for (std::size_t i = 0; i < start_of_line; ++i) line += data_[i] == '\n';
  return Error{std::move(message), line, index - start_of_line};
}

Error Reader::fix_position(Error error) const {
  if (error.line != 0) return error;
  return positioned(std::move(error.message), index_);
}

std::optional<unsigned char> Reader::skip_whitespace() {
  while (index_ < data_.size()) {
    unsigned char c = static_cast<unsigned char>(data_[index_]);
    if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return c;
    ++index_;
  }
  return std::nullopt;
}

Expected<void> Reader::parse_ident(std::string_view rest) {
  assert(index_ > 0 && "the literal's first byte was consumed");
  for (char expected : rest) {
    auto next = peek();
    if (!next) return std::unexpected(error(std::string(kEofValue)));
    ++index_;
    if (*next != static_cast<unsigned char>(expected)) return std::unexpected(error("expected ident"));
  }
  return {};
}

Expected<std::string> Reader::parse_string() {
  std::string out;
  std::size_t start = index_;
  for (;;) {
    while (index_ < data_.size()) {
      unsigned char c = static_cast<unsigned char>(data_[index_]);
      if (c == '"' || c == '\\' || c < 0x20) break;
      ++index_;
    }
    if (index_ == data_.size()) return std::unexpected(error(std::string(kEofString)));
    unsigned char c = static_cast<unsigned char>(data_[index_]);
    if (c == '"') {
      out.append(data_.substr(start, index_ - start));
      ++index_;
      if (!utf8::is_valid(out)) return std::unexpected(error("invalid unicode code point"));
      return out;
    }
    if (c == '\\') {
      out.append(data_.substr(start, index_ - start));
      ++index_;
      TESSAMER_TRY(parse_escape(out));
      start = index_;
      continue;
    }
    ++index_;
    return std::unexpected(error("control character (\\u0000-\\u001F) found while parsing a string"));
  }
}

Expected<void> Reader::parse_escape(std::string& out) {
  auto next = peek();
  if (!next) return std::unexpected(error(std::string(kEofString)));
  ++index_;
  switch (*next) {
    case '"': out.push_back('"'); return {};
    case '\\': out.push_back('\\'); return {};
    case '/': out.push_back('/'); return {};
    case 'b': out.push_back('\b'); return {};
    case 'f': out.push_back('\f'); return {};
    case 'n': out.push_back('\n'); return {};
    case 'r': out.push_back('\r'); return {};
    case 't': out.push_back('\t'); return {};
    case 'u': break;
    default: return std::unexpected(error("invalid escape"));
  }
  TESSAMER_ASSIGN_OR_RETURN(const std::uint32_t n, decode_hex_escape());
  if (n >= 0xDC00 && n <= 0xDFFF) return std::unexpected(error("lone leading surrogate in hex escape"));
  if (n < 0xD800 || n > 0xDBFF) {
    utf8::append(out, n);
    return {};
  }
  // A leading surrogate must be followed by an escaped trailing one.
  for (char expected : {'\\', 'u'}) {
    auto c = peek();
    if (!c) return std::unexpected(error(std::string(kEofString)));
    ++index_;
    if (*c != static_cast<unsigned char>(expected)) return std::unexpected(error("unexpected end of hex escape"));
  }
  TESSAMER_ASSIGN_OR_RETURN(const std::uint32_t n2, decode_hex_escape());
  if (n2 < 0xDC00 || n2 > 0xDFFF) return std::unexpected(error("lone leading surrogate in hex escape"));
  utf8::append(out, (((n - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000);
  return {};
}

Expected<std::uint16_t> Reader::decode_hex_escape() {
  if (data_.size() - index_ < 4) {
    index_ = data_.size();
    return std::unexpected(error(std::string(kEofString)));
  }
  // The error points just past the first character that is not a hex digit, so that an escape
  // cut short by a line end is reported on its own line.
  int value = 0;
  for (int k = 0; k < 4; ++k) {
    int digit = hex_value(static_cast<unsigned char>(data_[index_++]));
    if (digit < 0) return std::unexpected(error("invalid escape"));
    value = value * 16 + digit;
  }
  return static_cast<std::uint16_t>(value);
}

Expected<Number> Reader::parse_number(bool positive) {
  assert((positive || (index_ > 0 && data_[index_ - 1] == '-')) && "a negative number's sign was consumed");
  auto next = peek();
  if (!next) return std::unexpected(error(std::string(kEofValue)));
  ++index_;
  std::uint64_t significand = 0;
  if (*next == '0') {
    // Only one leading zero.
    unsigned char after = peek_or_null();
    if (after >= '0' && after <= '9') return std::unexpected(peek_error(std::string(kInvalidNumber)));
  } else if (*next >= '1' && *next <= '9') {
    significand = *next - '0';
    for (;;) {
      unsigned char c = peek_or_null();
      if (c < '0' || c > '9') break;
      std::uint64_t digit = c - '0';
      if (overflows(significand, digit, std::numeric_limits<std::uint64_t>::max())) {
        TESSAMER_ASSIGN_OR_RETURN(const double f, parse_long_integer(positive, significand));
        return Number{Number::Kind::Float, 0, 0, f};
      }
      ++index_;
      significand = significand * 10 + digit;
    }
  } else {
    return std::unexpected(error(std::string(kInvalidNumber)));
  }
  unsigned char c = peek_or_null();
  if (c == '.' || c == 'e' || c == 'E') {
    TESSAMER_ASSIGN_OR_RETURN(const double f, c == '.' ? parse_decimal(positive, significand, 0)
                                                       : parse_exponent(positive, significand, 0));
    return Number{Number::Kind::Float, 0, 0, f};
  }
  // A number without fraction or exponent is an integer wherever it fits 64 bits, "-0" too,
  // which is the integer 0. Values below the signed range are read as floating point.
  if (positive || significand == 0) return Number{Number::Kind::Unsigned, significand, 0, 0};
  auto negated = static_cast<std::int64_t>(0 - significand);
  if (negated >= 0) return Number{Number::Kind::Float, 0, 0, -static_cast<double>(significand)};
  return Number{Number::Kind::Signed, 0, negated, 0};
}

Expected<double> Reader::parse_long_integer(bool positive, std::uint64_t significand) {
  std::int32_t exponent = 0;
  for (;;) {
    unsigned char c = peek_or_null();
    if (c >= '0' && c <= '9') {
      ++index_;
      ++exponent;
      continue;
    }
    if (c == '.') return parse_decimal(positive, significand, exponent);
    if (c == 'e' || c == 'E') return parse_exponent(positive, significand, exponent);
    return f64_from_parts(positive, significand, exponent);
  }
}

Expected<double> Reader::parse_decimal(bool positive, std::uint64_t significand, std::int32_t exponent_before) {
  ++index_;  // the point
  std::int32_t exponent_after = 0;
  for (;;) {
    unsigned char c = peek_or_null();
    if (c < '0' || c > '9') break;
    std::uint64_t digit = c - '0';
    if (overflows(significand, digit, std::numeric_limits<std::uint64_t>::max())) {
      return parse_decimal_overflow(positive, significand, exponent_before + exponent_after);
    }
    ++index_;
    significand = significand * 10 + digit;
    --exponent_after;
  }
  // At least one digit must follow the point.
  if (exponent_after == 0) {
    if (peek()) return std::unexpected(peek_error(std::string(kInvalidNumber)));
    return std::unexpected(peek_error(std::string(kEofValue)));
  }
  std::int32_t exponent = exponent_before + exponent_after;
  unsigned char c = peek_or_null();
  if (c == 'e' || c == 'E') return parse_exponent(positive, significand, exponent);
  return f64_from_parts(positive, significand, exponent);
}

Expected<double> Reader::parse_decimal_overflow(bool positive, std::uint64_t significand, std::int32_t exponent) {
  // Further digits cannot change the value that is read; skip them.
  while (peek_or_null() >= '0' && peek_or_null() <= '9') ++index_;
  unsigned char c = peek_or_null();
  if (c == 'e' || c == 'E') return parse_exponent(positive, significand, exponent);
  return f64_from_parts(positive, significand, exponent);
}

Expected<double> Reader::parse_exponent(bool positive, std::uint64_t significand, std::int32_t starting_exponent) {
  ++index_;  // the 'e'
  bool positive_exponent = true;
  if (peek_or_null() == '+') {
    ++index_;
  } else if (peek_or_null() == '-') {
    ++index_;
    positive_exponent = false;
  }
  auto next = peek();
  if (!next) return std::unexpected(error(std::string(kEofValue)));
  ++index_;
  if (*next < '0' || *next > '9') return std::unexpected(error(std::string(kInvalidNumber)));
  std::int32_t exponent = *next - '0';
  for (;;) {
    unsigned char c = peek_or_null();
    if (c < '0' || c > '9') break;
    ++index_;
    auto digit = static_cast<std::int32_t>(c - '0');
    if (overflows(static_cast<std::uint64_t>(exponent), static_cast<std::uint64_t>(digit),
                  static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))) {
      // An exponent this large means infinity (an error) or zero.
      if (significand != 0 && positive_exponent) return std::unexpected(error(std::string(kOutOfRange)));
      while (peek_or_null() >= '0' && peek_or_null() <= '9') ++index_;
      return positive ? 0.0 : -0.0;
    }
    exponent = exponent * 10 + digit;
  }
  std::int64_t final_exponent = positive_exponent ? static_cast<std::int64_t>(starting_exponent) + exponent
                                                  : static_cast<std::int64_t>(starting_exponent) - exponent;
  final_exponent = std::clamp<std::int64_t>(final_exponent, std::numeric_limits<std::int32_t>::min(),
                                            std::numeric_limits<std::int32_t>::max());
  return f64_from_parts(positive, significand, static_cast<std::int32_t>(final_exponent));
}

Expected<double> Reader::f64_from_parts(bool positive, std::uint64_t significand, std::int32_t exponent) {
  // Deliberately the simple scaling by a power of ten (not correctly rounded in every case), so
  // that a value is read the same way wherever it is reported.
  const auto& powers = powers_of_ten();
  double f = static_cast<double>(significand);
  std::int64_t e = exponent;
  for (;;) {
    std::int64_t magnitude = e < 0 ? -e : e;
    if (magnitude < static_cast<std::int64_t>(powers.size())) {
      double power = powers[static_cast<std::size_t>(magnitude)];
      if (e >= 0) {
        f *= power;
        if (std::isinf(f)) return std::unexpected(error(std::string(kOutOfRange)));
      } else {
        f /= power;
      }
      break;
    }
    if (f == 0.0) break;
    if (e >= 0) return std::unexpected(error(std::string(kOutOfRange)));
    f /= 1e308;
    e += 308;
  }
  return positive ? f : -f;
}

Expected<Unexpected> Reader::read_unexpected() {
  Unexpected found;
  unsigned char c = peek_or_null();
  switch (c) {
    case 'n':
    case 't':
    case 'f': {
      ++index_;
      std::string_view rest = c == 'n' ? "ull" : c == 't' ? "rue" : "alse";
      TESSAMER_TRY(parse_ident(rest));
      found.kind = c == 'n' ? Unexpected::Kind::Null : Unexpected::Kind::Bool;
      found.boolean = c == 't';
      return found;
    }
    case '"': {
      ++index_;
      TESSAMER_ASSIGN_OR_RETURN(found.text, parse_string());
      found.kind = Unexpected::Kind::String;
      return found;
    }
    case '[': found.kind = Unexpected::Kind::Sequence; return found;
    case '{': found.kind = Unexpected::Kind::Map; return found;
    default: break;
  }
  if (c == '-' || (c >= '0' && c <= '9')) {
    if (c == '-') ++index_;
    TESSAMER_ASSIGN_OR_RETURN(const Number number, parse_number(c != '-'));
    switch (number.kind) {
      case Number::Kind::Unsigned: found.kind = Unexpected::Kind::Unsigned; found.u = number.u; break;
      case Number::Kind::Signed: found.kind = Unexpected::Kind::Signed; found.i = number.i; break;
      case Number::Kind::Float: found.kind = Unexpected::Kind::Float; found.f = number.f; break;
    }
    return found;
  }
  return std::unexpected(peek_error("expected value"));
}

Expected<bool> Reader::next_item(bool& first, unsigned char close, std::string_view eof_message,
                                 std::string_view separator_message) {
  auto c = skip_whitespace();
  if (!c) return std::unexpected(peek_error(std::string(eof_message)));
  if (*c == close) return false;
  if (*c == ',' && !first) {
    ++index_;
    c = skip_whitespace();
  } else if (first) {
    first = false;
  } else {
    return std::unexpected(peek_error(std::string(separator_message)));
  }
  if (!c) return std::unexpected(peek_error(std::string(kEofValue)));
  if (*c == close) return std::unexpected(peek_error("trailing comma"));
  return true;
}

Expected<bool> Reader::next_element(bool& first) {
  return next_item(first, ']', "EOF while parsing a list", "expected `,` or `]`");
}

Expected<bool> Reader::next_member(bool& first) {
  auto more = next_item(first, '}', "EOF while parsing an object", "expected `,` or `}`");
  if (more && *more && peek_or_null() != '"') return std::unexpected(peek_error("key must be a string"));
  return more;
}

Expected<void> Reader::parse_colon() {
  auto c = skip_whitespace();
  if (!c) return std::unexpected(peek_error("EOF while parsing an object"));
  if (*c != ':') return std::unexpected(peek_error("expected `:`"));
  ++index_;
  return {};
}

Expected<void> Reader::end_array() {
  auto c = skip_whitespace();
  if (!c) return std::unexpected(peek_error("EOF while parsing a list"));
  if (*c == ']') {
    ++index_;
    return {};
  }
  if (*c == ',') {
    ++index_;
    auto after = skip_whitespace();
    if (after && *after == ']') return std::unexpected(peek_error("trailing comma"));
  }
  return std::unexpected(peek_error("trailing characters"));
}

Expected<void> Reader::end_object() {
  auto c = skip_whitespace();
  if (!c) return std::unexpected(peek_error("EOF while parsing an object"));
  if (*c == '}') {
    ++index_;
    return {};
  }
  if (*c == ',') return std::unexpected(peek_error("trailing comma"));
  return std::unexpected(peek_error("trailing characters"));
}

Expected<void> Reader::end_document() {
  if (skip_whitespace()) return std::unexpected(peek_error("trailing characters"));
  return {};
}

}  // namespace json
