// Reading the result document and the request, and holding the request against the result.
#include <algorithm>
#include <array>
#include <span>
#include <string>
#include <utility>

#include "json/value_reader.h"
#include "summary/detail.h"
#include "summary/summary.h"

namespace tessamer::summary {
namespace {

using Kind = JsonValue::Kind;

// Typed access to the members of one object of a document, naming the document in errors.
class Members {
 public:
  Members(const JsonValue& object, std::string_view document) : object_(object), document_(document) {}

  // The member's value; nullptr when it may be absent (`required` false) and is, or may be null
  // (`nullable`) and is.
  Expected<const JsonValue*> get(std::string_view key, Kind kind, bool required = true, bool nullable = false) const {
    const JsonValue* value = object_.find(key);
    if (value == nullptr) {
      if (!required) return nullptr;
      return fail(key, "is missing");
    }
    if (nullable && value->kind() == Kind::Null) return nullptr;
    if (value->kind() == kind) return value;
    switch (kind) {
      case Kind::Unsigned: return fail(key, "must be a non-negative integer");
      case Kind::String: return fail(key, "must be a string");
      case Kind::Array: return fail(key, "must be an array");
      case Kind::Object: return fail(key, "must be an object");
      case Kind::Bool: return fail(key, "must be true or false");
      case Kind::Null:
      case Kind::Signed:
      case Kind::Double:
      case Kind::Raw: break;
    }
    return fail(key, "has the wrong type");
  }
  Expected<std::string> text(std::string_view key) const {
    TESSAMER_ASSIGN_OR_RETURN(const JsonValue* value, get(key, Kind::String));
    return value->as_string();
  }
  Expected<std::uint64_t> count(std::string_view key) const {
    TESSAMER_ASSIGN_OR_RETURN(const JsonValue* value, get(key, Kind::Unsigned));
    return value->as_unsigned();
  }
  Expected<std::optional<std::uint64_t>> optional_count(std::string_view key, bool required = true) const {
    TESSAMER_ASSIGN_OR_RETURN(const JsonValue* value, get(key, Kind::Unsigned, required, true));
    if (value == nullptr) return std::nullopt;
    return value->as_unsigned();
  }
  Expected<std::optional<std::string>> optional_text(std::string_view key, bool required = false) const {
    TESSAMER_ASSIGN_OR_RETURN(const JsonValue* value, get(key, Kind::String, required, true));
    if (value == nullptr) return std::nullopt;
    return value->as_string();
  }
  Expected<std::optional<bool>> optional_flag(std::string_view key) const {
    TESSAMER_ASSIGN_OR_RETURN(const JsonValue* value, get(key, Kind::Bool, true, true));
    if (value == nullptr) return std::nullopt;
    return value->as_bool();
  }
  // An array of strings; absent reads as empty unless `required`.
  Expected<std::vector<std::string>> texts(std::string_view key, bool required = true) const {
    TESSAMER_ASSIGN_OR_RETURN(const JsonValue* value, get(key, Kind::Array, required));
    std::vector<std::string> out;
    if (value == nullptr) return out;
    for (const JsonValue& element : value->as_array()) {
      if (element.kind() != Kind::String) return fail(key, "must hold strings");
      out.push_back(element.as_string());
    }
    return out;
  }
  // The objects of an array member, each read by `read`; positional entries are first turned
  // into objects with `fields`.
  template <class T, class Read>
  Expected<std::vector<T>> objects(std::string_view key, bool required, std::span<const std::string_view> fields,
                                   Read read) const {
    TESSAMER_ASSIGN_OR_RETURN(const JsonValue* value, get(key, Kind::Array, required));
    std::vector<T> out;
    if (value == nullptr) return out;
    for (const JsonValue& element : value->as_array()) {
      TESSAMER_ASSIGN_OR_RETURN(JsonValue object, as_object(element, fields, key));
      TESSAMER_ASSIGN_OR_RETURN(T entry, read(Members(object, document_)));
      out.push_back(std::move(entry));
    }
    return out;
  }

  std::unexpected<Error> fail(std::string_view key, std::string_view what) const {
    return std::unexpected(Error{std::string(document_) + ": \"" + std::string(key) + "\" " + std::string(what)});
  }

  // An object, or a positional array read as the object with `fields` as its keys.
  Expected<JsonValue> as_object(const JsonValue& value, std::span<const std::string_view> fields,
                                std::string_view key) const {
    if (value.kind() == Kind::Object) return value;
    if (value.kind() != Kind::Array || fields.empty() || value.as_array().size() > fields.size()) {
      return fail(key, "must hold objects");
    }
    JsonValue object = JsonValue::object();
    for (std::size_t i = 0; i < value.as_array().size(); ++i) object.set(std::string(fields[i]), value.as_array()[i]);
    return object;
  }

