#include "request/request.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <variant>

namespace tessamer {
namespace {

const std::string kValid = R"({
  "schemaVersion": 1,
  "expectedPath": "e.csv",
  "actualPath": "a.csv",
  "divergencePath": "out/d.jsonl",
  "encoding": "utf-8",
  "delimiter": ",",
  "quoteChar": "\"",
  "escapeChar": "\\",
  "hasHeader": true,
  "nullValue": "",
  "expectedColumns": ["id"],
  "actualColumns": [],
  "columns": [{"expected": "id", "actual": "key"}, ["n", "m"]],
  "excludedColumns": [{"actual": "x", "reason": "r", "approvedBy": "b", "approvalReference": "c"},
                      [null, "y", "r2", "b2", "c2"]],
  "exampleLimit": 10
})";

TEST(ParseRequest, ObjectFormFillsEveryField) {
  auto request = parse_validation_request(kValid);
  ASSERT_TRUE(request) << request.error();
  EXPECT_EQ(request->schema_version, 1u);
  EXPECT_EQ(request->expected_path, "e.csv");
  EXPECT_EQ(request->actual_path, "a.csv");
  EXPECT_EQ(request->divergence_path, "out/d.jsonl");
  EXPECT_EQ(request->encoding, "utf-8");
  EXPECT_EQ(request->delimiter, ",");
  EXPECT_EQ(request->quote_char, "\"");
  EXPECT_EQ(request->escape_char, "\\");
  EXPECT_TRUE(request->has_header);
  EXPECT_EQ(request->expected_columns, std::vector<std::string>{"id"});
  EXPECT_TRUE(request->actual_columns.empty());
  EXPECT_EQ(request->columns, (std::vector<ColumnMapping>{{"id", "key"}, {"n", "m"}}));
  ASSERT_EQ(request->excluded_columns.size(), 2u);
  EXPECT_EQ(request->excluded_columns[0], (ExcludedColumn{std::nullopt, "x", "r", "b", "c"}));
  EXPECT_EQ(request->excluded_columns[1], (ExcludedColumn{std::nullopt, "y", "r2", "b2", "c2"}));
  EXPECT_EQ(request->example_limit, 10u);
}

