#include "summary/summary.h"

#include <gtest/gtest.h>

#include "summary/summary_cases.h"

namespace tessamer::summary {
namespace {

using testing::kLines;
using testing::report_of;
using testing::result_of;
using testing::ResultSpec;

std::string compact(const JsonValue& value) { return to_compact_json(value); }

// The members of the JSON summary that the report's lines are counted into.
std::string counts_of(const Summary& summary) {
  JsonValue json = summary_json(summary);
  std::string out;
  for (const char* key : {"byColumn", "byType", "report"}) out += compact(*json.find(key));
  return out;
}

Summary summarise_text(const std::string& result_text, const std::string& report, std::size_t first = 10,
                       std::size_t chunk = 0) {
  auto result = parse_result_document(result_text);
  EXPECT_TRUE(result) << (result ? "" : result.error().message);
  if (!result) return {};
  ReportSummary report_summary;
  if (!result->identical()) {
    ReportScanner scanner(*result, first);
    if (chunk == 0) chunk = report.size() + 1;
    for (std::size_t i = 0; i < report.size(); i += chunk) scanner.feed(std::string_view(report).substr(i, chunk));
    report_summary = scanner.finish();
  }
  return summarise(std::move(*result), std::move(report_summary), first);
}

TEST(SummaryText, EveryDivergenceTypeAlignedWithColourOff) {
  Summary s = summarise_text(result_of({}), report_of(kLines));
  ASSERT_TRUE(s.complete()) << s.problems.front();
  EXPECT_EQ(render_text(s, false),
            "FAIL  5 divergences\n"
            "\n"
            "expected  118 B  sha256 b569e62d6c9e…\n"
            "actual    120 B  sha256 5be35dfe6e0c…\n"
            "rows      expected 4  actual 5  compared 4  missing 0  additional 1\n"
            "cells     compared 12  divergent 3 (25.0%)  excluded 0\n"
            "\n"
            "by type\n"
            "  CELL            3\n"
            "  ROW_WIDTH       1\n"
            "  MISSING_ROW     0\n"
            "  ADDITIONAL_ROW  1\n"
            "\n"
            "by column\n"
            "  column  count  share  first  last\n"
            "  city        2  50.0%      2     3\n"
            "  name        1  25.0%      4     4\n"
            "\n"
            "first 5 of 5 divergences\n"
            "  record  type            column  expected                actual\n"
            "       2  CELL            city    Zürich                  Zurich\n"
            "       3  ROW_WIDTH               3 values for 3 columns  2 values for 3 columns\n"
            "       3  CELL            city    Lisbon                  (no field)\n"
            "       4  CELL            name    a\\tb                    a b\n"
            "       5  ADDITIONAL_ROW          (no record)             5,Eve,\"Osaka, Japan\"\n");
}

TEST(SummaryText, ShortForms) {
  struct Case {
    const char* name;
    ResultSpec spec;
    std::string report;
    std::string expected;
  };
  ResultSpec identical;
  identical.status = "PASS";
  identical.mode = "quor-binary";
  identical.divergences = identical.additional = 0;
  identical.examples = {};
  ResultSpec excluded;
  excluded.status = "PASS_WITH_EXCLUSIONS";
  excluded.divergences = excluded.additional = 0;
  excluded.actual_rows = 4;
  excluded.excluded_cells = 8;
  excluded.examples = {};
  const Case cases[] = {
      // The report path holds another run's lines: after the fast path the engine writes none.
      {"identical files", identical, report_of(kLines),
       "PASS  the files are byte-identical (118 B, sha256 b569e62d6c9e…)\n"},
      {"exclusions", excluded, "",
       "PASS_WITH_EXCLUSIONS  no divergences outside 8 excluded cells\n\n"
       "expected  118 B  sha256 b569e62d6c9e…\nactual    120 B  sha256 5be35dfe6e0c…\n"
       "rows      expected 4  actual 4  compared 4  missing 0  additional 0\n"
       "cells     compared 12  divergent 0 (0%)  excluded 8\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Summary s = summarise_text(result_of(c.spec), c.report);
    EXPECT_TRUE(s.complete());
    EXPECT_EQ(render_text(s, false), c.expected);
  }
}

TEST(SummaryCompleteness, FlagsReportsThatAreNotTheWholeReportOfTheRun) {
  struct Case {
    const char* name;
    ResultSpec spec;
    std::string report;
    std::string problem;  // a part of the first problem; empty: complete
  };
  std::string whole = report_of(kLines);
  ResultSpec no_examples;
  no_examples.examples = {};
  std::vector<std::string> other_column = kLines;
  other_column[3] = R"({"actual":"x","actualColumn":"town","actualIndex":1,"column":"town","expected":"y","expectedColumn":"town","expectedIndex":1,"record":4,"type":"CELL"})";
  std::vector<std::string> other_values = kLines;
  other_values[0] = R"({"actual":"Zuerich","actualColumn":"city","actualIndex":2,"column":"city","expected":"Zürich","expectedColumn":"city","expectedIndex":2,"record":2,"type":"CELL"})";
  std::vector<std::string> far_record = kLines;
  far_record[4] = R"({"actual":["9"],"record":90,"type":"ADDITIONAL_ROW"})";
  std::vector<std::string> garbage = kLines;
  garbage[2] = R"({"record":3,"type":"CELL"})";
  const Case cases[] = {
      {"whole report", {}, whole, ""},
      {"whole report, pretty-printed result", {}, whole, ""},
      {"cut last line", {}, whole.substr(0, whole.size() - 10), "the last line is cut off (63 bytes"},
      {"cut just before the line end", {}, whole.substr(0, whole.size() - 1), "the last line is cut off"},
      {"shorter", {}, report_of({kLines[0], kLines[1], kLines[2]}), "shorter than the run: 3 lines for 5 divergences"},
      {"longer", {}, whole + kLines[4] + "\n", "longer than the run: 6 lines for 5 divergences"},
      {"empty report of a FAIL", {}, "", "shorter than the run: 0 lines for 5"},
      {"another run: first lines differ", {}, report_of(other_values), "line 1 differs from the result's divergence example"},
      {"another run: unknown column", no_examples, report_of(other_column), "1 line name a column pair the run did not compare"},
      {"another run: record beyond the rows", no_examples, report_of(far_record), "reaches record 90 of a run of 5"},
      {"malformed line", no_examples, report_of(garbage), "1 line not divergence records, the first at line 3: missing members of a CELL line"},
      {"raw control byte in a value", no_examples,
       report_of({kLines[0], kLines[1], kLines[2], std::string(kLines[3]).replace(kLines[3].find("\\t"), 2, "\t"), kLines[4]}),
       "the first at line 4: control character"},
      {"not JSON", no_examples, report_of({kLines[0], kLines[1], "{\"record\":", kLines[3], kLines[4]}), "the first at line 3: expected a non-negative integer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string result = result_of(c.spec);
    if (std::string_view(c.name).find("pretty") != std::string_view::npos) {
      for (std::size_t at = 0; (at = result.find_first_of(",:[{", at)) != std::string::npos; at += 4) result.insert(at + 1, "\n  ");
    }
    Summary s = summarise_text(result, c.report);
    // Lines past the first N take the report's fast path; it must judge every line alike.
    Summary counted_only = summarise_text(result, c.report, 0);
    EXPECT_EQ(counted_only.problems, s.problems);
    EXPECT_EQ(counts_of(counted_only), counts_of(s));
    if (c.problem.empty()) {
      EXPECT_TRUE(s.complete()) << s.problems.front();
      continue;
    }
    ASSERT_FALSE(s.complete());
    EXPECT_NE(s.problems.front().find(c.problem), std::string::npos) << s.problems.front();
    EXPECT_NE(render_text(s, false).find("\nINCOMPLETE REPORT  " + s.problems.front()), std::string::npos);
  }
}

TEST(SummaryScan, AnyChunkingGivesTheSameSummary) {
  std::string report = report_of(kLines);
  std::string whole = compact(summary_json(summarise_text(result_of({}), report, 3)));
  for (std::size_t chunk : {1, 2, 7, 64}) {
    SCOPED_TRACE(chunk);
    EXPECT_EQ(compact(summary_json(summarise_text(result_of({}), report, 3, chunk))), whole);
  }
  EXPECT_NE(whole.find(R"("byType":{"ADDITIONAL_ROW":1,"CELL":3,"MISSING_ROW":0,"ROW_WIDTH":1})"), std::string::npos);
  EXPECT_NE(whole.find(R"({"actualColumn":"city","actualIndex":2,"column":"city","count":2,"expectedIndex":2,"firstRecord":2,"lastRecord":3,"share":0.5})"),
            std::string::npos);
}

TEST(SummaryScan, LongValuesAreKeptAndShownAroundTheirDifference) {
  std::string expected(10000, 'x'), actual = expected;
  expected[6000] = 'E';
  actual[6000] = 'A';
  std::string line = R"({"actual":")" + actual + R"(","actualColumn":"city","actualIndex":2,"column":"city","expected":")" +
                     expected + R"(","expectedColumn":"city","expectedIndex":2,"record":1,"type":"CELL"})";
  ResultSpec spec;
  spec.divergences = 1;
  spec.additional = 0;
  spec.actual_rows = 4;
  spec.examples = {line};
  Summary s = summarise_text(result_of(spec), line + "\n");
  ASSERT_TRUE(s.complete());
  ASSERT_EQ(s.report.first.size(), 1u);
  const Divergence& d = s.report.first[0];
  ASSERT_TRUE(d.expected && d.actual);
  EXPECT_TRUE(d.expected->cut_before && d.expected->cut_after);
  EXPECT_LE(d.expected->text.size(), KeptValue::kKeptBytes);
  EXPECT_NE(d.expected->text.find('E'), std::string::npos);
  EXPECT_NE(d.actual->text.find('A'), std::string::npos);