 private:
  const JsonValue& object_;
  std::string_view document_;
};

Expected<ColumnPair> read_pair(const Members& m) {
  ColumnPair pair;
  TESSAMER_ASSIGN_OR_RETURN(pair.expected, m.text("expected"));
  TESSAMER_ASSIGN_OR_RETURN(pair.actual, m.text("actual"));
  TESSAMER_ASSIGN_OR_RETURN(pair.expected_index, m.count("expectedIndex"));
  TESSAMER_ASSIGN_OR_RETURN(pair.actual_index, m.count("actualIndex"));
  return pair;
}

Expected<KeyPairing> read_key_pairing(const Members& m) {
  KeyPairing keys;
  TESSAMER_ASSIGN_OR_RETURN(keys.key_columns, m.objects<ColumnPair>("keyColumns", true, {}, read_pair));
  TESSAMER_ASSIGN_OR_RETURN(keys.key_order, m.text("keyOrder"));
  TESSAMER_ASSIGN_OR_RETURN(keys.duplicate_keys, m.text("duplicateKeys"));
  TESSAMER_ASSIGN_OR_RETURN(keys.sort_memory_bytes, m.optional_count("sortMemoryBytes"));
  TESSAMER_ASSIGN_OR_RETURN(keys.expected_sorted, m.optional_flag("expectedSorted"));
  TESSAMER_ASSIGN_OR_RETURN(keys.actual_sorted, m.optional_flag("actualSorted"));
  return keys;
}

Expected<JsonValue> read_document(std::string_view bytes, std::string_view document) {
  if (bytes.find_first_not_of(" \t\r\n") == std::string_view::npos) {
    return std::unexpected(Error{std::string(document) + " is empty (the run may have failed: see the engine's standard error)"});
  }
  auto value = parse_json_document(bytes);
  if (!value) return std::unexpected(Error{std::string(document) + " is not valid JSON: " + value.error().to_string()});
  return std::move(*value);
}

// The request's fields in the order of its positional form.
constexpr std::array<std::string_view, 20> kRequestFields = {
    "schemaVersion", "expectedPath", "actualPath", "divergencePath", "encoding", "delimiter", "quoteChar",
    "escapeChar", "hasHeader", "nullValue", "expectedColumns", "actualColumns", "columns", "excludedColumns",
    "exampleLimit", "keyColumns", "keyOrder", "duplicateKeys", "sortMemoryBytes", "sortDirectory"};
constexpr std::array<std::string_view, 2> kMappingFields = {"expected", "actual"};
constexpr std::array<std::string_view, 5> kExclusionFields = {"expected", "actual", "reason", "approvedBy",
                                                              "approvalReference"};

}  // namespace

Expected<RunResult> parse_result_document(std::string_view bytes) {
  TESSAMER_ASSIGN_OR_RETURN(JsonValue doc, read_document(bytes, "result document"));
  if (doc.kind() != Kind::Object) return std::unexpected(Error{"result document is not a JSON object"});
  const JsonValue* code = doc.find("code");
  const JsonValue* message = doc.find("message");
  if (code && message && code->kind() == Kind::String && message->kind() == Kind::String) {
    return std::unexpected(Error{"the run failed with " + code->as_string() + ": " + message->as_string()});
  }
  const Members m(doc, "result document");
  RunResult r;
  TESSAMER_ASSIGN_OR_RETURN(r.status, m.text("status"));
  TESSAMER_ASSIGN_OR_RETURN(r.comparison_mode, m.text("comparisonMode"));
  TESSAMER_ASSIGN_OR_RETURN(r.expected_bytes, m.count("expectedBytes"));
  TESSAMER_ASSIGN_OR_RETURN(r.actual_bytes, m.count("actualBytes"));
  TESSAMER_ASSIGN_OR_RETURN(r.expected_sha256, m.text("expectedSha256"));
  TESSAMER_ASSIGN_OR_RETURN(r.actual_sha256, m.text("actualSha256"));
  TESSAMER_ASSIGN_OR_RETURN(r.cells_compared, m.optional_count("cellsCompared"));
  TESSAMER_ASSIGN_OR_RETURN(r.excluded_cells, m.count("excludedCells"));
  TESSAMER_ASSIGN_OR_RETURN(r.divergences, m.count("divergences"));
  TESSAMER_ASSIGN_OR_RETURN(auto duration, m.optional_count("durationMs", false));
  r.duration_ms = duration.value_or(0);

  TESSAMER_ASSIGN_OR_RETURN(const JsonValue* rows_value, m.get("rows", Kind::Object));
  const Members rows(*rows_value, "result document");
  TESSAMER_ASSIGN_OR_RETURN(r.expected_rows, rows.optional_count("expected"));
  TESSAMER_ASSIGN_OR_RETURN(r.actual_rows, rows.optional_count("actual"));
  TESSAMER_ASSIGN_OR_RETURN(r.compared_rows, rows.optional_count("compared"));
  TESSAMER_ASSIGN_OR_RETURN(r.missing_rows, rows.count("missing"));
  TESSAMER_ASSIGN_OR_RETURN(r.additional_rows, rows.count("additional"));

  TESSAMER_ASSIGN_OR_RETURN(const JsonValue* headers_value, m.get("headers", Kind::Object));
  const Members headers(*headers_value, "result document");
  TESSAMER_ASSIGN_OR_RETURN(r.expected_headers, headers.texts("expected"));
  TESSAMER_ASSIGN_OR_RETURN(r.actual_headers, headers.texts("actual"));
  TESSAMER_ASSIGN_OR_RETURN(r.column_pairs, m.objects<ColumnPair>("columnPairs", true, {}, read_pair));
  TESSAMER_ASSIGN_OR_RETURN(const JsonValue* examples, m.get("divergenceExamples", Kind::Array));
  r.examples = examples->as_array();
  TESSAMER_ASSIGN_OR_RETURN(const JsonValue* keys, m.get("keyPairing", Kind::Object, false));
  if (keys != nullptr) {
    TESSAMER_ASSIGN_OR_RETURN(r.keys, read_key_pairing(Members(*keys, "result document")));
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
  TESSAMER_ASSIGN_OR_RETURN(JsonValue value, read_document(bytes, "request"));
  const Members top(value, "request");
  TESSAMER_ASSIGN_OR_RETURN(JsonValue doc, top.as_object(value, kRequestFields, "the request"));
  const Members m(doc, "request");
  Request q;
  q.path = std::move(path);
  TESSAMER_ASSIGN_OR_RETURN(q.expected_path, m.text("expectedPath"));
  TESSAMER_ASSIGN_OR_RETURN(q.actual_path, m.text("actualPath"));
  TESSAMER_ASSIGN_OR_RETURN(q.divergence_path, m.text("divergencePath"));
  TESSAMER_ASSIGN_OR_RETURN(q.encoding, m.text("encoding"));
  TESSAMER_ASSIGN_OR_RETURN(q.delimiter, m.text("delimiter"));
  TESSAMER_ASSIGN_OR_RETURN(q.quote, m.text("quoteChar"));
  TESSAMER_ASSIGN_OR_RETURN(q.escape, m.optional_text("escapeChar"));
  TESSAMER_ASSIGN_OR_RETURN(const JsonValue* header, m.get("hasHeader", Kind::Bool));
  q.has_header = header->as_bool();
  TESSAMER_ASSIGN_OR_RETURN(q.null_value, m.text("nullValue"));
  TESSAMER_ASSIGN_OR_RETURN(q.expected_columns, m.texts("expectedColumns", false));
  TESSAMER_ASSIGN_OR_RETURN(q.actual_columns, m.texts("actualColumns", false));
  using Mapping = std::pair<std::string, std::string>;
  TESSAMER_ASSIGN_OR_RETURN(q.columns, m.objects<Mapping>("columns", false, kMappingFields,
                                                          [](const Members& e) -> Expected<Mapping> {
                                                            Mapping mapping;
                                                            TESSAMER_ASSIGN_OR_RETURN(mapping.first, e.text("expected"));
                                                            TESSAMER_ASSIGN_OR_RETURN(mapping.second, e.text("actual"));
                                                            return mapping;
                                                          }));
  TESSAMER_ASSIGN_OR_RETURN(q.exclusions, m.objects<Exclusion>("excludedColumns", false, kExclusionFields,
                                                               [](const Members& e) -> Expected<Exclusion> {
                                                                 Exclusion x;
                                                                 TESSAMER_ASSIGN_OR_RETURN(x.expected, e.optional_text("expected"));
                                                                 TESSAMER_ASSIGN_OR_RETURN(x.actual, e.optional_text("actual"));
                                                                 TESSAMER_ASSIGN_OR_RETURN(x.reason, e.text("reason"));
                                                                 TESSAMER_ASSIGN_OR_RETURN(x.approved_by, e.text("approvedBy"));
                                                                 TESSAMER_ASSIGN_OR_RETURN(x.reference, e.text("approvalReference"));
                                                                 return x;
                                                               }));
  TESSAMER_ASSIGN_OR_RETURN(q.example_limit, m.count("exampleLimit"));
  TESSAMER_ASSIGN_OR_RETURN(const JsonValue* keys, m.get("keyColumns", Kind::Array, false));
  if (keys != nullptr) {
    TESSAMER_ASSIGN_OR_RETURN(q.key_columns, m.texts("keyColumns"));
  }
  TESSAMER_ASSIGN_OR_RETURN(q.key_order, m.optional_text("keyOrder"));
  TESSAMER_ASSIGN_OR_RETURN(q.duplicate_keys, m.optional_text("duplicateKeys"));
  TESSAMER_ASSIGN_OR_RETURN(q.sort_memory_bytes, m.optional_count("sortMemoryBytes", false));
  TESSAMER_ASSIGN_OR_RETURN(q.sort_directory, m.optional_text("sortDirectory"));
  return q;
}

namespace detail {

std::vector<std::string> request_problems(const Request& q, const RunResult& r) {
  std::vector<std::string> problems;
  auto add = [&](std::string why) { problems.push_back("the request is not this run's: " + std::move(why)); };
  auto names_of = [](const std::vector<ColumnPair>& pairs) {
    std::vector<std::pair<std::string, std::string>> names;
    for (const ColumnPair& p : pairs) names.emplace_back(p.expected, p.actual);
    return names;
  };
  auto excluded = [&](bool expected_side, const std::string& name) {
    return std::ranges::any_of(q.exclusions, [&](const Exclusion& x) { return (expected_side ? x.expected : x.actual) == name; });
  };
  if (!q.has_header && (q.expected_columns != r.expected_headers || q.actual_columns != r.actual_headers)) {
    add("its expectedColumns and actualColumns are not the run's headers");
  }
  std::vector<std::pair<std::string, std::string>> planned = q.columns;
  if (planned.empty()) {
    for (const std::string& name : r.expected_headers) {
      if (!excluded(true, name)) planned.emplace_back(name, name);
    }
  }
  if (planned != names_of(r.column_pairs)) add("its columns and exclusions do not give the run's column pairs");
  for (const Exclusion& x : q.exclusions) {
    auto absent = [](const std::vector<std::string>& names, const std::optional<std::string>& name) {
      return name && std::ranges::find(names, *name) == names.end();
    };
    if (absent(r.expected_headers, x.expected) || absent(r.actual_headers, x.actual)) {
      add("an exclusion names a column the run's headers do not have");
      break;
    }
  }
  if (r.examples.size() != std::min<std::uint64_t>(q.example_limit, r.divergences)) {
    add("its exampleLimit " + grouped(q.example_limit) + " does not give the run's " + grouped(r.examples.size()) +
        " examples of " + grouped(r.divergences) + " divergences");
  }
  if (r.expected_rows && r.actual_rows) {
    // Saturating, as the engine counts: rows times the exclusions naming each side.
    auto times = [](std::uint64_t a, std::uint64_t b) { return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b; };
    const auto sides = [&](bool expected_side) {
      return static_cast<std::uint64_t>(std::ranges::count_if(q.exclusions, [&](const Exclusion& x) { return (expected_side ? x.expected : x.actual).has_value(); }));
    };
    const std::uint64_t e = times(*r.expected_rows, sides(true)), a = times(*r.actual_rows, sides(false));
    if ((e > UINT64_MAX - a ? UINT64_MAX : e + a) != r.excluded_cells) {
      add("its exclusions do not give the run's " + grouped(r.excluded_cells) + " excluded cells");
    }
  }
  const bool with_exclusions = !q.exclusions.empty();
  if (r.identical() ? with_exclusions || !q.columns.empty() || !q.has_header
                    : (r.status == "PASS" && with_exclusions) || (r.status == "PASS_WITH_EXCLUSIONS" && !with_exclusions)) {
    add(r.identical() ? "the run took the identical-files path, which a request with columns, exclusions or no header never takes"
                      : "its exclusions do not give the run's status " + r.status);
  }
  if (q.key_columns.has_value() != r.keys.has_value()) {
    add(r.keys ? "the run paired records by key, and the request has no keyColumns"
               : "the request has keyColumns, and the run paired records by position");
  } else if (r.keys) {
    std::vector<std::string> names;
    for (const ColumnPair& p : r.keys->key_columns) names.push_back(p.expected);
    const std::string order = q.key_order.value_or("ANY");
    const bool memory_fits = order == "ANY" ? r.keys->sort_memory_bytes == q.sort_memory_bytes.value_or(67108864)
                                            : !r.keys->sort_memory_bytes.has_value();
    if (names != *q.key_columns || order != r.keys->key_order ||
        q.duplicate_keys.value_or("REJECT") != r.keys->duplicate_keys || !memory_fits) {
      add("its keyColumns, keyOrder, duplicateKeys or sortMemoryBytes are not the run's");
    }
  }
  return problems;
}

}  // namespace detail
}  // namespace tessamer::summary
