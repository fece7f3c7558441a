// Reading JSON documents of any shape whole into a JsonValue, and their members into fields.
//
// Built on the strict pull reader: the same RFC 8259 rules, messages and positions. Nesting is
// limited so that hostile input cannot exhaust the stack; a repeated key keeps its last value.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.h"
#include "json/reader.h"

namespace tessamer {

inline constexpr int kJsonDepthLimit = 64;

// Reads one whole value at the reader's position, arrays and objects at most `depth_limit` deep.
[[nodiscard]] json::Expected<JsonValue> read_json_value(json::Reader& reader, int depth_limit = kJsonDepthLimit);

// Reads `text` as one document: a value with nothing but whitespace after it.
[[nodiscard]] json::Expected<JsonValue> parse_json_document(std::string_view text, int depth_limit = kJsonDepthLimit);

// The members of one object of a document, read into typed fields. A required member must be
// there with the field's type; an optional one (`required` false) that is absent leaves the field
// as it was; a null reads as none where the field is a std::optional. Fields: std::string,
// std::uint64_t, bool, std::vector<std::string>, std::vector<JsonValue>, const JsonValue* (an
// object), and std::optional of each. Errors read "{document}: \"{key}\" must be a string".
class JsonMembers {
 public:
  using Result = std::expected<void, std::string>;

  // `object` must outlive the reader.
  JsonMembers(const JsonValue& object, std::string_view document) : object_(object), document_(document) {}

  template <class T>
  [[nodiscard]] Result get(std::string_view key, T& out, bool required = true) const {
    const JsonValue* v = object_.find(key);
    if (v == nullptr) return required ? fail(key, "is missing") : Result{};
    if constexpr (requires { out.reset(); typename T::value_type; }) {
      if (v->kind() == JsonValue::Kind::Null) return out.reset(), Result{};
      typename T::value_type value{};
      TESSAMER_TRY(convert(key, *v, value));
      out = std::move(value);
      return {};
    } else {
      return convert(key, *v, out);
    }
  }

  // get() of each key and field in turn, all with `required`; the first failure ends it.
  template <class T, class... Rest>
  [[nodiscard]] Result get_each(bool required, std::string_view key, T& out, Rest&&... rest) const {
    TESSAMER_TRY(get(key, out, required));
    if constexpr (sizeof...(rest) > 0) {
      return get_each(required, std::forward<Rest>(rest)...);
    } else {
      return {};
    }
  }

  // An array of objects, each read by `read` (JsonMembers to std::expected<T, std::string>);
  // an array entry is first read as the object with `fields` as its keys (a positional record).
  template <class T, class Read>
  [[nodiscard]] Result objects(std::string_view key, std::vector<T>& out, bool required,
                               std::span<const std::string_view> fields, Read read) const {
    const JsonValue* v = object_.find(key);
    if (v == nullptr) return required ? fail(key, "is missing") : Result{};
    if (v->kind() != JsonValue::Kind::Array) return fail(key, "must be an array");
    for (const JsonValue& element : v->as_array()) {
      TESSAMER_ASSIGN_OR_RETURN(const JsonValue object, as_object(element, fields, key));
      TESSAMER_ASSIGN_OR_RETURN(T entry, read(JsonMembers(object, document_)));
      out.push_back(std::move(entry));
    }
    return {};
  }

  // An object, or a positional array read as the object with `fields` as its keys.
  [[nodiscard]] std::expected<JsonValue, std::string> as_object(const JsonValue& value, std::span<const std::string_view> fields,
                                                                std::string_view key) const;
  std::unexpected<std::string> fail(std::string_view key, std::string_view what) const;

 private:
  Result convert(std::string_view key, const JsonValue& v, std::string& out) const;
  Result convert(std::string_view key, const JsonValue& v, std::uint64_t& out) const;
  Result convert(std::string_view key, const JsonValue& v, bool& out) const;
  Result convert(std::string_view key, const JsonValue& v, std::vector<std::string>& out) const;
  Result convert(std::string_view key, const JsonValue& v, std::vector<JsonValue>& out) const;
  Result convert(std::string_view key, const JsonValue& v, const JsonValue*& out) const;

  const JsonValue& object_;
  std::string_view document_;
};

}  // namespace tessamer
