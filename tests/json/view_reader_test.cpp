// The view reader against the strict one, and the strings and numbers it hands out.
#include "json/view_reader.h"

#include <gtest/gtest.h>

#include "json/value_reader.h"

namespace json {
namespace {

// Passes over one value with the view reader: nullptr when it takes the text, else its error.
const char* skipped(std::string_view text) {
  ViewReader reader;
  reader.reset(text);
  if (!reader.skip(64)) return reader.error();
  return reader.at_end() ? nullptr : "trailing";
}

TEST(JsonViewReader, TakesWhatTheStrictReaderTakes) {
  const char* cases[] = {
      R"({"a":[1,-2,0.5,1e3,-0E+2,true,false,null],"b":{"c":"\u00fc\n\ud83d\ude00"}})", R"( [ ] )", R"("")", "0",
      "-0", R"({"a" 1})", R"([1,])", R"([01])", R"(1.)", R"(-)", R"("\x")", R"("\ud800")", R"("\udc00x")",
      "\"\x01\"", "\"\xff\"", "\"\xc3\"", R"({"a":tru})", R"([1 2])", R"({,})", "[", R"("abc)", "1e", "[1]]",
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(skipped(text) == nullptr, tessamer::parse_json_document(text).has_value()) << (skipped(text) ? skipped(text) : "");
  }
}

TEST(JsonViewReader, StringsAsViewsAndTheirText) {
  struct Case {
    std::string text, raw, resolved;
  };
  const Case cases[] = {
      {R"("plain text")", "plain text", "plain text"},
      {R"("tab\tquote\"slash\/\\")", R"(tab\tquote\"slash\/\\)", "tab\tquote\"slash/\\"},
      {R"("\u00e9\ud83d\ude00")", R"(\u00e9\ud83d\ude00)", "é😀"},
      {"\"a longer string with \xc3\xa9 past eight bytes\"", "a longer string with \xc3\xa9 past eight bytes",
       "a longer string with é past eight bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ViewReader reader;
    reader.reset(c.text);
    StringView s;
    ASSERT_TRUE(reader.string(s)) << reader.error();
    EXPECT_EQ(s.raw, c.raw);
    std::string scratch;
    EXPECT_EQ(ViewReader::text(s, scratch), c.resolved);
  }
  ViewReader reader;
  reader.reset("18446744073709551615 18446744073709551616 1.5");
  std::uint64_t n = 0;
  EXPECT_TRUE(reader.count(n));
  EXPECT_EQ(n, 18446744073709551615u);
  EXPECT_FALSE(reader.count(n));
  EXPECT_STREQ(reader.error(), "number out of range");
}

}  // namespace
}  // namespace json
