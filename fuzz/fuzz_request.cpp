// Request parsing: any bytes give either a request or one positioned message, the same every
// time; a parsed request written back as JSON parses to the same request.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "json_text.h"
#include "request/request.h"

namespace {

struct Position {
  std::string_view text;  // the message before the position
  std::size_t line = 0;
  std::size_t column = 0;
};

// Reads the decimal digits that end `s`, removing them; nullopt when there are none.
std::optional<std::size_t> take_trailing_number(std::string_view& s) {
  std::size_t start = s.size();
  while (start > 0 && s[start - 1] >= '0' && s[start - 1] <= '9') --start;
  const std::string_view digits = s.substr(start);
  if (digits.empty() || digits.size() > 18 || (digits.size() > 1 && digits[0] == '0')) return std::nullopt;
  std::size_t value = 0;
  for (char c : digits) value = value * 10 + static_cast<std::size_t>(c - '0');
  s.remove_suffix(digits.size());
  return value;
}

bool take_suffix(std::string_view& s, std::string_view suffix) {
  if (!s.ends_with(suffix)) return false;
  s.remove_suffix(suffix.size());
  return true;
}

// Splits "text at line L column C"; nullopt unless the message ends in exactly that form.
std::optional<Position> split_position(std::string_view message) {
  Position p;
  auto column = take_trailing_number(message);
  if (!column || !take_suffix(message, " column ")) return std::nullopt;
  auto line = take_trailing_number(message);
  if (!line || !take_suffix(message, " at line ")) return std::nullopt;
  p.text = message;
  p.line = *line;
  p.column = *column;
  return p;
}

// Bytes of line `line` (from 1) of `input`, its line feed not counted; nullopt past the last line.
std::optional<std::size_t> line_length(std::string_view input, std::size_t line) {
  std::size_t start = 0;
  for (std::size_t l = 1; l < line; ++l) {
    const std::size_t lf = input.find('\n', start);
    if (lf == std::string_view::npos) return std::nullopt;
    start = lf + 1;
  }
  const std::size_t lf = input.find('\n', start);
  return (lf == std::string_view::npos ? input.size() : lf) - start;
}

void check_error(std::string_view input, const std::string& message) {
  const auto position = split_position(message);
  if (!position) fuzz::fail("message without a position: " + fuzz::printable(message));
  if (position->text.empty()) fuzz::fail("message with nothing before the position: " + message);
  // A position added twice would leave a second one in front of the first.
  if (split_position(position->text)) fuzz::fail("message positioned twice: " + fuzz::printable(message));
  if (position->line < 1) fuzz::fail("line 0 in: " + fuzz::printable(message));
  const auto length = line_length(input, position->line);
  if (!length) fuzz::fail("line past the end of the input in: " + fuzz::printable(message));
  if (position->column > *length) fuzz::fail("column past the end of its line in: " + fuzz::printable(message));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto first = tessamer::parse_validation_request(input);
  const auto second = tessamer::parse_validation_request(input);
  if (first.has_value() != second.has_value()) fuzz::fail("two parses of the same bytes disagree on success");
  if (!first) {
    if (first.error() != second.error()) {
      fuzz::fail("two parses of the same bytes give different messages: " + fuzz::printable(first.error()) +
                 " / " + fuzz::printable(second.error()));
    }
    check_error(input, first.error());
    return 0;
  }
  fuzz::require(*first == *second, "two parses of the same bytes give different requests");

  const std::string written = fuzz::request_json(*first);
  const auto reparsed = tessamer::parse_validation_request(written);
  if (!reparsed) fuzz::fail("a parsed request written back is refused: " + fuzz::printable(reparsed.error()));
  fuzz::require(*reparsed == *first, "a parsed request written back parses to a different request");
  return 0;
}
