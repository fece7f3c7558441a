#include "json/json.h"

#include <gtest/gtest.h>

#include <limits>

namespace tessamer {
namespace {

class StringSink final : public ByteSink {
 public:
  IoResult<void> write(std::string_view bytes) override {
    text.append(bytes);
    pieces.emplace_back(bytes);
    return {};
  }
  std::string text;
  std::vector<std::string> pieces;
};

std::string compact(const JsonValue& value) {
  StringSink sink;
  EXPECT_TRUE(write_compact_json(value, sink));
  return sink.text;
}

JsonValue str(std::string s) { return JsonValue::string(std::move(s)); }

TEST(JsonWriter, ScalarsAndContainers) {
  struct Case {
    const char* name;
    JsonValue value;
    std::string text;
  };
  JsonValue nested = JsonValue::object();
  nested.set("list", JsonValue::array()).push(JsonValue::number(1));
  nested.set("empty", JsonValue::object());
  const Case cases[] = {
      {"null", JsonValue(), "null"},
      {"true", JsonValue::boolean(true), "true"},
      {"false", JsonValue::boolean(false), "false"},
      {"u64 max", JsonValue::number(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615"},
      {"zero", JsonValue::number(0), "0"},
      {"i64 min", JsonValue::signed_number(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {"double", JsonValue::floating(1.5), "1.5"},
      {"whole double", JsonValue::floating(100.0), "100.0"},
      {"nan", JsonValue::floating(std::numeric_limits<double>::quiet_NaN()), "null"},
      {"infinity", JsonValue::floating(std::numeric_limits<double>::infinity()), "null"},
      {"empty array", JsonValue::array(), "[]"},
      {"empty object", JsonValue::object(), "{}"},
      {"nested", nested, R"({"empty":{},"list":[1]})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(compact(c.value), c.text);
  }
}

TEST(JsonWriter, StringEscapes) {
  struct Case {
    std::string input;
    std::string text;
  };
  const Case cases[] = {
      {"plain", R"("plain")"},
      {"tab\tnl\ncr\r", R"("tab\tnl\ncr\r")"},
      {std::string("\x01\x1b\x1f", 3), R"("\u0001\u001b\u001f")"},
      {std::string("nul\0", 4), R"("nul\u0000")"},
      {"\b\f", R"("\b\f")"},
      {"q\"b\\", R"("q\"b\\")"},
      {"a/b", R"("a/b")"},
      {"\x7f", "\"\x7f\""},
      {"\xc3\xa9t\xc3\xa9", "\"\xc3\xa9t\xc3\xa9\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(compact(str(c.input)), c.text);
    std::string appended;
    append_json_string(appended, c.input);
    EXPECT_EQ(appended, c.text);
  }
}

TEST(JsonWriter, UnescapedRunsAreWrittenInOnePiece) {
  StringSink sink;
  ASSERT_TRUE(write_compact_json(str("abcdef\nghijkl"), sink));
  EXPECT_EQ(sink.pieces, (std::vector<std::string>{"\"", "abcdef", "\\n", "ghijkl", "\""}));
}

TEST(JsonValue, ObjectKeysAreKeptInByteOrder) {
  JsonValue object = JsonValue::object();
  object.set("status", str("FAIL"));
  object.set("engine", JsonValue::object());
  object.set("divergences", JsonValue::number(1));
  object.set("divergenceExamples", JsonValue::array());
  object.set("columnsCompared", JsonValue::number(2));
  object.set("columnPairs", JsonValue::array());
  object.set("aa", JsonValue());
  object.set("a", JsonValue());
  object.set("\xc3\xa9", JsonValue());  // above every ASCII key
  object.set("Z", JsonValue());
  EXPECT_EQ(compact(object),
            "{\"Z\":null,\"a\":null,\"aa\":null,\"columnPairs\":[],\"columnsCompared\":2,\"divergenceExamples\":[],"
            "\"divergences\":1,\"engine\":{},\"status\":\"FAIL\",\"\xc3\xa9\":null}");
}

TEST(JsonValue, SetReplacesAndCopiesAreDeep) {
  JsonValue object = JsonValue::object();
  object.set("k", JsonValue::number(1));
  object.set("k", JsonValue::number(2));
  EXPECT_EQ(compact(object), R"({"k":2})");

  JsonValue original = JsonValue::object();
  original.set("list", JsonValue::array()).push(str("x"));
  JsonValue copy = original;
  original.set("list", JsonValue::array());
  EXPECT_EQ(compact(copy), R"({"list":["x"]})");
  ASSERT_NE(copy.find("list"), nullptr);
  EXPECT_EQ(copy.find("missing"), nullptr);
}

TEST(FormatShortestDouble, LayoutOfTheShortestDigits) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {1.0, "1.0"},       {1.5, "1.5"},
      {1e2, "100.0"},     {1e15, "1000000000000000.0"},
      {1e16, "1e16"},     {0.00001, "0.00001"},
      {0.0001, "0.0001"}, {2.5e-7, "2.5e-7"},
      {-0.0, "-0.0"},     {0.0, "0.0"},
      {123.456, "123.456"}, {18446744073709551616.0, "1.8446744073709552e19"},
      {-1.25e300, "-1.25e300"}, {0.1, "0.1"},
      {1234567890123456.7, "1234567890123456.8"}, {5e-324, "5e-324"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(format_shortest_double(c.value), c.text);
  }
}

}  // namespace
}  // namespace tessamer
