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
  std::string root, expected_path, actual_path, report_dir, report_path;

 private:
  Workspace() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tessamer-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) fuzz::fail("cannot create the temporary directory " + pattern);
    root = pattern;
    expected_path = root + "/expected.csv";
    actual_path = root + "/actual.csv";
    report_dir = root + "/out";
    report_path = report_dir + "/divergences.jsonl";
  }
  ~Workspace() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
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
  // Only pairing by key can leave records over on both sides.
  fuzz::require(request.key_columns || missing == 0 || additional == 0, "rows both missing and additional");

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


// ---------------------------------------------------------------------------------------------
// Keyed requests

// Key members for a request built from raw bytes: now and then invalid, mostly what the rules
// accept, so that the keyed comparison runs on whatever the datasets hold.
void add_key_members(FuzzedDataProvider& p, ValidationRequest& r, const std::vector<std::string>& expected_names,
                     const Workspace& w) {
  if (p.ConsumeIntegralInRange(0, 2) == 0) return;
  std::vector<std::string> keys(p.ConsumeIntegralInRange(p.ConsumeIntegralInRange(0, 7) == 0 ? 0 : 1, 2));
  for (auto& key : keys) key = pick_name(p, expected_names);
  r.key_columns = std::move(keys);
  static constexpr const char* kOrders[] = {"ANY", "SORTED", "SORTED", "any"};
  if (p.ConsumeBool()) r.key_order = p.PickValueInArray(kOrders);
  static constexpr const char* kDuplicates[] = {"PAIR_BY_OCCURRENCE", "PAIR_BY_OCCURRENCE", "REJECT", "FIRST"};
  if (p.ConsumeBool()) r.duplicate_keys = p.PickValueInArray(kDuplicates);
  const bool sorted = r.key_order && *r.key_order == "SORTED";
  if (!sorted || p.ConsumeIntegralInRange(0, 7) == 0) {
    switch (p.ConsumeIntegralInRange(0, 5)) {
      case 0:
        r.sort_memory_bytes = 1048576;
        break;
      case 1:
        r.sort_memory_bytes = p.ConsumeBool() ? 1048575 : 4294967297;
        break;
      case 2:
        r.sort_directory = p.ConsumeBool() ? w.root : w.root + "/no-such-dir";
        break;
      default:
        break;
    }
  }
}

bool keyed(const ValidationRequest& r) { return r.key_columns.has_value(); }

// The keyed members of every report line, and no others: present in keyed runs, absent in
// positional ones.
void check_line_members(const std::string& report, bool keyed_run) {
  for (std::size_t start = 0; start < report.size();) {
    const std::size_t end = report.find('\n', start);
    const std::string_view line = std::string_view(report).substr(start, end - start);
    const bool has = line.find("\"expectedRecord\":") != std::string_view::npos &&
                     line.find("\"actualRecord\":") != std::string_view::npos &&
                     line.find("\"key\":[") != std::string_view::npos;
    const bool any = line.find("\"expectedRecord\":") != std::string_view::npos ||
                     line.find("\"actualRecord\":") != std::string_view::npos;
    if (keyed_run ? !has : any) fuzz::fail("report line with the wrong members: " + fuzz::printable(line));
    if (end == std::string::npos) break;
    start = end + 1;
  }
}

// The members of a result that two runs over the same records must share whichever way each
// found its records in key order.
std::string shared_members(const JsonValue& doc) {
  std::string text;
  for (const char* key : {"status", "divergences", "cellsCompared", "excludedCells", "rows", "columnPairs",
                          "comparisonMode", "headers"}) {
    const JsonValue* value = doc.find(key);
    text += std::string(key) + "=" + (value ? fuzz::compact(*value) : "<absent>") + "\n";
  }
  if (const JsonValue* pairing = doc.find("keyPairing")) {
    for (const char* key : {"duplicateKeys", "keyColumns", "repeatedKeyRecords"}) {
      const JsonValue* value = pairing->find(key);
      text += std::string("keyPairing.") + key + "=" + (value ? fuzz::compact(*value) : "<absent>") + "\n";
    }
  }
  return text;
}

struct RunOutcome {
  std::optional<JsonValue> doc;
  std::string error;   // when the run failed
  std::string report;  // whatever the report file holds afterwards
};