TEST(ParseRequest, PositionalFormEqualsObjectForm) {
  auto object = parse_validation_request(
      R"({"exampleLimit":3,"schemaVersion":1,"expectedPath":"e","actualPath":"a","divergencePath":"d",)"
      R"("encoding":"utf-8","delimiter":",","quoteChar":"'","hasHeader":false,"nullValue":"NULL"})");
  auto positional = parse_validation_request(R"([1,"e","a","d","utf-8",",","'",null,false,"NULL",[],[],[],[],3])");
  auto short_arrays = parse_validation_request(R"([1,"e","a","d","utf-8",",","'",null,false,"NULL"])");
  ASSERT_TRUE(object) << object.error();
  ASSERT_TRUE(positional) << positional.error();
  EXPECT_EQ(*object, *positional);
  EXPECT_FALSE(object->escape_char.has_value());
  // Arrays may be left out at the end of the positional form, but exampleLimit may not.
  ASSERT_FALSE(short_arrays);
  EXPECT_EQ(short_arrays.error(), "invalid length 14, expected struct ValidationRequest with 15 elements at line 1 column 49");
}

// The complete request minus the member `key`, to build documents around one bad member.
std::string request_with(const std::string& member) {
  return R"({"schemaVersion":1,"expectedPath":"e","actualPath":"a","divergencePath":"d","encoding":"utf-8",)"
         R"("delimiter":",","quoteChar":"'","hasHeader":true,"nullValue":"",)" +
         member + "}";
}

TEST(ParseRequest, Messages) {
  struct Case {
    std::string document;
    std::string message;
  };
  const std::string unknown_request =
      "expected one of `schemaVersion`, `expectedPath`, `actualPath`, `divergencePath`, `encoding`, `delimiter`, "
      "`quoteChar`, `escapeChar`, `hasHeader`, `nullValue`, `expectedColumns`, `actualColumns`, `columns`, "
      "`excludedColumns`, `exampleLimit`, `keyColumns`, `keyOrder`, `duplicateKeys`, `sortMemoryBytes`, "
      "`sortDirectory`";
  const Case cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"  \n ", "EOF while parsing a value at line 2 column 1"},
      {"\xef\xbb\xbf{}", "expected value at line 1 column 1"},
      {"null", "invalid type: null, expected struct ValidationRequest at line 1 column 4"},
      {"true", "invalid type: boolean `true`, expected struct ValidationRequest at line 1 column 4"},
      {"\"x\"", "invalid type: string \"x\", expected struct ValidationRequest at line 1 column 3"},
      {"12", "invalid type: integer `12`, expected struct ValidationRequest at line 1 column 2"},
      {"nul", "EOF while parsing a value at line 1 column 3"},
      {"nulx", "expected ident at line 1 column 4"},
      {"{}", "missing field `schemaVersion` at line 1 column 2"},
      {"{\"schemaVersion\":1}", "missing field `expectedPath` at line 1 column 19"},
      {"{\"schemaVersion\":1.0}", "invalid type: floating point `1.0`, expected u32 at line 1 column 20"},
      {"{\"schemaVersion\":-1}", "invalid value: integer `-1`, expected u32 at line 1 column 19"},
      {"{\"schemaVersion\":4294967296}", "invalid value: integer `4294967296`, expected u32 at line 1 column 27"},
      {"{\"schemaVersion\":\"1\"}", "invalid type: string \"1\", expected u32 at line 1 column 20"},
      {"{\"schemaVersion\":[1]}", "invalid type: sequence, expected u32 at line 1 column 17"},
      {"{\"schemaVersion\":{}}", "invalid type: map, expected u32 at line 1 column 17"},
      {"{\"schemaVersion\":1e400}", "number out of range at line 1 column 22"},
      {"{\"exampleLimit\":-1}", "invalid value: integer `-1`, expected usize at line 1 column 18"},
      {"{\"exampleLimit\":18446744073709551616}",
       "invalid type: floating point `1.8446744073709552e19`, expected usize at line 1 column 36"},
      {"{\"delimiter\":null}", "invalid type: null, expected a string at line 1 column 17"},
      {"{\"expectedPath\":7}", "invalid type: integer `7`, expected path string at line 1 column 17"},
      {"{\"hasHeader\":\"true\"}", "invalid type: string \"true\", expected a boolean at line 1 column 19"},
      {"{\"columns\":null}", "invalid type: null, expected a sequence at line 1 column 15"},
      {"{\"escapeChar\":5}", "invalid type: integer `5`, expected a string at line 1 column 15"},
      {"{\"expectedColumns\":[1]}", "invalid type: integer `1`, expected a string at line 1 column 21"},
      {"{\"SchemaVersion\":1}", "unknown field `SchemaVersion`, " + unknown_request + " at line 1 column 16"},
      {"{\"schemaVersion\":1 , \"schemaVersion\" :1}", "duplicate field `schemaVersion` at line 1 column 37"},
      {"{\"x\" \n :1}", "unknown field `x`, " + unknown_request + " at line 2 column 1"},
      {request_with(R"("columns":[{"expected":"a","actual":"b","x":1}])"),
       "unknown field `x`, expected `expected` or `actual` at line 1 column 202"},
      {request_with(R"("columns":[{"expected":"a"}])"), "missing field `actual` at line 1 column 186"},
      {request_with(R"("columns":[["a"]])"), "invalid length 1, expected struct ColumnMapping with 2 elements at line 1 column 175"},
      {request_with(R"("columns":["a\tb\u0301"])"),
       "invalid type: string \"a\\tb\\u{301}\", expected struct ColumnMapping at line 1 column 182"},
      {request_with(R"("excludedColumns":[{"reason":"r","approvedBy":"x"}])"),
       "missing field `approvalReference` at line 1 column 209"},
      {request_with(R"("excludedColumns":[{"z":1}])"),
       "unknown field `z`, expected one of `expected`, `actual`, `reason`, `approvedBy`, `approvalReference` at line 1 "
       "column 182"},
      {request_with(R"("excludedColumns":[["a","b","r","x"]])"),
       "invalid length 4, expected struct ExcludedColumn with 5 elements at line 1 column 195"},
      {request_with(R"("exampleLimit":1} {})"), "trailing characters at line 1 column 178"},
      {request_with(R"("exampleLimit":1,})"), "trailing comma at line 1 column 177"},
      {"{\"schemaVersion\" 1}", "expected `:` at line 1 column 18"},
      {"{\"schemaVersion\":1 \"x\":1}", "expected `,` or `}` at line 1 column 20"},
      {"{1:1}", "key must be a string at line 1 column 2"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"{\"expectedColumns\":[\"a\"", "EOF while parsing a list at line 1 column 23"},
      {"{\"expectedColumns\":[\"a\",]}", "trailing comma at line 1 column 25"},
      {"{\"expectedColumns\":[\"a\" \"b\"]}", "expected `,` or `]` at line 1 column 25"},
      {"[1,\"e\",\"a\",\"d\",\"utf-8\",\",\",\"'\",null,false,\"\",[],[],[],[],3,[\"k\"],\"ANY\",\"REJECT\",1048576,\".\",4]",
       "trailing characters at line 1 column 93"},
      {"[1,\"e\",\"a\",\"d\",\"utf-8\",\",\",\"'\"]", "invalid length 7, expected struct ValidationRequest with 15 elements at line 1 column 31"},
      {"{\"encoding\":\"\\q\"}", "invalid escape at line 1 column 15"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.document);
    auto request = parse_validation_request(c.document);
    ASSERT_FALSE(request);
    EXPECT_EQ(request.error(), c.message);
  }
}

// The key members as parsed; absent members stay absent.
struct KeyMembers {
  std::optional<std::vector<std::string>> key_columns = std::nullopt;
  std::optional<std::string> key_order = std::nullopt;
  std::optional<std::string> duplicate_keys = std::nullopt;
  std::optional<std::uint64_t> sort_memory_bytes = std::nullopt;
  std::optional<std::string> sort_directory = std::nullopt;
  friend bool operator==(const KeyMembers&, const KeyMembers&) = default;
};

// A positional request of the fifteen required values followed by `tail` (", ..." or "").
std::string positional(const std::string& tail) {
  return R"([1,"e","a","d","utf-8",",","'",null,true,"",[],[],[],[],10)" + tail + "]";
}

TEST(ParseRequest, KeyMembers) {
  using Strings = std::vector<std::string>;
  struct Case {
    const char* name;
    std::string document;
    std::variant<KeyMembers, std::string> outcome;  // the members, or the message
  };
  const Case cases[] = {
      {"object form without keys is positional", request_with(R"("exampleLimit":1)"), KeyMembers{}},
      {"object form, all five",
       request_with(R"("exampleLimit":1,"sortDirectory":"tmp/s","keyColumns":["id","v"],"keyOrder":"ANY",)"
                    R"("sortMemoryBytes":18446744073709551615,"duplicateKeys":"PAIR_BY_OCCURRENCE")"),
       KeyMembers{Strings{"id", "v"}, "ANY", "PAIR_BY_OCCURRENCE", 18446744073709551615u, "tmp/s"}},
      {"empty keyColumns is kept as given", request_with(R"("exampleLimit":1,"keyColumns":[])"), KeyMembers{Strings{}}},
      {"texts kept unescaped, byte for byte",
       request_with(R"("exampleLimit":1,"keyColumns":["a\"b"," id ",""],"keyOrder":"sorted")"),
       KeyMembers{Strings{"a\"b", " id ", ""}, "sorted"}},
      {"a member without keyColumns parses; the rules refuse it",
       request_with(R"("exampleLimit":1,"keyOrder":"SORTED")"), KeyMembers{std::nullopt, "SORTED"}},
      {"positional, 15 values", positional(""), KeyMembers{}},
      {"positional, 16 values", positional(R"(,["id"])"), KeyMembers{Strings{"id"}}},
      {"positional, 17 values", positional(R"(,["id"],"SORTED")"), KeyMembers{Strings{"id"}, "SORTED"}},
      {"positional, 20 values", positional(R"(,["id"],"ANY","REJECT",67108864,".")"),
       KeyMembers{Strings{"id"}, "ANY", "REJECT", 67108864u, "."}},
      {"positional, 21 values", positional(R"(,["id"],"ANY","REJECT",67108864,".",1)"),
       std::string("trailing characters at line 1 column 95")},
      {"positional, no hole for a left-out member", positional(R"(,["id"],null)"),
       std::string("invalid type: null, expected a string at line 1 column 70")},
      {"positional, 10 values: the length message is unchanged",
       R"([1,"e.csv","a.csv","out/d.jsonl","utf-8",",","\"",null,true,""])",
       std::string("invalid length 14, expected struct ValidationRequest with 15 elements at line 1 column 63")},
      {"keyColumns as a string", request_with(R"("exampleLimit":1,"keyColumns":"id")"),
       std::string("invalid type: string \"id\", expected a sequence at line 1 column 193")},
      {"keyColumns null", request_with(R"("exampleLimit":1,"keyColumns":null)"),
       std::string("invalid type: null, expected a sequence at line 1 column 193")},
      {"keyColumns element not a string", request_with(R"("exampleLimit":1,"keyColumns":["id",null])"),
       std::string("invalid type: null, expected a string at line 1 column 199")},
      {"keyOrder null", request_with(R"("exampleLimit":1,"keyColumns":["id"],"keyOrder":null)"),
       std::string("invalid type: null, expected a string at line 1 column 211")},
      {"duplicateKeys as a boolean", request_with(R"("exampleLimit":1,"keyColumns":["id"],"duplicateKeys":true)"),
       std::string("invalid type: boolean `true`, expected a string at line 1 column 216")},
      {"sortMemoryBytes -1", request_with(R"("exampleLimit":1,"keyColumns":["id"],"sortMemoryBytes":-1)"),
       std::string("invalid value: integer `-1`, expected u64 at line 1 column 216")},
      {"sortMemoryBytes null", request_with(R"("exampleLimit":1,"keyColumns":["id"],"sortMemoryBytes":null)"),
       std::string("invalid type: null, expected u64 at line 1 column 218")},
      {"sortMemoryBytes with a fraction", request_with(R"("exampleLimit":1,"keyColumns":["id"],"sortMemoryBytes":1.5)"),
       std::string("invalid type: floating point `1.5`, expected u64 at line 1 column 217")},
      {"sortDirectory null", request_with(R"("exampleLimit":1,"keyColumns":["id"],"sortDirectory":null)"),
       std::string("invalid type: null, expected path string at line 1 column 216")},
      {"a key member given twice", request_with(R"("exampleLimit":1,"keyOrder":"ANY","keyOrder":"ANY")"),
       std::string("duplicate field `keyOrder` at line 1 column 203")},
      {"a key in the wrong case is unknown", request_with(R"("exampleLimit":1,"keycolumns":["id"])"),
       std::string("unknown field `keycolumns`, expected one of `schemaVersion`, `expectedPath`, `actualPath`, "
                   "`divergencePath`, `encoding`, `delimiter`, `quoteChar`, `escapeChar`, `hasHeader`, `nullValue`, "
                   "`expectedColumns`, `actualColumns`, `columns`, `excludedColumns`, `exampleLimit`, `keyColumns`, "
                   "`keyOrder`, `duplicateKeys`, `sortMemoryBytes`, `sortDirectory` at line 1 column 188")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto request = parse_validation_request(c.document);
    if (const auto* members = std::get_if<KeyMembers>(&c.outcome)) {
      ASSERT_TRUE(request) << request.error();
      EXPECT_EQ((KeyMembers{request->key_columns, request->key_order, request->duplicate_keys,
                            request->sort_memory_bytes, request->sort_directory}),
                *members);
    } else {
      ASSERT_FALSE(request);
      EXPECT_EQ(request.error(), std::get<std::string>(c.outcome));
    }
  }
}

