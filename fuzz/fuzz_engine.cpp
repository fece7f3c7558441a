// The whole engine on fuzzer-built requests and small datasets: a run either fails with an error
// or gives a result document whose numbers agree with each other, with the report file and with
// the two datasets.
//
// The datasets come from the front of the input, the request settings from its end
// (FuzzedDataProvider's split), so mutations of one seldom shift the other.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/file.h"
#include "core/sha256.h"
#include "fuzz_support.h"
#include "engine/engine.h"
#include "json_text.h"
#include "request/request.h"

namespace {

using tessamer::JsonValue;
using tessamer::ValidationRequest;

constexpr std::size_t kMaxDataset = 1024;

// The temporary directory of this process, created on first use and removed at exit (a run that
// crashes leaves it behind, with the files that made it crash).
class Workspace {
 public:
  static const Workspace& get() {
    static const Workspace workspace;
    return workspace;
  }
  std::string expected_path, actual_path, report_dir, report_path;

 private:
  Workspace() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tessamer-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) fuzz::fail("cannot create the temporary directory " + pattern);
    root_ = pattern;
    expected_path = root_ + "/expected.csv";
    actual_path = root_ + "/actual.csv";
    report_dir = root_ + "/out";
    report_path = report_dir + "/divergences.jsonl";
  }
  ~Workspace() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  std::string root_;
};

// What the current input became, printed when a check fails.
struct Current {
  const ValidationRequest* request = nullptr;
  const std::string* expected = nullptr;
  const std::string* actual = nullptr;
} g_current;

void describe_current() {
  if (g_current.request) std::fprintf(stderr, "request: %s\n", fuzz::request_json(*g_current.request).c_str());
  if (g_current.expected) std::fprintf(stderr, "expected file: %s\n", fuzz::printable(*g_current.expected).c_str());
  if (g_current.actual) std::fprintf(stderr, "actual file: %s\n", fuzz::printable(*g_current.actual).c_str());
}

// With TESSAMER_FUZZ_VERBOSE set, one line per input saying how the run ended; set to 2, the
// request and the files too.
void trace(const std::string& outcome) {
  static const char* verbose = std::getenv("TESSAMER_FUZZ_VERBOSE");
  if (!verbose) return;
  std::fprintf(stderr, "%s\n", outcome.c_str());
  if (std::string_view(verbose) == "2") describe_current();
}

void write_file(const std::string& path, std::string_view bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) fuzz::fail("cannot create " + path);
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (std::fclose(f) != 0 || !written) fuzz::fail("cannot write " + path);
}

std::string column_name(FuzzedDataProvider& p) {
  static constexpr const char* kNames[] = {"id", "name", "amount", "a", "b", "", "x y"};
  return p.PickValueInArray(kNames);
}

// Without a header the lists are the only names, so they must not be empty to get anywhere.
std::vector<std::string> column_names(FuzzedDataProvider& p, bool has_header) {
  std::vector<std::string> names(p.ConsumeIntegralInRange(has_header ? 0 : 1, 4));
  for (auto& name : names) name = column_name(p);
  return names;
}

// A dataset's first line cut at the delimiter, quotes ignored: likely header names, from which
// mappings and exclusions that the column plan accepts can be drawn.
std::vector<std::string> guessed_names(std::string_view data, const std::string& delimiter) {
  std::vector<std::string> names;
  if (delimiter.size() != 1) return names;
  if (data.starts_with("\xEF\xBB\xBF")) data.remove_prefix(3);
  data = data.substr(0, data.find_first_of("\r\n"));
  for (;;) {
    const std::size_t cut = data.find(delimiter[0]);
    names.emplace_back(data.substr(0, cut));
    if (cut == std::string_view::npos) return names;
    data.remove_prefix(cut + 1);
  }
}

std::string pick_name(FuzzedDataProvider& p, const std::vector<std::string>& guesses) {
  if (guesses.empty() || p.ConsumeBool()) return column_name(p);
  return guesses[p.ConsumeIntegralInRange<std::size_t>(0, guesses.size() - 1)];
}

std::optional<std::string> maybe_name(FuzzedDataProvider& p, const std::vector<std::string>& guesses) {
  if (p.ConsumeBool()) return std::nullopt;
  return pick_name(p, guesses);
}