RunOutcome run_once(const ValidationRequest& request, const Workspace& w) {
  std::error_code ignored;
  std::filesystem::remove(w.report_path, ignored);
  RunOutcome outcome;
  tessamer::Result<JsonValue> result = tessamer::run_validation(request);
  if (result) {
    outcome.doc = std::move(*result);
  } else {
    outcome.error = result.error().message;
    fuzz::require(!outcome.error.empty(), "an error without a message");
  }
  if (auto report = tessamer::read_whole_file(w.report_path)) outcome.report = std::move(*report);
  return outcome;
}

const JsonValue& key_pairing(const JsonValue& doc) { return member(doc, "keyPairing"); }

bool boolean_member(const JsonValue& object, std::string_view key) {
  const JsonValue& value = member(object, key);
  if (value.kind() != JsonValue::Kind::Bool) fuzz::fail("'" + std::string(key) + "' is not a boolean");
  return value.as_bool();
}

// A keyed run on raw datasets that finished: the same request with the other key order, where
// that one must finish too, gives the same report and the same counts.
void check_other_key_order(const ValidationRequest& request, const JsonValue& doc, const std::string& report,
                           const Workspace& w) {
  if (string_member(doc, "comparisonMode") != "quor-csv-stream") return;
  const JsonValue& pairing = key_pairing(doc);
  ValidationRequest other = request;
  if (tessamer::effective_key_order(request) == tessamer::KeyOrder::Any) {
    // SORTED finishes exactly when both sides came in key order.
    if (!boolean_member(pairing, "expectedSorted") || !boolean_member(pairing, "actualSorted")) return;
    other.key_order = "SORTED";
    other.sort_memory_bytes.reset();
    other.sort_directory.reset();
  } else {
    fuzz::require(boolean_member(pairing, "expectedSorted") && boolean_member(pairing, "actualSorted"),
                  "a SORTED run that finished with a side not sorted");
    other.key_order = "ANY";
  }
  const RunOutcome again = run_once(other, w);
  if (!again.doc) fuzz::fail("the same records in key order fail under the other keyOrder: " + again.error);
  if (again.report != report) {
    fuzz::fail("the other keyOrder gives another report:\n" + fuzz::printable(report, 2000) + "\n" +
               fuzz::printable(again.report, 2000));
  }
  if (shared_members(doc) != shared_members(*again.doc)) {
    fuzz::fail("the other keyOrder gives another result:\n" + shared_members(doc) + shared_members(*again.doc));
  }
  const JsonValue& again_pairing = key_pairing(*again.doc);
  fuzz::require(boolean_member(again_pairing, "expectedSorted") && boolean_member(again_pairing, "actualSorted"),
                "sides in key order found not sorted under the other keyOrder");
}

// ---------------------------------------------------------------------------------------------
// Keyed runs on generated records: the records of each side in some order (as generated,
// shuffled, or already sorted), run under keyOrder ANY; and the same records sorted here by key,
// ties in file order, run under SORTED. Once the record numbers of the sorted copies are mapped
// back to the numbers of the records in the files ANY read, both runs must give the same report
// and the same outcome; and the counts must be what the records imply.

using Record = std::vector<std::string>;

// The key order, written here again from its definition: an absent field first, then bytes as
// unsigned values, a proper prefix before the longer field; field by field in key order.
int compare_field(const Record& a, const Record& b, std::size_t ia, std::size_t ib) {
  const bool has_a = ia < a.size(), has_b = ib < b.size();
  if (!has_a || !has_b) return int(has_a) - int(has_b);
  const std::string &x = a[ia], &y = b[ib];
  for (std::size_t i = 0; i < x.size() && i < y.size(); ++i) {
    const auto cx = static_cast<unsigned char>(x[i]), cy = static_cast<unsigned char>(y[i]);
    if (cx != cy) return cx < cy ? -1 : 1;
  }
  return x.size() == y.size() ? 0 : (x.size() < y.size() ? -1 : 1);
}

int compare_keys(const Record& a, const std::vector<std::size_t>& ka, const Record& b,
                 const std::vector<std::size_t>& kb) {
  for (std::size_t i = 0; i < ka.size(); ++i) {
    if (const int order = compare_field(a, b, ka[i], kb[i]); order != 0) return order;
  }
  return 0;
}

// One side: its records in file order, the columns of its keys, and the same records in key
// order with the file number (1-based) of each.
struct Side {
  std::vector<Record> records;
  std::vector<std::size_t> keys;
  std::vector<std::uint64_t> sorted_numbers;  // sorted position -> number in `records`
  bool in_order = true;
  std::uint64_t repeated = 0;

