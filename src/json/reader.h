// A strict RFC 8259 pull reader for typed reading of JSON documents.
//
// Self-contained: it knows nothing of the records read with it. The caller drives it value by
// value (peek the next byte, then read a string, number or literal, or step into an array or
// object), so typed reading never descends further than the shape it expects. Errors carry the
// line (from 1) and column (bytes of that line before the point where reading stopped); an error
// raised by the caller without a position takes the reader's current one (`fix_position`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace json {

struct Error {
  std::string message;
  std::size_t line = 0;  // 0: not positioned yet
  std::size_t column = 0;

  // "message at line L column C".
  std::string to_string() const;
};

template <class T>
using Expected = std::expected<T, Error>;

struct Number {
  enum class Kind { Unsigned, Signed, Float };
  Kind kind = Kind::Unsigned;
  std::uint64_t u = 0;  // Kind::Unsigned
  std::int64_t i = 0;   // Kind::Signed (always negative)
  double f = 0;         // Kind::Float
};

// What a value of an unwanted type turned out to be, for "invalid type" messages.
struct Unexpected {
  enum class Kind { Null, Bool, Unsigned, Signed, Float, String, Sequence, Map };
  Kind kind = Kind::Null;
  bool boolean = false;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double f = 0;
  std::string text;  // Kind::String
};

// "null", "boolean `true`", "integer `5`", "floating point `1.5`", "sequence", "map". Strings are
// described by the caller, which decides how to quote them.
std::string describe(const Unexpected& unexpected);

// The shortest text that reads back as `value`, laid out as "1.0", "1e16", "2.5e-7", "-0.0".
std::string format_float(double value);

class Reader {
 public:
  // `input` must outlive the reader.
  explicit Reader(std::string_view input) : data_(input) {}

  // Skips JSON whitespace and returns the next byte without consuming it; nullopt at the end.
  std::optional<unsigned char> skip_whitespace();
  void eat() { ++index_; }

  // An error positioned at the current point, or just past the next byte ("peek" position).
  Error error(std::string message) const { return positioned(std::move(message), index_); }
  Error peek_error(std::string message) const {
    return positioned(std::move(message), index_ < data_.size() ? index_ + 1 : data_.size());
  }
  // Gives an error without a position the current one.
  Error fix_position(Error error) const;

  // REQUIRES: the first byte of the literal was consumed; checks the rest ("ull", "rue", "alse").
  [[nodiscard]] Expected<void> parse_ident(std::string_view rest);
  // From just after an opening quote: the unescaped text up to the closing quote, which must be
  // valid UTF-8.
  [[nodiscard]] Expected<std::string> parse_string();
  // REQUIRES: a minus sign was consumed when !positive; the next byte starts the digits.
  [[nodiscard]] Expected<Number> parse_number(bool positive);

  // Reads the value at the next byte (whitespace already skipped) only as far as needed to say
  // what it is: scalars are consumed, arrays and objects are not entered.
  [[nodiscard]] Expected<Unexpected> read_unexpected();

  // Between elements of an array or members of an object: consumes the separating comma and
  // reports whether another element follows (true) or the closing byte is next (false).
  // `first` tracks the first element and is updated.
  [[nodiscard]] Expected<bool> next_element(bool& first);
  [[nodiscard]] Expected<bool> next_member(bool& first);
  // Consumes the colon after a key.
  [[nodiscard]] Expected<void> parse_colon();
  // After the elements of an array / members of an object: the closing byte.
  [[nodiscard]] Expected<void> end_array();
  [[nodiscard]] Expected<void> end_object();
  // Only whitespace may follow the document.
  [[nodiscard]] Expected<void> end_document();

 private:
  Error positioned(std::string message, std::size_t index) const;
  [[nodiscard]] Expected<bool> next_item(bool& first, unsigned char close, std::string_view eof_message,
                           std::string_view separator_message);
  std::optional<unsigned char> peek() const {
    if (index_ < data_.size()) return static_cast<unsigned char>(data_[index_]);
    return std::nullopt;
  }
  unsigned char peek_or_null() const { return index_ < data_.size() ? static_cast<unsigned char>(data_[index_]) : 0; }
  [[nodiscard]] Expected<void> parse_escape(std::string& out);
  [[nodiscard]] Expected<std::uint16_t> decode_hex_escape();
  [[nodiscard]] Expected<double> parse_long_integer(bool positive, std::uint64_t significand);
  [[nodiscard]] Expected<double> parse_decimal(bool positive, std::uint64_t significand, std::int32_t exponent_before);
  [[nodiscard]] Expected<double> parse_decimal_overflow(bool positive, std::uint64_t significand, std::int32_t exponent);
  [[nodiscard]] Expected<double> parse_exponent(bool positive, std::uint64_t significand, std::int32_t starting_exponent);
  [[nodiscard]] Expected<double> f64_from_parts(bool positive, std::uint64_t significand, std::int32_t exponent);

  std::string_view data_;
  std::size_t index_ = 0;
};

}  // namespace json
