// The summary from result and report to view: the line reader, its checks, the request, the renderers.
#include "summary/summary.h"

#include <gtest/gtest.h>

#include "json/value_reader.h"
#include "summary/summary_cases.h"

namespace tessamer::summary {
namespace {

using testing::kKeyedLines;
using testing::keyed_spec;
using testing::kLines;
using testing::report_of;
using testing::request_of;
using testing::result_of;
using testing::ResultSpec;

std::string compact(const JsonValue& value) { return to_compact_json(value); }

JsonValue json_of(const Summary& s) { return render_json(build_view(s, {})); }
std::string text_of(const Summary& s, bool colour = false) { return render_text(build_view(s, {}), colour); }

// The members of the JSON summary that the report's lines are counted into.
std::string counts_of(const Summary& summary) {
  JsonValue json = json_of(summary);
  std::string out;
  for (const char* key : {"byColumn", "byType", "report"}) out += compact(*json.find(key));
  return out;
}

// Scans `report` handed out in pieces of `chunk` bytes (0: at once).
ReportScan scan_text(const RunResult& result, std::string_view report, std::size_t per_kind, std::size_t chunk = 0) {
  std::size_t at = 0;
  auto scan = scan_report(result, per_kind, [&]() -> Expected<std::string_view> {
    const std::string_view piece = report.substr(at, chunk == 0 ? report.size() : chunk);
    at += piece.size();
    return piece;
  });
  EXPECT_TRUE(scan);
  return scan ? std::move(*scan) : ReportScan{};
}

Summary summarise_text(const std::string& result_text, const std::string& report, std::size_t per_kind = 10,
                       std::size_t chunk = 0, const std::string& request_text = "") {
  auto result = parse_result_document(result_text);
  EXPECT_TRUE(result) << (result ? "" : result.error().message);
  if (!result) return {};
  std::optional<Request> request;
  if (!request_text.empty()) {
    auto parsed = parse_request_document(request_text, "r.json");
    EXPECT_TRUE(parsed) << (parsed ? "" : parsed.error().message);
    if (parsed) request = std::move(*parsed);
  }
  ReportScan scan;
  if (!result->identical()) scan = scan_text(*result, report, per_kind, chunk);
  return summarise(std::move(*result), std::move(scan), std::move(request), "div.jsonl", per_kind);
}

TEST(SummaryText, EveryDivergenceTypeAlignedWithColourOff) {
  Summary s = summarise_text(result_of({}), report_of(kLines));
  ASSERT_TRUE(s.trusted()) << s.problems.front();
  EXPECT_EQ(s.exit_status(), 1);
  EXPECT_EQ(text_of(s),
            "FAIL  5 divergences\n"
            "\n"
            "expected  118 B  sha256 b569e62d6c9e…\n"
            "actual    120 B  sha256 5be35dfe6e0c…\n"
            "rows      expected 4  actual 5  compared 4  missing 0  additional 1\n"
            "cells     compared 12  divergent 3 (25.0%)  excluded 0\n"
            "by type   CELL 3  ROW_WIDTH 1  MISSING_ROW 0  ADDITIONAL_ROW 1\n"
            "report    5 lines  654 B  fits the result  div.jsonl\n"
            "\n"
            "By column\n"
            "  column  count  share  first  last\n"
            "  city        2  50.0%      2     3\n"
            "  name        1  25.0%      4     4\n"
            "\n"
            "Examples: the first 10 of each type and column, 5 of 5 divergences\n"
            "  record  type            column  expected                actual                  note\n"
            "       2  CELL            city    Z[ü]rich                Z[u]rich\n"
            "       3  ROW_WIDTH               3 values for 3 columns  2 values for 3 columns\n"
            "       3  CELL            city    Lisbon                  (no field)\n"
            "       4  CELL            name    a[→]b                   a[·]b                   differs only in white space\n"
            "       5  ADDITIONAL_ROW          (no record)             5,Eve,\"Osaka, Japan\"\n");
}

TEST(SummaryText, ShortForms) {
  struct Case {
    const char* name;
    ResultSpec spec;
    std::string report;
    std::string expected;
    int status;
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
      {"identical files", identical, report_of(kLines), "PASS  the files are byte-identical (118 B, sha256 b569e62d6c9e…)\n", 0},
      {"exclusions", excluded, "",
       "PASS_WITH_EXCLUSIONS  no divergences outside 8 excluded cells\n\n"
       "expected  118 B  sha256 b569e62d6c9e…\nactual    120 B  sha256 5be35dfe6e0c…\n"
       "rows      expected 4  actual 4  compared 4  missing 0  additional 0\n"
       "cells     compared 12  divergent 0 (0%)  excluded 8\n"
       "by type   CELL 0  ROW_WIDTH 0  MISSING_ROW 0  ADDITIONAL_ROW 0\n"
       "report    0 lines  0 B  fits the result  div.jsonl\n",
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Summary s = summarise_text(result_of(c.spec), c.report);
    EXPECT_TRUE(s.trusted());
    EXPECT_EQ(text_of(s), c.expected);
    EXPECT_EQ(s.exit_status(), c.status);
  }
}

TEST(SummaryCompleteness, FlagsReportsThatAreNotTheWholeReportOfTheRun) {
  struct Case {
    const char* name;
    ResultSpec spec;
    std::string report;
    std::string problem;  // a part of the first problem; empty: the report fits
  };
  std::string whole = report_of(kLines);
  ResultSpec no_examples;
  no_examples.examples = {};
  auto with = [](std::size_t at, std::string line) {
    std::vector<std::string> lines = kLines;
    lines[at] = std::move(line);
    return report_of(lines);
  };
  const std::string other_column = with(3, R"({"actual":"x","actualColumn":"town","actualIndex":1,"column":"town","expected":"y","expectedColumn":"town","expectedIndex":1,"record":4,"type":"CELL"})");
  const std::string other_values = with(0, R"({"actual":"Zuerich","actualColumn":"city","actualIndex":2,"column":"city","expected":"Zürich","expectedColumn":"city","expectedIndex":2,"record":2,"type":"CELL"})");
  // Another run's report with as many lines, none of which the examples can tell apart.
  const std::string other_rows = with(4, R"({"expected":["5","Eve","Osaka, Japan"],"record":5,"type":"MISSING_ROW"})");
  const std::string beyond_compared = with(3, R"({"actual":"a b","actualColumn":"name","actualIndex":1,"column":"name","expected":"a\tb","expectedColumn":"name","expectedIndex":1,"record":5,"type":"CELL"})");
  const std::string backwards = with(3, R"({"actual":"a b","actualColumn":"name","actualIndex":1,"column":"name","expected":"a\tb","expectedColumn":"name","expectedIndex":1,"record":1,"type":"CELL"})");
  const std::string other_widths = with(1, R"({"actualColumns":4,"actualValues":2,"expectedColumns":3,"expectedValues":3,"record":3,"type":"ROW_WIDTH"})");
  const std::string keyed_line = with(3, R"({"actual":"a b","actualColumn":"name","actualIndex":1,"actualRecord":4,"column":"name","expected":"a\tb","expectedColumn":"name","expectedIndex":1,"expectedRecord":4,"key":["4"],"record":4,"type":"CELL"})");
  std::string crlf = whole;
  for (std::size_t at = 0; (at = crlf.find('\n', at)) != std::string::npos; at += 2) crlf.insert(at, "\r");
  const Case cases[] = {
      {"whole report", {}, whole, ""},
      {"whole report, pretty-printed result", {}, whole, ""},
      {"cut last line", {}, whole.substr(0, whole.size() - 10), "the last line is cut off (63 bytes"},
      {"cut just before the line end", {}, whole.substr(0, whole.size() - 1), "the last line is cut off"},
      {"shorter", {}, report_of({kLines[0], kLines[1], kLines[2]}), "shorter than the run: 3 lines for 5 divergences"},
      {"longer", {}, whole + kLines[4] + "\n", "longer than the run: 6 lines for 5 divergences"},
      {"empty report of a FAIL", {}, "", "shorter than the run: 0 lines for 5"},
      {"another run: first lines differ", {}, other_values, "differ from the result's divergence examples: 1 line, the first at line 1"},
      {"another run: unknown column", no_examples, other_column, "naming a column pair the run did not compare: 1 line, the first at line 4"},
      {"another run: record beyond the rows", no_examples, with(4, R"({"actual":["9"],"record":90,"type":"ADDITIONAL_ROW"})"),
       "records the run's row counts do not reach: 1 line, the first at line 5 (record 90 of a run of 4 compared"},
      {"another run: rows of another kind", no_examples, other_rows, "1 MISSING_ROW and 0 ADDITIONAL_ROW lines differ"},
      {"another run: a CELL record beyond the compared rows", no_examples, beyond_compared, "(record 5 of a run of 4 compared"},
      {"another run: record numbers go down", no_examples, backwards, "going back to an earlier record: 1 line, the first at line 4 (record 1 after 3)"},
      {"another run: other headers", no_examples, other_widths, "column counts other than the run's headers: 1 line, the first at line 2"},
      {"another run: keyed lines", no_examples, keyed_line, "key members do not fit the run: 1 line, the first at line 4 (a key in a positional run)"},
      {"rewritten with CR LF", no_examples, crlf, "lines that end in CR LF: 5 lines, the first at line 1: the report was rewritten"},
      {"malformed line", no_examples, with(2, R"({"record":3,"type":"CELL"})"),
       "not divergence records: 1 line, the first at line 3 (missing members of a CELL line)"},
      {"expectedColumn differs", no_examples, with(0, std::string(kLines[0]).replace(kLines[0].find("\"expectedColumn\":\"city\""), 23, "\"expectedColumn\":\"town\"")),
       "(\"expectedColumn\" differs from \"column\")"},
      {"raw control byte in a value", no_examples, with(3, std::string(kLines[3]).replace(kLines[3].find("\\t"), 2, "\t")),
       "the first at line 4 (control character in a string)"},
      {"invalid UTF-8", no_examples, with(0, std::string(kLines[0]).replace(kLines[0].find("Zurich"), 1, "\xff")),
       "the first at line 1 (invalid UTF-8 in a string)"},
      {"lone surrogate escape", no_examples, with(0, std::string(kLines[0]).replace(kLines[0].find("Zurich"), 1, "\\udc00")),
       "the first at line 1 (invalid escape in a string)"},
      {"repeated member", no_examples, with(1, R"({"actualColumns":3,"actualColumns":3,"actualValues":2,"expectedColumns":3,"expectedValues":3,"record":3,"type":"ROW_WIDTH"})"),
       "(repeated member)"},
      {"not JSON", no_examples, with(2, "{\"record\":"), "the first at line 3 (expected a non-negative integer)"},
      {"a fraction as a record number", no_examples, with(1, std::string(kLines[1]).replace(kLines[1].find("\"record\":3"), 10, "\"record\":3.0")),
       "(expected a non-negative integer)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string result = result_of(c.spec);
    if (std::string_view(c.name).find("pretty") != std::string_view::npos) {
      for (std::size_t at = 0; (at = result.find_first_of(",:[{", at)) != std::string::npos; at += 4) result.insert(at + 1, "\n  ");
    }
    Summary s = summarise_text(result, c.report);
    // Whether a line is kept as an example must not change how it is judged.
    Summary counted_only = summarise_text(result, c.report, 0);
    EXPECT_EQ(counted_only.problems, s.problems);
    EXPECT_EQ(counts_of(counted_only), counts_of(s));
    if (c.problem.empty()) {
      EXPECT_TRUE(s.trusted()) << s.problems.front();
      continue;
    }
    ASSERT_FALSE(s.trusted());
    EXPECT_EQ(s.exit_status(), 2);
    std::string all;
    for (const std::string& p : s.problems) all += p + "\n";
    EXPECT_NE(all.find(c.problem), std::string::npos) << all;
    EXPECT_NE(text_of(s).find("\nREPORT PROBLEM  " + s.problems.front()), std::string::npos);
  }
}

TEST(SummaryReader, AnyJsonLayoutReadsAsTheEngineLayout) {
  // Keys in another order, white space, escapes, a member the summary does not know.
  const std::vector<std::string> reordered = {
      R"({ "type" : "CELL", "record" : 2, "column":"c\u0069ty","expectedColumn":"city","actualColumn":"city", "expectedIndex":2,"actualIndex":2,"expected":"Z\u00fcrich","actual":"Zurich","future":{"a":[1,-2.5e3,true,null]} })",
      "{\"type\":\"ROW_WIDTH\",\t\"record\":3,\"expectedValues\":3,\"expectedColumns\":3,\"actualValues\":2,\"actualColumns\":3}",
      kLines[2], kLines[3], kLines[4]};
  ResultSpec spec;
  spec.examples = {};  // the examples are copies of the engine's lines, member for member
  Summary engine = summarise_text(result_of(spec), report_of(kLines));
  Summary other = summarise_text(result_of(spec), report_of(reordered));
  EXPECT_TRUE(other.trusted()) << other.problems.front();
  for (const char* key : {"byColumn", "byType"}) EXPECT_EQ(compact(*json_of(other).find(key)), compact(*json_of(engine).find(key)));
  EXPECT_EQ(compact(*json_of(other).find("first")), compact(*json_of(engine).find("first")));
}

TEST(SummaryReader, NeverTakesInvalidJsonForARecord) {
  // Every byte of every line replaced by bytes that matter to JSON, and every line cut short:
  // whatever the general JSON reader refuses, the report's reader must count as malformed.
  ResultSpec positional, keyed = keyed_spec();
  positional.examples = keyed.examples = {};
  const std::string results[] = {result_of(positional), result_of(keyed)};
  auto parsed = [](const std::string& text) { return parse_result_document(text); };
  const RunResult runs[] = {*parsed(results[0]), *parsed(results[1])};
  const char replacements[] = {'"', '\\', '}', ']', ',', ':', ' ', '0', 'u', '\x01', '\x80', '\xff'};
  std::size_t checked = 0;
  for (int k = 0; k < 2; ++k) {
    for (const std::string& line : k == 0 ? kLines : kKeyedLines) {
      std::vector<std::string> variants;
      for (std::size_t at = 0; at < line.size(); ++at) {
        variants.push_back(line.substr(0, at));
        for (char c : replacements) variants.push_back(std::string(line).replace(at, 1, 1, c));
      }
      for (const std::string& variant : variants) {
        if (parse_json_document(variant)) continue;
        const ReportScan scan = scan_text(runs[k], variant + "\n", 1);
        EXPECT_EQ(scan.misfits[static_cast<std::size_t>(Misfit::Malformed)].lines, 1u) << variant;
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 5000u);
}

TEST(SummaryScan, AnyChunkingGivesTheSameSummary) {
  std::string report = report_of(kLines);
  std::string whole = compact(json_of(summarise_text(result_of({}), report, 3)));
  for (std::size_t chunk : {1, 2, 7, 64}) {
    SCOPED_TRACE(chunk);
    EXPECT_EQ(compact(json_of(summarise_text(result_of({}), report, 3, chunk))), whole);
  }
  EXPECT_NE(whole.find(R"("byType":{"ADDITIONAL_ROW":1,"CELL":3,"MISSING_ROW":0,"ROW_WIDTH":1})"), std::string::npos);
  EXPECT_NE(whole.find(R"({"actualColumn":"city","actualIndex":2,"column":"city","count":2,"expectedIndex":2,"firstRecord":2,"lastRecord":3,"share":0.5})"),
            std::string::npos);
}

TEST(SummaryExamples, EveryTypeAndColumnShowsUpWithinTheBound) {
  // Forty CELL lines of one column come first; the other kinds must still have their examples.
  std::vector<std::string> lines;
  for (int record = 1; record <= 40; ++record) {
    lines.push_back(R"({"actual":"b","actualColumn":"name","actualIndex":1,"column":"name","expected":"a","expectedColumn":"name","expectedIndex":1,"record":)" +
                    std::to_string(record) + R"(,"type":"CELL"})");
  }
  lines.push_back(R"({"actual":"x","actualColumn":"city","actualIndex":2,"column":"city","expected":"y","expectedColumn":"city","expectedIndex":2,"record":41,"type":"CELL"})");
  lines.push_back(R"({"actualColumns":3,"actualValues":2,"expectedColumns":3,"expectedValues":3,"record":42,"type":"ROW_WIDTH"})");
  for (int record = 43; record <= 50; ++record) {
    lines.push_back(R"({"expected":["r"],"record":)" + std::to_string(record) + R"(,"type":"MISSING_ROW"})");
  }
  ResultSpec spec;
  spec.divergences = lines.size();
  spec.expected_rows = 50;
  spec.actual_rows = spec.compared_rows = 42;
  spec.missing = 8;
  spec.additional = 0;
  spec.examples = {};
  Summary s = summarise_text(result_of(spec), report_of(lines), 2);
  ASSERT_TRUE(s.trusted()) << s.problems.front();
  std::vector<std::uint64_t> records;
  for (const Example& e : s.report.examples) records.push_back(e.record);
  EXPECT_EQ(records, (std::vector<std::uint64_t>{1, 2, 41, 42, 43, 44}));
  EXPECT_NE(text_of(s).find("Examples: the first 2 of each type and column, 6 of 50 divergences"), std::string::npos);
}

TEST(SummaryText, DifferencesShowWithoutColour) {
  struct Case {
    const char* name;
    std::string expected, actual;  // JSON text of the two values
    std::string shown_expected, shown_actual, note;
  };
  const Case cases[] = {
      {"trailing space", R"("Alan Turing")", R"("Alan Turing ")", "Alan Turing", "Alan Turing[·]", "differs only in white space"},
      {"tab for space", R"("a\tb")", R"("a b")", "a[→]b", "a[·]b", "differs only in white space"},
      {"no-break space", R"("1 000")", R"("1\u00a0000")", "1[·]000", "1[\\u00a0]000", "differs only in white space"},
      {"case", R"("Zürich")", R"("ZÜRICH")", "Z[ürich]", "Z[ÜRICH]", "differs only in case"},
      {"both", R"("New York")", R"("newyork")", "[New·Y]ork", "[newy]ork", "differs only in white space and case"},
      {"a real difference", R"("1906.12")", R"("1906.21")", "1906.[12]", "1906.[21]", ""},
      {"an invisible character", R"("ab")", R"("a\u200bb")", "ab", "a[\\u200b]b", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string line = R"({"actual":)" + c.actual + R"(,"actualColumn":"name","actualIndex":1,"column":"name","expected":)" +
                             c.expected + R"(,"expectedColumn":"name","expectedIndex":1,"record":1,"type":"CELL"})";
    ResultSpec spec;
    spec.divergences = 1;
    spec.additional = 0;
    spec.actual_rows = 4;
    spec.examples = {};
    Summary s = summarise_text(result_of(spec), line + "\n");
    const std::string text = text_of(s);
    const std::string row = text.substr(text.rfind("       1  CELL"));
    EXPECT_NE(row.find("  " + c.shown_expected + "  "), std::string::npos) << row;
    EXPECT_NE(row.find("  " + c.shown_actual + (c.note.empty() ? "\n" : "  ")), std::string::npos) << row;
    EXPECT_NE(row.find(c.note.empty() ? std::string(c.shown_actual + "\n") : c.note), std::string::npos) << row;
    const std::string json = compact(json_of(s));
    EXPECT_NE(json.find(c.note.empty() ? "\"note\":null" : "\"note\":\"" + c.note + "\""), std::string::npos) << json;
  }
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
  ASSERT_TRUE(s.trusted());
  ASSERT_EQ(s.report.examples.size(), 1u);
  const Example& d = s.report.examples[0];
  ASSERT_TRUE(d.expected && d.actual);
  EXPECT_TRUE(d.expected->cut_before && d.expected->cut_after);
  EXPECT_LE(d.expected->text.size(), KeptValue::kKeptBytes);
  EXPECT_NE(d.expected->text.find('E'), std::string::npos);
  EXPECT_NE(d.actual->text.find('A'), std::string::npos);

  std::string text = text_of(s);
  std::string row = text.substr(text.rfind("       1  CELL"));
  EXPECT_NE(row.find("…xxxxxxxxxx[Exxxx"), std::string::npos) << row;
  EXPECT_NE(row.find("…xxxxxxxxxx[Axxxx"), std::string::npos) << row;
  EXPECT_LT(row.size(), 120u) << row;
  EXPECT_NE(compact(json_of(s)).find(R"("shortened":true)"), std::string::npos);
}

TEST(SummaryText, ColourMarksOnlyTheDifferingCharacters) {
  Summary s = summarise_text(result_of({}), report_of(kLines));
  std::string text = text_of(s, true);
  EXPECT_NE(text.find("Z\x1b[1;4;31mü\x1b[0mrich"), std::string::npos) << text;
  EXPECT_NE(text.find("Z\x1b[1;4;32mu\x1b[0mrich"), std::string::npos) << text;
  EXPECT_NE(text.find("\x1b[1;31mFAIL\x1b[0m"), std::string::npos);
  EXPECT_EQ(text.find("Z[ü]"), std::string::npos) << "brackets only without colour";
}

TEST(SummaryKeyed, KeyAndBothRecordNumbersInEveryView) {
  Summary s = summarise_text(result_of(keyed_spec()), report_of(kKeyedLines));
  ASSERT_TRUE(s.trusted()) << s.problems.front();
  EXPECT_EQ(s.report.divergent_keys, 3u);
  EXPECT_EQ(s.report.missing_keys, 1u);
  EXPECT_EQ(s.report.additional_keys, 1u);
  const std::string text = text_of(s);
  EXPECT_NE(text.find("keys      by id  with divergences 3  with missing records 1  with additional records 1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  key  records  type            column  expected     actual\n"
                       "  2      2 / 2  CELL            city    Z[ü]rich     Z[u]rich\n"
                       "  3      3 / -  MISSING_ROW             3,Bo,Lisbon  (no record)\n"
                       "  5      - / 4  ADDITIONAL_ROW          (no record)  5,Eve,\"Osaka, Japan\"\n"),
            std::string::npos)
      << text;
  const std::string json = compact(json_of(s));
  EXPECT_NE(json.find(R"("actualRecord":4,"column":null,"expected":null,"expectedRecord":null,"key":"5")"), std::string::npos) << json;
  EXPECT_NE(json.find(R"("keys":{"additional":1,"columns":["id"],"divergent":3,"missing":1})"), std::string::npos) << json;
  const std::string page = render_html(build_view(s, {120, 200, true}));
  EXPECT_NE(page.find(R"(<td class="n" data-label="records"><span>- / 5</span></td>)"), std::string::npos) << page;
}

TEST(SummaryKeyed, LinesThatDoNotFitAKeyedRun) {
  struct Case {
    const char* name;
    std::size_t at;
    std::string line;
    std::string problem;
  };
  const Case cases[] = {
      {"a positional line", 0, kLines[0], "(no key in a keyed run)"},
      {"record is not expectedRecord", 1, R"({"actualRecord":null,"expected":["3"],"expectedRecord":3,"key":["3"],"record":4,"type":"MISSING_ROW"})",
       "(\"record\", \"expectedRecord\" and \"actualRecord\" do not fit the line's type)"},
      {"a key without record numbers", 1, R"({"expected":["3"],"key":["3"],"record":3,"type":"MISSING_ROW"})", "must come together"},
      {"a key of two fields", 1, R"({"actualRecord":null,"expected":["3"],"expectedRecord":3,"key":["3","x"],"record":3,"type":"MISSING_ROW"})",
       "(a key of 2 fields for 1 key column)"},
      {"an expected record beyond the rows", 1, R"({"actualRecord":null,"expected":["3"],"expectedRecord":9,"key":["3"],"record":9,"type":"MISSING_ROW"})",
       "(record 9 of a run of 3 compared, 4 expected and 5 actual records)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> lines = kKeyedLines;
    lines[c.at] = c.line;
    ResultSpec spec = keyed_spec();
    spec.examples = {};
    Summary s = summarise_text(result_of(spec), report_of(lines));
    std::string all;
    for (const std::string& p : s.problems) all += p + "\n";
    EXPECT_NE(all.find(c.problem), std::string::npos) << all;
  }
}

TEST(SummaryRequest, BelongsToTheResultOrSaysWhy) {
  struct Case {
    const char* name;
    std::string request;
    std::string problem;  // empty: it belongs
  };
  const std::string positional =
      R"([1,"data/expected.csv","data/actual.csv","out/div.jsonl","utf-8",",","\"",null,true,"",[],[],[],[],2])";
  const Case cases[] = {
      {"object form", request_of(), ""},
      {"positional form", positional, ""},
      {"mappings in plan order", request_of(R"(,"columns":[["id","id"],{"expected":"name","actual":"name"},["city","city"]])"), ""},
      {"mappings in another order", request_of(R"(,"columns":[["name","name"],["id","id"],["city","city"]])"), "do not give the run's column pairs"},
      {"other header names", request_of(R"(,"hasHeader":false,"expectedColumns":["id","name","town"],"actualColumns":["id","name","city"])").replace(request_of().find(R"("hasHeader":true,)"), 17, ""),
       "are not the run's headers"},
      {"another example limit", std::string(request_of()).replace(request_of().find("\"exampleLimit\":2"), 16, "\"exampleLimit\":3"),
       "its exampleLimit 3 does not give the run's 2 examples of 5 divergences"},
      {"an exclusion the run did not have", request_of(R"(,"excludedColumns":[{"expected":"zip","actual":"zip","reason":"r","approvedBy":"a","approvalReference":"T-1"}])"),
       "names a column the run's headers do not have"},
      {"an exclusion of a compared column", request_of(R"(,"excludedColumns":[["city","city","r","a","T-1"]])"), "do not give the run's column pairs"},
      {"keys the run did not use", request_of(R"(,"keyColumns":["id"])"), "the request has keyColumns, and the run paired records by position"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Summary s = summarise_text(result_of({}), report_of(kLines), 3, 0, c.request);
    ASSERT_TRUE(s.request);
    std::string all;
    for (const std::string& p : s.request_problems) all += p + "\n";
    if (c.problem.empty()) {
      EXPECT_TRUE(s.trusted()) << all;
      continue;
    }
    EXPECT_NE(all.find(c.problem), std::string::npos) << all;
    EXPECT_EQ(s.exit_status(), 2);
    EXPECT_NE(text_of(s).find("\nREQUEST PROBLEM  the request is not this run's: "), std::string::npos);
  }

  // The audit trail: paths, dialect and every exclusion with its approval, in every view.
  ResultSpec excluded;
  excluded.status = "PASS_WITH_EXCLUSIONS";
  excluded.names = {"id", "name"};
  excluded.headers = {"id", "name", "city"};
  excluded.divergences = excluded.additional = 0;
  excluded.actual_rows = 4;
  excluded.excluded_cells = 8;
  excluded.examples = {};
  Summary s = summarise_text(result_of(excluded), "", 3, 0,
                             request_of(R"(,"excludedColumns":[{"expected":"city","actual":"city","reason":"set on import","approvedBy":"data owner","approvalReference":"TICKET-42"}])"));
  ASSERT_TRUE(s.trusted()) << s.request_problems.front();
  const std::string text = text_of(s);
  for (const char* part : {"request   r.json  belongs to this result\n",
                           "dialect   utf-8  delimiter ,  quote \"  no escape  header  null value (empty)  example limit 2\n",
                           "expected  118 B  sha256 b569e62d6c9e…  data/expected.csv\n", "actual    120 B  sha256 5be35dfe6e0c…  data/actual.csv\n",
                           "Exclusions\n  expected  actual  reason         approved by  reference\n  city      city    set on import  data owner   TICKET-42\n"}) {
    EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
  }
  const std::string json = compact(json_of(s));
  EXPECT_NE(json.find(R"("exclusions":[{"actual":"city","approvalReference":"TICKET-42","approvedBy":"data owner","expected":"city","reason":"set on import"}])"),
            std::string::npos) << json;
  EXPECT_NE(json.find(R"("expected":{"bytes":118,"path":"data/expected.csv")"), std::string::npos) << json;
  const std::string page = render_html(build_view(s, {120, 200, true}));
  EXPECT_NE(page.find(R"(<td data-label="approved by"><span>data owner</span></td><td data-label="reference"><span>TICKET-42</span></td>)"), std::string::npos);
  const std::string junit = render_junit(s);
  EXPECT_NE(junit.find(R"(<testcase classname="tessamer.exclusions" name="city" time="0">)"), std::string::npos) << junit;
  EXPECT_NE(junit.find(R"x(<skipped message="excluded: set on import (approved by data owner, TICKET-42)">)x"), std::string::npos) << junit;
}

TEST(SummaryPage, OneEscapingForEveryPartOfThePage) {
  // Names that would break the markup or hide in it, as column names of the chart and the tables.
  ResultSpec spec;
  spec.names = {"id", "a\\u0001<b>\\\"&'", "c\\u007f\\u2028"};  // U+0001, markup, U+007F, U+2028
  spec.examples = {};
  std::string line0 = R"({"actual":"x","actualColumn":"a\u0001<b>\"&'","actualIndex":1,"column":"a\u0001<b>\"&'","expected":"y","expectedColumn":"a\u0001<b>\"&'","expectedIndex":1,"record":1,"type":"CELL"})";
  std::string line1 = "{\"actual\":\"x\",\"actualColumn\":\"c\\u007f\\u2028\",\"actualIndex\":2,\"column\":\"c\\u007f\\u2028\",\"expected\":\"y\",\"expectedColumn\":\"c\\u007f\\u2028\",\"expectedIndex\":2,\"record\":2,\"type\":\"CELL\"}";
  spec.divergences = 2;
  spec.additional = 0;
  spec.actual_rows = 4;
  Summary s = summarise_text(result_of(spec), line0 + "\n" + line1 + "\n");
  ASSERT_TRUE(s.trusted()) << s.problems.front();
  const std::string page = render_html(build_view(s, {120, 200, true}));
  EXPECT_NE(page.find("<title>a\\x01&lt;b&gt;&quot;&amp;&#39;: 1</title>"), std::string::npos) << page;
  EXPECT_NE(page.find("<title>c\\x7f\\u2028: 1</title>"), std::string::npos) << page;
  for (const char* raw : {"\x01", "\x7f", "\xe2\x80\xa8", "<b>"}) EXPECT_EQ(page.find(raw), std::string::npos) << raw;
  const std::string junit = render_junit(s);
  for (const char* raw : {"\x01", "\x7f", "\xe2\x80\xa8", "<b>"}) EXPECT_EQ(junit.find(raw), std::string::npos) << raw;
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
      {"keyPairing not an object", std::string(result).replace(result.find("\"rows\""), 6, "\"keyPairing\":[],\"rows\""),
       "result document: \"keyPairing\" must be an object"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto parsed = parse_result_document(c.text);
    ASSERT_FALSE(parsed);
    EXPECT_EQ(parsed.error().message, c.message);
  }
  auto request = parse_request_document(R"({"expectedPath":1})", "r.json");
  ASSERT_FALSE(request);
  EXPECT_EQ(request.error().message, "request: \"expectedPath\" must be a string");
}

}  // namespace
}  // namespace tessamer::summary
