// UTF-8 in one place: writing a code point, measuring well-formed text, reading a code point.
//
// Header-only and free of the engine's types, so that the self-contained modules (the JSON
// reader, the Encoding Standard) share it without depending on anything else.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace utf8 {

// Appends the UTF-8 form of `cp`. REQUIRES: `cp` is a scalar value (at most U+10FFFF and not a
// surrogate).
inline void append(std::string& out, char32_t cp) {
  assert(cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF) && "only scalar values have a UTF-8 form");
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    const char bytes[] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(bytes, 2);
  } else if (cp < 0x10000) {
    const char bytes[] = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                          static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(bytes, 3);
  } else {
    const char bytes[] = {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                          static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(bytes, 4);
  }
}

constexpr bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the longest prefix of `bytes` made of complete, well-formed UTF-8 sequences (no
// overlong forms, no surrogates, nothing above U+10FFFF). ASCII is checked 16 bytes at a time.
inline std::size_t well_formed_prefix(std::string_view bytes) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  const auto* const begin = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = begin + bytes.size();
  const auto* p = begin;
  // The length of the well-formed sequence at `p`, 0 if there is none.
  const auto sequence = [&p, end]() -> int {
    const unsigned char lead = *p;
    const auto left = end - p;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return left >= 2 && is_continuation(p[1]) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
      return left >= 3 && is_continuation(p[1]) && is_continuation(p[2]) && !(lead == 0xE0 && p[1] < 0xA0) &&
                     !(lead == 0xED && p[1] > 0x9F)
                 ? 3
                 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
      return left >= 4 && is_continuation(p[1]) && is_continuation(p[2]) && is_continuation(p[3]) &&
                     !(lead == 0xF0 && p[1] < 0x90) && !(lead == 0xF4 && p[1] > 0x8F)
                 ? 4
                 : 0;
    }
    return 0;
  };
  for (;;) {
    while (end - p >= 16) {
      std::uint64_t a;
      std::uint64_t b;
      std::memcpy(&a, p, 8);
      std::memcpy(&b, p + 8, 8);
      if (((a | b) & kHighBits) != 0) break;
      p += 16;
    }
    // A block with a non-ASCII byte in it, or the tail: one sequence at a time to its end.
    const auto* const block_end = p + std::min<std::ptrdiff_t>(16, end - p);
    while (p < block_end) {
      const int length = sequence();
      if (length == 0) return static_cast<std::size_t>(p - begin);
      p += length;
    }
    if (p >= end) return static_cast<std::size_t>(p - begin);
  }
}

inline bool is_valid(std::string_view bytes) { return well_formed_prefix(bytes) == bytes.size(); }

// The code point at `pos` of `text`, advancing `pos` past it. A malformed sequence reads as
// U+FFFD one byte at a time, so that nothing is read beyond `text`. REQUIRES: pos < size.
inline char32_t next_code_point(std::string_view text, std::size_t& pos) {
  assert(pos < text.size() && "a code point is read only where text is left");
  const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  if (length == 1) {
    ++pos;
    return lead;
  }
  char32_t cp = lead & (0x7F >> length);
  bool valid = lead >= 0xC2 && lead <= 0xF4 && text.size() - pos >= length;
  for (std::size_t i = 1; valid && i < length; ++i) {
    valid = is_continuation(byte(pos + i));
    cp = (cp << 6) | (byte(pos + i) & 0x3F);
  }
  constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (!valid || cp < kMinimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return 0xFFFD;
  }
  pos += length;
  return cp;
}

}  // namespace utf8
