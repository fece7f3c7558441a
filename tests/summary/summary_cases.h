// Small result/report pairs shared by the summary's tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessamer::summary::testing {

// One line of each type, with non-ASCII, a missing field and a control character.
inline const std::vector<std::string> kLines = {
    R"({"actual":"Zurich","actualColumn":"city","actualIndex":2,"column":"city","expected":"Zürich","expectedColumn":"city","expectedIndex":2,"record":2,"type":"CELL"})",
    R"({"actualColumns":3,"actualValues":2,"expectedColumns":3,"expectedValues":3,"record":3,"type":"ROW_WIDTH"})",
    R"({"actual":null,"actualColumn":"city","actualIndex":2,"column":"city","expected":"Lisbon","expectedColumn":"city","expectedIndex":2,"record":3,"type":"CELL"})",
    R"({"actual":"a b","actualColumn":"name","actualIndex":1,"column":"name","expected":"a\tb","expectedColumn":"name","expectedIndex":1,"record":4,"type":"CELL"})",
    R"({"actual":["5","Eve","Osaka, Japan"],"record":5,"type":"ADDITIONAL_ROW"})",
};

inline std::string joined(const std::vector<std::string>& lines, std::size_t from, std::size_t to, const char* separator) {
  std::string out;
  for (std::size_t i = from; i < to && i < lines.size(); ++i) out.append(lines[i]).append(separator);
  return out;
}

inline std::string report_of(const std::vector<std::string>& lines) { return joined(lines, 0, lines.size(), "\n"); }

struct ResultSpec {
  std::string status = "FAIL";
  std::string mode = "quor-csv-stream";
  std::uint64_t divergences = 5;
  std::uint64_t expected_rows = 4, actual_rows = 5, compared_rows = 4, missing = 0, additional = 1;
  std::uint64_t excluded_cells = 0;
  std::vector<std::string> examples = {kLines[0], kLines[1]};
};

// A result document over the columns id, name, city, laid out as the engine writes it.
inline std::string result_of(const ResultSpec& s) {
  std::string examples = joined(s.examples, 0, s.examples.size(), ",");
  if (!examples.empty()) examples.pop_back();
  bool identical = s.mode == "quor-binary";
  auto rows = [&](std::uint64_t n) { return identical ? std::string("null") : std::to_string(n); };
  std::string pairs;
  const char* names[] = {"id", "name", "city"};
  for (int i = 0; i < 3; ++i) {
    pairs += std::string(i ? "," : "") + R"({"actual":")" + names[i] + R"(","actualIndex":)" + std::to_string(i) +
             R"(,"expected":")" + names[i] + R"(","expectedIndex":)" + std::to_string(i) + "}";
  }
  return R"({"actualBytes":120,"actualSha256":"5be35dfe6e0c338147674d88a781ef1baa4bfcd493fee838d66c59481602b1c0","cellsCompared":)" +
         (identical ? std::string("null") : std::to_string(s.compared_rows * 3)) + R"(,"columnPairs":[)" + pairs +
         R"(],"columnsCompared":3,"comparisonMode":")" + s.mode + R"(","divergenceExamples":[)" + examples +
         R"(],"divergences":)" + std::to_string(s.divergences) +
         R"(,"durationMs":1,"engine":{"name":"tessamer","target":"x86_64-unknown-linux-gnu","version":"0.1.0"},"excludedCells":)" +
         std::to_string(s.excluded_cells) +
         R"(,"expectedBytes":118,"expectedSha256":"b569e62d6c9ee49bb0a4bf261af063be37bca38113800cb4020851bef052526b","headers":{"actual":["id","name","city"],"expected":["id","name","city"]},"rows":{"actual":)" +
         rows(s.actual_rows) + R"(,"additional":)" + std::to_string(s.additional) + R"(,"compared":)" +
         rows(s.compared_rows) + R"(,"expected":)" + rows(s.expected_rows) + R"(,"missing":)" + std::to_string(s.missing) +
         R"(},"status":")" + s.status + R"(","throughputBytesPerSecond":1000})" + "\n";
}

}  // namespace tessamer::summary::testing
