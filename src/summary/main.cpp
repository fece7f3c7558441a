// tessamer-summary: the command line, the inputs and outputs, and the exit status.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
  std::string result, report;
  std::optional<std::string> request, html, junit, json_file;
  bool json = false;
  std::size_t examples = 3;
  bool help = false;
};

Expected<Options> parse_arguments(const std::vector<std::string_view>& args) {
  Options o;
  bool has_result = false, has_report = false, has_examples = false;
  auto usage = [](std::string_view why) {
    return std::unexpected(Error{std::string(why) + " (see tessamer-summary --help)"});
  };
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--help" || arg == "-h") {
      o.help = true;
      return o;
    }
    if (arg == "--json" || arg.starts_with("--json=")) {
      if (o.json || o.json_file) return usage("--json given twice");
      if (arg == "--json") {
        o.json = true;
      } else if (arg.size() == 7) {
        return usage("--json= needs a file name");
      } else {
        o.json_file = std::string(arg.substr(7));
      }
      continue;
    }
    std::optional<std::string>* path = arg == "--request" ? &o.request
                                       : arg == "--html"  ? &o.html
                                       : arg == "--junit" ? &o.junit
                                                          : nullptr;
    if (path == nullptr && arg != "--result" && arg != "--report" && arg != "--examples") {
      return usage("unknown argument '" + std::string(arg) + "'");
    }
    if (i + 1 >= args.size()) return usage(std::string(arg) + " needs a value");
    const std::string_view value = args[++i];
    if (path != nullptr) {
      if (*path) return usage(std::string(arg) + " given twice");
      *path = std::string(value);
    } else if (arg == "--result") {
      if (has_result) return usage("--result given twice");
      has_result = true;
      o.result = value;
    } else if (arg == "--report") {
      if (has_report) return usage("--report given twice");
      has_report = true;
      o.report = value;
    } else {
      if (has_examples) return usage("--examples given twice");
      has_examples = true;
      auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), o.examples);
      if (ec != std::errc() || end != value.data() + value.size() || value.empty() || o.examples > kMaxExamples) {
        return usage("--examples takes a number from 0 to " + std::to_string(kMaxExamples));
      }
    }
  }
  if (!has_result) return usage("--result is required");
  if (!has_report) return usage("--report is required");
  return o;
}

Expected<std::string> read_input(const std::string& path, std::string_view what) {
  if (path != "-") {
    auto bytes = read_whole_file(path);
    if (!bytes) return std::unexpected(Error{"cannot read " + std::string(what) + " " + path + ": " + bytes.error().text});
    return std::move(*bytes);
  }
  std::string bytes;
  char buffer[65536];
  for (;;) {
    auto n = read_some(0, buffer, sizeof buffer);
    if (!n) return std::unexpected(Error{"cannot read " + std::string(what) + " from standard input: " + n.error().text});
    if (*n == 0) return bytes;
    bytes.append(buffer, *n);
  }
}

bool is_device(const std::string& path) {
  auto status = path == "-" ? stat_fd(0) : stat_path(path);
  return status && S_ISCHR(status->st_mode);
}

// Which file a path names, when it names one. Character devices are left out: /dev/null may be
// an input and several outputs without harm.
std::optional<FileIdentity> identity_of(const std::string& path) {
  auto status = path == "-" ? stat_fd(0) : stat_path(path);
  if (!status || S_ISCHR(status->st_mode)) return std::nullopt;
  return file_state(*status).identity;
}

// The name an output will have: its directory resolved, so that two spellings of a file that does
// not exist yet still compare equal.
std::string resolved(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  char* real = ::realpath(dir.c_str(), nullptr);
  if (real == nullptr) return path;
  std::string out = std::string(real) + "/" + path.substr(slash == std::string::npos ? 0 : slash + 1);
  std::free(real);
  return out;
}

struct Output {
  std::string option;  // "--html"
  std::string path;
};

// An output that would overwrite an input (the run's evidence) or another output is refused
// before anything is written.
Expected<void> check_outputs(const std::vector<Output>& outputs, const std::vector<Output>& inputs) {
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const Output& out = outputs[i];
    const std::optional<FileIdentity> id = identity_of(out.path);
    for (const Output& in : inputs) {
      if (id && identity_of(in.path) == id) {
        return std::unexpected(Error{out.option + " " + out.path + " names the same file as " + in.option + " " +
                                     in.path + ": refused, so that no input is overwritten"});
      }
    }
    for (std::size_t j = 0; j < i && !is_device(out.path); ++j) {
      const std::optional<FileIdentity> other = identity_of(outputs[j].path);
      if ((id && other == id) || resolved(outputs[j].path) == resolved(out.path)) {
        return std::unexpected(Error{out.option + " and " + outputs[j].option + " name the same file " + out.path});
      }
    }
  }
  return {};
}

