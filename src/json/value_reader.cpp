// Reading JSON text of any shape into a JsonValue.
#include "json/value_reader.h"

#include <string>
#include <utility>

namespace tessamer {

json::Expected<JsonValue> read_json_value(json::Reader& reader, int depth_limit) {
  auto next = reader.skip_whitespace();
  if (!next) return std::unexpected(reader.error("EOF while parsing a value"));
  switch (*next) {
    case 'n':
    case 't':
    case 'f': {
      reader.eat();
      std::string_view rest = *next == 'n' ? "ull" : *next == 't' ? "rue" : "alse";
      TESSAMER_TRY(reader.parse_ident(rest));
      return *next == 'n' ? JsonValue() : JsonValue::boolean(*next == 't');
    }
    case '"': {
      reader.eat();
      TESSAMER_ASSIGN_OR_RETURN(std::string text, reader.parse_string());
      return JsonValue::string(std::move(text));
    }
    case '[':
    case '{': {
      if (depth_limit <= 0) return std::unexpected(reader.error("recursion limit exceeded"));
      reader.eat();
      const bool is_array = *next == '[';
      JsonValue value = is_array ? JsonValue::array() : JsonValue::object();
      for (bool first = true;;) {
        TESSAMER_ASSIGN_OR_RETURN(bool more, is_array ? reader.next_element(first) : reader.next_member(first));
        if (!more) break;
        std::string key;
        if (!is_array) {
          if (reader.skip_whitespace() != '"') return std::unexpected(reader.peek_error("key must be a string"));
          reader.eat();
          TESSAMER_ASSIGN_OR_RETURN(key, reader.parse_string());
          TESSAMER_TRY(reader.parse_colon());
        }
        TESSAMER_ASSIGN_OR_RETURN(JsonValue element, read_json_value(reader, depth_limit - 1));
        if (is_array) {
          value.push(std::move(element));
        } else {
          value.set(std::move(key), std::move(element));
        }
      }
      TESSAMER_TRY(is_array ? reader.end_array() : reader.end_object());
      return value;
    }
    default: break;
  }
  const bool positive = *next != '-';
  if (!positive) reader.eat();
  TESSAMER_ASSIGN_OR_RETURN(json::Number number, reader.parse_number(positive));
  switch (number.kind) {
    case json::Number::Kind::Unsigned: return JsonValue::number(number.u);
    case json::Number::Kind::Signed: return JsonValue::signed_number(number.i);
    case json::Number::Kind::Float: return JsonValue::floating(number.f);
  }
  return JsonValue();
}

json::Expected<JsonValue> parse_json_document(std::string_view text, int depth_limit) {
  json::Reader reader(text);
  TESSAMER_ASSIGN_OR_RETURN(JsonValue value, read_json_value(reader, depth_limit));
  TESSAMER_TRY(reader.end_document());
  return value;
}

std::unexpected<std::string> JsonMembers::fail(std::string_view key, std::string_view what) const {
  return std::unexpected(std::string(document_) + ": \"" + std::string(key) + "\" " + std::string(what));
}

std::expected<JsonValue, std::string> JsonMembers::as_object(const JsonValue& value, std::span<const std::string_view> fields,
                                                             std::string_view key) const {
  if (value.kind() == JsonValue::Kind::Object) return value;
  if (value.kind() != JsonValue::Kind::Array || fields.empty() || value.as_array().size() > fields.size()) {
    return fail(key, "must hold objects");
  }
  JsonValue object = JsonValue::object();
  for (std::size_t i = 0; i < value.as_array().size(); ++i) object.set(std::string(fields[i]), value.as_array()[i]);
  return object;
}

JsonMembers::Result JsonMembers::convert(std::string_view key, const JsonValue& v, std::string& out) const {
  if (v.kind() != JsonValue::Kind::String) return fail(key, "must be a string");
  out = v.as_string();
  return {};
}

JsonMembers::Result JsonMembers::convert(std::string_view key, const JsonValue& v, std::uint64_t& out) const {
  if (v.kind() != JsonValue::Kind::Unsigned) return fail(key, "must be a non-negative integer");
  out = v.as_unsigned();
  return {};
}

JsonMembers::Result JsonMembers::convert(std::string_view key, const JsonValue& v, bool& out) const {
  if (v.kind() != JsonValue::Kind::Bool) return fail(key, "must be true or false");
  out = v.as_bool();
  return {};
}

JsonMembers::Result JsonMembers::convert(std::string_view key, const JsonValue& v, std::vector<std::string>& out) const {
  if (v.kind() != JsonValue::Kind::Array) return fail(key, "must be an array");
  for (const JsonValue& e : v.as_array()) {
    if (e.kind() != JsonValue::Kind::String) return fail(key, "must hold strings");
    out.push_back(e.as_string());
  }
  return {};
}

JsonMembers::Result JsonMembers::convert(std::string_view key, const JsonValue& v, std::vector<JsonValue>& out) const {
  if (v.kind() != JsonValue::Kind::Array) return fail(key, "must be an array");
  out = v.as_array();
  return {};
}

JsonMembers::Result JsonMembers::convert(std::string_view key, const JsonValue& v, const JsonValue*& out) const {
  if (v.kind() != JsonValue::Kind::Object) return fail(key, "must be an object");
  out = &v;
  return {};
}

}  // namespace tessamer
