// Every index entry against the decoders and encoders, read from the committed data rather than
// the generated tables, so that a fault in the generator or in a table lookup shows up here.
#include <algorithm>
#include <array>
#include <functional>
#include <map>
#include <optional>
#include <set>

#include "encoding/encoding.h"
#include "encoding/test_support.h"

namespace {

using encoding_test::decoded;
using encoding_test::must_get;
using encoding_test::read_index;
using encoding_test::utf8;

const std::set<std::string_view> kNotSingleByte = {"UTF-8",     "UTF-16BE", "UTF-16LE",    "GBK",
                                                   "gb18030",   "Big5",     "EUC-JP",      "ISO-2022-JP",
                                                   "Shift_JIS", "EUC-KR",   "replacement", "x-user-defined"};

std::string index_file_of(std::string_view name) {
  std::string file = name == "ISO-8859-8-I" ? "iso-8859-8" : std::string(name);
  for (char& c : file) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return "index-" + file + ".txt";
}

TEST(EncodingSingleByte, EveryHighByteDecodesToItsIndexEntryAndEncodesBack) {
  std::string ascii;
  for (int b = 0; b < 0x80; ++b) ascii += static_cast<char>(b);
  int encodings = 0;
  for (const encoding::Encoding e : encoding::all_encodings()) {
    const std::string_view name = encoding::name(e);
    if (kNotSingleByte.contains(name)) continue;
    SCOPED_TRACE(std::string(name));
    ++encodings;
    std::array<char32_t, 128> index{};
    for (const auto& entry : read_index(index_file_of(name))) index.at(entry.pointer) = entry.code_points.at(0);

    EXPECT_EQ(decoded(e, ascii), ascii);
    const auto ascii_encoded = encoding::encode(e, ascii);
    EXPECT_EQ(ascii_encoded.bytes, ascii);
    EXPECT_FALSE(ascii_encoded.unmappable);

    for (int byte = 0x80; byte <= 0xFF; ++byte) {
      SCOPED_TRACE(byte);
      const std::string bytes(1, static_cast<char>(byte));
      const char32_t cp = index[static_cast<std::size_t>(byte - 0x80)];
      if (cp == 0) {
        EXPECT_EQ(decoded(e, bytes), "<error>");
        continue;
      }
      EXPECT_EQ(decoded(e, bytes), utf8(cp));
      const auto encoded = encoding::encode(e, utf8(cp));
      EXPECT_FALSE(encoded.unmappable);
      EXPECT_EQ(encoded.bytes, bytes);
    }
  }
  EXPECT_EQ(encodings, 28);
}

TEST(EncodingSingleByte, XUserDefinedMapsHighBytesToPrivateUse) {
  const auto e = must_get("x-user-defined");
  for (int byte = 0x80; byte <= 0xFF; ++byte) {
    SCOPED_TRACE(byte);
    const std::string bytes(1, static_cast<char>(byte));
    const char32_t cp = static_cast<char32_t>(0xF780 + byte - 0x80);
    EXPECT_EQ(decoded(e, bytes), utf8(cp));
    const auto encoded = encoding::encode(e, utf8(cp));
    EXPECT_FALSE(encoded.unmappable);
    EXPECT_EQ(encoded.bytes, bytes);
  }
}

using Pointers = std::vector<std::uint32_t>;

struct MultiByteCase {
  std::string_view label;
  std::string index_file;
  std::uint32_t decodable_below;                    // pointers this encoding's bytes can express
  std::function<std::string(std::uint32_t)> bytes;  // the byte sequence of a pointer
  // The pointer the encoder writes for a code point with these pointers (ascending); nullopt when
  // the encoder has none for it. Not set: the encoder ignores this index.
  std::function<std::optional<std::uint32_t>(char32_t, const Pointers&)> chosen;
  std::string encoded_suffix;          // what the encoder appends at the end of the input
  std::set<char32_t> encoded_by_rule;  // code points the encoder maps before consulting the index
};

std::string two_bytes(unsigned lead, unsigned trail) { return {static_cast<char>(lead), static_cast<char>(trail)}; }

std::string gb_bytes(std::uint32_t p) { return two_bytes(p / 190 + 0x81, p % 190 + (p % 190 < 0x3F ? 0x40 : 0x41)); }
std::string euc_jp_bytes(std::uint32_t p) { return two_bytes(p / 94 + 0xA1, p % 94 + 0xA1); }

std::optional<std::uint32_t> first(char32_t, const Pointers& pointers) { return pointers.front(); }

std::vector<MultiByteCase> multi_byte_cases() {
  return {
      {"GBK", "index-gb18030.txt", 126 * 190, gb_bytes, first, "", {0x20AC}},
      {"gb18030", "index-gb18030.txt", 126 * 190, gb_bytes, first, "", {}},
      {"Big5",
       "index-big5.txt",
       126 * 157,
       [](std::uint32_t p) { return two_bytes(p / 157 + 0x81, p % 157 + (p % 157 < 0x3F ? 0x40 : 0x62)); },
       [](char32_t cp, const Pointers& pointers) -> std::optional<std::uint32_t> {
         Pointers big5;
         std::copy_if(pointers.begin(), pointers.end(), std::back_inserter(big5),
                      [](std::uint32_t p) { return p >= (0xA1 - 0x81) * 157; });
         if (big5.empty()) return std::nullopt;
         const bool last = cp == 0x2550 || cp == 0x255E || cp == 0x2561 || cp == 0x256A || cp == 0x5341 || cp == 0x5345;
         return last ? big5.back() : big5.front();
       },
       "",
       {}},
      {"EUC-JP", "index-jis0208.txt", 94 * 94, euc_jp_bytes, first, "", {}},
      {"EUC-JP",
       "index-jis0212.txt",
       94 * 94,
       [](std::uint32_t p) { return std::string("\x8F").append(euc_jp_bytes(p)); },
       nullptr,
       "",
       {}},
      {"ISO-2022-JP",
       "index-jis0208.txt",
       94 * 94,
       [](std::uint32_t p) { return std::string("\x1B$B").append(two_bytes(p / 94 + 0x21, p % 94 + 0x21)); },
       first,
       "\x1B(B",
       {}},
      {"Shift_JIS",
       "index-jis0208.txt",
       60 * 188,
       [](std::uint32_t p) {
         const unsigned lead = p / 188;
         const unsigned trail = p % 188;
         return two_bytes(lead + (lead < 0x1F ? 0x81 : 0xC1), trail + (trail < 0x3F ? 0x40 : 0x41));
       },
       [](char32_t, const Pointers& pointers) -> std::optional<std::uint32_t> {
         for (const std::uint32_t p : pointers) {
           if (p < 8272 || p > 8835) return p;
         }
         return std::nullopt;
       },
       "",
       {}},
      {"EUC-KR",
       "index-euc-kr.txt",
       126 * 190,
       [](std::uint32_t p) { return two_bytes(p / 190 + 0x81, p % 190 + 0x41); },
       first,
       "",
       {}},
  };
}

TEST(EncodingMultiByte, EveryIndexEntryDecodesAndEveryReachedOneRoundTrips) {
  for (const MultiByteCase& c : multi_byte_cases()) {
    SCOPED_TRACE(std::string(c.label) + " " + c.index_file);
    const auto e = must_get(c.label);
    std::map<char32_t, Pointers> pointers_of;
    int decoded_entries = 0;
    for (const auto& entry : read_index(c.index_file)) {
      pointers_of[entry.code_points.front()].push_back(entry.pointer);
      if (entry.pointer >= c.decodable_below) continue;
      SCOPED_TRACE(entry.pointer);
      EXPECT_EQ(decoded(e, c.bytes(entry.pointer)), utf8(entry.code_points));
      ++decoded_entries;
    }
    EXPECT_GT(decoded_entries, 5000);

    int encoded = 0;
    for (const auto& [cp, pointers] : pointers_of) {
      SCOPED_TRACE(testing::Message() << "U+" << std::hex << static_cast<std::uint32_t>(cp));
      const auto result = encoding::encode(e, utf8(cp));
      if (!c.chosen) {
        // An index the encoder does not use: whatever it writes must still decode back.
        if (!result.unmappable) {
          EXPECT_EQ(decoded(e, result.bytes), utf8(cp));
        }
        continue;
      }
      if (c.encoded_by_rule.contains(cp)) continue;
      const auto pointer = c.chosen(cp, pointers);
      EXPECT_EQ(result.unmappable, !pointer.has_value());
      if (!pointer) continue;
      EXPECT_EQ(result.bytes, c.bytes(*pointer) + c.encoded_suffix);
      EXPECT_EQ(decoded(e, result.bytes), utf8(cp));
      ++encoded;
    }
    if (c.chosen) {
      EXPECT_GT(encoded, 5000);
    }
  }
}

}  // namespace
