// Reading the result document and the request, and holding the request against the result.
#include <algorithm>
#include <utility>

#include "json/value_reader.h"
#include "summary/detail.h"
#include "summary/summary.h"

namespace tessamer::summary {
namespace {

using Kind = JsonValue::Kind;
using Members = JsonMembers;

std::expected<ColumnPair, std::string> read_pair(const Members& m) {
  ColumnPair p;
  TESSAMER_TRY(m.get_each(true, "expected", p.expected, "actual", p.actual, "expectedIndex", p.expected_index, "actualIndex",
                          p.actual_index));
  return p;
}

Expected<JsonValue> read_document(std::string_view bytes, std::string_view document) {
  if (bytes.find_first_not_of(" \t\r\n") == std::string_view::npos) {
    return std::unexpected(Error{std::string(document) + " is empty (the run may have failed: see the engine's standard error)"});
  }
  auto value = parse_json_document(bytes);
  if (!value) return std::unexpected(Error{std::string(document) + " is not valid JSON: " + value.error().to_string()});
  return std::move(*value);
}

// The request's fields in the order of its positional form, and those of its records.
constexpr std::array<std::string_view, 20> kRequestFields = {
    "schemaVersion", "expectedPath", "actualPath", "divergencePath", "encoding", "delimiter", "quoteChar",
    "escapeChar", "hasHeader", "nullValue", "expectedColumns", "actualColumns", "columns", "excludedColumns",
    "exampleLimit", "keyColumns", "keyOrder", "duplicateKeys", "sortMemoryBytes", "sortDirectory"};
constexpr std::array<std::string_view, 2> kMappingFields = {"expected", "actual"};
constexpr std::array<std::string_view, 5> kExclusionFields = {"expected", "actual", "reason", "approvedBy", "approvalReference"};

}  // namespace

Expected<RunResult> parse_result_document(std::string_view bytes) {
  TESSAMER_ASSIGN_OR_RETURN(const JsonValue doc, read_document(bytes, "result document"));
  if (doc.kind() != Kind::Object) return std::unexpected(Error{"result document is not a JSON object"});
  const JsonValue* code = doc.find("code");
  const JsonValue* message = doc.find("message");
  if (code && message && code->kind() == Kind::String && message->kind() == Kind::String) {
    return std::unexpected(Error{"the run failed with " + code->as_string() + ": " + message->as_string()});
  }
  const Members m(doc, "result document");
  RunResult r;
  const JsonValue *rows = nullptr, *headers = nullptr, *keys = nullptr;
  TESSAMER_TRY(m.get_each(true, "status", r.status, "comparisonMode", r.comparison_mode, "expectedBytes", r.expected_bytes,
                          "actualBytes", r.actual_bytes, "expectedSha256", r.expected_sha256, "actualSha256", r.actual_sha256,
                          "cellsCompared", r.cells_compared, "excludedCells", r.excluded_cells, "divergences", r.divergences,
                          "rows", rows, "headers", headers, "divergenceExamples", r.examples));
  TESSAMER_TRY(m.get_each(false, "durationMs", r.duration_ms, "keyPairing", keys));
  TESSAMER_TRY(Members(*rows, "result document")
                   .get_each(true, "expected", r.expected_rows, "actual", r.actual_rows, "compared", r.compared_rows, "missing",
                             r.missing_rows, "additional", r.additional_rows));
  TESSAMER_TRY(Members(*headers, "result document").get_each(true, "expected", r.expected_headers, "actual", r.actual_headers));
  TESSAMER_TRY(m.objects("columnPairs", r.column_pairs, true, {}, read_pair));
  if (keys != nullptr) {
    const Members k(*keys, "result document");
    KeyPairing& p = r.keys.emplace();
    TESSAMER_TRY(k.objects("keyColumns", p.key_columns, true, {}, read_pair));
    TESSAMER_TRY(k.get_each(true, "keyOrder", p.key_order, "duplicateKeys", p.duplicate_keys, "sortMemoryBytes",
                            p.sort_memory_bytes, "expectedSorted", p.expected_sorted, "actualSorted", p.actual_sorted));
  }
  if (r.status != "PASS" && r.status != "FAIL" && r.status != "PASS_WITH_EXCLUSIONS") {
    return m.fail("status", "is not \"PASS\", \"FAIL\" or \"PASS_WITH_EXCLUSIONS\"");
  }
  if (r.comparison_mode != formats::kStreamMode && !r.identical()) {
    return m.fail("comparisonMode", "is neither \"" + std::string(formats::kStreamMode) + "\" nor \"" +
                                        std::string(formats::kIdenticalMode) + "\"");
  }
  if (!r.identical() && (!r.expected_rows || !r.actual_rows || !r.compared_rows)) {
    return m.fail("rows", "must hold counts in a streamed run");
  }
  return r;
}

Expected<Request> parse_request_document(std::string_view bytes, std::string path) {
  TESSAMER_ASSIGN_OR_RETURN(const JsonValue value, read_document(bytes, "request"));
  TESSAMER_ASSIGN_OR_RETURN(const JsonValue doc, Members(value, "request").as_object(value, kRequestFields, "the request"));
  const Members m(doc, "request");
  Request q;
  q.path = std::move(path);
  TESSAMER_TRY(m.get_each(true, "expectedPath", q.expected_path, "actualPath", q.actual_path, "divergencePath",
                          q.divergence_path, "encoding", q.encoding, "delimiter", q.delimiter, "quoteChar", q.quote,
                          "hasHeader", q.has_header, "nullValue", q.null_value, "exampleLimit", q.example_limit));
  TESSAMER_TRY(m.get_each(false, "escapeChar", q.escape, "expectedColumns", q.expected_columns, "actualColumns",
                          q.actual_columns, "keyColumns", q.key_columns, "keyOrder", q.key_order, "duplicateKeys",
                          q.duplicate_keys, "sortMemoryBytes", q.sort_memory_bytes, "sortDirectory", q.sort_directory));
  using Mapping = std::pair<std::string, std::string>;
  TESSAMER_TRY(m.objects("columns", q.columns, false, kMappingFields, [](const Members& e) -> std::expected<Mapping, std::string> {
    Mapping mapping;
    TESSAMER_TRY(e.get_each(true, "expected", mapping.first, "actual", mapping.second));
    return mapping;
  }));
  TESSAMER_TRY(m.objects("excludedColumns", q.exclusions, false, kExclusionFields, [](const Members& e) -> std::expected<Exclusion, std::string> {
    Exclusion x;
    TESSAMER_TRY(e.get_each(false, "expected", x.expected, "actual", x.actual));
    TESSAMER_TRY(e.get_each(true, "reason", x.reason, "approvedBy", x.approved_by, "approvalReference", x.reference));
    return x;
  }));
  return q;
}

namespace detail {

std::vector<std::string> request_problems(const Request& q, const RunResult& r) {
  std::vector<std::string> problems;
  auto add = [&](std::string why) { problems.push_back("the request is not this run's: " + std::move(why)); };
  auto named = [&](std::optional<std::string> Exclusion::*side) {
    return static_cast<std::uint64_t>(std::ranges::count_if(q.exclusions, [&](const Exclusion& x) { return (x.*side).has_value(); }));
  };
  auto absent = [](const std::vector<std::string>& names, const std::optional<std::string>& name) {
    return name && std::ranges::find(names, *name) == names.end();
  };
  if (!q.has_header && (q.expected_columns != r.expected_headers || q.actual_columns != r.actual_headers)) {
    add("its expectedColumns and actualColumns are not the run's headers");
  }
  // Without mappings the run pairs the expected columns that are not excluded by name.
  std::vector<std::pair<std::string, std::string>> planned = q.columns;
  for (const std::string& name : q.columns.empty() ? r.expected_headers : std::vector<std::string>{}) {
    if (std::ranges::none_of(q.exclusions, [&](const Exclusion& x) { return x.expected == name; })) planned.emplace_back(name, name);
  }
  auto same_pair = [](const auto& planned_pair, const ColumnPair& p) { return planned_pair == std::pair(p.expected, p.actual); };
  if (!std::ranges::equal(planned, r.column_pairs, same_pair)) add("its columns and exclusions do not give the run's column pairs");
  if (std::ranges::any_of(q.exclusions, [&](const Exclusion& x) { return absent(r.expected_headers, x.expected) || absent(r.actual_headers, x.actual); })) {
    add("an exclusion names a column the run's headers do not have");
  }
  if (r.examples.size() != std::min<std::uint64_t>(q.example_limit, r.divergences)) {
    add("its exampleLimit " + grouped(q.example_limit) + " does not give the run's " + grouped(r.examples.size()) +
        " examples of " + grouped(r.divergences) + " divergences");
  }
  if (r.expected_rows && r.actual_rows) {
    // Saturating, as the engine counts: rows times the exclusions naming each side.
    auto times = [](std::uint64_t a, std::uint64_t b) { return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b; };
    const std::uint64_t e = times(*r.expected_rows, named(&Exclusion::expected)), a = times(*r.actual_rows, named(&Exclusion::actual));
    if ((e > UINT64_MAX - a ? UINT64_MAX : e + a) != r.excluded_cells) {
      add("its exclusions do not give the run's " + grouped(r.excluded_cells) + " excluded cells");
    }
  }
  const bool with_exclusions = !q.exclusions.empty();
  if (r.identical() && (with_exclusions || !q.columns.empty() || !q.has_header)) {
    add("the run took the identical-files path, which a request with columns, exclusions or no header never takes");
  } else if (!r.identical() && (r.status == "PASS" ? with_exclusions : r.status == "PASS_WITH_EXCLUSIONS" && !with_exclusions)) {
    add("its exclusions do not give the run's status " + r.status);
  }
  if (q.key_columns.has_value() != r.keys.has_value()) {
    add(r.keys ? "the run paired records by key, and the request has no keyColumns"
               : "the request has keyColumns, and the run paired records by position");
    return problems;
  }
  if (!r.keys) return problems;
  const std::string order = q.key_order.value_or("ANY");
  const bool memory_fits = order == "ANY" ? r.keys->sort_memory_bytes == q.sort_memory_bytes.value_or(67108864)
                                          : !r.keys->sort_memory_bytes.has_value();
  if (!std::ranges::equal(*q.key_columns, r.keys->key_columns, {}, {}, &ColumnPair::expected) || order != r.keys->key_order || q.duplicate_keys.value_or("REJECT") != r.keys->duplicate_keys ||
      !memory_fits) {
    add("its keyColumns, keyOrder, duplicateKeys or sortMemoryBytes are not the run's");
  }
  return problems;
}

}  // namespace detail
}  // namespace tessamer::summary