  std::string text = render_text(s, false);
  std::string row = text.substr(text.rfind("       1  CELL"));
  EXPECT_NE(row.find("…xxxxxxxxxxE"), std::string::npos) << row;
  EXPECT_NE(row.find("…xxxxxxxxxxA"), std::string::npos) << row;
  EXPECT_LT(row.size(), 120u) << row;
  EXPECT_NE(compact(summary_json(s)).find(R"("shortened":true)"), std::string::npos);
}

TEST(SummaryText, ColourMarksOnlyTheDifferingCharacters) {
  Summary s = summarise_text(result_of({}), report_of(kLines));
  std::string text = render_text(s, true);
  EXPECT_NE(text.find("Z\x1b[1;4;31mü\x1b[0mrich"), std::string::npos) << text;
  EXPECT_NE(text.find("Z\x1b[1;4;32mu\x1b[0mrich"), std::string::npos) << text;
  EXPECT_NE(text.find("\x1b[1;31mFAIL\x1b[0m"), std::string::npos);
}

TEST(SummaryResult, RefusesDocumentsThatAreNotResults) {
  struct Case {
    const char* name;
    std::string text;
    std::string message;
  };
  std::string result = result_of({});
  const Case cases[] = {
      {"empty", "", "result document is empty (the run may have failed: see the engine's standard error)"},
      {"error document", R"({"code":"NATIVE_IO_ERROR","message":"cannot open expected CSV: x"})",
       "the run failed with NATIVE_IO_ERROR: cannot open expected CSV: x"},
      {"not JSON", "{\"status\":", "result document is not valid JSON: EOF while parsing a value at line 1 column 10"},
      {"missing member", R"({"status":"FAIL"})", "result document: \"comparisonMode\" is missing"},
      {"wrong type", std::string(result).replace(result.find("\"divergences\":5"), 15, "\"divergences\":\"5\""),
       "result document: \"divergences\" must be a non-negative integer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto parsed = parse_result_document(c.text);
    ASSERT_FALSE(parsed);
    EXPECT_EQ(parsed.error().message, c.message);
  }
}

}  // namespace
}  // namespace tessamer::summary