// A number without fraction or exponent is an integer, so -0 is the integer 0 wherever an
// integer is read, and the rules judge it as 0.
TEST(ParseRequest, NegativeZeroIsTheIntegerZero) {
  auto limit = parse_validation_request(request_with(R"("exampleLimit":-0)"));
  ASSERT_TRUE(limit) << limit.error();
  EXPECT_EQ(limit->example_limit, 0u);

  auto memory = parse_validation_request(request_with(R"("exampleLimit":1,"keyColumns":["id"],"sortMemoryBytes":-0)"));
  ASSERT_TRUE(memory) << memory.error();
  EXPECT_EQ(memory->sort_memory_bytes, 0u);

  auto version = parse_validation_request(
      R"({"schemaVersion":-0,"expectedPath":"e","actualPath":"a","divergencePath":"d","encoding":"utf-8",)"
      R"("delimiter":",","quoteChar":"'","hasHeader":true,"nullValue":"","exampleLimit":1})");
  ASSERT_TRUE(version) << version.error();
  auto rules = validate_request(*version);
  ASSERT_FALSE(rules);
  EXPECT_EQ(rules.error(), (EngineError{ErrorCode::InvalidNativeRequest, "request schemaVersion must be 1"}));

  struct Case {
    std::string document;
    std::string message;
  };
  const Case refused[] = {
      {request_with(R"("exampleLimit":-0.0)"), "invalid type: floating point `-0.0`, expected usize at line 1 column 178"},
      {request_with(R"("exampleLimit":-0e1)"), "invalid type: floating point `-0.0`, expected usize at line 1 column 178"},
      {R"({"hasHeader":-0})", "invalid type: integer `0`, expected a boolean at line 1 column 15"},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.document);
    auto request = parse_validation_request(c.document);
    ASSERT_FALSE(request);
    EXPECT_EQ(request.error(), c.message);
  }
}

