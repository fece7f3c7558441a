#include "core/quote.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace tessamer {
namespace {

TEST(DebugQuote, EscapesWhatIsNotPrintable) {
  struct Case {
    const char* name;
    std::string text;
    std::string quoted;
  };
  const std::vector<Case> cases = {
      {"empty", "", R"("")"},
      {"ascii", "id amount_2", R"("id amount_2")"},
      {"double quote and backslash", R"(a"b\c)", R"("a\"b\\c")"},
      {"single quote plain", "it's", R"("it's")"},
      {"tab, carriage return, line feed", "a\tb\rc\nd", R"("a\tb\rc\nd")"},
      {"nul", std::string("a\0b", 3), R"("a\0b")"},
      {"nul followed by a digit", std::string("\0" "1", 2), R"("\01")"},
      {"other control characters", "\x01\x1B\x1F", R"("\u{1}\u{1b}\u{1f}")"},
      {"delete", "a\x7F", R"("a\u{7f}")"},
      {"c1 control", "\xC2\x85", R"("\u{85}")"},
      {"soft hyphen (Cf)", "a\xC2\xAD" "b", R"("a\u{ad}b")"},
      {"byte order mark at the start", "\xEF\xBB\xBFid", R"("\u{feff}id")"},
      {"zero width joiner", "\xE2\x80\x8D", R"("\u{200d}")"},
      {"line and paragraph separators", "\xE2\x80\xA8\xE2\x80\xA9", R"("\u{2028}\u{2029}")"},
      {"no-break space (Zs)", "a\xC2\xA0" "b", R"("a\u{a0}b")"},
      {"ideographic space (Zs)", "\xE3\x80\x80", R"("\u{3000}")"},
      {"space plain", " a b ", R"(" a b ")"},
      {"combining acute after a letter", "e\xCC\x81", R"("e\u{301}")"},
      {"combining acute at the start", "\xCC\x81", R"("\u{301}")"},
      {"variation selector (Grapheme_Extend)", "\xE2\x9D\xA4\xEF\xB8\x8F", "\"\xE2\x9D\xA4\\u{fe0f}\""},
      {"precomposed e acute plain", "caf\xC3\xA9", "\"caf\xC3\xA9\""},
      {"cjk plain", "\xE5\x90\x8D\xE5\x89\x8D", "\"\xE5\x90\x8D\xE5\x89\x8D\""},
      {"emoji plain", "\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
      {"unassigned code point U+0378", "\xCD\xB8", R"("\u{378}")"},
      {"noncharacter U+FFFF", "\xEF\xBF\xBF", R"("\u{ffff}")"},
      {"private use U+E000", "\xEE\x80\x80", R"("\u{e000}")"},
      {"supplementary private use U+10FFFD", "\xF4\x8F\xBF\xBD", R"("\u{10fffd}")"},
      {"tag character U+E0001 (Cf)", "\xF3\xA0\x80\x81", R"("\u{e0001}")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(debug_quote(c.text), c.quoted);
  }
}

// Invalid UTF-8 must never be copied through: the message would no longer be valid text.
TEST(DebugQuote, InvalidUtf8NeverCopiedThrough) {
  const std::vector<std::string_view> inputs = {"\xFF", "a\xC3", "\xED\xA0\x80", "\xC0\xAF", "\x80x"};
  for (std::string_view input : inputs) {
    SCOPED_TRACE(testing::PrintToString(std::string(input)));
    const std::string quoted = debug_quote(input);
    for (unsigned char byte : std::string_view("\xFF\xC0\x80", 3))
      EXPECT_EQ(quoted.find(static_cast<char>(byte)), std::string::npos) << quoted;
  }
}

}  // namespace
}  // namespace tessamer
