#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "compare/temp_files.h"

namespace tessamer {
namespace {

using compare_testing::compact;
using std::chrono::steady_clock;
using Names = std::vector<std::string>;

constexpr std::uint64_t kMax = UINT64_MAX;

ExcludedColumn exclusion(std::optional<std::string> expected, std::optional<std::string> actual) {
  return ExcludedColumn{std::move(expected), std::move(actual), "reason", "approver", "ref-1"};
}

ColumnPlan two_pairs() {
  ColumnPlan plan;
  plan.pairs.push_back({"id", "ID", 0, 1});
  plan.pairs.push_back({"name", "NAME", 1, 0});
  return plan;
}

ComparisonOutcome outcome_with(std::uint64_t expected_rows, std::uint64_t actual_rows, std::uint64_t divergences) {
  ComparisonOutcome outcome;
  outcome.totals.expected_rows = expected_rows;
  outcome.totals.actual_rows = actual_rows;
  outcome.totals.compared_rows = std::min(expected_rows, actual_rows);
  outcome.divergences = divergences;
  return outcome;
}

JsonValue build(const std::vector<ExcludedColumn>& excluded, ComparisonOutcome outcome) {
  ValidationRequest request;
  request.excluded_columns = excluded;
  return build_result_document(request, {"id", "name"}, {"NAME", "ID"}, two_pairs(), std::move(outcome),
                               steady_clock::now());
}

// The document's text with the two clock-dependent numbers replaced by 0.
std::string stable_text(const JsonValue& document) {
  static const std::regex clock_numbers(R"re("(durationMs|throughputBytesPerSecond)":[0-9]+)re");
  return std::regex_replace(compact(document), clock_numbers, "\"$1\":0");
}

TEST(CompareResult, StatusAndExcludedCells) {
  struct Case {
    const char* name;
    std::vector<ExcludedColumn> excluded;
    std::uint64_t expected_rows, actual_rows, divergences;
    const char* status;
    std::uint64_t excluded_cells;
  };
  const Case cases[] = {
      {"no exclusions", {}, 5, 6, 0, "PASS", 0},
      {"divergences win", {exclusion("name", "NAME")}, 5, 6, 1, "FAIL", 11},
      {"two expected-only exclusions count expected rows only", {exclusion("id", {}), exclusion("name", {})}, 5, 6, 0,
       "PASS_WITH_EXCLUSIONS", 10},
      {"each side by its own rows", {exclusion("id", "ID"), exclusion({}, "X")}, 5, 6, 0, "PASS_WITH_EXCLUSIONS", 17},
      {"saturates", {exclusion("id", "ID"), exclusion("name", {})}, kMax, 1, 0, "PASS_WITH_EXCLUSIONS", kMax},
      {"saturates in the sum", {exclusion("id", "ID")}, kMax, 1, 2, "FAIL", kMax},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    JsonValue document = build(c.excluded, outcome_with(c.expected_rows, c.actual_rows, c.divergences));
    EXPECT_EQ(document.find("status")->as_string(), c.status);
    EXPECT_EQ(document.find("excludedCells")->as_unsigned(), c.excluded_cells);
  }
}

TEST(CompareResult, CellsCompared) {
  struct Case {
    std::uint64_t compared;
    std::uint64_t cells;
  };
  for (const Case& c : {Case{0, 0}, Case{3, 6}, Case{kMax / 2, kMax - 1}, Case{kMax / 2 + 1, kMax}, Case{kMax, kMax}}) {
    SCOPED_TRACE(c.compared);
    JsonValue document = build({}, outcome_with(c.compared, c.compared, 0));
    EXPECT_EQ(document.find("cellsCompared")->as_unsigned(), c.cells);
  }
}

// The members of two_pairs() and the engine, as both documents write them.
const std::string kPairsText =
    R"("columnPairs":[{"actual":"ID","actualIndex":1,"expected":"id","expectedIndex":0},)"
    R"({"actual":"NAME","actualIndex":0,"expected":"name","expectedIndex":1}],"columnsCompared":2,)";
const std::string kEngineText =
    R"("engine":{"name":"tessamer","target":"x86_64-unknown-linux-gnu","version":"0.1.0"},)";
const std::string kHeadersText = R"("headers":{"actual":["NAME","ID"],"expected":["id","name"]},)";

TEST(CompareResult, StreamingDocumentText) {
  ComparisonOutcome outcome = outcome_with(3, 4, 1);
  outcome.totals.missing_rows = 0;
  outcome.totals.additional_rows = 1;
  outcome.totals.expected_bytes = 10;
  outcome.totals.actual_bytes = 12;
  outcome.totals.expected_sha256 = "e";
  outcome.totals.actual_sha256 = "a";
  JsonValue example = JsonValue::object();
  example.set("type", JsonValue::string("ADDITIONAL_ROW"));
  outcome.examples.push_back(example);
  EXPECT_EQ(stable_text(build({}, std::move(outcome))),
            R"({"actualBytes":12,"actualSha256":"a","cellsCompared":6,)" + kPairsText +
            R"("comparisonMode":"quor-csv-stream","divergenceExamples":[{"type":"ADDITIONAL_ROW"}],"divergences":1,)"
            R"("durationMs":0,)" + kEngineText +
            R"("excludedCells":0,"expectedBytes":10,"expectedSha256":"e",)" + kHeadersText +
            R"("rows":{"actual":4,"additional":1,"compared":3,"expected":3,"missing":0},"status":"FAIL",)"
            R"("throughputBytesPerSecond":0})");
}

TEST(CompareResult, IdenticalDocumentText) {
  ComparisonTotals totals;
  totals.expected_bytes = 7;
  totals.actual_bytes = 7;
  totals.expected_sha256 = "d";
  totals.actual_sha256 = "d";
  totals.compared_rows = 99;  // not read: identical files are not parsed
  JsonValue document = build_identical_result_document({"id", "name"}, {"NAME", "ID"}, two_pairs(), totals,
                                                       steady_clock::now());
  EXPECT_EQ(stable_text(document),
            R"({"actualBytes":7,"actualSha256":"d","cellsCompared":null,)" + kPairsText +
            R"("comparisonMode":"quor-binary","divergenceExamples":[],"divergences":0,)"
            R"("durationMs":0,)" + kEngineText +
            R"("excludedCells":0,"expectedBytes":7,"expectedSha256":"d",)" + kHeadersText +
            R"("rows":{"actual":null,"additional":0,"compared":null,"expected":null,"missing":0},"status":"PASS",)"
            R"("throughputBytesPerSecond":0})");
}

TEST(CompareResult, Timing) {
  const auto start = steady_clock::now() - std::chrono::milliseconds(1500);
  ComparisonOutcome outcome = outcome_with(1, 1, 0);
  outcome.totals.expected_bytes = 1'500'000'000;
  outcome.totals.actual_bytes = 1'500'000'000;
  ValidationRequest request;
  JsonValue timed = build_result_document(request, {}, {}, two_pairs(), std::move(outcome), start);
  const std::uint64_t duration = timed.find("durationMs")->as_unsigned();
  EXPECT_GE(duration, 1500u);
  EXPECT_LT(duration, 60'000u);
  const std::uint64_t rate = timed.find("throughputBytesPerSecond")->as_unsigned();
  EXPECT_LE(rate, 2'000'000'000u);  // 3e9 bytes over at least 1.5 s
  EXPECT_GT(rate, 3'000'000'000u / 60);

  struct Case {
    const char* name;
    std::uint64_t total;
    steady_clock::time_point start;
    std::uint64_t rate;
  };
  const auto later = steady_clock::now() + std::chrono::hours(1);
  for (const Case& c : {Case{"nothing read", 0, start, 0}, Case{"too fast to measure is a microsecond", 5, later, 5'000'000},
                        Case{"beyond 2^64 saturates", kMax, later, kMax}}) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(throughput_bytes_per_second(c.total, c.start), c.rate);
  }
}

}  // namespace
}  // namespace tessamer
