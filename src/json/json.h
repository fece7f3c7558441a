// JSON for the engine: the in-memory value and its compact text form, which every document the
// engine writes goes through; requests are read with the strict reader of json/reader.h.
//
// Objects keep their members sorted by the unsigned bytes of their keys (a proper prefix first),
// so every object is written in that order whatever order the code inserted in.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/error.h"

namespace tessamer {

class JsonValue {
 public:
  using Array = std::vector<JsonValue>;
  using Member = std::pair<std::string, JsonValue>;
  using Object = std::vector<Member>;  // sorted by key bytes, keys unique

  enum class Kind { Null, Bool, Unsigned, Signed, Double, String, Array, Object, Raw };

  // Text that already is the compact form of one JSON value, kept as bytes so that a value
  // written once (a report line) is placed elsewhere without being spelled a second time.
  struct RawText {
    std::string text;
    friend bool operator==(const RawText&, const RawText&) = default;
  };

  JsonValue() = default;  // null
  static JsonValue boolean(bool value) { return JsonValue(Storage(value)); }
  static JsonValue number(std::uint64_t value) { return JsonValue(Storage(value)); }
  static JsonValue signed_number(std::int64_t value) { return JsonValue(Storage(value)); }
  static JsonValue floating(double value) { return JsonValue(Storage(value)); }
  static JsonValue string(std::string value) { return JsonValue(Storage(std::move(value))); }
  static JsonValue array() { return JsonValue(Storage(Array{})); }
  static JsonValue object() { return JsonValue(Storage(Object{})); }
  // REQUIRES: `compact_text` is the compact text of one JSON value; the writer copies it as is.
  static JsonValue raw(std::string compact_text) { return JsonValue(Storage(RawText{std::move(compact_text)})); }

  // Copies are deep: a copy shares nothing with its source.
  JsonValue(const JsonValue&) = default;
  JsonValue& operator=(const JsonValue&) = default;
  JsonValue(JsonValue&&) noexcept = default;
  JsonValue& operator=(JsonValue&&) noexcept = default;

  Kind kind() const { return static_cast<Kind>(storage_.index()); }

  // REQUIRES: kind() == Object. Inserts `key`, or replaces its value when present.
  JsonValue& set(std::string key, JsonValue value);
  // REQUIRES: kind() == Array.
  JsonValue& push(JsonValue value);

  // Accessors. REQUIRES: the matching kind.
  bool as_bool() const { return std::get<bool>(storage_); }
  std::uint64_t as_unsigned() const { return std::get<std::uint64_t>(storage_); }
  std::int64_t as_signed() const { return std::get<std::int64_t>(storage_); }
  double as_double() const { return std::get<double>(storage_); }
  const std::string& as_string() const { return std::get<std::string>(storage_); }
  const Array& as_array() const { return std::get<Array>(storage_); }
  Array& as_array() { return std::get<Array>(storage_); }
  const Object& as_object() const { return std::get<Object>(storage_); }
  const std::string& as_raw() const { return std::get<RawText>(storage_).text; }

  // The member with `key`, or nullptr. REQUIRES: kind() == Object.
  const JsonValue* find(std::string_view key) const;

  friend bool operator==(const JsonValue&, const JsonValue&) = default;

 private:
  using Storage =
      std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double, std::string, Array, Object, RawText>;
  explicit JsonValue(Storage storage) : storage_(std::move(storage)) {}
  Storage storage_;
};

// Where text goes. A write either takes all the bytes or fails with the I/O error's text.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  [[nodiscard]] virtual IoResult<void> write(std::string_view bytes) = 0;
};

// Writes the compact text of `value` (no whitespace, sorted keys) straight into `sink`. Fails
// only with the sink's error, which ends the write at once.
[[nodiscard]] IoResult<void> write_compact_json(const JsonValue& value, ByteSink& sink);

// The compact text of `value`, as write_compact_json writes it.
std::string to_compact_json(const JsonValue& value);

// Appends `text` as a JSON string literal (quotes included) to `out`.
void append_json_string(std::string& out, std::string_view text);

// The shortest decimal text that reads back as `value`, in the form "1.0", "1.5", "1e16",
// "2.5e-7", "-0.0". REQUIRES: `value` is finite.
std::string format_shortest_double(double value);

}  // namespace tessamer