std::vector<std::string> without(std::vector<std::string> names,
                                 const std::vector<std::optional<std::string>>& left_out) {
  std::erase_if(names, [&](const std::string& n) {
    return std::find(left_out.begin(), left_out.end(), n) != left_out.end();
  });
  return names;
}

// Exclusions, then mappings: either a few arbitrary ones, or every remaining expected name paired
// with a rotation of the remaining actual names.
void add_column_plan(FuzzedDataProvider& p, ValidationRequest& r, const std::vector<std::string>& expected_names,
                     const std::vector<std::string>& actual_names) {
  std::vector<std::optional<std::string>> excluded_expected, excluded_actual;
  if (p.ConsumeIntegralInRange(0, 3) == 0) {
    for (int n = p.ConsumeIntegralInRange(1, 2); n > 0; --n) {
      tessamer::ExcludedColumn e;
      e.expected = maybe_name(p, expected_names);
      e.actual = maybe_name(p, actual_names);
      e.reason = "fuzz";
      e.approved_by = "fuzzer";
      e.approval_reference = "FUZZ-1";
      excluded_expected.push_back(e.expected);
      excluded_actual.push_back(e.actual);
      r.excluded_columns.push_back(std::move(e));
    }
  }
  if (p.ConsumeIntegralInRange(0, 3) != 0) return;
  if (p.ConsumeBool()) {
    for (int n = p.ConsumeIntegralInRange(1, 3); n > 0; --n) {
      r.columns.push_back({pick_name(p, expected_names), pick_name(p, actual_names)});
    }
    return;
  }
  const auto expected = without(expected_names, excluded_expected);
  const auto actual = without(actual_names, excluded_actual);
  const std::size_t shift = p.ConsumeIntegralInRange(0, 3);
  for (std::size_t i = 0; i < expected.size() && !actual.empty(); ++i) {
    r.columns.push_back({expected[i], actual[(i + shift) % actual.size()]});
  }
}

// The actual dataset: the expected one as it is, with a few bytes changed, cut short or
// lengthened by a record, or one of its own.
std::string actual_dataset(FuzzedDataProvider& p, const std::string& expected) {
  switch (p.ConsumeIntegralInRange(0, 3)) {
    case 0:
      return expected;
    case 1: {
      std::string actual = expected;
      static constexpr char kBytes[] = {',', '"', '\n', '\r', 'x', '1', '\\', '\0'};
      for (int edits = p.ConsumeIntegralInRange(1, 3); edits > 0 && !actual.empty(); --edits) {
        actual[p.ConsumeIntegralInRange<std::size_t>(0, actual.size() - 1)] = p.PickValueInArray(kBytes);
      }
      return actual;
    }
    case 2: {
      std::string actual = expected;
      if (p.ConsumeBool()) {
        actual.resize(p.ConsumeIntegralInRange<std::size_t>(0, actual.size()));
      } else {
        actual += p.ConsumeBool() ? "\n1,extra,3\n" : "extra";
      }
      return actual;
    }
    default:
      return p.ConsumeRandomLengthString(kMaxDataset);
  }
}

ValidationRequest build_request(FuzzedDataProvider& p, const Workspace& w, std::string_view expected,
                                std::string_view actual) {
  // Mostly the usual choices; dual roles and a non-ASCII character now and then.
  static constexpr const char* kDelimiters[] = {",", ",", ",", ";", "\t", "|", "\"", "\xC3\xA9"};
  static constexpr const char* kQuotes[] = {"\"", "\"", "\"", "'", ",", "\xC3\xA9"};
  static constexpr const char* kEscapes[] = {"\\", "\"", ";", "'"};
  static constexpr const char* kEncodings[] = {"utf-8",   "windows-1252", "shift_jis",   "utf-16le",
                                               "gb18030", "iso-2022-jp",  "replacement", "x-user-defined",
                                               "euc-kr",  "no-such-encoding"};
  ValidationRequest r;
  r.schema_version = 1;
  r.expected_path = w.expected_path;
  r.actual_path = w.actual_path;
  r.divergence_path = w.report_path;
  r.has_header = p.ConsumeBool();
  r.encoding = p.PickValueInArray(kEncodings);
  r.delimiter = p.PickValueInArray(kDelimiters);
  r.quote_char = p.PickValueInArray(kQuotes);
  if (p.ConsumeBool()) r.escape_char = p.PickValueInArray(kEscapes);
  r.null_value = p.ConsumeBool() ? "" : "NULL";
  r.example_limit = p.ConsumeIntegralInRange(0, 5);
  if (!r.has_header || p.ConsumeBool()) {
    r.expected_columns = column_names(p, r.has_header);
    // Pairing by name needs the same names on both sides.
    r.actual_columns = p.ConsumeBool() ? r.expected_columns : column_names(p, r.has_header);
  }
  if (r.has_header) {
    add_column_plan(p, r, guessed_names(expected, r.delimiter), guessed_names(actual, r.delimiter));
  } else {
    add_column_plan(p, r, r.expected_columns, r.actual_columns);
  }
  return r;
}

