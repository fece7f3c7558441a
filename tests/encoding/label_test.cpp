#include <fstream>
#include <set>

#include "encoding/encoding.h"
#include "encoding/test_support.h"

namespace {

using encoding::for_label;
using encoding::name;

TEST(EncodingLabel, ResolvesAfterTrimmingAndFoldingCase) {
  struct Case {
    std::string_view label;
    std::string_view expected;  // empty: unknown
  };
  const Case cases[] = {
      {" utf-8 ", "UTF-8"},
      {"UTF8", "UTF-8"},
      {"\t\n\f\r unicode-1-1-utf-8\r\n", "UTF-8"},
      {"latin1", "windows-1252"},
      {"ISO-8859-1", "windows-1252"},
      {"ascii", "windows-1252"},
      {"Shift_JIS", "Shift_JIS"},
      {"sjis", "Shift_JIS"},
      {"GB2312", "GBK"},
      {"gb18030", "gb18030"},
      {"utf-16", "UTF-16LE"},
      {"unicodefffe", "UTF-16BE"},
      {"iso-2022-kr", "replacement"},
      {"x-user-defined", "x-user-defined"},
      {"iso-8859-8-i", "ISO-8859-8-I"},
      {"UTF-32", ""},
      {"", ""},
      {"   ", ""},
      {"utf-8\v", ""},        // vertical tab is not ASCII whitespace here
      {"\xC2\xA0utf-8", ""},  // nor is a no-break space
      {"utf 8", ""},
      {"utf-8x", ""},
      {"replacement", "replacement"},
      {"cseucpkdfmtjapanesex", ""},  // one past the longest label
      {"\xC5\xBFhift_jis", ""},      // U+017F folds to 's' only outside ASCII
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.label)));
    const auto found = for_label(c.label);
    if (c.expected.empty()) {
      EXPECT_FALSE(found.has_value());
    } else {
      ASSERT_TRUE(found.has_value());
      EXPECT_EQ(name(*found), c.expected);
    }
  }
}

TEST(EncodingLabel, EveryLabelOfTheTableResolvesToItsName) {
  std::ifstream in(std::string(ENCODING_STANDARD_DATA_DIR) + "/labels.tsv");
  ASSERT_TRUE(in.is_open());
  std::string line;
  std::set<std::string> names;
  int labels = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line.front() == '#') continue;
    const auto tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos) << line;
    const std::string label = line.substr(0, tab);
    const std::string expected = line.substr(tab + 1);
    SCOPED_TRACE(label);
    std::string upper = label;
    for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    for (const std::string& variant : {label, upper, " " + upper + "\t"}) {
      const auto found = for_label(variant);
      ASSERT_TRUE(found.has_value()) << variant;
      EXPECT_EQ(name(*found), expected);
    }
    names.insert(expected);
    ++labels;
  }
  EXPECT_EQ(labels, 228);
  EXPECT_EQ(names.size(), 40u);

  // all_encodings lists exactly the table's encodings, each once.
  std::set<std::string> listed;
  for (const encoding::Encoding e : encoding::all_encodings()) listed.insert(std::string(name(e)));
  EXPECT_EQ(encoding::all_encodings().size(), 40u);
  EXPECT_EQ(listed, names);
}

}  // namespace
