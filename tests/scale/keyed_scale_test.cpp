// Keyed runs over files far from key order, sorted in tens of runs per side: the report does not
// depend on the memory budget, and a small budget needs no more descriptors than a few.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "support/request.h"

namespace tessamer::testing {
namespace {

std::string first_line(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  std::getline(in, line);
  return line;
}

void expect_has(const std::string& document, const std::string& text) {
  EXPECT_NE(document.find(text), std::string::npos) << "missing " << text;
}

std::string id_record(long id, const std::string& value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08ld,", id);
  return text + value + "\n";
}

const std::string kIdKey = R"("keyColumns":[{"actual":"id","actualIndex":0,"expected":"id","expectedIndex":0}])";

// 200,000 records in two different scattered orders, 10 removed, 10 added and 200 values changed.
TEST(KeyedScale, TensOfRunsGiveTheReportOfOne) {
  constexpr long kRecords = 200000;
  const std::string padding(40, 'x');
  std::string expected = "id,v\n", actual = "id,v\n";
  for (long j = 0; j < kRecords; ++j) {
    const long i = j * 7919 % kRecords;
    expected += id_record(i, padding + std::to_string(i));
  }
  for (long j = 0; j < kRecords; ++j) {
    const long i = j * 104729 % kRecords;
    if (i % 20000 == 7) continue;
    std::string value = padding + std::to_string(i);
    if (i % 1000 == 0) value[0] = 'y';
    actual += id_record(i, value);
  }
  for (int k = 0; k < 10; ++k) {
    char added[32];
    std::snprintf(added, sizeof added, "z%07d,added\n", k);
    actual += added;
  }
  ASSERT_EQ(expected.size(), 11088895u);
  ASSERT_EQ(actual.size(), 11088494u);

  TempDir dir;
  Request request = request_for_files(dir, expected, actual);
  request.key_columns = {{"id"}};
  for (const std::uint64_t budget : {std::uint64_t{1} << 20, std::uint64_t{4} << 30}) {
    SCOPED_TRACE(budget);
    request.sort_memory_bytes = budget;
    RunResult run = run_request(dir, request);
    ASSERT_EQ(run.status, 0) << run.err;
    expect_has(run.out, R"("divergences":220,)");
    expect_has(run.out, R"("status":"FAIL")");
    expect_has(run.out, R"("rows":{"actual":200000,"additional":10,"compared":199990,"expected":200000,"missing":10})");
    expect_has(run.out, R"("keyPairing":{"actualSorted":false,"duplicateKeys":"REJECT","expectedSorted":false,)" +
                            kIdKey + R"(,"keyOrder":"ANY","repeatedKeyRecords":{"actual":0,"expected":0},)" +
                            "\"sortMemoryBytes\":" + std::to_string(budget) + "}");
    EXPECT_EQ(file_sha256(request.divergence_path), "4a2fa18649b5329a4861c7bc0e09940c00b78040b974914fc78a41795df3881f");
    EXPECT_EQ(first_line(request.divergence_path),
              R"({"actual":"yxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx0","actualColumn":"v","actualIndex":1,"actualRecord":1,)"
              R"("column":"v","expected":"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx0","expectedColumn":"v","expectedIndex":1,)"
              R"("expectedRecord":1,"key":["00000000"],"record":1,"type":"CELL"})");
  }
}

// Many runs per side, yet a handful of descriptors beyond those of a positional run: each side
// keeps its runs in at most two files.
TEST(KeyedScale, ManyRunsInFewDescriptors) {
  constexpr long kRecords = 10000;
  const std::string value(4000, 'x');
  std::string expected = "id,v\n", actual = "id,v\n";
  for (long j = 0; j < kRecords; ++j) {
    const long i = j * 7919 % kRecords;
    expected += id_record(i, value);
    actual += id_record(i, i % 1000 == 0 ? "changed" : value);
  }
  TempDir dir;
  Request request = request_for_files(dir, expected, actual);

  // The fewest descriptors a positional run on these files needs.
  rlim_t positional = 3;
  for (;; ++positional) {
    ASSERT_LT(positional, 64u) << "no positional run succeeded";
    RunOptions options;
    options.open_files_limit = positional;
    if (run_request(dir, request, options).status == 0) break;
  }

  request.key_columns = {{"id"}};
  RunResult in_memory = run_request(dir, request);
  ASSERT_EQ(in_memory.status, 0) << in_memory.err;
  const std::string report = read_file(request.divergence_path);
  ASSERT_EQ(std::count(report.begin(), report.end(), '\n'), 10);

  request.sort_memory_bytes = 1u << 20;
  RunOptions few;
  few.open_files_limit = positional + 5;
  RunResult spilled = run_request(dir, request, few);
  ASSERT_EQ(spilled.status, 0) << spilled.err;
  EXPECT_EQ(read_file(request.divergence_path), report);
  expect_has(spilled.out, R"("expectedSorted":false,)");
}

}  // namespace
}  // namespace tessamer::testing
