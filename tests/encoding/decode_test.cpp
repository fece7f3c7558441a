// Decoder behaviour at the edges: byte order marks, end of input, malformed sequences and which
// bytes a decoder reads again after an error (visible in the replacement mode).
#include "encoding/encoding.h"
#include "encoding/test_support.h"

namespace {

using namespace std::string_view_literals;
using encoding_test::decoded;
using encoding_test::must_get;
using encoding_test::utf8;

constexpr std::string_view kError = "<error>";

struct Case {
  std::string_view label;
  std::string_view bytes;
  bool fails;                    // in the fatal mode
  std::u32string_view replaced;  // the replacement-mode decode; the fatal one too unless `fails`
};

void check(const Case& c) {
  SCOPED_TRACE(testing::Message() << c.label << " " << testing::PrintToString(std::string(c.bytes)));
  const auto e = must_get(c.label);
  EXPECT_EQ(decoded(e, c.bytes), c.fails ? std::string(kError) : utf8(c.replaced));
  const std::string replaced = encoding::detail::decode_replacing(e, c.bytes);
  EXPECT_EQ(replaced, utf8(c.replaced));
  EXPECT_TRUE(encoding_test::is_valid_utf8(replaced));
}

TEST(EncodingDecode, UnicodeEncodingsKeepByteOrderMarksAndRejectMalformedInput) {
  const Case cases[] = {
      {"UTF-8", ""sv, false, U""},
      {"UTF-8", "\xEF\xBB\xBF\x61"sv, false, U"\uFEFFa"},
      {"UTF-8", "\xF0\x9F\x98\x80\xC3\xA9"sv, false, U"\U0001F600\u00E9"},
      {"UTF-8", "\xF4\x8F\xBF\xBF"sv, false, U"\U0010FFFF"},
      {"UTF-8", "\xC3"sv, true, U"\uFFFD"},
      {"UTF-8", "\xE2\x82"sv, true, U"\uFFFD"},
      {"UTF-8", "\xC3\x41"sv, true, U"\uFFFDA"},                           // the ASCII byte is read again
      {"UTF-8", "\xC0\xAF"sv, true, U"\uFFFD\uFFFD"},                      // overlong lead
      {"UTF-8", "\xE0\x80\x80"sv, true, U"\uFFFD\uFFFD\uFFFD"},            // overlong three-byte form
      {"UTF-8", "\xED\xA0\x80"sv, true, U"\uFFFD\uFFFD\uFFFD"},            // a surrogate
      {"UTF-8", "\xF4\x90\x80\x80"sv, true, U"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
      {"UTF-8", "\xF0\x9F\x98"sv, true, U"\uFFFD"},
      {"UTF-8", "\xF0\x8F\xBF\xBF"sv, true, U"\uFFFD\uFFFD\uFFFD\uFFFD"},  // overlong four-byte form
      // The edges of every form.
      {"UTF-8", "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"sv, false,
       U"\u0080\u07FF\u0800\uD7FF\uE000\U00010000\U0010FFFF"},
      {"UTF-8", "0123456789abcdef0123\xE2\x82\xAC\xE2\x82"sv, true, U"0123456789abcdef0123\u20AC\uFFFD"},
      {"UTF-8", "\xFF"sv, true, U"\uFFFD"},
      {"UTF-16LE", "\xFF\xFE\x61\0"sv, false, U"\uFEFFa"},
      {"UTF-16LE", "\x3D\xD8\x00\xDE"sv, false, U"\U0001F600"},
      {"UTF-16LE", "a"sv, true, U"\uFFFD"},                // odd trailing byte
      {"UTF-16LE", "\x3D\xD8"sv, true, U"\uFFFD"},         // lead surrogate at the end
      {"UTF-16LE", "\x3D\xD8\x61\0"sv, true, U"\uFFFDa"},  // unpaired lead surrogate
      {"UTF-16LE", "\x3D\xD8\x3D\xD8\x00\xDE"sv, true, U"\uFFFD\U0001F600"},
      {"UTF-16LE", "\x00\xDE\x61\0"sv, true, U"\uFFFDa"},  // unpaired trail surrogate
      {"UTF-16BE", "\xFE\xFF\0a"sv, false, U"\uFEFFa"},
      {"UTF-16BE", "\xD8\x3D\xDE\x00"sv, false, U"\U0001F600"},
      {"UTF-16BE", "\xD8\x3D\0a"sv, true, U"\uFFFDa"},
      {"UTF-16BE", "\0a\0"sv, true, U"a\uFFFD"},
  };
  for (const Case& c : cases) check(c);
}

TEST(EncodingDecode, SingleByteSpecialEncodings) {
  const Case cases[] = {
      {"replacement", ""sv, false, U""},
      {"replacement", "a"sv, true, U"\uFFFD"},
      {"replacement", "abc\xFF"sv, true, U"\uFFFD"},
      {"windows-1252", "\x80\x81\x8D\x8F\x90\x9D\xFF"sv, false, U"\u20AC\u0081\u008D\u008F\u0090\u009D\u00FF"},
      {"x-user-defined", "a\x80\xFF"sv, false, U"a\uF780\uF7FF"},
      {"ISO-8859-8-I", "\xE0"sv, false, U"\u05D0"},
      {"windows-874", "\xDB"sv, true, U"\uFFFD"},
  };
  for (const Case& c : cases) check(c);
}

TEST(EncodingDecode, LegacyMultiByteErrorsAndResumption) {
  const Case cases[] = {
      // Lead byte at the end of the input.
      {"Shift_JIS", "a\x81"sv, true, U"a\uFFFD"},
      {"EUC-KR", "\xB0"sv, true, U"\uFFFD"},
      {"Big5", "\xA4"sv, true, U"\uFFFD"},
      {"EUC-JP", "\x8E"sv, true, U"\uFFFD"},
      {"EUC-JP", "\x8F\xA2"sv, true, U"\uFFFD"},
      {"gb18030", "\x81"sv, true, U"\uFFFD"},
      {"gb18030", "\x81\x30"sv, true, U"\uFFFD"},
      {"GBK", "\x81\x30\x81"sv, true, U"\uFFFD"},
      // An invalid ASCII trail byte is not consumed; any other invalid trail byte is.
      {"Shift_JIS", "\x81\x20"sv, true, U"\uFFFD "},
      {"Shift_JIS", "\x85\x40"sv, true, U"\uFFFD@"},  // in the trail range, but no code point
      {"Shift_JIS", "\x81\xFD"sv, true, U"\uFFFD"},
      {"EUC-KR", "\xB0\x30"sv, true, U"\uFFFD0"},
      {"EUC-KR", "\xB0\x80"sv, true, U"\uFFFD"},
      {"Big5", "\xA4\x30"sv, true, U"\uFFFD0"},
      {"Big5", "\xA4\x80"sv, true, U"\uFFFD"},
      {"EUC-JP", "\xA4\x41"sv, true, U"\uFFFDA"},
      {"EUC-JP", "\x8E\xE0"sv, true, U"\uFFFD"},
      {"EUC-JP", "\x8F\xA2\x41"sv, true, U"\uFFFDA"},
      {"gb18030", "\xA1\x20"sv, true, U"\uFFFD "},
      {"gb18030", "\xA1\xFF"sv, true, U"\uFFFD"},
      {"gb18030", "\x81\x30\x20"sv, true, U"\uFFFD0 "},           // second byte read again too
      {"gb18030", "\x81\x30\x81\x41"sv, true, U"\uFFFD0\u4E04"},  // and the third
      {"gb18030", "\x81\x30\x81\xFF"sv, true, U"\uFFFD0\uFFFD"},
      // Bytes that never start a sequence.
      {"Shift_JIS", "\xA0"sv, true, U"\uFFFD"},
      {"Big5", "\x80"sv, true, U"\uFFFD"},
      {"EUC-KR", "\xFF"sv, true, U"\uFFFD"},
      {"gb18030", "\xFF"sv, true, U"\uFFFD"},
      {"EUC-JP", "\xA0"sv, true, U"\uFFFD"},
      // Valid sequences decoded by rule rather than by index.
      {"Shift_JIS", "\x80\xA1\xDF"sv, false, U"\u0080\uFF61\uFF9F"},
      {"Shift_JIS", "\xF0\x40\xF9\xFC"sv, false, U"\uE000\uE757"},  // user-defined area
      {"EUC-JP", "\x8E\xA1\x8F\xA2\xAF"sv, false, U"\uFF61\u02D8"},
      {"Big5", "\x88\x62\x88\x64\x88\xA3\x88\xA5"sv, false, U"\u00CA\u0304\u00CA\u030C\u00EA\u0304\u00EA\u030C"},
      {"GBK", "\x80"sv, false, U"\u20AC"},
      {"gb18030", "\x80"sv, false, U"\u20AC"},
  };
  for (const Case& c : cases) check(c);
}

TEST(EncodingDecode, Gb18030FourByteRanges) {
  const Case cases[] = {
      {"gb18030", "\x81\x30\x81\x30"sv, false, U"\u0080"},     {"GBK", "\x81\x30\x81\x30"sv, false, U"\u0080"},
      {"gb18030", "\x81\x35\xF4\x37"sv, false, U"\uE7C7"},      // pointer 7457, by rule
      {"gb18030", "\x84\x31\xA4\x39"sv, false, U"\uFFFF"},      // pointer 39419, the last BMP one
      {"gb18030", "\x84\x31\xA5\x30"sv, true, U"\uFFFD"},       // 39420: between the ranges
      {"gb18030", "\x8F\x39\xFE\x39"sv, true, U"\uFFFD"},       // 188999
      {"gb18030", "\x90\x30\x81\x30"sv, false, U"\U00010000"},  // 189000
      {"gb18030", "\xE3\x32\x9A\x35"sv, false, U"\U0010FFFF"},  // 1237575
      {"gb18030", "\xE3\x32\x9A\x36"sv, true, U"\uFFFD"},       // 1237576
      {"gb18030", "\xFE\x39\xFE\x39"sv, true, U"\uFFFD"},
  };
  for (const Case& c : cases) check(c);
}

TEST(EncodingDecode, Iso2022JpEscapeSequences) {
  const Case cases[] = {
      {"ISO-2022-JP", "a\x1B$B\x30\x21\x1B(Bb"sv, false, U"a\u4E9Cb"},
      {"ISO-2022-JP", "\x1B$@\x30\x21"sv, false, U"\u4E9C"},  // may end outside ASCII
      {"ISO-2022-JP", "\x1B(J\x5C\x7E\x61"sv, false, U"\u00A5\u203Ea"},
      {"ISO-2022-JP", "\x1B(I\x21\x5F"sv, false, U"\uFF61\uFF9F"},
      {"ISO-2022-JP", "\x1B$B"sv, false, U""},
      // Invalid escape sequences, and ones that end the input.
      {"ISO-2022-JP", "\x1B"sv, true, U"\uFFFD"},
      {"ISO-2022-JP", "\x1B$"sv, true, U"\uFFFD$"},
      {"ISO-2022-JP", "\x1B("sv, true, U"\uFFFD("},
      {"ISO-2022-JP", "\x1B(X"sv, true, U"\uFFFD(X"},
      {"ISO-2022-JP", "\x1B\x41"sv, true, U"\uFFFDA"},
      {"ISO-2022-JP", "\x1B$A"sv, true, U"\uFFFD$A"},
      {"ISO-2022-JP", "\x1B\x1B(B"sv, true, U"\uFFFD"},
      // Two escape sequences with nothing decoded between them.
      {"ISO-2022-JP", "\x1B(B\x1B(J"sv, true, U"\uFFFD"},
      {"ISO-2022-JP", "\x1B$B\x1B(Ba"sv, true, U"\uFFFDa"},
      {"ISO-2022-JP", "\x1B(Ba\x1B(J"sv, false, U"a"},
      // Malformed text inside a state.
      {"ISO-2022-JP", "\x1B$B\x30"sv, true, U"\uFFFD"},          // trail byte at the end
      {"ISO-2022-JP", "\x1B$B\x30\x1B(Ba"sv, true, U"\uFFFDa"},  // escape as trail byte
      {"ISO-2022-JP", "\x1B$B\x30\x0A"sv, true, U"\uFFFD"},
      {"ISO-2022-JP", "\x1B$B\x0A"sv, true, U"\uFFFD"},
      {"ISO-2022-JP", "\x0E"sv, true, U"\uFFFD"},
      {"ISO-2022-JP", "\x80"sv, true, U"\uFFFD"},
      {"ISO-2022-JP", "\x1B(I\x60"sv, true, U"\uFFFD"},
      {"ISO-2022-JP", "\x1B(J\x0F"sv, true, U"\uFFFD"},
  };
  for (const Case& c : cases) check(c);
}

}  // namespace
