// Dialect, headers and column plan through the built binary: every refusal before the comparison.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/request.h"

namespace tessamer::testing {
namespace {

class DatasetCli : public ::testing::Test {
 protected:
  Request with_files(const std::string& expected, const std::string& actual) {
    return request_for_files(dir_, expected, actual);
  }
  void expect_error(const Request& request, const std::string& code, const std::string& message) {
    std::filesystem::remove_all(dir_.file("out"));
    RunResult run = run_request(dir_, request);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "{\"code\":\"" + code + "\",\"message\":\"" + message + "\"}\n");
    EXPECT_FALSE(std::filesystem::exists(dir_.file("out"))) << "nothing is written before the comparison";
  }
  void expect_status(const Request& request, const std::string& status) {
    RunResult run = run_request(dir_, request);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\"status\":\"" + status + "\""), std::string::npos) << run.out;
  }
  TempDir dir_;
};

TEST_F(DatasetCli, EncodingLabelsAndDialectCharacters) {
  struct Case {
    const char* name;
    std::string encoding, delimiter, quote;
    std::optional<std::string> escape;
    std::string code, message;  // empty: the run passes
  };
  const std::string one_byte = " must encode to exactly one non-newline byte";
  const Case cases[] = {
      {"padded label", " utf-8 ", ",", "\"", {}, "", ""},
      {"UTF8", "UTF8", ",", "\"", {}, "", ""},
      {"latin1", "latin1", ",", "\"", {}, "", ""},
      {"UTF-16LE comma", "utf-16le", ",", "\"", {}, "", ""},
      {"x-user-defined", "x-user-defined", ",", "\"", {}, "", ""},
      {"tab delimiter", "utf-8", "\t", "\"", {}, "", ""},
      {"UTF-32", "UTF-32", ",", "\"", {}, "UNSUPPORTED_NATIVE_ENCODING",
       "encoding 'UTF-32' is not supported by the native engine"},
      {"empty label", "", ",", "\"", {}, "UNSUPPORTED_NATIVE_ENCODING", "encoding '' is not supported by the native engine"},
      {"label before delimiter", "nope", ";;", "\"", {}, "UNSUPPORTED_NATIVE_ENCODING",
       "encoding 'nope' is not supported by the native engine"},
      {"empty delimiter", "utf-8", "", "\"", {}, "INVALID_NATIVE_REQUEST", "delimiter" + one_byte},
      {"two-byte delimiter", "utf-8", ";;", "\"", {}, "INVALID_NATIVE_REQUEST", "delimiter" + one_byte},
      {"newline delimiter", "utf-8", "\n", "\"", {}, "INVALID_NATIVE_REQUEST", "delimiter" + one_byte},
      {"CR quote", "utf-8", ",", "\r", {}, "INVALID_NATIVE_REQUEST", "quoteChar" + one_byte},
      {"euro under UTF-8", "utf-8", "\xe2\x82\xac", "\"", {}, "INVALID_NATIVE_REQUEST", "delimiter" + one_byte},
      {"e-acute quote under KOI8-R", "koi8-r", ",", "\xc3\xa9", {}, "INVALID_NATIVE_REQUEST", "quoteChar" + one_byte},
      {"two-byte escape", "utf-8", ",", "\"", "\\\\", "INVALID_NATIVE_REQUEST", "escapeChar" + one_byte},
      {"delimiter before quote", "utf-8", "", "", {}, "INVALID_NATIVE_REQUEST", "delimiter" + one_byte},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Request request = with_files("id,name\n1,a\n", "id,name\n1,a\n");
    request.encoding = c.encoding;
    request.delimiter = c.delimiter;
    request.quote_char = c.quote;
    request.escape_char = c.escape;
    if (c.code.empty()) {
      if (c.delimiter != ",") {
        request = with_files("id" + c.delimiter + "name\n1" + c.delimiter + "a\n", "id" + c.delimiter + "name\n1\t a\n");
        request.delimiter = c.delimiter;
      }
      RunResult run = run_request(dir_, request);
      EXPECT_EQ(run.status, 0) << run.err;
    } else {
      expect_error(request, c.code, c.message);
    }
  }
}

TEST_F(DatasetCli, EuroDelimiterUnderWindows1252IsByte80) {
  Request request = with_files("id\x80name\n1\x80x\n", "id\x80name\n1\x80y\n");
  request.encoding = "windows-1252";
  request.delimiter = "\xe2\x82\xac";
  RunResult run = run_request(dir_, request);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(read_file(request.divergence_path),
            "{\"actual\":\"y\",\"actualColumn\":\"name\",\"actualIndex\":1,\"column\":\"name\",\"expected\":\"x\","
            "\"expectedColumn\":\"name\",\"expectedIndex\":1,\"record\":1,\"type\":\"CELL\"}\n");
}