// Writes a page to a temporary file beside it and renames that into place, so that a failed write
// leaves the old page or none, never part of one. A device or FIFO is written as it is.
Expected<void> write_output(const std::string& path, std::string_view content) {
  auto fail = [&](std::string_view cause) {
    return std::unexpected(Error{"cannot write " + path + ": " + std::string(cause)});
  };
  auto status = stat_path(path);
  if (status && !S_ISREG(status->st_mode)) {
    if (S_ISDIR(status->st_mode)) return fail(system_error_text(EISDIR));
    auto fd = open_file_without_waiting(path, O_WRONLY);
    if (!fd) return fail(fd.error().text);
    if (auto written = write_all(fd->get(), content.data(), content.size(), "failed to write whole buffer"); !written) {
      return fail(written.error().text);
    }
    if (auto closed = fd->close(); !closed) return fail(closed.error().text);
    return {};
  }
  const std::size_t slash = path.rfind('/');
  const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  if (name.empty()) return fail(system_error_text(EISDIR));
  std::string temp;
  IoResult<UniqueFd> fd = std::unexpected(IoError{});
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp = path.substr(0, slash == std::string::npos ? 0 : slash + 1) + "." + name + ".tmp-" +
           std::to_string(::getpid()) + "-" + std::to_string(attempt);
    fd = open_file(temp, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd || errno != EEXIST) break;
  }
  if (!fd) return fail(fd.error().text);
  auto written = write_all(fd->get(), content.data(), content.size(), "failed to write whole buffer");
  IoResult<void> closed = written ? fd->close() : IoResult<void>{};
  if (!written || !closed || ::rename(temp.c_str(), path.c_str()) != 0) {
    const std::string cause = !written ? written.error().text : !closed ? closed.error().text : system_error_text(errno);
    ::unlink(temp.c_str());
    return fail(cause);
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

Expected<int> run(const std::vector<std::string_view>& args) {
  TESSAMER_ASSIGN_OR_RETURN(const Options o, parse_arguments(args));
  if (o.help) {
    if (!write_all(1, kUsage.data(), kUsage.size(), "failed to write whole buffer")) return 2;
    return 0;
  }
  TESSAMER_ASSIGN_OR_RETURN(std::string result_bytes, read_input(o.result, "result"));
  TESSAMER_ASSIGN_OR_RETURN(RunResult result, parse_result_document(result_bytes));
  std::string().swap(result_bytes);
  std::optional<Request> request;
  if (o.request) {
    if (*o.request == "-" && o.result == "-") return std::unexpected(Error{"--result and --request cannot both read standard input"});
    TESSAMER_ASSIGN_OR_RETURN(std::string bytes, read_input(*o.request, "request"));
    TESSAMER_ASSIGN_OR_RETURN(request, parse_request_document(bytes, *o.request));
  }

  std::vector<Output> inputs = {{"--result", o.result}, {"--report", o.report}};
  if (request) {
    inputs.push_back({"--request", *o.request});
    inputs.push_back({"the request's expectedPath", request->expected_path});
    inputs.push_back({"the request's actualPath", request->actual_path});
  }
  std::vector<Output> outputs;
  if (o.html) outputs.push_back({"--html", *o.html});
  if (o.junit) outputs.push_back({"--junit", *o.junit});
  if (o.json_file) outputs.push_back({"--json", *o.json_file});
  TESSAMER_TRY(check_outputs(outputs, inputs));
  if (auto out = stat_fd(1); out && S_ISREG(out->st_mode)) {
    TESSAMER_TRY(check_outputs({{"standard output", "/dev/stdout"}}, inputs));
  }

  ReportScan report;
  // After the byte-identical fast path the engine writes no report: whatever is at the path is
  // not this run's.
  if (!result.identical()) {
    TESSAMER_ASSIGN_OR_RETURN(report, scan_report_file(o.report, result, o.examples));
  }
  const Summary summary = summarise(std::move(result), std::move(report), std::move(request), o.report, o.examples);

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
    std::string line = "tessamer-summary: " + trouble.front() +
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
  std::vector<std::string_view> args(argv, argv + argc);
  auto status = tessamer::summary::run(args);
  if (status) return *status;
  std::string line = "tessamer-summary: " + status.error().message + "\n";
  (void)tessamer::write_all(2, line.data(), line.size(), "failed to write whole buffer");
  return 2;
}
