// tessamer-summary: the command line, the inputs and outputs, and the exit status.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstdlib>

#include "core/file.h"
#include "summary/summary.h"

namespace tessamer::summary {
namespace {

constexpr std::string_view kUsage =
    "usage: tessamer-summary --result RESULT.json --report REPORT.jsonl [--request REQUEST.json]\n"
    "                        [--json[=FILE]] [--html PAGE.html] [--junit JUNIT.xml] [--examples N]\n"
    "\n"
    "Shows what a tessamer run found: the verdict, the counts by type and by column, and the first\n"
    "N divergences of each type and of each column (default 3). --request adds the run's audit trail.\n"
    "\n"
    "exit status: 0 PASS or PASS_WITH_EXCLUSIONS, 1 FAIL, 2 trouble: bad arguments, unreadable\n"
    "input, an error document as the result, or a report or request that is not this run's (cut,\n"
    "malformed, too short, too long, or from another run)\n";
constexpr std::size_t kMaxExamples = 10000;

struct Options {
  std::optional<std::string> result, report, request, html, junit, json_file, examples;
  bool json = false;
};

Expected<Options> parse_arguments(const std::vector<std::string_view>& args) {
  Options o;
  auto usage = [](std::string why) { return std::unexpected(Error{why + " (see tessamer-summary --help)"}); };
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string arg(args[i]);
    if (arg == "--json" || arg.starts_with("--json=")) {
      if (o.json || o.json_file) return usage("--json given twice");
      if (arg == "--json=") return usage("--json= needs a file name");
      o.json = arg == "--json";
      if (!o.json) o.json_file = arg.substr(7);
      continue;
    }
    std::optional<std::string>* value = arg == "--result" ? &o.result : arg == "--report" ? &o.report
                                        : arg == "--request" ? &o.request : arg == "--html" ? &o.html
                                        : arg == "--junit" ? &o.junit : arg == "--examples" ? &o.examples : nullptr;
    if (value == nullptr) return usage("unknown argument '" + arg + "'");
    if (i + 1 >= args.size()) return usage(arg + " needs a value");
    if (*value) return usage(arg + " given twice");
    *value = std::string(args[++i]);
  }
  if (!o.result) return usage("--result is required");
  if (!o.report) return usage("--report is required");
  return o;
}

// A whole input; "-" is standard input, read through its name so that a pipe and a file read alike.
Expected<std::string> read_input(const std::string& path, std::string_view what) {
  auto bytes = read_whole_file(path == "-" ? "/dev/stdin" : path);
  if (!bytes) {
    return std::unexpected(Error{"cannot read " + std::string(what) + (path == "-" ? " from standard input" : " " + path) + ": " +
                                 bytes.error().text});
  }
  return std::move(*bytes);
}

// Which file a path names, when it names one; a character device is none, since /dev/null may
// be an input and several outputs without harm.
std::optional<FileIdentity> identity_of(const std::string& path) {
  auto status = path == "-" ? stat_fd(0) : stat_path(path);
  if (!status || S_ISCHR(status->st_mode)) return std::nullopt;
  return file_state(*status).identity;
}

struct Named {
  std::string option;  // "--html"
  std::string path;
};

// An output that would overwrite an input (the run's evidence) or another output is refused
// before anything is written.
Expected<void> check_outputs(const std::vector<Named>& outputs, const std::vector<Named>& inputs) {
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const Named& out = outputs[i];
    const std::optional<FileIdentity> id = identity_of(out.path);
    for (const Named& in : inputs) {
      if (id && identity_of(in.path) == id) {
        return std::unexpected(Error{out.option + " " + out.path + " names the same file as " + in.option + " " + in.path +
                                     ": refused, so that no input is overwritten"});
      }
    }
    for (std::size_t j = 0; j < i; ++j) {
      if ((id && identity_of(outputs[j].path) == id) || (!id && !stat_path(out.path) && outputs[j].path == out.path)) {
        return std::unexpected(Error{out.option + " and " + outputs[j].option + " name the same file " + out.path});
      }
    }
  }
  return {};
}

