// The engine's command line, request reading and request rules, through the built binary.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/process.h"

namespace tessamer::testing {
namespace {

std::string error_document(const std::string& code, const std::string& message) {
  return "{\"code\":\"" + code + "\",\"message\":\"" + message + "\"}\n";
}

void expect_error(const RunResult& run, const std::string& code, const std::string& message) {
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, error_document(code, message));
}

const std::string kUsage = "usage: tessamer --request <request.json>";

TEST(CommandLine, RefusedForms) {
  TempDir dir;
  std::string request = dir.write("request.json", "{}");
  const std::vector<std::vector<std::string>> refused = {
      {},
      {"--request"},
      {request, "--request"},
      {"--request", request, "extra"},
      {"--request=" + request},
      {"--REQUEST", request},
      {"--help"},
      {"--version"},
      {"-r", request},
  };
  for (const auto& args : refused) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    SCOPED_TRACE(joined);
    expect_error(run_tessamer(args), "INVALID_NATIVE_ARGUMENTS", kUsage);
  }
}

TEST(CommandLine, UnreadableRequests) {
  TempDir dir;
  struct Case {
    const char* name;
    std::string path;
    std::string message;
  };
  const Case cases[] = {
      {"missing file", dir.file("missing.json"),
       "cannot read native validation request: No such file or directory (os error 2)"},
      {"directory", dir.path(), "cannot read native validation request: Is a directory (os error 21)"},
      {"empty path", "", "cannot read native validation request: No such file or directory (os error 2)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expect_error(run_tessamer({"--request", c.path}), "NATIVE_IO_ERROR", c.message);
  }
}

TEST(CommandLine, MalformedRequests) {
  TempDir dir;
  struct Case {
    std::string content;
    std::string message;
  };
  const Case cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"\xef\xbb\xbf{}", "expected value at line 1 column 1"},
      {"null", "invalid type: null, expected struct ValidationRequest at line 1 column 4"},
      {"{}", "missing field `schemaVersion` at line 1 column 2"},
      {"{\"schemaVersion\":\"1\"}", "invalid type: string \\\"1\\\", expected u32 at line 1 column 20"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    std::string request = dir.write("request.json", c.content);
    expect_error(run_tessamer({"--request", request}), "INVALID_NATIVE_REQUEST", c.message);
  }
}

TEST(CommandLine, RequestRulesComeBeforeTheDatasets) {
  TempDir dir;
  std::string expected = dir.write("e.csv", "id\n1\n");
  std::string actual = dir.write("a.csv", "id\n1\n");
  auto request = [&](const std::string& schema, const std::string& expected_path, const std::string& encoding,
                     const std::string& limit) {
    return "{\"schemaVersion\":" + schema + ",\"expectedPath\":\"" + expected_path + "\",\"actualPath\":\"" + actual +
           "\",\"divergencePath\":\"" + dir.file("d.jsonl") + "\",\"encoding\":\"" + encoding +
           "\",\"delimiter\":\",\",\"quoteChar\":\"\\\"\",\"hasHeader\":true,\"nullValue\":\"\",\"exampleLimit\":" + limit +
           "}";
  };
  struct Case {
    const char* name;
    std::string content;
    std::string code;
    std::string message;
  };
  const Case cases[] = {
      {"schema version", request("2", expected, "utf-8", "1"), "INVALID_NATIVE_REQUEST", "request schemaVersion must be 1"},
      {"missing expected file before encoding", request("1", dir.file("none.csv"), "nope", "1"), "INVALID_GOLDEN_DATASET",
       "expectedPath must be a regular file"},
      {"example limit", request("1", expected, "utf-8", "101"), "INVALID_NATIVE_REQUEST",
       "exampleLimit must be from 0 through 100"},
      {"unknown encoding", request("1", expected, " UTF-32", "1"), "UNSUPPORTED_NATIVE_ENCODING",
       "encoding ' UTF-32' is not supported by the native engine"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir.write("request.json", c.content);
    expect_error(run_tessamer({"--request", path}), c.code, c.message);
    EXPECT_FALSE(std::filesystem::exists(dir.file("d.jsonl")));
  }
}

}  // namespace
}  // namespace tessamer::testing