TEST(ParseRequest, WhitespaceAfterTheDocumentIsAccepted) {
  auto request = parse_validation_request(request_with(R"("exampleLimit":1)") + " \t\r\n");
  EXPECT_TRUE(request) << request.error();
}

// Truncations and byte mutations of a valid request: each gives a request or one positioned
// message, the same every time, and never reads outside the input.
TEST(ParseRequest, MutatedDocumentsGiveARequestOrOnePositionedMessage) {
  const std::regex positioned(" at line [1-9][0-9]* column [0-9]+$");
  auto check = [&](const std::string& document) {
    auto first = parse_validation_request(document);
    auto second = parse_validation_request(document);
    ASSERT_EQ(first.has_value(), second.has_value());
    if (!first) {
      EXPECT_TRUE(std::regex_search(first.error(), positioned)) << first.error();
      EXPECT_EQ(first.error(), second.error());
    }
  };
  for (std::size_t length = 0; length <= kValid.size(); ++length) check(kValid.substr(0, length));
  std::mt19937 random(7);
  const std::string interesting = "{}[],:\"\\ 0-9.eEtfnu\x01\xff\xc3";
  for (int round = 0; round < 3000; ++round) {
    std::string document = kValid;
    int edits = 1 + static_cast<int>(random() % 3);
    for (int e = 0; e < edits; ++e) {
      std::size_t at = random() % document.size();
      char byte = random() % 2 ? interesting[random() % interesting.size()] : static_cast<char>(random());
      switch (random() % 3) {
        case 0: document[at] = byte; break;
        case 1: document.insert(at, 1, byte); break;
        default: document.erase(at, 1); break;
      }
    }
    check(document);
  }
  // Deep nesting where a scalar is expected is refused before it is entered.
  check("{\"schemaVersion\":" + std::string(100000, '[') + "}");
  check(std::string(100000, '['));
}

