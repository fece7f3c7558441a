// The tessamer-summary executable: exit statuses, its outputs, its JSON against the schema, its
// JUnit file in a JUnit parser, its page in a browser.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "summary/summary_cases.h"
#include "support/process.h"

namespace tessamer::summary {
namespace {

using testing::kLines;
using testing::report_of;
using testing::request_of;
using testing::result_of;
using testing::ResultSpec;
using tessamer::testing::read_file;
using tessamer::testing::run_process;
using tessamer::testing::RunOptions;
using tessamer::testing::RunResult;
using tessamer::testing::TempDir;

RunResult summary(std::vector<std::string> args, const RunOptions& options = {}) {
  args.insert(args.begin(), TESSAMER_SUMMARY_BINARY);
  return run_process(TESSAMER_SUMMARY_BINARY, args, options);
}

RunResult python(std::vector<std::string> args) {
  args.insert(args.begin(), {"python3", TESSAMER_SOURCE_DIR "/tests/summary/check_outputs.py"});
  return run_process("/usr/bin/python3", args);
}

// Results of each verdict, with their reports.
struct Files {
  TempDir dir;
  std::string fail = dir.write("fail.json", result_of({}));
  std::string report = dir.write("div.jsonl", report_of(kLines));
  std::string cut = dir.write("cut.jsonl", report_of(kLines).substr(0, 300));
  std::string request = dir.write("request.json", request_of());
  std::string other_request = dir.write("other.json", request_of(R"(,"keyColumns":["id"])"));
  std::string empty = dir.write("empty.jsonl", "");
  std::string identical = dir.write("same.json", [] {
    ResultSpec spec;
    spec.status = "PASS";
    spec.mode = "quor-binary";
    spec.divergences = spec.additional = 0;
    spec.examples = {};
    return result_of(spec);
  }());
  std::string excluded = dir.write("excluded.json", [] {
    ResultSpec spec;
    spec.status = "PASS_WITH_EXCLUSIONS";
    spec.divergences = spec.additional = 0;
    spec.actual_rows = 4;
    spec.excluded_cells = 4;
    spec.examples = {};
    return result_of(spec);
  }());
  std::string error = dir.write("error.json", R"({"code":"NATIVE_IO_ERROR","message":"cannot open expected CSV: x"})");
};

TEST(SummaryCli, ExitStatusAndMessages) {
  Files f;
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string err;  // regular expression for the whole of standard error
  };
  const std::string missing = f.dir.file("none.json");
  const Case cases[] = {
      {"FAIL", {"--result", f.fail, "--report", f.report}, 1, ""},
      {"PASS_WITH_EXCLUSIONS", {"--result", f.excluded, "--report", f.empty}, 0, ""},
      {"identical files, no report file", {"--result", f.identical, "--report", missing}, 0, ""},
      {"FAIL with its request", {"--result", f.fail, "--report", f.report, "--request", f.request}, 1, ""},
      {"cut report", {"--result", f.fail, "--report", f.cut}, 2,
       "tessamer-summary: the last line is cut off .* \\(and 1 more problems\\)\n"},
      {"another run's request", {"--result", f.fail, "--report", f.report, "--request", f.other_request}, 2,
       "tessamer-summary: the request is not this run's: the request has keyColumns.*\n"},
      {"help", {"--help"}, 0, ""},
      {"no arguments", {}, 2, "tessamer-summary: --result is required \\(see tessamer-summary --help\\)\n"},
      {"unknown option", {"--result", f.fail, "--report", f.report, "--colour"}, 2, "tessamer-summary: unknown argument '--colour'.*\n"},
      {"bad --examples", {"--result", f.fail, "--report", f.report, "--examples", "-1"}, 2, "tessamer-summary: --examples takes a number.*\n"},
      {"--json= without a file", {"--result", f.fail, "--report", f.report, "--json="}, 2, "tessamer-summary: --json= needs a file name.*\n"},
      {"unreadable result", {"--result", missing, "--report", f.report}, 2,
       "tessamer-summary: cannot read result .*none.json: No such file or directory \\(os error 2\\)\n"},
      {"error document as the result", {"--result", f.error, "--report", f.report}, 2,
       "tessamer-summary: the run failed with NATIVE_IO_ERROR: cannot open expected CSV: x\n"},
      {"unreadable request", {"--result", f.fail, "--report", f.report, "--request", missing}, 2, "tessamer-summary: cannot read request .*\n"},
      {"unreadable report", {"--result", f.fail, "--report", missing}, 2, "tessamer-summary: cannot read report .*\n"},
      {"report is a directory", {"--result", f.fail, "--report", f.dir.path()}, 2, "tessamer-summary: cannot read report .*os error 21\\)\n"},
      {"result is a report line", {"--result", f.report, "--report", f.report}, 2, "tessamer-summary: result document is not valid JSON: .*\n"},
      {"page cannot be written", {"--result", f.fail, "--report", f.report, "--html", f.dir.file("no/such/dir.html")}, 2,
       "tessamer-summary: cannot write .*\n"},
      {"page to the null device", {"--result", f.fail, "--report", f.report, "--html", "/dev/null", "--junit", "/dev/null"}, 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunResult run = summary(c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_TRUE(std::regex_match(run.err, std::regex(c.err))) << run.err;
    if (c.err.empty()) {
      EXPECT_FALSE(run.out.empty());
    }
  }
}

TEST(SummaryCli, OutputsThatNameAnInputAreRefusedBeforeAnythingIsWritten) {
  Files f;
  std::filesystem::create_directory(f.dir.file("sub"));
  std::filesystem::create_symlink(f.fail, f.dir.file("link.json"));
  const std::string inputs[] = {f.fail, f.report, f.request};
  std::vector<std::string> before;
  for (const std::string& path : inputs) before.push_back(read_file(path));
  struct Case {
    const char* name;
    std::string option;  // --html, --junit or --json=
    std::string path;
    std::string names;  // the input it names
  };
  const Case cases[] = {
      {"page over the result", "--html", f.fail, "--result"},
      {"page over the report", "--html", f.report, "--report"},
      {"page over the request", "--html", f.request, "--request"},
      {"JUnit over the result through a link", "--junit", f.dir.file("link.json"), "--result"},
      {"JUnit over the report, another spelling", "--junit", f.dir.file("sub/../div.jsonl"), "--report"},
      {"JSON over the request, another spelling", "--json=", f.dir.path() + "/./request.json", "--request"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"--result", f.fail, "--report", f.report, "--request", f.request};
    if (c.option == "--json=") {
      args.push_back("--json=" + c.path);
    } else {
      args.insert(args.end(), {c.option, c.path});
    }
    RunResult run = summary(args);
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(run.out.empty());
    EXPECT_TRUE(std::regex_match(run.err, std::regex("tessamer-summary: --(html|junit|json) .* names the same file as " +
                                                     c.names + " .*: refused, so that no input is overwritten\n")))
        << run.err;
    for (std::size_t i = 0; i < before.size(); ++i) EXPECT_EQ(read_file(inputs[i]), before[i]) << inputs[i];
  }
  RunResult both = summary({"--result", f.fail, "--report", f.report, "--html", f.dir.file("out"), "--junit", f.dir.file("out")});
  EXPECT_EQ(both.status, 2);
  EXPECT_NE(both.err.find("--junit and --html name the same file"), std::string::npos) << both.err;
}

TEST(SummaryCli, PagesAreReplacedWholeOrNotAtAll) {
  Files f;
  const std::string page = f.dir.write("page.html", "old page");
  // A write cut short by the file-size limit leaves the old page, and no temporary file.
  RunOptions limited;
  limited.file_size_limit = 512;
  RunResult cut = summary({"--result", f.fail, "--report", f.report, "--html", page}, limited);
  EXPECT_EQ(cut.status, 2);
  EXPECT_NE(cut.err.find("cannot write " + page + ": File too large (os error 27)"), std::string::npos) << cut.err;
  EXPECT_EQ(read_file(page), "old page");
  std::size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(f.dir.path())) entries += entry.path().filename().string().starts_with(".");
  EXPECT_EQ(entries, 0u);
  RunResult whole = summary({"--result", f.fail, "--report", f.report, "--html", page});
  EXPECT_EQ(whole.status, 1) << whole.err;
  EXPECT_TRUE(read_file(page).ends_with("</html>\n"));
}

TEST(SummaryCli, AFifoNobodyWritesToIsRefusedAtOnce) {
  Files f;
  const std::string fifo = f.dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Before, the summary waited for a writer forever; the timeout stands in for "forever".
  RunResult run = run_process("timeout", {"timeout", "20", TESSAMER_SUMMARY_BINARY, "--result", f.fail, "--report", fifo});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "tessamer-summary: cannot read report " + fifo + ": no process writes to this FIFO\n");
}

TEST(SummaryCli, ResultFromStandardInput) {
  Files f;
  RunResult piped = run_process("/bin/sh", {"sh", "-c", std::string(TESSAMER_SUMMARY_BINARY) + " --result - --report '" +
                                                          f.report + "' < '" + f.fail + "'"});
  RunResult direct = summary({"--result", f.fail, "--report", f.report});
  EXPECT_EQ(piped.status, 1) << piped.err;
  EXPECT_EQ(piped.out, direct.out);
  EXPECT_EQ(piped.out.substr(0, 20), "FAIL  5 divergences\n");  // not a terminal: no colour
}

TEST(SummaryCli, JsonFollowsItsSchema) {
  Files f;
  std::vector<std::string> documents;
  const std::vector<std::vector<std::string>> runs = {
      {"--result", f.fail, "--report", f.report},
      {"--result", f.fail, "--report", f.cut},
      {"--result", f.identical, "--report", f.report},
      {"--result", f.fail, "--report", f.report, "--request", f.request},
      {"--result", f.fail, "--report", f.report, "--request", f.other_request},
  };
  for (std::vector<std::string> args : runs) {
    args.insert(args.end(), {"--json", "--examples", "3"});
    RunResult run = summary(args);
    ASSERT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.err;
    documents.push_back(f.dir.write("summary" + std::to_string(documents.size()) + ".json", run.out));
  }
  // The same document goes to a file, with the text on standard output.
  const std::string file = f.dir.file("written.json");
  RunResult both = summary({"--result", f.fail, "--report", f.report, "--json=" + file});
  EXPECT_EQ(read_file(file), read_file(documents[0]));
  EXPECT_EQ(both.out.substr(0, 20), "FAIL  5 divergences\n");
  std::vector<std::string> args = {"python3", "-c",
                                   "import json, sys, jsonschema\n"
                                   "schema = json.load(open(sys.argv[1]))\n"
                                   "jsonschema.Draft202012Validator.check_schema(schema)\n"
                                   "for path in sys.argv[2:]:\n"
                                   "    jsonschema.validate(json.load(open(path)), schema, cls=jsonschema.Draft202012Validator)\n",
                                   TESSAMER_SOURCE_DIR "/schemas/summary.schema.json"};
  args.insert(args.end(), documents.begin(), documents.end());
  RunResult check = run_process("/usr/bin/python3", args);
  EXPECT_EQ(check.status, 0) << check.err;
}

TEST(SummaryCli, JUnitParsesWithTheRightCounts) {
  Files f;
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> counts;  // tests, failures, errors, skipped, then texts some result carries
  };
  const std::string excluded_request = f.dir.write(
      "excluded-request.json",
      request_of(R"(,"excludedColumns":[{"expected":"zip","actual":"zip","reason":"set on import","approvedBy":"data owner","approvalReference":"TICKET-42"}])"));
  const Case cases[] = {
      // Three column pairs (two failed), the rows (failed: an ADDITIONAL_ROW and a ROW_WIDTH), the report.
      {"FAIL", {"--result", f.fail, "--report", f.report}, {"5", "3", "0", "0", "2 cells differ of 4 compared (50.0%)", "Z[ü]rich"}},
      {"FAIL and its request", {"--result", f.fail, "--report", f.report, "--request", f.request}, {"6", "3", "0", "0", "expected a[→]b, actual a[·]b"}},
      {"a cut report is an error", {"--result", f.fail, "--report", f.cut}, {"5", "2", "1", "0", "the last line is cut off"}},
      {"identical files", {"--result", f.identical, "--report", f.report}, {"4", "0", "0", "0"}},
      {"exclusions without the request", {"--result", f.excluded, "--report", f.empty}, {"6", "0", "0", "1", "4 cells excluded"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string junit = f.dir.file("junit.xml");
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--junit", junit});
    RunResult run = summary(args);
    ASSERT_FALSE(run.out.empty()) << run.err;
    std::vector<std::string> check = {"junit", junit};
    check.insert(check.end(), c.counts.begin(), c.counts.end());
    RunResult parsed = python(check);
    EXPECT_EQ(parsed.status, 0) << parsed.err << read_file(junit);
  }
  // Exclusions are skipped cases with their approval.
  const std::string result = f.dir.write("with-zip.json", [] {
    ResultSpec s;
    s.status = "PASS_WITH_EXCLUSIONS";
    s.divergences = s.additional = 0;
    s.actual_rows = 4;
    s.excluded_cells = 8;
    s.examples = {};
    return result_of(s);
  }());
  const std::string junit = f.dir.file("excluded.xml");
  RunResult run = summary({"--result", result, "--report", f.empty, "--request", excluded_request, "--junit", junit});
  ASSERT_FALSE(run.out.empty()) << run.err;
  RunResult parsed = python({"junit", junit, "7", "0", "1", "1", "approvedBy: data owner", "approvalReference: TICKET-42",
                             "reason: set on import", "the request is not this run's"});
  EXPECT_EQ(parsed.status, 0) << parsed.err << read_file(junit);
}

// A run whose names and values would break a page: markup, controls, invisible characters,
// long unbroken values, and an exclusion with its approval.
struct HostileRun {
  TempDir dir;
  std::string result, report, request;
  HostileRun() {
    ResultSpec spec;
    spec.names = {"id", "a\\u0001<b>&\\\"", "c\\u007f\\u2028\\u200b", "an_extremely_long_column_name_without_any_place_to_break_it"};
    spec.examples = {};
    spec.status = "FAIL";
    spec.additional = 0;
    spec.actual_rows = 4;
    std::vector<std::string> lines;
    const std::string long_value(300, 'x');
    for (std::size_t i = 1; i < spec.names.size(); ++i) {
      lines.push_back(R"({"actual":")" + long_value + R"(y","actualColumn":")" + spec.names[i] + R"(","actualIndex":)" +
                      std::to_string(i) + R"(,"column":")" + spec.names[i] + R"(","expected":")" + long_value +
                      R"(\u2028z","expectedColumn":")" + spec.names[i] + R"(","expectedIndex":)" + std::to_string(i) +
                      R"(,"record":)" + std::to_string(i) + R"(,"type":"CELL"})");
    }
    lines.push_back(R"({"actualColumns":4,"actualValues":2,"expectedColumns":4,"expectedValues":4,"record":4,"type":"ROW_WIDTH"})");
    spec.divergences = lines.size();
    result = dir.write("result.json", result_of(spec));
    report = dir.write("div.jsonl", report_of(lines));
    request = dir.write("request.json", R"({"schemaVersion":1,"expectedPath":"data/a\u0001<b>.csv","actualPath":"data/)" + long_value +
                                            R"(.csv","divergencePath":"out/div.jsonl","encoding":"utf-8","delimiter":"\t","quoteChar":"\"",)"
                                            R"("hasHeader":true,"nullValue":"","exampleLimit":0,"excludedColumns":[{"expected":"zip\u2028","reason":"<script>alert(1)</script>","approvedBy":"a\u0001b","approvalReference":")" +
                                            long_value + R"("}]})");
  }
};

