#include "support/request.h"

#include <regex>

#include "core/sha256.h"
#include "json/json.h"

namespace tessamer::testing {
namespace {

JsonValue optional_string(const std::optional<std::string>& text) {
  return text ? JsonValue::string(*text) : JsonValue();
}

JsonValue string_list(const std::vector<std::string>& names) {
  JsonValue list = JsonValue::array();
  for (const std::string& name : names) list.push(JsonValue::string(name));
  return list;
}

}  // namespace

std::string Request::to_json() const {
  JsonValue document = JsonValue::object();
  document.set("schemaVersion", JsonValue::number(1));
  document.set("expectedPath", JsonValue::string(expected_path));
  document.set("actualPath", JsonValue::string(actual_path));
  document.set("divergencePath", JsonValue::string(divergence_path));
  document.set("encoding", JsonValue::string(encoding));
  document.set("delimiter", JsonValue::string(delimiter));
  document.set("quoteChar", JsonValue::string(quote_char));
  document.set("escapeChar", optional_string(escape_char));
  document.set("hasHeader", JsonValue::boolean(has_header));
  document.set("nullValue", JsonValue::string(null_value));
  document.set("expectedColumns", string_list(expected_columns));
  document.set("actualColumns", string_list(actual_columns));
  JsonValue mappings = JsonValue::array();
  for (const auto& [expected, actual] : columns) {
    JsonValue mapping = JsonValue::object();
    mapping.set("expected", JsonValue::string(expected));
    mapping.set("actual", JsonValue::string(actual));
    mappings.push(std::move(mapping));
  }
  document.set("columns", std::move(mappings));
  JsonValue exclusions = JsonValue::array();
  for (const Exclusion& exclusion : excluded_columns) {
    JsonValue entry = JsonValue::object();
    entry.set("expected", optional_string(exclusion.expected));
    entry.set("actual", optional_string(exclusion.actual));
    entry.set("reason", JsonValue::string(exclusion.reason));
    entry.set("approvedBy", JsonValue::string(exclusion.approved_by));
    entry.set("approvalReference", JsonValue::string(exclusion.approval_reference));
    exclusions.push(std::move(entry));
  }
  document.set("excludedColumns", std::move(exclusions));
  document.set("exampleLimit", JsonValue::number(example_limit));
  if (key_columns) document.set("keyColumns", string_list(*key_columns));
  if (key_order) document.set("keyOrder", JsonValue::string(*key_order));
  if (duplicate_keys) document.set("duplicateKeys", JsonValue::string(*duplicate_keys));
  if (sort_memory_bytes) document.set("sortMemoryBytes", JsonValue::number(*sort_memory_bytes));
  if (sort_directory) document.set("sortDirectory", JsonValue::string(*sort_directory));
  return to_compact_json(document);
}

Request request_for_files(const TempDir& dir, const std::string& expected, const std::string& actual) {
  Request request;
  request.expected_path = dir.write("e.csv", expected);
  request.actual_path = dir.write("a.csv", actual);
  request.divergence_path = dir.file("out/d.jsonl");
  return request;
}

RunResult run_request(const TempDir& dir, const Request& request, const RunOptions& options) {
  std::string path = dir.write("request.json", request.to_json());
  RunResult result = run_tessamer({"--request", path}, options);
  // Only the streaming comparison writes the report; the byte-identical path leaves whatever was there.
  if (result.status == 0 && options.stdout_mode == StdoutMode::Capture &&
      result.out.find("\"comparisonMode\":\"quor-csv-stream\"") != std::string::npos) {
    sample_report(request.divergence_path, options.cwd);
  }
  return result;
}

std::string without_timings(const std::string& document) {
  static const std::regex timings("\"(durationMs|throughputBytesPerSecond)\":[0-9]+");
  return std::regex_replace(document, timings, "\"$1\":0");
}

std::string member(const std::string& document, const std::string& key) {
  std::size_t at = document.find("\"" + key + "\":");
  if (at == std::string::npos) return "<absent>";
  at += key.size() + 3;
  std::size_t end = at;
  int depth = 0;
  for (; end < document.size(); ++end) {
    char c = document[end];
    if (c == '"') {
      for (++end; document[end] != '"'; ++end) end += document[end] == '\\';
      continue;
    }
    if (c == '[' || c == '{') ++depth;
    if (c == ']' || c == '}') {
      if (depth == 0) break;
      --depth;
    }
    if (c == ',' && depth == 0) break;
  }
  return document.substr(at, end - at);
}

std::string file_sha256(const std::string& path) {
  Sha256 digest;
  std::string content = read_file(path);
  digest.update(content.data(), content.size());
  return digest.finish();
}

}  // namespace tessamer::testing
