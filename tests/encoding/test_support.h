// Helpers shared by the encoding tests: the committed index data, and UTF-8 written and checked
// independently of the module under test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "encoding/encoding.h"

namespace encoding_test {

struct IndexEntry {
  std::uint32_t pointer;
  std::u32string code_points;  // two for the four Big5 pointers that decode to a pair
};

// Reads third_party/encoding-standard/<file>; fails the test when the file is missing.
inline std::vector<IndexEntry> read_index(const std::string& file) {
  std::ifstream in(std::string(ENCODING_STANDARD_DATA_DIR) + "/" + file);
  EXPECT_TRUE(in.is_open()) << file;
  std::vector<IndexEntry> entries;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line.front() == '#') continue;
    std::istringstream fields(line);
    IndexEntry entry{};
    std::string code_point;
    fields >> entry.pointer;
    while (fields >> code_point)
      entry.code_points.push_back(static_cast<char32_t>(std::stoul(code_point, nullptr, 16)));
    entries.push_back(entry);
  }
  return entries;
}

inline std::string utf8(std::u32string_view code_points) {
  std::string out;
  for (const char32_t cp : code_points) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

inline std::string utf8(char32_t cp) { return utf8(std::u32string_view(&cp, 1)); }

// Well-formed UTF-8: shortest forms only, no surrogates, nothing beyond U+10FFFF.
inline bool is_valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const std::size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (n == 0 || s.size() - i < n) return false;
    char32_t cp = n == 1 ? b : b & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kShortest[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

inline encoding::Encoding must_get(std::string_view label) {
  const auto found = encoding::for_label(label);
  EXPECT_TRUE(found.has_value()) << label;
  return found.value_or(encoding::all_encodings().front());
}

// The fatal decode of `bytes`, or "<error>".
inline std::string decoded(encoding::Encoding e, std::string_view bytes) {
  std::string out;
  return encoding::decode(e, bytes, out) ? out : std::string("<error>");
}

}  // namespace encoding_test