  void sort() {
    sorted_numbers.resize(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) sorted_numbers[i] = i + 1;
    // Equal keys in file order: the number breaks the tie.
    std::sort(sorted_numbers.begin(), sorted_numbers.end(), [&](std::uint64_t x, std::uint64_t y) {
      const int order = compare_keys(records[x - 1], keys, records[y - 1], keys);
      return order < 0 || (order == 0 && x < y);
    });
    for (std::size_t i = 1; i < records.size(); ++i) {
      if (compare_keys(records[i], keys, records[i - 1], keys) < 0) in_order = false;
      const Record& now = records[sorted_numbers[i] - 1];
      if (compare_keys(now, keys, records[sorted_numbers[i - 1] - 1], keys) == 0) ++repeated;
    }
  }
  const Record& sorted(std::size_t i) const { return records[sorted_numbers[i] - 1]; }
};

std::string csv_text(const Record& header, const std::vector<Record>& records,
                     const std::vector<std::uint64_t>* order) {
  auto append_record = [](std::string& out, const Record& record) {
    for (std::size_t i = 0; i < record.size(); ++i) {
      if (i > 0) out += ',';
      const std::string& field = record[i];
      // A record of one empty field would be an empty line.
      if (field.find_first_of(",\"\r\n") == std::string::npos && !(field.empty() && record.size() == 1)) {
        out += field;
        continue;
      }
      out += '"';
      for (char c : field) {
        if (c == '"') out += '"';
        out += c;
      }
      out += '"';
    }
    out += '\n';
  };
  std::string text;
  append_record(text, header);
  for (std::size_t i = 0; i < records.size(); ++i) append_record(text, records[order ? (*order)[i] - 1 : i]);
  return text;
}

// Field values: few enough that keys meet and repeat, with the bytes where the key order is easy
// to get wrong (an empty field, a prefix, bytes above 0x7F, a quote, a delimiter, a line end).
std::string field_value(FuzzedDataProvider& p) {
  static constexpr const char* kValues[] = {"", "a", "ab", "b", "A", "0", "01", "1", "\xC3\xA9", "\xE2\x82\xAC",
                                            "a,b", "q\"q", "x\ny", "a ", "\x7F"};
  if (p.ConsumeIntegralInRange(0, 5) != 0) return p.PickValueInArray(kValues);
  std::string value = p.ConsumeRandomLengthString(4);
  // Mostly ASCII: a byte invalid for UTF-8 in a reported field ends the run before anything is
  // compared between the two key orders.
  if (p.ConsumeIntegralInRange(0, 7) != 0) {
    for (char& c : value) c = static_cast<char>(c & 0x7F);
  }
  return value;
}

Record generated_record(FuzzedDataProvider& p, std::size_t width) {
  Record record(p.ConsumeIntegralInRange(0, 7) == 0 ? p.ConsumeIntegralInRange<std::size_t>(1, width + 1) : width);
  for (auto& field : record) field = field_value(p);
  return record;
}

// Puts a side's records in the order its file gets: as they are, shuffled, or sorted by key.
void arrange(FuzzedDataProvider& p, Side& side) {
  switch (p.ConsumeIntegralInRange(0, 2)) {
    case 0:
      break;
    case 1:
      for (std::size_t i = side.records.size(); i > 1; --i) {
        std::swap(side.records[i - 1], side.records[p.ConsumeIntegralInRange<std::size_t>(0, i - 1)]);
      }
      break;
    default: {
      side.sort();
      std::vector<Record> sorted;
      for (std::size_t i = 0; i < side.records.size(); ++i) sorted.push_back(side.sorted(i));
      side.records = std::move(sorted);
      side.in_order = true;
      side.repeated = 0;
      break;
    }
  }
  side.sort();
}

// A report's lines or an error text with the record numbers of the sorted copies replaced by the
// numbers of the same records in the files read under ANY.
std::string map_line_numbers(std::string_view line, const Side& expected, const Side& actual) {
  const bool additional = line.ends_with("\"type\":\"ADDITIONAL_ROW\"}");
  std::string out;
  for (std::size_t at = 0; at < line.size();) {
    const Side* side = nullptr;
    std::size_t skip = 0;
    for (auto [name, which] : {std::pair{std::string_view("\"expectedRecord\":"), &expected},
                               std::pair{std::string_view("\"actualRecord\":"), &actual},
                               std::pair{std::string_view("\"record\":"), additional ? &actual : &expected}}) {
      if (line.substr(at).starts_with(name)) {
        side = which;
        skip = name.size();
        break;
      }
    }
    if (!side) {
      out += line[at++];
      continue;
    }
    out += line.substr(at, skip);
    at += skip;
    std::size_t end = at;
    while (end < line.size() && line[end] >= '0' && line[end] <= '9') ++end;
    if (end == at) continue;  // null
    const std::uint64_t n = std::stoull(std::string(line.substr(at, end - at)));
    if (n == 0 || n > side->sorted_numbers.size()) fuzz::fail("record number out of range in " + std::string(line));
    out += std::to_string(side->sorted_numbers[n - 1]);
    at = end;
  }
  return out;
}

