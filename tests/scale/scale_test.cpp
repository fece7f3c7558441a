// Large shapes through the built binary, sized to run in seconds: wide headers, a huge field,
// millions of tiny records, a file of line ends only.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/request.h"

namespace tessamer::testing {
namespace {

std::string member(const std::string& document, const std::string& key) {
  std::size_t at = document.find("\"" + key + "\":");
  if (at == std::string::npos) return "<absent>";
  at += key.size() + 3;
  return document.substr(at, document.find_first_of(",}", at) - at);
}

class Scale : public ::testing::Test {
 protected:
  std::string run_ok(const Request& request) {
    RunResult run = run_request(dir_, request);
    EXPECT_EQ(run.status, 0) << run.err;
    return run.out;
  }
  TempDir dir_;
};

TEST_F(Scale, FiftyThousandColumns) {
  const int columns = 50000;
  std::string header, row, reversed_header;
  for (int i = 0; i < columns; ++i) {
    const char* separator = i ? "," : "";
    header.append(separator).append("c").append(std::to_string(i));
    reversed_header.append(separator).append("c").append(std::to_string(columns - 1 - i));
    row.append(separator).append(std::to_string(i % 10));
  }
  Request by_name = request_for_files(dir_, header + "\n" + row + "\n", reversed_header + "\n" + row + "\n");
  std::string document = run_ok(by_name);
  EXPECT_EQ(member(document, "columnsCompared"), "50000");
  // The row is the same bytes on both sides, but the columns are in reverse order on one of them.
  EXPECT_EQ(member(document, "divergences"), "50000");

  Request mapped = by_name;
  for (int i = columns - 1; i >= 0; --i) {
    const std::string name = std::string("c").append(std::to_string(i));
    mapped.columns.emplace_back(name, name);
  }
  document = run_ok(mapped);
  EXPECT_EQ(member(document, "cellsCompared"), "50000");
  EXPECT_NE(document.find("{\"actual\":\"c49999\",\"actualIndex\":0,\"expected\":\"c49999\",\"expectedIndex\":49999}"),
            std::string::npos);
}

TEST_F(Scale, SixtyFourMegabyteField) {
  std::string field(64 << 20, 'x');
  field[1000] = ',';  // quoting needed on one side
  Request request = request_for_files(dir_, "v\n\"" + field + "\"\n", "v\n\"" + field + "\"\r\n");
  std::string document = run_ok(request);
  EXPECT_EQ(member(document, "status"), "\"PASS\"");
  EXPECT_EQ(member(document, "comparisonMode"), "\"quor-csv-stream\"");
  EXPECT_EQ(member(document, "actualBytes"), std::to_string(field.size() + 6));
}

TEST_F(Scale, FiveMillionTinyRecords) {
  std::string expected = "v\n";
  std::string actual = "v\r\n";
  expected.reserve(10'000'002);
  actual.reserve(15'000'003);
  for (int i = 0; i < 5'000'000; ++i) {
    expected += "a\n";
    actual += i == 4'999'999 ? "b\r\n" : "a\r\n";
  }
  Request request = request_for_files(dir_, expected, actual);
  std::string document = run_ok(request);
  EXPECT_EQ(member(document, "compared"), "5000000");
  EXPECT_EQ(member(document, "divergences"), "1");
  EXPECT_NE(read_file(request.divergence_path).find("\"record\":5000000"), std::string::npos);
}

TEST_F(Scale, OnlyLineEnds) {
  std::string ends;
  for (int i = 0; i < 100000; ++i) ends += i % 3 ? "\n" : "\r\n";
  Request request = request_for_files(dir_, ends, ends);
  RunResult run = run_request(dir_, request);
  EXPECT_EQ(run.err, "{\"code\":\"INVALID_GOLDEN_DATASET\",\"message\":\"expected CSV has no header\"}\n");

  request.has_header = false;
  request.expected_columns = request.actual_columns = {"v"};
  std::string document = run_ok(request);
  EXPECT_EQ(member(document, "compared"), "0");
  EXPECT_EQ(member(document, "status"), "\"PASS\"");
}

}  // namespace
}  // namespace tessamer::testing
