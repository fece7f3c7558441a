// tessamer-summary: the command line, the inputs, and the exit status.
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/file.h"
#include "json/json.h"
#include "summary/summary.h"

namespace tessamer::summary {
namespace {

constexpr std::string_view kUsage =
    "usage: tessamer-summary --result RESULT.json --report REPORT.jsonl [--json] [--html PAGE.html] [--examples N]";
constexpr std::size_t kMaxExamples = 10000;

struct Options {
  std::string result;
  std::string report;
  std::optional<std::string> html;
  bool json = false;
  std::size_t examples = 10;
  bool help = false;
};

Expected<Options> parse_arguments(const std::vector<std::string_view>& args) {
  Options options;
  bool has_result = false, has_report = false, has_examples = false;
  auto usage = [](std::string_view why) {
    return std::unexpected(Error{std::string(why) + " (see tessamer-summary --help)"});
  };
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return options;
    }
    if (arg == "--json") {
      if (options.json) return usage("--json given twice");
      options.json = true;
      continue;
    }
    if (arg != "--result" && arg != "--report" && arg != "--html" && arg != "--examples") {
      return usage("unknown argument '" + std::string(arg) + "'");
    }
    if (i + 1 >= args.size()) return usage(std::string(arg) + " needs a value");
    std::string_view value = args[++i];
    if (arg == "--result") {
      if (has_result) return usage("--result given twice");
      has_result = true;
      options.result = value;
    } else if (arg == "--report") {
      if (has_report) return usage("--report given twice");
      has_report = true;
      options.report = value;
    } else if (arg == "--html") {
      if (options.html) return usage("--html given twice");
      options.html = std::string(value);
    } else {
      if (has_examples) return usage("--examples given twice");
      has_examples = true;
      std::size_t n = 0;
      auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
      if (ec != std::errc() || end != value.data() + value.size() || value.empty() || n > kMaxExamples) {
        return usage("--examples takes a number from 0 to " + std::to_string(kMaxExamples));
      }
      options.examples = n;
    }
  }
  if (!has_result) return usage("--result is required");
  if (!has_report) return usage("--report is required");
  return options;
}

Expected<std::string> read_result(const std::string& path) {
  if (path != "-") {
    auto bytes = read_whole_file(path);
    if (!bytes) return std::unexpected(Error{"cannot read result " + path + ": " + bytes.error().text});
    return std::move(*bytes);
  }
  std::string bytes;
  char buffer[65536];
  for (;;) {
    auto n = read_some(0, buffer, sizeof buffer);
    if (!n) return std::unexpected(Error{"cannot read result from standard input: " + n.error().text});
    if (*n == 0) return bytes;
    bytes.append(buffer, *n);
  }
}

Expected<void> write_file(const std::string& path, std::string_view content) {
  auto fd = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!fd) return std::unexpected(Error{"cannot write " + path + ": " + fd.error().text});
  if (auto written = write_all(fd->get(), content.data(), content.size(), "failed to write whole buffer"); !written) {
    return std::unexpected(Error{"cannot write " + path + ": " + written.error().text});
  }
  return {};
}

bool use_colour() {
  const char* no_colour = std::getenv("NO_COLOR");
  if (no_colour != nullptr && *no_colour != '\0') return false;
  const char* term = std::getenv("TERM");
  if (term != nullptr && std::string_view(term) == "dumb") return false;
  return ::isatty(1) == 1;
}

// 0: the report is the whole report of the run; 1: it is not; 2: the summary could not be made.
Expected<int> run(const std::vector<std::string_view>& args) {
  auto options = parse_arguments(args);
  if (!options) return std::unexpected(options.error());
  if (options->help) {
    std::string text = std::string(kUsage) + "\n";
    if (!write_all(1, text.data(), text.size(), "failed to write whole buffer")) return 2;
    return 0;
  }
  auto bytes = read_result(options->result);
  if (!bytes) return std::unexpected(bytes.error());
  auto result = parse_result_document(*bytes);
  if (!result) return std::unexpected(result.error());
  bytes->clear();
  bytes->shrink_to_fit();

  ReportSummary report;
  // After the byte-identical fast path the engine writes no report: whatever is at the path is
  // not this run's.
  if (!result->identical()) {
    auto scanned = scan_report_file(options->report, *result, options->examples);
    if (!scanned) return std::unexpected(scanned.error());
    report = std::move(*scanned);
  }
  Summary summary = summarise(std::move(*result), std::move(report), options->examples);

  if (options->html) {
    if (auto written = write_file(*options->html, render_html(summary)); !written) return std::unexpected(written.error());
  }
  std::string text;
  if (options->json) {
    text = to_compact_json(summary_json(summary));
    text.push_back('\n');
  } else {
    text = render_text(summary, use_colour());
  }
  if (auto written = write_all(1, text.data(), text.size(), "failed to write whole buffer"); !written) {
    return std::unexpected(Error{"cannot write the summary: " + written.error().text});
  }
  return summary.complete() ? 0 : 1;
}

}  // namespace
}  // namespace tessamer::summary

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string_view> args(argv, argv + argc);
  auto status = tessamer::summary::run(args);
  if (status) return *status;
  std::string line = "tessamer-summary: " + status.error().message + "\n";
  (void)tessamer::write_all(2, line.data(), line.size(), "failed to write whole buffer");
  return 2;
}
