#include "encoding/encoding.h"
#include "encoding/test_support.h"

namespace {

using namespace std::string_view_literals;
using encoding_test::must_get;
using encoding_test::utf8;

struct Case {
  std::string_view label;
  std::u32string_view text;
  std::string_view bytes;
  bool unmappable;
};

TEST(EncodingEncode, OutputBytesAndUnmappableCharacters) {
  const Case cases[] = {
      {"windows-1252", U"\u20AC", "\x80"sv, false},
      {"UTF-8", U"\u20AC", "\xE2\x82\xAC"sv, false},
      {"KOI8-R", U"\u00E9", ""sv, true},
      {"KOI8-R", U"a\u00E9b", "ab"sv, true},  // the unmappable character is left out
      {"UTF-16LE", U",", ","sv, false},       // UTF-16 and replacement encode as UTF-8
      {"UTF-16BE", U"\u20AC", "\xE2\x82\xAC"sv, false},
      {"replacement", U"\U0001F600", "\xF0\x9F\x98\x80"sv, false},
      {"x-user-defined", U"\uF780\uF7FFa", "\x80\xFF\x61"sv, false},
      {"x-user-defined", U"\u0080", ""sv, true},
      {"gb18030", U"\u20AC", "\xA2\xE3"sv, false},
      {"GBK", U"\u20AC", "\x80"sv, false},
      {"gb18030", U"\u0080", "\x81\x30\x81\x30"sv, false},
      {"GBK", U"\u0080", ""sv, true},  // GBK has no four-byte forms
      {"gb18030", U"\uE5E5", ""sv, true},
      {"GBK", U"\uE5E5", ""sv, true},
      {"gb18030", U"\uE7C7", "\x81\x35\xF4\x37"sv, false},
      {"gb18030", U"\uFFFF", "\x84\x31\xA4\x39"sv, false},
      {"gb18030", U"\U0001F600", "\x94\x39\xFC\x36"sv, false},
      {"gb18030", U"\U0010FFFF", "\xE3\x32\x9A\x35"sv, false},
      {"Big5", U"\u00CA", ""sv, true},           // only at Hong Kong pointers, which are never written
      {"Big5", U"\u2550", "\xF9\xF9"sv, false},  // the later of its two pointers
      {"Big5", U"\u4E00", "\xA4\x40"sv, false},
      {"EUC-JP", U"\u00A5\u203E\uFF61", "\x5C\x7E\x8E\xA1"sv, false},
      {"EUC-JP", U"\u2212", "\xA1\xDD"sv, false},  // as U+FF0D
      {"EUC-JP", U"\u02D8", ""sv, true},           // JIS X 0212 is decoded, never written
      {"Shift_JIS", U"\u0080\u00A5\u203E\uFF61", "\x80\x5C\x7E\xA1"sv, false},
      {"Shift_JIS", U"\u2212", "\x81\x7C"sv, false},
      {"Shift_JIS", U"\u2170", "\xFA\x40"sv, false},  // not the NEC-selected duplicate at 0xEE 0xEF
      {"Shift_JIS", U"\uE000", ""sv, true},           // the user-defined area is decoded, never written
      {"EUC-KR", U"\uAC00", "\xB0\xA1"sv, false},
      {"ISO-2022-JP", U",", ","sv, false},
      {"ISO-2022-JP", U"a\u4E9Cb", "a\x1B$B\x30\x21\x1B(Bb"sv, false},
      {"ISO-2022-JP", U"\u4E9C", "\x1B$B\x30\x21\x1B(B"sv, false},   // back to ASCII at the end
      {"ISO-2022-JP", U"\u00A5a", "\x1B(J\x5C\x61\x1B(B"sv, false},  // Roman keeps 'a' as it is
      {"ISO-2022-JP", U"\u00A5\\", "\x1B(J\x5C\x1B(B\\"sv, false},   // but not the backslash
      {"ISO-2022-JP", U"\uFF71", "\x1B$B\x25\x22\x1B(B"sv, false},   // halfwidth as fullwidth katakana
      {"ISO-2022-JP", U"\u4E9C\U0001F600a", "\x1B$B\x30\x21\x1B(Ba"sv, true},
      // An unmappable character in the JIS X 0208 state first returns to ASCII.
      {"ISO-2022-JP", U"\u4E9C\U0001F600\u4E9C", "\x1B$B\x30\x21\x1B(B\x1B$B\x30\x21\x1B(B"sv, true},
      {"ISO-2022-JP", U"\x0E\x61", "a"sv, true},
      {"ISO-2022-JP", U"\u00A5\x1B", "\x1B(J\x5C\x1B(B"sv, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.label << " " << testing::PrintToString(utf8(c.text)));
    const auto result = encoding::encode(must_get(c.label), utf8(c.text));
    EXPECT_EQ(result.bytes, c.bytes);
    EXPECT_EQ(result.unmappable, c.unmappable);
  }
}

// The engine's use: a one-character delimiter must become exactly one byte, cleanly.
TEST(EncodingEncode, AsciiDelimitersAreOneByteEverywhere) {
  for (const encoding::Encoding e : encoding::all_encodings()) {
    SCOPED_TRACE(std::string(encoding::name(e)));
    for (const std::string_view delimiter : {",", "\t", ";", "|", "\""}) {
      const auto result = encoding::encode(e, delimiter);
      EXPECT_EQ(result.bytes, delimiter);
      EXPECT_FALSE(result.unmappable);
    }
  }
}

TEST(EncodingEncode, EmptyTextAndMalformedInputStayInBounds) {
  for (const encoding::Encoding e : encoding::all_encodings()) {
    SCOPED_TRACE(std::string(encoding::name(e)));
    const auto empty = encoding::encode(e, "");
    EXPECT_EQ(empty.bytes, "");
    EXPECT_FALSE(empty.unmappable);
    // Outside the contract, but must not read past the text: truncated and stray sequences.
    for (const std::string_view bad : {"\xE2\x82"sv, "\xF0"sv, "\x80"sv, "\xED\xA0\x80"sv}) {
      static_cast<void>(encoding::encode(e, bad));
    }
  }
}

}  // namespace