// Writes a page to a temporary file beside it and renames that into place, so that a failed write
// leaves the old page or none, never part of one. A device or FIFO is written as it is.
Expected<void> write_output(const std::string& path, std::string_view content) {
  auto fail = [&](std::string cause) { return std::unexpected(Error{"cannot write " + path + ": " + cause}); };
  const auto status = stat_path(path);
  const bool in_place = status && !S_ISREG(status->st_mode);
  const std::size_t slash = path.rfind('/') + 1;  // 0 without a slash
  if ((status && S_ISDIR(status->st_mode)) || slash == path.size()) return fail(system_error_text(EISDIR));
  std::string temp = path;
  IoResult<UniqueFd> fd = std::unexpected(IoError{});
  for (int attempt = 0; attempt < 100 && !fd; ++attempt) {
    if (!in_place) temp = path.substr(0, slash) + "." + path.substr(slash) + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
    fd = in_place ? open_file_without_waiting(path, O_WRONLY) : open_file(temp, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (!fd && (in_place || errno != EEXIST)) break;
  }
  if (!fd) return fail(fd.error().text);
  auto written = write_all(fd->get(), content.data(), content.size(), "failed to write whole buffer");
  const IoResult<void> closed = written ? fd->close() : IoResult<void>{};
  if (written && closed && (in_place || ::rename(temp.c_str(), path.c_str()) == 0)) return {};
  const std::string cause = !written ? written.error().text : !closed ? closed.error().text : system_error_text(errno);
  if (!in_place) ::unlink(temp.c_str());
  return fail(cause);
}

bool use_colour() {
  const char* no_colour = std::getenv("NO_COLOR");
  const char* term = std::getenv("TERM");
  return (no_colour == nullptr || *no_colour == '\0') && (term == nullptr || std::string_view(term) != "dumb") && ::isatty(1) == 1;
}

Expected<int> run(const std::vector<std::string_view>& args) {
  if (std::ranges::any_of(args.begin() + 1, args.end(), [](std::string_view a) { return a == "--help" || a == "-h"; })) {
    return write_all(1, kUsage.data(), kUsage.size(), "failed to write whole buffer") ? 0 : 2;
  }
  TESSAMER_ASSIGN_OR_RETURN(const Options o, parse_arguments(args));
  std::size_t per_kind = 3;
  if (o.examples) {
    const std::string& n = *o.examples;
    auto [end, ec] = std::from_chars(n.data(), n.data() + n.size(), per_kind);
    if (ec != std::errc() || end != n.data() + n.size() || n.empty() || per_kind > kMaxExamples) {
      return std::unexpected(Error{"--examples takes a number from 0 to " + std::to_string(kMaxExamples) + " (see tessamer-summary --help)"});
    }
  }
  TESSAMER_ASSIGN_OR_RETURN(std::string result_bytes, read_input(*o.result, "result"));
  TESSAMER_ASSIGN_OR_RETURN(RunResult result, parse_result_document(result_bytes));
  std::string().swap(result_bytes);
  std::optional<Request> request;
  if (o.request) {
    if (*o.request == "-" && *o.result == "-") return std::unexpected(Error{"--result and --request cannot both read standard input"});
    TESSAMER_ASSIGN_OR_RETURN(const std::string bytes, read_input(*o.request, "request"));
    TESSAMER_ASSIGN_OR_RETURN(request, parse_request_document(bytes, *o.request));
  }

  std::vector<Named> inputs = {{"--result", *o.result}, {"--report", *o.report}}, outputs;
  if (request) {
    inputs.insert(inputs.end(), {{"--request", *o.request}, {"the request's expectedPath", request->expected_path},
                                 {"the request's actualPath", request->actual_path}});
  }
  for (const auto& [option, path] : {std::pair{"--html", &o.html}, {"--junit", &o.junit}, {"--json", &o.json_file}}) {
    if (*path) outputs.push_back({option, **path});
  }
  TESSAMER_TRY(check_outputs(outputs, inputs));
  if (auto out = stat_fd(1); out && S_ISREG(out->st_mode)) TESSAMER_TRY(check_outputs({{"standard output", "/dev/stdout"}}, inputs));

  ReportScan report;
  // After the byte-identical fast path the engine writes no report: whatever is at the path is
  // not this run's.
  if (!result.identical()) {
    TESSAMER_ASSIGN_OR_RETURN(report, scan_report_file(*o.report, result, per_kind));
  }
  const Summary summary = summarise(std::move(result), std::move(report), std::move(request), *o.report, per_kind);

  if (o.html) TESSAMER_TRY(write_output(*o.html, render_html(build_view(summary, {120, 200, true}))));
  if (o.junit) TESSAMER_TRY(write_output(*o.junit, render_junit(summary)));
  const std::string json = to_compact_json(render_json(build_view(summary, {}))) + "\n";
  if (o.json_file) TESSAMER_TRY(write_output(*o.json_file, json));
  const std::string text = o.json ? json : render_text(build_view(summary, {}), use_colour());
  if (auto written = write_all(1, text.data(), text.size(), "failed to write whole buffer"); !written) {
    return std::unexpected(Error{"cannot write the summary: " + written.error().text});
  }
  const std::vector<std::string>& trouble = summary.problems.empty() ? summary.request_problems : summary.problems;
  if (!trouble.empty()) {
    const std::size_t more = summary.problems.size() + summary.request_problems.size() - 1;
    const std::string line = "tessamer-summary: " + trouble.front() +
                             (more > 0 ? " (and " + std::to_string(more) + " more problems)" : "") + "\n";
    (void)write_all(2, line.data(), line.size(), "failed to write whole buffer");
  }
  return summary.exit_status();
}

}  // namespace
}  // namespace tessamer::summary

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  // A file-size limit makes a write fail with EFBIG, reported like any other, instead of a kill.
  std::signal(SIGXFSZ, SIG_IGN);
  auto status = tessamer::summary::run(std::vector<std::string_view>(argv, argv + argc));
  if (status) return *status;
  const std::string line = "tessamer-summary: " + status.error().message + "\n";
  (void)tessamer::write_all(2, line.data(), line.size(), "failed to write whole buffer");
  return 2;
}