TEST(SummaryCli, EveryTextNodeAndAttributeOfThePageIsVisible) {
  HostileRun run;
  const std::string page = run.dir.file("page.html");
  RunResult made = summary({"--result", run.result, "--report", run.report, "--request", run.request, "--html", page});
  ASSERT_FALSE(made.out.empty()) << made.err;
  RunResult walked = python({"markup", page});
  EXPECT_EQ(walked.status, 0) << walked.err;
  EXPECT_EQ(read_file(page).find("<script>"), std::string::npos);
}

TEST(SummaryCli, PageHoldsUpFromPhoneToDesktopInABrowser) {
  HostileRun run;
  const std::string page = run.dir.file("page.html");
  RunResult made = summary({"--result", run.result, "--report", run.report, "--request", run.request, "--html", page});
  ASSERT_FALSE(made.out.empty()) << made.err;
  // TESSAMER_SUMMARY_SCREENSHOTS names a directory for the screenshots of both widths.
  const char* screenshots = std::getenv("TESSAMER_SUMMARY_SCREENSHOTS");
  std::vector<std::string> args = {"page", TESSAMER_CHROMIUM, page, "request,files,exclusions,counts,by-column,examples"};
  if (screenshots != nullptr) args.push_back(screenshots);
  RunResult checked = python(args);
  EXPECT_EQ(checked.status, 0) << checked.err;
}

}  // namespace
}  // namespace tessamer::summary
