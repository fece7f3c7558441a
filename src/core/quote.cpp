// Quoting a text for messages: printable text as it stands, the rest escaped.
#include "core/quote.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <charconv>

namespace tessamer {
namespace {

bool needs_unicode_escape(UChar32 c) {
  if (u_hasBinaryProperty(c, UCHAR_GRAPHEME_EXTEND)) return true;
  switch (u_charType(c)) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_SURROGATE:
    case U_PRIVATE_USE_CHAR:
    case U_UNASSIGNED:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
      return true;
    case U_SPACE_SEPARATOR:
      return c != 0x20;
    default:
      return false;
  }
}

void append_unicode_escape(std::string& out, UChar32 c) {
  char digits[8];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, static_cast<unsigned>(c), 16);
  (void)ec;
  out.append("\\u{").append(digits, end).append("}");
}

}  // namespace

std::string debug_quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int64_t>(text.size());
  int64_t i = 0;
  while (i < length) {
    // Printable ASCII is copied as it stands, in runs.
    int64_t run = i;
    while (run < length && bytes[run] >= 0x20 && bytes[run] < 0x7F && bytes[run] != '"' && bytes[run] != '\\') ++run;
    out.append(text.data() + i, static_cast<std::size_t>(run - i));
    i = run;
    if (i >= length) break;
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    switch (c) {
      case '"': out.append("\\\""); continue;
      case '\\': out.append("\\\\"); continue;
      case '\t': out.append("\\t"); continue;
      case '\r': out.append("\\r"); continue;
      case '\n': out.append("\\n"); continue;
      case '\0': out.append("\\0"); continue;
      default: break;
    }
    if (c < 0) c = 0xFFFD;
    if (needs_unicode_escape(c)) {
      append_unicode_escape(out, c);
      continue;
    }
    char utf8[4];
    int32_t n = 0;
    U8_APPEND_UNSAFE(utf8, n, c);
    out.append(utf8, static_cast<std::size_t>(n));
  }
  out.push_back('"');
  return out;
}

}  // namespace tessamer
