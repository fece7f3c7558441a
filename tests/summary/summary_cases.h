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

// A keyed run over the same columns, keyed by id: keys 1 to 4 expected, 1, 2, 4, 5, 5 actual.
inline const std::vector<std::string> kKeyedLines = {
    R"({"actual":"Zurich","actualColumn":"city","actualIndex":2,"actualRecord":2,"column":"city","expected":"Zürich","expectedColumn":"city","expectedIndex":2,"expectedRecord":2,"key":["2"],"record":2,"type":"CELL"})",
    R"({"actualRecord":null,"expected":["3","Bo","Lisbon"],"expectedRecord":3,"key":["3"],"record":3,"type":"MISSING_ROW"})",
    R"({"actual":["5","Eve","Osaka, Japan"],"actualRecord":4,"expectedRecord":null,"key":["5"],"record":4,"type":"ADDITIONAL_ROW"})",
    R"({"actual":["5","Eve","Osaka"],"actualRecord":5,"expectedRecord":null,"key":["5"],"record":5,"type":"ADDITIONAL_ROW"})",
};
inline const std::string kKeyPairing =
    R"({"actualSorted":true,"duplicateKeys":"PAIR_BY_OCCURRENCE","expectedSorted":true,"keyColumns":[{"actual":"id","actualIndex":0,"expected":"id","expectedIndex":0}],"keyOrder":"SORTED","repeatedKeyRecords":{"actual":1,"expected":0},"sortMemoryBytes":null})";

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
  std::vector<std::string> names = {"id", "name", "city"};  // paired by name, as JSON string text
  std::vector<std::string> headers;                          // both headers; empty: `names`
  std::string key_pairing;                                    // empty: a positional run
};

inline ResultSpec keyed_spec() {
  ResultSpec spec;
  spec.divergences = 4;
  spec.expected_rows = 4;
  spec.compared_rows = 3;
  spec.missing = 1;
  spec.additional = 2;
  spec.examples = {kKeyedLines[0]};
  spec.key_pairing = kKeyPairing;
  return spec;
}

inline std::string quoted_list(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& name : names) out += std::string(out.empty() ? "" : ",") + "\"" + name + "\"";
  return "[" + out + "]";
}

// A result document laid out as the engine writes it.
inline std::string result_of(const ResultSpec& s) {
  std::string examples = joined(s.examples, 0, s.examples.size(), ",");
  if (!examples.empty()) examples.pop_back();
  bool identical = s.mode == "quor-binary";
  auto rows = [&](std::uint64_t n) { return identical ? std::string("null") : std::to_string(n); };
  std::string pairs;
  for (std::size_t i = 0; i < s.names.size(); ++i) {
    pairs += std::string(i ? "," : "") + R"({"actual":")" + s.names[i] + R"(","actualIndex":)" + std::to_string(i) +
             R"(,"expected":")" + s.names[i] + R"(","expectedIndex":)" + std::to_string(i) + "}";
  }
  return R"({"actualBytes":120,"actualSha256":"5be35dfe6e0c338147674d88a781ef1baa4bfcd493fee838d66c59481602b1c0","cellsCompared":)" +
         (identical ? std::string("null") : std::to_string(s.compared_rows * s.names.size())) + R"(,"columnPairs":[)" +
         pairs + R"(],"columnsCompared":)" + std::to_string(s.names.size()) + R"(,"comparisonMode":")" + s.mode +
         R"(","divergenceExamples":[)" + examples + R"(],"divergences":)" + std::to_string(s.divergences) +
         R"(,"durationMs":1,"engine":{"name":"tessamer","target":"x86_64-unknown-linux-gnu","version":"0.1.0"},"excludedCells":)" +
         std::to_string(s.excluded_cells) +
         R"(,"expectedBytes":118,"expectedSha256":"b569e62d6c9ee49bb0a4bf261af063be37bca38113800cb4020851bef052526b","headers":{"actual":)" +
         quoted_list(s.headers.empty() ? s.names : s.headers) + R"(,"expected":)" +
         quoted_list(s.headers.empty() ? s.names : s.headers) + "}" +
         (s.key_pairing.empty() ? "" : R"(,"keyPairing":)" + s.key_pairing) + R"(,"rows":{"actual":)" +
         rows(s.actual_rows) + R"(,"additional":)" + std::to_string(s.additional) + R"(,"compared":)" +
         rows(s.compared_rows) + R"(,"expected":)" + rows(s.expected_rows) + R"(,"missing":)" + std::to_string(s.missing) +
         R"(},"status":")" + s.status + R"(","throughputBytesPerSecond":1000})" + "\n";
}

// The request of the run result_of({}) describes, in object form, with `extra` members added.
inline std::string request_of(const std::string& extra = "") {
  return R"({"schemaVersion":1,"expectedPath":"data/expected.csv","actualPath":"data/actual.csv","divergencePath":"out/div.jsonl",)"
         R"("encoding":"utf-8","delimiter":",","quoteChar":"\"","escapeChar":null,"hasHeader":true,"nullValue":"",)"
         R"("exampleLimit":2)" +
         extra + "}";
}

}  // namespace tessamer::summary::testing
