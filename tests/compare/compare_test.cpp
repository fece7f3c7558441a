#include "compare/compare.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "compare/temp_files.h"
#include "core/sha256.h"
#include "input/input.h"

namespace tessamer {
namespace {

using compare_testing::compact;
using compare_testing::read_file;
using compare_testing::TempDir;
using Names = std::vector<std::string>;

std::string sha256_of(const std::string& bytes) {
  Sha256 hasher;
  hasher.update(bytes.data(), bytes.size());
  return hasher.finish();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Pairs the columns by position, both sides named alike.
ColumnPlan positional_plan(const Names& names) {
  ColumnPlan plan;
  for (std::size_t i = 0; i < names.size(); ++i) plan.pairs.push_back({names[i], names[i], i, i});
  return plan;
}

struct RunResult {
  Result<ComparisonOutcome> outcome;
  std::string report;
};

// The comparison of the request's two files, as a run that opens them for the first time; the
// identical-files check only when `identical_files_pass`.
Result<ComparisonOutcome> compare_files(const ValidationRequest& request, const Names& expected_names,
                                        const Names& actual_names, const ColumnPlan& plan,
                                        bool identical_files_pass = false) {
  auto dialect = resolve_dialect(request);
  EXPECT_TRUE(dialect.has_value());
  DatasetFile expected(DatasetSide::Expected, request.expected_path);
  DatasetFile actual(DatasetSide::Actual, request.actual_path);
  ComparisonSettings settings = comparison_settings(request, std::nullopt);
  settings.identical_files_pass = identical_files_pass;
  return compare_datasets({expected, actual, *dialect, expected_names, actual_names, plan, settings});
}

// A comparison over files written to a fresh directory.
class CompareDatasets : public ::testing::Test {
 protected:
  CompareDatasets() {
    request_.expected_path = dir_.file("expected.csv");
    request_.actual_path = dir_.file("actual.csv");
    request_.divergence_path = dir_.file("out/divergences.jsonl");
    request_.encoding = "utf-8";
    request_.delimiter = ",";
    request_.quote_char = "\"";
    request_.has_header = true;
    request_.example_limit = 1000;
  }

  RunResult run(const std::string& expected, const std::string& actual, const Names& expected_names,
          const Names& actual_names, const ColumnPlan& plan) {
    dir_.write("expected.csv", expected);
    dir_.write("actual.csv", actual);
    RunResult result{compare_files(request_, expected_names, actual_names, plan), read_file(request_.divergence_path)};
    if (result.outcome) {
      // Every line is counted, and the examples are the first lines as they stand.
      std::vector<std::string> lines = lines_of(result.report);
      EXPECT_EQ(result.outcome->divergences, lines.size());
      EXPECT_EQ(result.outcome->examples.size(), std::min<std::size_t>(lines.size(), request_.example_limit));
      for (std::size_t i = 0; i < result.outcome->examples.size(); ++i) {
        EXPECT_EQ(lines[i], compact(result.outcome->examples[i])) << "line " << i + 1;
      }
    }
    return result;
  }

  RunResult run(const std::string& expected, const std::string& actual, const Names& names = {"a", "b"}) {
    return run(expected, actual, names, names, positional_plan(names));
  }

  TempDir dir_;
  ValidationRequest request_;
};

TEST_F(CompareDatasets, DivergenceLines) {
  struct Case {
    const char* name;
    std::string expected;
    std::string actual;
    std::vector<std::string> lines;
    std::array<std::uint64_t, 5> rows;  // expected, actual, compared, missing, additional
  };
  const Case cases[] = {
      {"equal", "a,b\n1,2\n3,4\n", "a,b\r\n1,2\r\n\r\n3,4", {}, {2, 2, 2, 0, 0}},
      {"quoted and unquoted alike", "a,b\n\"x,1\",\"say \"\"hi\"\"\"\n", "a,b\n\"x,1\",say \"hi\"\n", {}, {1, 1, 1, 0, 0}},
      {"ragged rows",
       "a,b\n1,2\n3\n",
       "a,b\n1,2,9\n3,4\n",
       {R"({"actualColumns":2,"actualValues":3,"expectedColumns":2,"expectedValues":2,"record":1,"type":"ROW_WIDTH"})",
        R"({"actualColumns":2,"actualValues":2,"expectedColumns":2,"expectedValues":1,"record":2,"type":"ROW_WIDTH"})",
        R"({"actual":"4","actualColumn":"b","actualIndex":1,"column":"b","expected":null,"expectedColumn":"b","expectedIndex":1,"record":2,"type":"CELL"})"},
       {2, 2, 2, 0, 0}},
      {"empty is not absent",
       "a,b\n1,\n",
       "a,b\n1\n",
       {R"({"actualColumns":2,"actualValues":1,"expectedColumns":2,"expectedValues":2,"record":1,"type":"ROW_WIDTH"})",
        R"({"actual":null,"actualColumn":"b","actualIndex":1,"column":"b","expected":"","expectedColumn":"b","expectedIndex":1,"record":1,"type":"CELL"})"},
       {1, 1, 1, 0, 0}},
      {"raw bytes, no trimming or case folding",
       "a,b\nx , Y\n",
       "a,b\nx,y\n",
       {R"({"actual":"x","actualColumn":"a","actualIndex":0,"column":"a","expected":"x ","expectedColumn":"a","expectedIndex":0,"record":1,"type":"CELL"})",
        R"({"actual":"y","actualColumn":"b","actualIndex":1,"column":"b","expected":" Y","expectedColumn":"b","expectedIndex":1,"record":1,"type":"CELL"})"},
       {1, 1, 1, 0, 0}},
      {"expected longer",
       "a,b\n1,2\n3,4\n5\n",
       "a,b\n1,2\n",
       {R"({"expected":["3","4"],"record":2,"type":"MISSING_ROW"})", R"({"expected":["5"],"record":3,"type":"MISSING_ROW"})"},
       {3, 1, 1, 2, 0}},
      {"actual longer",
       "a,b\n1,2\n",
       "a,b\n1,9\n3,4\n,\n",
       {R"({"actual":"9","actualColumn":"b","actualIndex":1,"column":"b","expected":"2","expectedColumn":"b","expectedIndex":1,"record":1,"type":"CELL"})",
        R"({"actual":["3","4"],"record":2,"type":"ADDITIONAL_ROW"})", R"({"actual":["",""],"record":3,"type":"ADDITIONAL_ROW"})"},
       {1, 3, 1, 0, 2}},
      {"escaped and non-ASCII text",
       "a,b\n\"tab\there\",\"caf\xc3\xa9 \"\"q\"\" \\ \xf0\x9f\x8e\x89\"\n",
       "a,b\n\"line\nbreak\",x\n",
       {"{\"actual\":\"line\\nbreak\",\"actualColumn\":\"a\",\"actualIndex\":0,\"column\":\"a\",\"expected\":\"tab\\there\","
        "\"expectedColumn\":\"a\",\"expectedIndex\":0,\"record\":1,\"type\":\"CELL\"}",
        "{\"actual\":\"x\",\"actualColumn\":\"b\",\"actualIndex\":1,\"column\":\"b\",\"expected\":\"caf\xc3\xa9 \\\"q\\\" \\\\ "
        "\xf0\x9f\x8e\x89\",\"expectedColumn\":\"b\",\"expectedIndex\":1,\"record\":1,\"type\":\"CELL\"}"},
       {1, 1, 1, 0, 0}},
      {"empty files", "", "", {}, {0, 0, 0, 0, 0}},
      {"equal records narrower than the header",
       "a,b\n1\n",
       "a,b\r\n1\r\n",
       {R"({"actualColumns":2,"actualValues":1,"expectedColumns":2,"expectedValues":1,"record":1,"type":"ROW_WIDTH"})"},
       {1, 1, 1, 0, 0}},
  };
  // Lines kept as examples and lines that are not are written by different paths.
  for (const std::uint64_t limit : {1000, 0})
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ", exampleLimit " + std::to_string(limit));
    request_.example_limit = limit;
    RunResult result = run(c.expected, c.actual);
    ASSERT_TRUE(result.outcome) << result.outcome.error().message;
    EXPECT_EQ(lines_of(result.report), c.lines);
    const ComparisonTotals& t = result.outcome->totals;
    EXPECT_EQ((std::array<std::uint64_t, 5>{t.expected_rows, t.actual_rows, t.compared_rows, t.missing_rows,
                                             t.additional_rows}),
              c.rows);
  }
}

TEST_F(CompareDatasets, InvalidBytesThatNeedNoReportAreNeverDecoded) {
  // Equal in the planned columns "a" and "b"; column "c" is outside the plan.
  RunResult result = run("a,b,c\n\xff,1,\xfe\n", "a,b,c\n\xff,1,\xfd\n", {"a", "b", "c"}, {"a", "b", "c"},
                   positional_plan({"a", "b"}));
  ASSERT_TRUE(result.outcome) << result.outcome.error().message;
  EXPECT_EQ(result.outcome->divergences, 0u);
}

TEST_F(CompareDatasets, MappedColumnsReportBothNamesAndIndexes) {
  struct Case {
    const char* name;
    std::string expected;
    std::string actual;
    Names expected_names;
    Names actual_names;
    std::vector<ColumnPair> pairs;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"renamed and swapped",
       "id,name\n1,ann\n",
       "label,ident\nbob,1\n",
       {"id", "name"},
       {"label", "ident"},
       {{"id", "ident", 0, 1}, {"name", "label", 1, 0}},
       {R"({"actual":"bob","actualColumn":"label","actualIndex":0,"column":"name","expected":"ann","expectedColumn":"name","expectedIndex":1,"record":1,"type":"CELL"})"}},
      // Byte-identical records still differ when the plan pairs different positions.
      {"equal records, crossed plan",
       "a,b\n1,2\n3,3\n",
       "b,a\n1,2\n3,3\n",
       {"a", "b"},
       {"b", "a"},
       {{"a", "b", 0, 1}, {"b", "a", 1, 0}},
       {R"({"actual":"2","actualColumn":"b","actualIndex":1,"column":"a","expected":"1","expectedColumn":"a","expectedIndex":0,"record":1,"type":"CELL"})",
        R"({"actual":"1","actualColumn":"a","actualIndex":0,"column":"b","expected":"2","expectedColumn":"b","expectedIndex":1,"record":1,"type":"CELL"})"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ColumnPlan plan;
    plan.pairs = c.pairs;
    RunResult result = run(c.expected, c.actual, c.expected_names, c.actual_names, plan);
    ASSERT_TRUE(result.outcome);
    EXPECT_EQ(lines_of(result.report), c.lines);
  }
}

TEST_F(CompareDatasets, WithoutHeaderTheFirstLineIsData) {
  request_.has_header = false;
  RunResult result = run("a,b\n", "a,c\n");
  ASSERT_TRUE(result.outcome);
  EXPECT_EQ(result.outcome->totals.compared_rows, 1u);
  EXPECT_EQ(result.outcome->divergences, 1u);
}

TEST_F(CompareDatasets, DigestsAndByteCountsCoverTheWholeFiles) {
  // Large enough to span several reads of the source.
  std::string body = "a,b\n";
  for (int i = 0; i < 200'000; ++i) body += std::to_string(i) + ",\"text " + std::to_string(i * 7) + "\"\n";
  const std::string with_bom = "\xef\xbb\xbf" + body;
  RunResult result = run(body, with_bom);
  ASSERT_TRUE(result.outcome);
  const ComparisonTotals& totals = result.outcome->totals;
  EXPECT_EQ(result.outcome->divergences, 0u);
  EXPECT_EQ(totals.compared_rows, 200'000u);
  EXPECT_EQ(totals.expected_bytes, body.size());
  EXPECT_EQ(totals.actual_bytes, body.size() + 3);
  EXPECT_EQ(totals.expected_sha256, sha256_of(body));
  EXPECT_EQ(totals.actual_sha256, sha256_of(with_bom));
  EXPECT_NE(totals.expected_sha256, totals.actual_sha256);
}

TEST_F(CompareDatasets, ExamplesAreLimited) {
  request_.example_limit = 1;
  RunResult result = run("a,b\n1,2\n3,4\n", "a,b\n1,0\n3,0\n");
  ASSERT_TRUE(result.outcome);
  EXPECT_EQ(result.outcome->divergences, 2u);
  ASSERT_EQ(result.outcome->examples.size(), 1u);
  EXPECT_EQ(compact(result.outcome->examples[0]), lines_of(result.report)[0]);
}

TEST_F(CompareDatasets, DecodesWithTheDatasetEncoding) {
  request_.encoding = "windows-1252";
  RunResult result = run("a\n\xe9\x80\n", "a\ne\n", {"a"});
  ASSERT_TRUE(result.outcome);
  ASSERT_EQ(result.outcome->examples.size(), 1u);
  EXPECT_NE(compact(result.outcome->examples[0]).find("\"expected\":\"\xc3\xa9\xe2\x82\xac\""), std::string::npos);
}

TEST_F(CompareDatasets, InvalidBytesInADivergenceEndTheRunAndKeepEarlierLines) {
  struct Case {
    const char* name;
    std::string expected;
    std::string actual;
  };
  const Case cases[] = {
      {"cell", "a,b\n1,2\n1,\xff\n", "a,b\n1,3\n1,x\n"},
      {"missing row", "a,b\n1,2\n1,\xff\n", "a,b\n1,3\n"},
      {"additional row", "a,b\n1,2\n", "a,b\n1,3\n\xc3\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunResult result = run(c.expected, c.actual);
    ASSERT_FALSE(result.outcome);
    EXPECT_EQ(result.outcome.error(),
              (EngineError{ErrorCode::InvalidGoldenDataset, "CSV contains bytes invalid for encoding UTF-8"}));
    EXPECT_EQ(result.report,
              R"({"actual":"3","actualColumn":"b","actualIndex":1,"column":"b","expected":"2","expectedColumn":"b","expectedIndex":1,"record":1,"type":"CELL"})"
              "\n");
  }
}

TEST_F(CompareDatasets, FailureSeveralReadsIn) {
  // Several read buffers in: the failure ends the run part-way through the files.
  std::string body = "a,b\n";
  for (int i = 0; i < 300'000; ++i) body += std::to_string(i) + ",text\n";
  RunResult result = run(body + "1,\xff\n" + body, body + "1,x\n" + body);
  ASSERT_FALSE(result.outcome);
  EXPECT_EQ(result.outcome.error().code, ErrorCode::InvalidGoldenDataset);
  EXPECT_EQ(result.report, "");
}

TEST_F(CompareDatasets, SetupFailures) {
  ASSERT_EQ(::mkdir(dir_.file("folder").c_str(), 0777), 0);
  struct Case {
    const char* name;
    std::string expected_path;
    std::string actual_path;
    std::string divergence_path;
    bool has_header;
    EngineError error;
  };
  const std::string expected = dir_.file("expected.csv");
  const std::string actual = dir_.file("actual.csv");
  const std::string report = dir_.file("r.jsonl");
  const Case cases[] = {
      {"no expected file", dir_.file("none.csv"), actual, report, true,
       {ErrorCode::NativeIoError, "cannot open expected CSV: No such file or directory (os error 2)"}},
      {"no actual file", expected, dir_.file("none.csv"), report, true,
       {ErrorCode::NativeIoError, "cannot open actual CSV: No such file or directory (os error 2)"}},
      {"unreadable expected header", dir_.file("folder"), actual, report, true,
       {ErrorCode::InvalidGoldenDataset, "cannot parse expected header: Is a directory (os error 21)"}},
      {"unreadable actual header", expected, dir_.file("folder"), report, true,
       {ErrorCode::InvalidGoldenDataset, "cannot parse actual header: Is a directory (os error 21)"}},
      {"unreadable expected data", dir_.file("folder"), actual, report, false,
       {ErrorCode::InvalidGoldenDataset, "cannot parse expected CSV: Is a directory (os error 21)"}},
      {"unreadable actual data", expected, dir_.file("folder"), report, false,
       {ErrorCode::InvalidGoldenDataset, "cannot parse actual CSV: Is a directory (os error 21)"}},
      {"report names the expected dataset", expected, actual, expected, true,
       {ErrorCode::InvalidNativeRequest, "divergencePath must not name the expected or actual dataset"}},
      {"report names the actual dataset", expected, actual, dir_.path() + "//actual.csv", true,
       {ErrorCode::InvalidNativeRequest, "divergencePath must not name the expected or actual dataset"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dir_.write("expected.csv", "a,b\n1,2\n");
    dir_.write("actual.csv", "a,b\n1,3\n");
    request_.expected_path = c.expected_path;
    request_.actual_path = c.actual_path;
    request_.divergence_path = c.divergence_path;
    request_.has_header = c.has_header;
    auto outcome = compare_files(request_, {"a", "b"}, {"a", "b"}, positional_plan({"a", "b"}));
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error(), c.error);
    EXPECT_EQ(read_file(expected), "a,b\n1,2\n");
    EXPECT_EQ(read_file(actual), "a,b\n1,3\n");
  }
}

TEST_F(CompareDatasets, IdenticalFilesPassOnlyAPlainComparison) {
  struct Case {
    const char* name;
    std::string expected;
    std::string actual;
    bool plain;  // the settings let identical files pass
    ComparisonMode mode;
  };
  std::string long_file = "a,b\n";
  for (int i = 0; i < 100'000; ++i) long_file += std::to_string(i) + ",x\n";
  std::string late_change = long_file;
  late_change[late_change.size() - 2] = 'y';
  const Case cases[] = {
      {"identical", long_file, long_file, true, ComparisonMode::identical},
      {"identical, not a plain comparison", long_file, long_file, false, ComparisonMode::streamed},
      {"same size, the last record differs", long_file, late_change, true, ComparisonMode::streamed},
      {"different sizes", long_file, long_file + "1,x\n", true, ComparisonMode::streamed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(request_.divergence_path);
    dir_.write("expected.csv", c.expected);
    dir_.write("actual.csv", c.actual);
    auto outcome = compare_files(request_, {"a", "b"}, {"a", "b"}, positional_plan({"a", "b"}), c.plain);
    ASSERT_TRUE(outcome) << outcome.error().message;
    EXPECT_EQ(outcome->mode, c.mode);
    EXPECT_EQ(std::filesystem::exists(request_.divergence_path), c.mode == ComparisonMode::streamed);
    const ComparisonTotals& t = outcome->totals;
    EXPECT_EQ(t.expected_bytes, c.expected.size());
    EXPECT_EQ(t.actual_bytes, c.actual.size());
    EXPECT_EQ(t.expected_sha256, sha256_of(c.expected));
    EXPECT_EQ(t.actual_sha256, sha256_of(c.actual));
    EXPECT_EQ(t.compared_rows, c.mode == ComparisonMode::streamed ? 100'000u : 0u);
  }
}

TEST(ComparisonSettings, IdenticalFilesPassWithoutMappingsExclusionsOrHeaderless) {
  ValidationRequest plain;
  plain.has_header = true;
  ValidationRequest mapped = plain;
  mapped.columns.push_back({"a", "a"});
  ValidationRequest excluded = plain;
  excluded.excluded_columns.push_back({"a", std::nullopt, "r", "b", "t"});
  ValidationRequest headerless = plain;
  headerless.has_header = false;
  EXPECT_TRUE(comparison_settings(plain, std::nullopt).identical_files_pass);
  EXPECT_FALSE(comparison_settings(mapped, std::nullopt).identical_files_pass);
  EXPECT_FALSE(comparison_settings(excluded, std::nullopt).identical_files_pass);
  EXPECT_FALSE(comparison_settings(headerless, std::nullopt).identical_files_pass);
}

}  // namespace
}  // namespace tessamer
