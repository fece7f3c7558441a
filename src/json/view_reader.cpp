// The cold paths of the view reader: escapes, values passed over, and the text of escaped strings.
#include "json/view_reader.h"

#include <algorithm>
#include <cctype>

namespace json {
namespace {

char32_t hex4(const char* p) {
  char32_t v = 0;
  for (int k = 0; k < 4; ++k) v = v * 16 + static_cast<char32_t>(p[k] <= '9' ? p[k] - '0' : (p[k] | 0x20) - 'a' + 10);
  return v;
}

bool is_hex4(const char* p, const char* end) {
  return end - p >= 4 && std::all_of(p, p + 4, [](char h) { return std::isxdigit(static_cast<unsigned char>(h)) != 0; });
}

}  // namespace

bool ViewReader::escape() {
  if (end_ - p_ < 2) return false;
  const char c = p_[1];
  p_ += 2;
  if (c != 'u') return c != '\0' && std::strchr("\"\\/bfnrt", c) != nullptr;
  if (!is_hex4(p_, end_)) return false;
  const char32_t first = hex4(p_);
  p_ += 4;
  if (first >= 0xDC00 && first <= 0xDFFF) return false;
  if (first < 0xD800 || first > 0xDBFF) return true;
  if (!take_exactly("\\u") || !is_hex4(p_, end_)) return false;
  const char32_t second = hex4(p_);
  p_ += 4;
  return second >= 0xDC00 && second <= 0xDFFF;
}

std::string_view ViewReader::unescape(std::string_view raw, std::string& scratch) {
  scratch.clear();
  for (std::size_t i = 0; i < raw.size();) {
    const std::size_t slash = std::min(raw.find('\\', i), raw.size());
    scratch.append(raw, i, slash - i);
    if (slash == raw.size()) break;
    const char c = raw[slash + 1];
    i = slash + 2;
    if (c != 'u') {
      scratch.push_back(c == 'b' ? '\b' : c == 'f' ? '\f' : c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c);
      continue;
    }
    char32_t cp = hex4(raw.data() + i);
    i += 4;
    if (cp >= 0xD800 && cp <= 0xDBFF) {  // string() checked that the trailing half follows
      cp = 0x10000 + ((cp - 0xD800) << 10) + (hex4(raw.data() + i + 2) - 0xDC00);
      i += 6;
    }
    utf8::append(scratch, cp);
  }
  return scratch;
}

bool ViewReader::skip(int depth) {
  StringView s;
  switch (peek()) {
    case '"': return string(s);
    case 't': return literal("true");
    case 'f': return literal("false");
    case 'n': return literal("null");
    case '[':
    case '{': {
      if (depth == 0) return fail("nested too deeply");
      const char close = *p_++ == '{' ? '}' : ']';
      if (take(close)) return true;
      do {
        if (close == '}' && (!string(s) || !take(':'))) return error_ != nullptr ? false : fail("expected ':'");
        if (!skip(depth - 1)) return false;
      } while (more(close));
      return error_ == nullptr;
    }
    default: break;
  }
  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
  auto digits = [&] {
    const char* start = p_;
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    return p_ - start;
  };
  if (p_ < end_ && *p_ == '-') ++p_;
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

}  // namespace json