class RequestRules : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("tessamer-rules-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    std::ofstream(dir_ / "e.csv") << "id\n";
    std::ofstream(dir_ / "a.csv") << "id\n";
    std::filesystem::create_symlink(dir_ / "a.csv", dir_ / "link.csv");
    std::filesystem::create_symlink(dir_ / "missing.csv", dir_ / "dangling.csv");
    ::mkfifo((dir_ / "fifo").c_str(), 0600);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  ValidationRequest valid() const {
    ValidationRequest request;
    request.schema_version = 1;
    request.expected_path = (dir_ / "e.csv").string();
    request.actual_path = (dir_ / "a.csv").string();
    request.has_header = true;
    request.example_limit = 100;
    return request;
  }

  std::filesystem::path dir_;
};

TEST_F(RequestRules, FirstFailingRuleInOrder) {
  struct Case {
    const char* name;
    void (*change)(ValidationRequest&, const std::filesystem::path&);
    ErrorCode code;
    const char* message;
  };
  const Case cases[] = {
      {"schema 0", [](ValidationRequest& r, const auto&) { r.schema_version = 0; }, ErrorCode::InvalidNativeRequest,
       "request schemaVersion must be 1"},
      {"schema 2 and everything else wrong",
       [](ValidationRequest& r, const auto& d) {
         r.schema_version = 2;
         r.expected_path = (d / "missing.csv").string();
         r.example_limit = 500;
       },
       ErrorCode::InvalidNativeRequest, "request schemaVersion must be 1"},
      {"expected missing", [](ValidationRequest& r, const auto& d) { r.expected_path = (d / "missing.csv").string(); },
       ErrorCode::InvalidGoldenDataset, "expectedPath must be a regular file"},
      {"expected directory", [](ValidationRequest& r, const auto& d) { r.expected_path = d.string(); },
       ErrorCode::InvalidGoldenDataset, "expectedPath must be a regular file"},
      {"expected fifo", [](ValidationRequest& r, const auto& d) { r.expected_path = (d / "fifo").string(); },
       ErrorCode::InvalidGoldenDataset, "expectedPath must be a regular file"},
      {"expected dangling symlink", [](ValidationRequest& r, const auto& d) { r.expected_path = (d / "dangling.csv").string(); },
       ErrorCode::InvalidGoldenDataset, "expectedPath must be a regular file"},
      {"expected empty path", [](ValidationRequest& r, const auto&) { r.expected_path = ""; },
       ErrorCode::InvalidGoldenDataset, "expectedPath must be a regular file"},
      {"expected path with NUL", [](ValidationRequest& r, const auto&) { r.expected_path = std::string("e\0x", 3); },
       ErrorCode::InvalidGoldenDataset, "expectedPath must be a regular file"},
      {"actual missing before example limit",
       [](ValidationRequest& r, const auto& d) {
         r.actual_path = (d / "missing.csv").string();
         r.example_limit = 500;
       },
       ErrorCode::InvalidGoldenDataset, "actualPath must be a regular file"},
      {"example limit 101", [](ValidationRequest& r, const auto&) { r.example_limit = 101; }, ErrorCode::InvalidNativeRequest,
       "exampleLimit must be from 0 through 100"},
      {"null value with CR", [](ValidationRequest& r, const auto&) { r.null_value = "a\rb"; }, ErrorCode::InvalidNativeRequest,
       "nullValue must not contain a newline"},
      {"null value with LF", [](ValidationRequest& r, const auto&) { r.null_value = "\n"; }, ErrorCode::InvalidNativeRequest,
       "nullValue must not contain a newline"},
      {"no header, one list empty",
       [](ValidationRequest& r, const auto&) {
         r.has_header = false;
         r.expected_columns = {"a"};
       },
       ErrorCode::InvalidGoldenDataset, "expectedColumns and actualColumns are required when hasHeader is false"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ValidationRequest request = valid();
    c.change(request, dir_);
    auto result = validate_request(request);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), (EngineError{c.code, c.message}));
  }
}

