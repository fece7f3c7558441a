#include "json/reader.h"

#include <gtest/gtest.h>

#include <cmath>

namespace json {
namespace {

// Reads one number (the leading minus sign handled as the reader's callers do).
Expected<Number> number(std::string_view text) {
  Reader reader(text);
  bool positive = text.empty() || text[0] != '-';
  if (!positive) reader.eat();
  return reader.parse_number(positive);
}

TEST(JsonReaderNumbers, KindsAndValues) {
  struct Case {
    const char* text;
    Number::Kind kind;
    double value;  // compared as the number's value
  };
  const Case cases[] = {
      {"0", Number::Kind::Unsigned, 0},
      {"18446744073709551615", Number::Kind::Unsigned, 18446744073709551615.0},
      {"-1", Number::Kind::Signed, -1},
      {"-9223372036854775808", Number::Kind::Signed, -9223372036854775808.0},
      {"-9223372036854775809", Number::Kind::Float, -9223372036854775809.0},
      // An integer wherever it fits 64 bits, negative zero too; with a fraction or an exponent
      // it stays floating point, sign included.
      {"-0", Number::Kind::Unsigned, 0},
      {"-0.0", Number::Kind::Float, -0.0},
      {"-0e3", Number::Kind::Float, -0.0},
      {"18446744073709551616", Number::Kind::Float, 18446744073709551616.0},
      {"1.5", Number::Kind::Float, 1.5},
      {"1E2", Number::Kind::Float, 100},
      {"1e-2", Number::Kind::Float, 0.01},
      {"1e+2", Number::Kind::Float, 100},
      {"0.1", Number::Kind::Float, 0.1},
      {"1e-400", Number::Kind::Float, 0},
      {"0e999999999999", Number::Kind::Float, 0},
      {"123456789012345678901234567890", Number::Kind::Float, 1.2345678901234568e29},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto n = number(c.text);
    ASSERT_TRUE(n) << n.error().to_string();
    EXPECT_EQ(n->kind, c.kind);
    double value = n->kind == Number::Kind::Unsigned ? static_cast<double>(n->u)
                   : n->kind == Number::Kind::Signed ? static_cast<double>(n->i)
                                                     : n->f;
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(std::signbit(value), std::signbit(c.value));
  }
}

TEST(JsonReaderNumbers, Malformed) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"01", "invalid number at line 1 column 2"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"-x", "invalid number at line 1 column 2"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1.x", "invalid number at line 1 column 3"},
      {"1e", "EOF while parsing a value at line 1 column 2"},
      {"1e+x", "invalid number at line 1 column 4"},
      {"1e400", "number out of range at line 1 column 5"},
      {"1e99999999999", "number out of range at line 1 column 12"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto n = number(c.text);
    ASSERT_FALSE(n);
    EXPECT_EQ(n.error().to_string(), c.message);
  }
}

TEST(JsonReaderStrings, Unescaping) {
  struct Case {
    std::string text;  // after the opening quote
    std::string value;
  };
  const Case cases[] = {
      {R"(plain")", "plain"},
      {R"(\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {R"(\u00e9\u20AC")", "\xc3\xa9\xe2\x82\xac"},
      {R"(\ud83d\ude00")", "\xf0\x9f\x98\x80"},
      {R"(\u0000")", std::string("\0", 1)},
      {"\xc3\xa9\"", "\xc3\xa9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Reader reader(c.text);
    auto value = reader.parse_string();
    ASSERT_TRUE(value) << value.error().to_string();
    EXPECT_EQ(*value, c.value);
  }
}

TEST(JsonReaderStrings, Malformed) {
  struct Case {
    std::string text;
    const char* message;
  };
  const Case cases[] = {
      {"abc", "EOF while parsing a string at line 1 column 3"},
      {"a\x01\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
      {R"(\x")", "invalid escape at line 1 column 2"},
      {R"(\u12G4")", "invalid escape at line 1 column 5"},
      {"\\u0\"\n}", "invalid escape at line 1 column 4"},
      {R"(\u12)", "EOF while parsing a string at line 1 column 4"},
      {R"(\udc00")", "lone leading surrogate in hex escape at line 1 column 6"},
      {R"(\ud800\u0041")", "lone leading surrogate in hex escape at line 1 column 12"},
      {R"(\ud800x")", "unexpected end of hex escape at line 1 column 7"},
      {"\xff\"", "invalid unicode code point at line 1 column 2"},
      {"\xed\xa0\x80\"", "invalid unicode code point at line 1 column 4"},
      {"\xc3\"", "invalid unicode code point at line 1 column 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Reader reader(c.text);
    auto value = reader.parse_string();
    ASSERT_FALSE(value);
    EXPECT_EQ(value.error().to_string(), c.message);
  }
}

TEST(JsonReaderPositions, LinesAndColumnsCountBytes) {
  Reader reader("\n\n  \xc3\xa9x");
  ASSERT_EQ(reader.skip_whitespace(), 0xc3);
  reader.eat();
  reader.eat();
  EXPECT_EQ(reader.error("e").to_string(), "e at line 3 column 4");
  EXPECT_EQ(reader.peek_error("e").to_string(), "e at line 3 column 5");
}

}  // namespace
}  // namespace json