// Document access that fails the run, rather than the process, on a missing or mistyped member.
const JsonValue& member(const JsonValue& object, std::string_view key) {
  if (object.kind() != JsonValue::Kind::Object) fuzz::fail("not an object where '" + std::string(key) + "' is read");
  const JsonValue* value = object.find(key);
  if (!value) fuzz::fail("the result has no '" + std::string(key) + "'");
  return *value;
}

std::uint64_t unsigned_member(const JsonValue& object, std::string_view key) {
  const JsonValue& value = member(object, key);
  if (value.kind() != JsonValue::Kind::Unsigned) fuzz::fail("'" + std::string(key) + "' is not an unsigned number");
  return value.as_unsigned();
}

const std::string& string_member(const JsonValue& object, std::string_view key) {
  const JsonValue& value = member(object, key);
  if (value.kind() != JsonValue::Kind::String) fuzz::fail("'" + std::string(key) + "' is not a string");
  return value.as_string();
}

std::string sha256(std::string_view bytes) {
  tessamer::Sha256 hasher;
  hasher.update(bytes.data(), bytes.size());
  return hasher.finish();
}

void check_file_totals(const JsonValue& doc, const std::string& expected, const std::string& actual) {
  fuzz::require(unsigned_member(doc, "expectedBytes") == expected.size(), "expectedBytes is not the file's size");
  fuzz::require(unsigned_member(doc, "actualBytes") == actual.size(), "actualBytes is not the file's size");
  fuzz::require(string_member(doc, "expectedSha256") == sha256(expected), "expectedSha256 is not the file's digest");
  fuzz::require(string_member(doc, "actualSha256") == sha256(actual), "actualSha256 is not the file's digest");
}

