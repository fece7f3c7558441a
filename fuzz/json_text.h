// JSON text for the fuzz targets that handle requests and result documents.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "json/json.h"
#include "request/request.h"

namespace fuzz {

// The compact text of `value`, exactly as the engine writes it anywhere.
inline std::string compact(const tessamer::JsonValue& value) { return tessamer::to_compact_json(value); }

namespace detail {

inline tessamer::JsonValue optional_string(const std::optional<std::string>& s) {
  return s ? tessamer::JsonValue::string(*s) : tessamer::JsonValue();
}

inline tessamer::JsonValue string_list(const std::vector<std::string>& list) {
  tessamer::JsonValue array = tessamer::JsonValue::array();
  for (const auto& s : list) array.push(tessamer::JsonValue::string(s));
  return array;
}

}  // namespace detail

// The request as an object-form request document with every member it holds.
inline std::string request_json(const tessamer::ValidationRequest& r) {
  using tessamer::JsonValue;
  JsonValue doc = JsonValue::object();
  doc.set("schemaVersion", JsonValue::number(r.schema_version));
  doc.set("expectedPath", JsonValue::string(r.expected_path));
  doc.set("actualPath", JsonValue::string(r.actual_path));
  doc.set("divergencePath", JsonValue::string(r.divergence_path));
  doc.set("encoding", JsonValue::string(r.encoding));
  doc.set("delimiter", JsonValue::string(r.delimiter));
  doc.set("quoteChar", JsonValue::string(r.quote_char));
  doc.set("escapeChar", detail::optional_string(r.escape_char));
  doc.set("hasHeader", JsonValue::boolean(r.has_header));
  doc.set("nullValue", JsonValue::string(r.null_value));
  doc.set("expectedColumns", detail::string_list(r.expected_columns));
  doc.set("actualColumns", detail::string_list(r.actual_columns));
  JsonValue columns = JsonValue::array();
  for (const auto& c : r.columns) {
    JsonValue m = JsonValue::object();
    m.set("expected", JsonValue::string(c.expected));
    m.set("actual", JsonValue::string(c.actual));
    columns.push(std::move(m));
  }
  doc.set("columns", std::move(columns));
  JsonValue excluded = JsonValue::array();
  for (const auto& e : r.excluded_columns) {
    JsonValue m = JsonValue::object();
    m.set("expected", detail::optional_string(e.expected));
    m.set("actual", detail::optional_string(e.actual));
    m.set("reason", JsonValue::string(e.reason));
    m.set("approvedBy", JsonValue::string(e.approved_by));
    m.set("approvalReference", JsonValue::string(e.approval_reference));
    excluded.push(std::move(m));
  }
  doc.set("excludedColumns", std::move(excluded));
  doc.set("exampleLimit", JsonValue::number(r.example_limit));
  // The key members exist only when given: absent and given are different requests.
  if (r.key_columns) doc.set("keyColumns", detail::string_list(*r.key_columns));
  if (r.key_order) doc.set("keyOrder", JsonValue::string(*r.key_order));
  if (r.duplicate_keys) doc.set("duplicateKeys", JsonValue::string(*r.duplicate_keys));
  if (r.sort_memory_bytes) doc.set("sortMemoryBytes", JsonValue::number(*r.sort_memory_bytes));
  if (r.sort_directory) doc.set("sortDirectory", JsonValue::string(*r.sort_directory));
  return compact(doc);
}

}  // namespace fuzz