TEST_F(DatasetCli, HeaderRules) {
  struct Case {
    const char* name;
    std::string expected, actual;
    std::string message;  // empty: the run passes
  };
  const Case cases[] = {
      {"blank lines before the header", "\r\n\n\nid,name\n1,a\n", "id,name\n1,a\n", ""},
      {"BOM before the header", "\xef\xbb\xbfid,name\n1,a\n", "id,name\n1,a\n", ""},
      {"case differs", "a,A\n1,2\n", "a,A\n1,2\n", ""},
      {"empty file", "", "id\n", "expected CSV has no header"},
      {"only CR LF", "\r\n\r\n", "id\n", "expected CSV has no header"},
      {"only a BOM", "\xef\xbb\xbf", "id\n", "expected CSV has no header"},
      {"empty name", "a,,b\n", "a\n", "expected header contains an empty column name"},
      {"quoted empty name", "\"\"\n", "a\n", "expected header contains an empty column name"},
      {"duplicate name", "a,b,a\n", "a\n", "expected header contains duplicate column name 'a'"},
      {"empty name reported before duplicate", "a,b,a,,\n", "a\n", "expected header contains an empty column name"},
      {"actual duplicate after a valid expected", "x\n", "x,x\n", "actual header contains duplicate column name 'x'"},
      {"actual empty", "x\n", "", "actual CSV has no header"},
      {"invalid UTF-8 in a name", "i\xff\n", "x\n", "CSV contains bytes invalid for encoding UTF-8"},
      {"expected judged before actual", "a,a\n", "", "expected header contains duplicate column name 'a'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Request request = with_files(c.expected, c.actual);
    if (c.message.empty()) {
      expect_status(request, "PASS");
    } else {
      expect_error(request, "INVALID_GOLDEN_DATASET", c.message);
    }
  }
}

TEST_F(DatasetCli, NamesFromTheRequestWithoutHeader) {
  Request request = with_files("1,a\n", "1,a\n");
  request.has_header = false;
  request.expected_columns = {"a", ""};
  request.actual_columns = {"a", "b"};
  // The names are judged without opening the files: missing files make no difference.
  request.expected_path = dir_.file("missing.csv");
  RunResult run = run_request(dir_, request);
  EXPECT_EQ(run.err, "{\"code\":\"INVALID_GOLDEN_DATASET\",\"message\":\"expectedPath must be a regular file\"}\n");
  request.expected_path = dir_.write("e.csv", "1,a\n");
  expect_error(request, "INVALID_GOLDEN_DATASET", "expected header contains an empty column name");
  request.expected_columns = {"id", "name"};
  request.actual_columns = {"id", "name"};
  expect_status(request, "PASS");
}

TEST_F(DatasetCli, ColumnPlanRefusals) {
  struct Case {
    const char* name;
    std::string expected, actual;
    std::vector<std::pair<std::string, std::string>> columns;
    std::vector<Exclusion> exclusions;
    std::string message;
  };
  const Case cases[] = {
      {"column sets differ", "id,name,amount\n", "id,amount,total\n", {}, {},
       "column sets differ; missing=[\\\"name\\\"], additional=[\\\"total\\\"]"},
      {"mapping leaves a column out", "id,name\n", "key,label\n", {{"id", "key"}}, {},
       "mappings and exclusions must cover every column exactly once"},
      {"exclusion of an absent column", "id\n", "id\n", {}, {Exclusion{"zz", std::nullopt}},
       "excluded expected column 'zz' is missing or duplicated"},
      {"exclusion without approval", "id,b\n", "id,b\n", {}, {Exclusion{"b", "b", " \t"}},
       "excluded columns require reason, approvedBy, and approvalReference"},
      {"exclusion naming nothing", "id\n", "id\n", {}, {Exclusion{}}, "an exclusion must name expected and/or actual"},
      {"everything excluded", "a\n", "b\n", {}, {Exclusion{"a", std::nullopt}, Exclusion{std::nullopt, "b"}},
       "at least one column must be compared"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Request request = with_files(c.expected, c.actual);
    request.columns = c.columns;
    request.excluded_columns = c.exclusions;
    expect_error(request, "INVALID_GOLDEN_DATASET", c.message);
  }
}

TEST_F(DatasetCli, ByteOrderMarkCharacterIsRenderedEscaped) {
  // A BOM is skipped only at the very start of the file; in a quoted second line it is a name byte.
  Request request = with_files("id\n", "\xef\xbb\xbf\xef\xbb\xbfid\n");
  expect_error(request, "INVALID_GOLDEN_DATASET", "column sets differ; missing=[\\\"id\\\"], additional=[\\\"\\\\u{feff}id\\\"]");
}

}  // namespace
}  // namespace tessamer::testing