void check_stream_result(const JsonValue& doc, const ValidationRequest& request, const std::string& report,
                         bool same_files) {
  const JsonValue& rows = member(doc, "rows");
  const std::uint64_t expected = unsigned_member(rows, "expected");
  const std::uint64_t actual = unsigned_member(rows, "actual");
  const std::uint64_t compared = unsigned_member(rows, "compared");
  const std::uint64_t missing = unsigned_member(rows, "missing");
  const std::uint64_t additional = unsigned_member(rows, "additional");
  fuzz::require(expected == compared + missing, "rows.expected != rows.compared + rows.missing");
  fuzz::require(actual == compared + additional, "rows.actual != rows.compared + rows.additional");
  fuzz::require(missing == 0 || additional == 0, "rows both missing and additional");

  // The report: whole lines only, one per divergence.
  fuzz::require(report.empty() || report.back() == '\n', "the report does not end with a line end");
  std::vector<std::string_view> lines;
  for (std::size_t start = 0; start < report.size();) {
    const std::size_t end = report.find('\n', start);
    lines.push_back(std::string_view(report).substr(start, end - start));
    start = end + 1;
  }
  const std::uint64_t divergences = unsigned_member(doc, "divergences");
  if (divergences != lines.size()) {
    fuzz::fail("divergences is " + std::to_string(divergences) + " but the report has " + std::to_string(lines.size()) +
               " lines");
  }

  const JsonValue& examples = member(doc, "divergenceExamples");
  fuzz::require(examples.kind() == JsonValue::Kind::Array, "divergenceExamples is not an array");
  const std::size_t want_examples = std::min<std::uint64_t>(request.example_limit, divergences);
  if (examples.as_array().size() != want_examples) {
    fuzz::fail("divergenceExamples holds " + std::to_string(examples.as_array().size()) + ", want " +
               std::to_string(want_examples));
  }
  for (std::size_t i = 0; i < want_examples; ++i) {
    const std::string text = fuzz::compact(examples.as_array()[i]);
    if (text != lines[i]) {
      fuzz::fail("example " + std::to_string(i) + " is not report line " + std::to_string(i + 1) + ":\n  " +
                 fuzz::printable(text) + "\n  " + fuzz::printable(lines[i]));
    }
  }

  // The same file on both sides, each column paired with its own position: records can differ
  // from their header's width, but never from each other.
  bool same_positions = true;
  const JsonValue& pairs = member(doc, "columnPairs");
  fuzz::require(pairs.kind() == JsonValue::Kind::Array, "columnPairs is not an array");
  for (const JsonValue& pair : pairs.as_array()) {
    same_positions = same_positions && unsigned_member(pair, "expectedIndex") == unsigned_member(pair, "actualIndex");
  }
  if (same_files && same_positions) {
    fuzz::require(missing == 0 && additional == 0, "missing or additional rows between identical files");
    for (const std::string_view line : lines) {
      if (!line.ends_with(",\"type\":\"ROW_WIDTH\"}")) {
        fuzz::fail("identical files with columns paired in place give " + fuzz::printable(line));
      }
    }
  }

  const std::string& status = string_member(doc, "status");
  const char* want_status = divergences > 0                      ? "FAIL"
                            : !request.excluded_columns.empty() ? "PASS_WITH_EXCLUSIONS"
                                                                 : "PASS";
  if (status != want_status) {
    fuzz::fail("status " + status + " with " + std::to_string(divergences) + " divergences, want " + want_status);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Workspace& w = Workspace::get();
  g_current = {};
  FuzzedDataProvider p(data, size);
  const std::string expected = p.ConsumeRandomLengthString(kMaxDataset);
  const std::string actual = actual_dataset(p, expected);
  const ValidationRequest request = build_request(p, w, expected, actual);
  g_current = {&request, &expected, &actual};
  fuzz::describe_input = describe_current;
  write_file(w.expected_path, expected);
  write_file(w.actual_path, actual);
  // A stale report would be taken for this run's; sometimes its directory goes too, so that the
  // engine has to create it.
  std::error_code ignored;
  if (p.ConsumeBool()) {
    std::filesystem::remove_all(w.report_dir, ignored);
  } else {
    std::filesystem::remove(w.report_path, ignored);
  }

  if (auto valid = tessamer::validate_request(request); !valid) {
    trace("refused: " + valid.error().message);
    return 0;
  }
  const tessamer::Result<JsonValue> result = tessamer::run_validation(request);
  if (!result) {
    trace("error: " + result.error().message);
    fuzz::require(!result.error().message.empty(), "an error without a message");
    return 0;
  }
  const JsonValue& doc = *result;
  check_file_totals(doc, expected, actual);

  const bool fast_path_applies = request.has_header && request.columns.empty() && request.excluded_columns.empty();
  const std::string& mode = string_member(doc, "comparisonMode");
  trace(mode + " " + string_member(doc, "status") + ", " + std::to_string(unsigned_member(doc, "divergences")) +
        " divergences, " + request.encoding + (request.has_header ? ", header, " : ", no header, ") +
        std::to_string(request.columns.size()) + " mappings, " + std::to_string(request.excluded_columns.size()) +
        " exclusions, exampleLimit " + std::to_string(request.example_limit));
  if (mode == "quor-binary") {
    fuzz::require(expected == actual, "quor-binary for files that differ");
    fuzz::require(fast_path_applies, "quor-binary for a request that asks for more than a byte comparison");
    fuzz::require(!std::filesystem::exists(w.report_path, ignored), "quor-binary wrote a report");
    fuzz::require(unsigned_member(doc, "divergences") == 0, "quor-binary with divergences");
    fuzz::require(string_member(doc, "status") == "PASS", "quor-binary without PASS");
  } else if (mode == "quor-csv-stream") {
    fuzz::require(!(fast_path_applies && expected == actual), "identical files streamed instead of recognised");
    auto report = tessamer::read_whole_file(w.report_path);
    if (!report) fuzz::fail("cannot read the report after a streamed run: " + report.error().text);
    check_stream_result(doc, request, *report, expected == actual);
  } else {
    fuzz::fail("unknown comparisonMode " + mode);
  }
  return 0;
}