TEST_F(RequestRules, AcceptedRequests) {
  struct Case {
    const char* name;
    void (*change)(ValidationRequest&, const std::filesystem::path&);
  };
  const Case cases[] = {
      {"as is", [](ValidationRequest&, const auto&) {}},
      {"symlink to a regular file", [](ValidationRequest& r, const auto& d) { r.actual_path = (d / "link.csv").string(); }},
      {"example limit 0", [](ValidationRequest& r, const auto&) { r.example_limit = 0; }},
      {"tab in null value", [](ValidationRequest& r, const auto&) { r.null_value = "\t"; }},
      {"no header with both lists",
       [](ValidationRequest& r, const auto&) {
         r.has_header = false;
         r.expected_columns = {"a"};
         r.actual_columns = {""};
       }},
      {"unknown encoding is judged later", [](ValidationRequest& r, const auto&) { r.encoding = "nope"; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ValidationRequest request = valid();
    c.change(request, dir_);
    auto result = validate_request(request);
    EXPECT_TRUE(result) << result.error().message;
  }
}

// The key rules come after every other request rule, in their own order, each naming the
// first member (in field order) that breaks it.
TEST_F(RequestRules, KeyRules) {
  using Names = std::vector<std::string>;
  struct Case {
    const char* name;
    KeyMembers members;
    const char* message;  // nullptr: accepted
    std::uint64_t example_limit = 100;
  };
  const Case cases[] = {
      {"keyOrder without keyColumns", {.key_order = "SORTED"}, "keyOrder requires keyColumns"},
      {"the first member without keyColumns is named",
       {.duplicate_keys = "x", .sort_memory_bytes = 1, .sort_directory = "/nonexistent"}, "duplicateKeys requires keyColumns"},
      {"sortMemoryBytes without keyColumns", {.sort_memory_bytes = 67108864, .sort_directory = "."},
       "sortMemoryBytes requires keyColumns"},
      {"sortDirectory without keyColumns", {.sort_directory = "."}, "sortDirectory requires keyColumns"},
      {"empty keyColumns", {.key_columns = Names{}, .key_order = "x"}, "keyColumns must not be empty"},
      {"a name given twice", {.key_columns = Names{"id", "v", "id"}}, "keyColumns contains duplicate column name 'id'"},
      {"the first repeat is reported, raw", {.key_columns = Names{"a'b", "", "x", "", "a'b"}, .key_order = "x"},
       "keyColumns contains duplicate column name ''"},
      {"keyOrder in lower case", {.key_columns = Names{"id"}, .key_order = "sorted", .duplicate_keys = "FIRST"},
       "keyOrder must be ANY or SORTED"},
      {"duplicateKeys unknown", {.key_columns = Names{"id"}, .key_order = "SORTED", .duplicate_keys = "reject",
                                 .sort_directory = "."},
       "duplicateKeys must be REJECT or PAIR_BY_OCCURRENCE"},
      {"sortDirectory under SORTED", {.key_columns = Names{"id"}, .key_order = "SORTED", .sort_directory = "."},
       "sortDirectory requires keyOrder ANY"},
      {"sortMemoryBytes named first under SORTED, even out of range",
       {.key_columns = Names{"id"}, .key_order = "SORTED", .sort_memory_bytes = 1, .sort_directory = "/nonexistent"},
       "sortMemoryBytes requires keyOrder ANY"},
      {"sortMemoryBytes one below the range", {.key_columns = Names{"id"}, .sort_memory_bytes = 1048575},
       "sortMemoryBytes must be from 1048576 through 4294967296"},
      {"sortMemoryBytes one above the range, before a bad sortDirectory",
       {.key_columns = Names{"id"}, .sort_memory_bytes = 4294967297, .sort_directory = "/nonexistent"},
       "sortMemoryBytes must be from 1048576 through 4294967296"},
      {"sortDirectory missing", {.key_columns = Names{"id"}, .sort_directory = "no/such/dir"}, "sortDirectory must be a directory"},
      {"sortDirectory a device", {.key_columns = Names{"id"}, .sort_directory = "/dev/null"}, "sortDirectory must be a directory"},
      {"sortDirectory empty", {.key_columns = Names{"id"}, .sort_directory = ""}, "sortDirectory must be a directory"},
      {"an earlier request rule first", {.key_columns = Names{}}, "exampleLimit must be from 0 through 100", 101},
      {"keyColumns alone", {.key_columns = Names{"id"}}, nullptr},
      {"names differing only in case or spacing, or unknown to the headers",
       {.key_columns = Names{"id", "ID", " id", "", "zz"}}, nullptr},
      {"SORTED with PAIR_BY_OCCURRENCE",
       {.key_columns = Names{"id"}, .key_order = "SORTED", .duplicate_keys = "PAIR_BY_OCCURRENCE"}, nullptr},
      {"every member given, the budget at the low bound",
       {Names{"id"}, "ANY", "REJECT", 1048576, "."}, nullptr},
      {"the budget at the high bound", {.key_columns = Names{"id"}, .sort_memory_bytes = 4294967296, .sort_directory = "/"},
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ValidationRequest request = valid();
    request.example_limit = c.example_limit;
    request.key_columns = c.members.key_columns;
    request.key_order = c.members.key_order;
    request.duplicate_keys = c.members.duplicate_keys;
    request.sort_memory_bytes = c.members.sort_memory_bytes;
    request.sort_directory = c.members.sort_directory;
    auto result = validate_request(request);
    if (c.message == nullptr) {
      EXPECT_TRUE(result) << result.error().message;
    } else {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error(), (EngineError{ErrorCode::InvalidNativeRequest, c.message}));
    }
  }
}

// What a keyed run uses when the request leaves a member out, and the words the result repeats.
TEST(KeyedDefaults, EffectiveValues) {
  ValidationRequest request;
  request.key_columns = {{"id"}};
  EXPECT_EQ(effective_key_order(request), KeyOrder::Any);
  EXPECT_EQ(effective_duplicate_keys(request), DuplicateKeys::Reject);
  EXPECT_EQ(effective_sort_memory_bytes(request), 67108864u);
  request.key_order = "SORTED";
  request.duplicate_keys = "PAIR_BY_OCCURRENCE";
  request.sort_memory_bytes = 1048576;
  EXPECT_EQ(effective_key_order(request), KeyOrder::Sorted);
  EXPECT_EQ(effective_duplicate_keys(request), DuplicateKeys::PairByOccurrence);
  EXPECT_EQ(effective_sort_memory_bytes(request), 1048576u);
  EXPECT_EQ(key_order_text(effective_key_order(request)), "SORTED");
  EXPECT_EQ(duplicate_keys_text(effective_duplicate_keys(request)), "PAIR_BY_OCCURRENCE");
}

}  // namespace
}  // namespace tessamer