std::string map_report(const std::string& report, const Side& expected, const Side& actual) {
  std::string out;
  for (std::size_t start = 0; start < report.size();) {
    std::size_t end = report.find('\n', start);
    if (end == std::string::npos) end = report.size();
    out += map_line_numbers(std::string_view(report).substr(start, end - start), expected, actual);
    out += '\n';
    start = end + 1;
  }
  return out;
}

// "{side} CSV has duplicate key {key} at records {a} and {b}": the two numbers mapped.
std::string map_error(const std::string& error, const Side& expected, const Side& actual) {
  static constexpr std::string_view kAt = " at records ";
  const std::size_t at = error.rfind(kAt);
  if (at == std::string::npos || error.find(" CSV has duplicate key ") == std::string::npos) return error;
  const Side& side = error.starts_with("expected ") ? expected : actual;
  const std::size_t and_at = error.find(" and ", at);
  if (and_at == std::string::npos) return error;
  auto mapped = [&](std::string_view digits) {
    const std::uint64_t n = std::stoull(std::string(digits));
    if (n == 0 || n > side.sorted_numbers.size()) fuzz::fail("record number out of range in " + error);
    return std::to_string(side.sorted_numbers[n - 1]);
  };
  return error.substr(0, at + kAt.size()) +
         mapped(std::string_view(error).substr(at + kAt.size(), and_at - at - kAt.size())) + " and " +
         mapped(std::string_view(error).substr(and_at + 5));
}

struct Counts {
  std::uint64_t compared = 0, missing = 0, additional = 0;
};

// Pairs by occurrence within each key, as the records imply.
Counts pair_counts(const Side& e, const Side& a) {
  Counts counts;
  std::size_t i = 0, j = 0;
  while (i < e.records.size() || j < a.records.size()) {
    const int order = i == e.records.size()   ? 1
                      : j == a.records.size() ? -1
                                              : compare_keys(e.sorted(i), e.keys, a.sorted(j), a.keys);
    if (order < 0) {
      ++counts.missing, ++i;
    } else if (order > 0) {
      ++counts.additional, ++j;
    } else {
      ++counts.compared, ++i, ++j;
    }
  }
  return counts;
}

struct Generated {
  Record expected_header, actual_header;
  Side expected, actual;
};

Generated generate_records(FuzzedDataProvider& p) {
  Generated g;
  g.expected_header = {"id", "v", "w"};
  // The actual file holds the same columns in another order; records of the full width move
  // their fields with them.
  std::vector<std::size_t> place = {0, 1, 2};  // actual column of each expected column
  for (std::size_t i = 3; i > 1; --i) std::swap(place[i - 1], place[p.ConsumeIntegralInRange<std::size_t>(0, i - 1)]);
  g.actual_header.resize(3);
  for (std::size_t i = 0; i < 3; ++i) g.actual_header[place[i]] = g.expected_header[i];

  static const std::vector<std::vector<std::size_t>> kKeys = {{0}, {0, 2}, {2, 0}, {1}, {0, 1, 2}};
  const std::vector<std::size_t>& keys = kKeys[p.ConsumeIntegralInRange<std::size_t>(0, kKeys.size() - 1)];
  g.expected.keys = keys;
  for (std::size_t k : keys) g.actual.keys.push_back(place[k]);

  for (std::size_t n = p.ConsumeIntegralInRange(0, 12); n > 0; --n) g.expected.records.push_back(generated_record(p, 3));
  std::vector<Record> actual = g.expected.records;
  for (int edits = p.ConsumeIntegralInRange(0, 5); edits > 0; --edits) {
    const std::size_t at = actual.empty() ? 0 : p.ConsumeIntegralInRange<std::size_t>(0, actual.size() - 1);
    switch (actual.empty() ? 2 : p.ConsumeIntegralInRange(0, 4)) {
      case 0:  // a field changed
        if (!actual[at].empty()) actual[at][p.ConsumeIntegralInRange<std::size_t>(0, actual[at].size() - 1)] = field_value(p);
        break;
      case 1:  // a record gone
        actual.erase(actual.begin() + static_cast<std::ptrdiff_t>(at));
        break;
      case 2:  // a record of its own
        actual.insert(actual.begin() + static_cast<std::ptrdiff_t>(std::min(at, actual.size())), generated_record(p, 3));
        break;
      case 3:  // a record repeated
        actual.insert(actual.begin() + static_cast<std::ptrdiff_t>(at), actual[at]);
        break;
      default:  // the width changed
        if (p.ConsumeBool() && actual[at].size() > 1) {
          actual[at].pop_back();
        } else {
          actual[at].push_back(field_value(p));
        }
        break;
    }
  }
  for (Record& record : actual) {
    if (record.size() != 3) continue;
    Record moved(3);
    for (std::size_t i = 0; i < 3; ++i) moved[place[i]] = record[i];
    record = std::move(moved);
  }
  g.actual.records = std::move(actual);
  arrange(p, g.expected);
  arrange(p, g.actual);
  return g;
}

