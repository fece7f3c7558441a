// The tessamer-summary executable: exit statuses, its JSON against the schema, its page in a browser.
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>

#include "summary/summary_cases.h"
#include "support/process.h"

namespace tessamer::summary {
namespace {

using testing::kLines;
using testing::report_of;
using testing::result_of;
using testing::ResultSpec;
using tessamer::testing::read_file;
using tessamer::testing::run_process;
using tessamer::testing::RunResult;
using tessamer::testing::TempDir;

RunResult summary(std::vector<std::string> args) {
  args.insert(args.begin(), TESSAMER_SUMMARY_BINARY);
  return run_process(TESSAMER_SUMMARY_BINARY, args);
}

// An identical-files result, a complete FAIL, a cut report.
struct Files {
  TempDir dir;
  std::string fail = dir.write("fail.json", result_of({}));
  std::string report = dir.write("div.jsonl", report_of(kLines));
  std::string cut = dir.write("cut.jsonl", report_of(kLines).substr(0, 300));
  std::string identical = dir.write("same.json", [] {
    ResultSpec spec;
    spec.status = "PASS";
    spec.mode = "quor-binary";
    spec.divergences = spec.additional = 0;
    spec.examples = {};
    return result_of(spec);
  }());
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
      {"complete report of a FAIL", {"--result", f.fail, "--report", f.report}, 0, ""},
      {"identical files, no report file", {"--result", f.identical, "--report", missing}, 0, ""},
      {"cut report", {"--result", f.fail, "--report", f.cut}, 1, ""},
      {"help", {"--help"}, 0, ""},
      {"no arguments", {}, 2, "tessamer-summary: --result is required \\(see tessamer-summary --help\\)\n"},
      {"unknown option", {"--result", f.fail, "--report", f.report, "--colour"}, 2, "tessamer-summary: unknown argument '--colour'.*\n"},
      {"bad --examples", {"--result", f.fail, "--report", f.report, "--examples", "-1"}, 2, "tessamer-summary: --examples takes a number.*\n"},
      {"unreadable result", {"--result", missing, "--report", f.report}, 2,
       "tessamer-summary: cannot read result .*none.json: No such file or directory \\(os error 2\\)\n"},
      {"unreadable report", {"--result", f.fail, "--report", missing}, 2, "tessamer-summary: cannot read report .*\n"},
      {"report is a directory", {"--result", f.fail, "--report", f.dir.path()}, 2, "tessamer-summary: cannot read report .*os error 21\\)\n"},
      {"result is a report line", {"--result", f.report, "--report", f.report}, 2, "tessamer-summary: result document is not valid JSON: .*\n"},
      {"page cannot be written", {"--result", f.fail, "--report", f.report, "--html", f.dir.file("no/such/dir.html")}, 2,
       "tessamer-summary: cannot write .*\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunResult run = summary(c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_TRUE(std::regex_match(run.err, std::regex(c.err))) << run.err;
    if (c.status != 2) {
      EXPECT_FALSE(run.out.empty());
    }
  }
}

TEST(SummaryCli, ResultFromStandardInput) {
  Files f;
  RunResult piped = run_process("/bin/sh", {"sh", "-c", std::string(TESSAMER_SUMMARY_BINARY) + " --result - --report '" +
                                                          f.report + "' < '" + f.fail + "'"});
  RunResult direct = summary({"--result", f.fail, "--report", f.report});
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(piped.out, direct.out);
  EXPECT_EQ(piped.out.substr(0, 20), "FAIL  5 divergences\n");  // not a terminal: no colour
}

TEST(SummaryCli, JsonFollowsItsSchema) {
  Files f;
  std::vector<std::string> documents;
  for (auto [result, report] : {std::pair{f.fail, f.report}, {f.fail, f.cut}, {f.identical, f.report}}) {
    RunResult run = summary({"--result", result, "--report", report, "--json", "--examples", "3"});
    ASSERT_NE(run.status, 2) << run.err;
    ASSERT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1);
    documents.push_back(f.dir.write("summary" + std::to_string(documents.size()) + ".json", run.out));
  }
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

// Counts the non-overlapping matches of `pattern` in `text`.
std::size_t count(const std::string& text, const std::string& pattern) {
  std::regex re(pattern);
  return static_cast<std::size_t>(std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator()));
}

TEST(SummaryCli, PageRendersInABrowserWithoutConsoleErrors) {
  Files f;
  const std::string page = f.dir.file("summary.html");
  RunResult run = summary({"--result", f.fail, "--report", f.report, "--html", page, "--examples", "4"});
  ASSERT_EQ(run.status, 0) << run.err;
  TempDir profile;
  RunResult browser = run_process(
      TESSAMER_CHROMIUM,
      {"chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
       "--disable-background-networking", "--disable-component-update", "--disable-sync",
       "--user-data-dir=" + profile.path(), "--enable-logging=stderr", "--v=0", "--dump-dom", "file://" + page});
  ASSERT_EQ(browser.status, 0) << browser.err;
  const std::string& dom = browser.out;
  // Console messages (script errors, refused resources) are logged as CONSOLE lines.
  EXPECT_EQ(count(browser.err, "CONSOLE"), 0u) << browser.err;
  std::size_t body = dom.find("<tbody>", dom.find("id=\"divergences\""));
  ASSERT_NE(body, std::string::npos) << dom;
  std::string rows = dom.substr(body, dom.find("</tbody>", body) - body);
  EXPECT_EQ(count(rows, "<tr>"), 4u) << rows;
  EXPECT_EQ(count(rows, "<mark class=\"del\">ü</mark>"), 1u) << rows;
  EXPECT_EQ(count(rows, "<mark class=\"ins\">u</mark>"), 1u) << rows;
  EXPECT_EQ(count(dom, "<rect class=\"bar\""), 2u) << dom;  // city and name
  EXPECT_EQ(count(dom, "<script|<link|src="), 0u);
}

}  // namespace
}  // namespace tessamer::summary
