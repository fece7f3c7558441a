// Reading whole JSON documents into values.
#include "json/value_reader.h"

#include <gtest/gtest.h>

namespace tessamer {
namespace {

TEST(JsonValueReader, ReadsAnyDocumentIntoAValue) {
  struct Case {
    std::string text;
    std::string compact;  // the value's compact text, or the error's text
  };
  const std::string deep = std::string(65, '[') + std::string(65, ']');
  const Case cases[] = {
      {R"( {"b":[1,-2,2.5,true,false,null],"a":{"x":"\u00fc\n"}} )", R"({"a":{"x":"ü\n"},"b":[1,-2,2.5,true,false,null]})"},
      {R"({"k":1,"k":2})", R"({"k":2})"},
      {"[]", "[]"},
      {std::string(64, '[') + std::string(64, ']'), std::string(64, '[') + std::string(64, ']')},
      {deep, "recursion limit exceeded at line 1 column 64"},
      {"[1] x", "trailing characters at line 1 column 5"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {"{\"a\":\n tru}", "expected ident at line 2 column 5"},
      {"{1:2}", "key must be a string at line 1 column 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto value = parse_json_document(c.text);
    EXPECT_EQ(value ? to_compact_json(*value) : value.error().to_string(), c.compact);
  }
}

}  // namespace
}  // namespace tessamer