void check_any_against_sorted(FuzzedDataProvider& p, const Workspace& w) {
  Generated g = generate_records(p);
  ValidationRequest r;
  r.schema_version = 1;
  r.expected_path = w.expected_path;
  r.actual_path = w.actual_path;
  r.divergence_path = w.report_path;
  r.encoding = "utf-8";
  r.delimiter = ",";
  r.quote_char = "\"";
  r.has_header = true;
  r.null_value = "";
  r.example_limit = p.ConsumeIntegralInRange(0, 3);
  // Named pairs turn the byte-identical check off: the sorted copies may be identical where the
  // files are not.
  for (const std::string& name : g.expected_header) r.columns.push_back({name, name});
  r.key_columns.emplace();
  for (std::size_t k : g.expected.keys) r.key_columns->push_back(g.expected_header[k]);
  const bool reject = p.ConsumeIntegralInRange(0, 2) == 0;
  if (reject) {
    if (p.ConsumeBool()) r.duplicate_keys = "REJECT";
  } else {
    r.duplicate_keys = "PAIR_BY_OCCURRENCE";
  }
  if (p.ConsumeBool()) r.key_order = "ANY";
  if (p.ConsumeBool()) r.sort_memory_bytes = 1048576;

  const std::string expected_text = csv_text(g.expected_header, g.expected.records, nullptr);
  const std::string actual_text = csv_text(g.actual_header, g.actual.records, nullptr);
  const std::string sorted_expected = csv_text(g.expected_header, g.expected.records, &g.expected.sorted_numbers);
  const std::string sorted_actual = csv_text(g.actual_header, g.actual.records, &g.actual.sorted_numbers);
  g_current = {&r, &expected_text, &actual_text};
  std::error_code ignored;
  std::filesystem::remove_all(w.report_dir, ignored);

  write_file(w.expected_path, expected_text);
  write_file(w.actual_path, actual_text);
  if (auto valid = tessamer::validate_request(r); !valid) fuzz::fail("a generated request is refused: " + valid.error().message);
  const RunOutcome any = run_once(r, w);

  ValidationRequest sorted = r;
  sorted.key_order = "SORTED";
  sorted.sort_memory_bytes.reset();
  write_file(w.expected_path, sorted_expected);
  write_file(w.actual_path, sorted_actual);
  const RunOutcome in_order = run_once(sorted, w);
  trace(std::string("keyed ANY ") + (any.doc ? string_member(*any.doc, "status") : "error: " + any.error) +
        ", SORTED " + (in_order.doc ? string_member(*in_order.doc, "status") : "error: " + in_order.error));

  auto show = [&](const std::string& what) {
    fuzz::fail(what + "\nsorted expected file: " + fuzz::printable(sorted_expected) +
               "\nsorted actual file: " + fuzz::printable(sorted_actual) + "\nANY: " +
               (any.doc ? fuzz::compact(*any.doc) : any.error) + "\nANY report:\n" + any.report +
               "SORTED: " + (in_order.doc ? fuzz::compact(*in_order.doc) : in_order.error) +
               "\nSORTED report, numbers mapped:\n" + map_report(in_order.report, g.expected, g.actual));
  };
  if (any.doc.has_value() != in_order.doc.has_value()) show("one key order finished and the other did not");
  if (any.report != map_report(in_order.report, g.expected, g.actual)) show("the reports differ");
  const bool duplicates = g.expected.repeated > 0 || g.actual.repeated > 0;
  if (!any.doc) {
    if (map_error(in_order.error, g.expected, g.actual) != any.error) show("the errors differ");
    if (!(reject && duplicates) || any.error.find(" CSV has duplicate key ") == std::string::npos) {
      // Decoding a key for a line or a message can fail too; nothing else can.
      if (any.error.find("bytes invalid for encoding") == std::string::npos) show("an unexpected error");
    }
    return;
  }
  if (reject && duplicates) show("repeated keys under REJECT, yet the run finished");
  const JsonValue& doc = *any.doc;
  if (shared_members(doc) != shared_members(*in_order.doc)) show("the results differ");
  check_stream_result(doc, r, any.report, false);
  check_stream_result(*in_order.doc, sorted, in_order.report, false);
  // The examples are report lines, so they map like them.
  std::string examples, sorted_examples;
  for (const JsonValue& e : member(doc, "divergenceExamples").as_array()) examples += fuzz::compact(e) + "\n";
  for (const JsonValue& e : member(*in_order.doc, "divergenceExamples").as_array()) {
    sorted_examples += fuzz::compact(e) + "\n";
  }
  if (examples != map_report(sorted_examples, g.expected, g.actual)) show("the examples differ");

  const JsonValue& rows = member(doc, "rows");
  const Counts counts = pair_counts(g.expected, g.actual);
  if (unsigned_member(rows, "expected") != g.expected.records.size() ||
      unsigned_member(rows, "actual") != g.actual.records.size() || unsigned_member(rows, "compared") != counts.compared ||
      unsigned_member(rows, "missing") != counts.missing || unsigned_member(rows, "additional") != counts.additional) {
    show("rows are not what the records imply: compared " + std::to_string(counts.compared) + ", missing " +
         std::to_string(counts.missing) + ", additional " + std::to_string(counts.additional));
  }
  const JsonValue& pairing = key_pairing(doc);
  if (boolean_member(pairing, "expectedSorted") != g.expected.in_order ||
      boolean_member(pairing, "actualSorted") != g.actual.in_order) {
    show(std::string("sorted flags wrong: want expected ") + (g.expected.in_order ? "true" : "false") + ", actual " +
         (g.actual.in_order ? "true" : "false"));
  }
  const JsonValue& repeated = member(pairing, "repeatedKeyRecords");
  if (unsigned_member(repeated, "expected") != g.expected.repeated ||
      unsigned_member(repeated, "actual") != g.actual.repeated) {
    show("repeatedKeyRecords wrong: want expected " + std::to_string(g.expected.repeated) + ", actual " +
         std::to_string(g.actual.repeated));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Workspace& w = Workspace::get();
  g_current = {};
  fuzz::describe_input = describe_current;
  // Inputs that start with 'K' describe records for the keyed check; all others, raw datasets.
  if (size > 0 && data[0] == 'K') {
    FuzzedDataProvider keyed_input(data + 1, size - 1);
    check_any_against_sorted(keyed_input, w);
    return 0;
  }
  FuzzedDataProvider p(data, size);
  const std::string expected = p.ConsumeRandomLengthString(kMaxDataset);
  const std::string actual = actual_dataset(p, expected);
  ValidationRequest request = build_request(p, w, expected, actual);
  g_current = {&request, &expected, &actual};
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
  // Taken last, so that the choices above still come from the same bytes of an input made before
  // keyed requests existed.
  add_key_members(p, request, request.has_header ? guessed_names(expected, request.delimiter) : request.expected_columns,
                  w);

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
  fuzz::require((doc.find("keyPairing") != nullptr) == keyed(request), "keyPairing in a positional run or not in a keyed one");

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
    if (keyed(request)) {
      fuzz::require(member(key_pairing(doc), "expectedSorted").kind() == JsonValue::Kind::Null,
                    "identical files with a sorted flag");
    }
  } else if (mode == "quor-csv-stream") {
    fuzz::require(!(fast_path_applies && expected == actual), "identical files streamed instead of recognised");
    auto report = tessamer::read_whole_file(w.report_path);
    if (!report) fuzz::fail("cannot read the report after a streamed run: " + report.error().text);
    check_stream_result(doc, request, *report, expected == actual);
    check_line_members(*report, keyed(request));
    if (keyed(request)) check_other_key_order(request, doc, *report, w);
  } else {
    fuzz::fail("unknown comparisonMode " + mode);
  }
  return 0;
}
