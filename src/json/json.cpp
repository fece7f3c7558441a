// The JSON value and its compact text: sorted members, escaped strings, shortest doubles.
#include "json/json.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "json/reader.h"

namespace tessamer {
namespace {

// For each byte: 0 when it is copied as it stands, otherwise the character after the backslash
// ('u' for the \u00XX form).
constexpr std::array<char, 256> kEscapes = [] {
  std::array<char, 256> table{};
  for (int b = 0; b < 0x20; ++b) table[b] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

// Calls `emit` with the pieces of the JSON string literal for `text`: unescaped runs whole.
template <class Emit>
auto emit_string(std::string_view text, Emit&& emit) -> decltype(emit(text)) {
  TESSAMER_TRY(emit("\""));
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char escape = kEscapes[static_cast<unsigned char>(text[i])];
    if (escape == 0) continue;
    if (i > run_start) {
      TESSAMER_TRY(emit(text.substr(run_start, i - run_start)));
    }
    char piece[6] = {'\\', escape, '0', '0', 0, 0};
    std::size_t length = 2;
    if (escape == 'u') {
      static constexpr char kHex[] = "0123456789abcdef";
      auto byte = static_cast<unsigned char>(text[i]);
      piece[4] = kHex[byte >> 4];
      piece[5] = kHex[byte & 0xF];
      length = 6;
    }
    TESSAMER_TRY(emit(std::string_view(piece, length)));
    run_start = i + 1;
  }
  if (run_start < text.size()) {
    TESSAMER_TRY(emit(text.substr(run_start)));
  }
  return emit("\"");
}

template <class Integer>
std::string_view integer_text(Integer value, char (&buffer)[24]) {
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  (void)ec;
  return std::string_view(buffer, static_cast<std::size_t>(end - buffer));
}

[[nodiscard]] IoResult<void> write_value(const JsonValue& value, ByteSink& sink) {
  auto emit = [&sink](std::string_view piece) { return sink.write(piece); };
  char digits[24];
  switch (value.kind()) {
    case JsonValue::Kind::Null: return sink.write("null");
    case JsonValue::Kind::Bool: return sink.write(value.as_bool() ? "true" : "false");
    case JsonValue::Kind::Unsigned: return sink.write(integer_text(value.as_unsigned(), digits));
    case JsonValue::Kind::Signed: return sink.write(integer_text(value.as_signed(), digits));
    case JsonValue::Kind::Double: {
      double d = value.as_double();
      if (!std::isfinite(d)) return sink.write("null");
      return sink.write(format_shortest_double(d));
    }
    case JsonValue::Kind::String: return emit_string(value.as_string(), emit);
    case JsonValue::Kind::Array: {
      TESSAMER_TRY(sink.write("["));
      bool first = true;
      for (const JsonValue& element : value.as_array()) {
        if (!first) {
          TESSAMER_TRY(sink.write(","));
        }
        first = false;
        TESSAMER_TRY(write_value(element, sink));
      }
      return sink.write("]");
    }
    case JsonValue::Kind::Object: {
      TESSAMER_TRY(sink.write("{"));
      bool first = true;
      for (const auto& [key, member] : value.as_object()) {
        if (!first) {
          TESSAMER_TRY(sink.write(","));
        }
        first = false;
        TESSAMER_TRY(emit_string(key, emit));
        TESSAMER_TRY(sink.write(":"));
        TESSAMER_TRY(write_value(member, sink));
      }
      return sink.write("}");
    }
    case JsonValue::Kind::Raw: return sink.write(value.as_raw());
  }
  return {};
}

class StringSink final : public ByteSink {
 public:
  explicit StringSink(std::string& out) : out_(out) {}
  IoResult<void> write(std::string_view bytes) override {
    out_.append(bytes);
    return {};
  }

 private:
  std::string& out_;
};

}  // namespace

JsonValue& JsonValue::set(std::string key, JsonValue value) {
  assert(kind() == Kind::Object && "members are set on objects");
  Object& members = std::get<Object>(storage_);
  auto it = std::lower_bound(members.begin(), members.end(), key,
                             [](const Member& member, const std::string& k) { return member.first < k; });
  if (it != members.end() && it->first == key) {
    it->second = std::move(value);
    return it->second;
  }
  return members.emplace(it, std::move(key), std::move(value))->second;
}

JsonValue& JsonValue::push(JsonValue value) {
  assert(kind() == Kind::Array && "elements are pushed onto arrays");
  Array& elements = std::get<Array>(storage_);
  elements.push_back(std::move(value));
  return elements.back();
}

const JsonValue* JsonValue::find(std::string_view key) const {
  assert(kind() == Kind::Object && "members are found in objects");
  const Object& members = std::get<Object>(storage_);
  auto it = std::lower_bound(members.begin(), members.end(), key,
                             [](const Member& member, std::string_view k) { return std::string_view(member.first) < k; });
  if (it != members.end() && it->first == key) return &it->second;
  return nullptr;
}

IoResult<void> write_compact_json(const JsonValue& value, ByteSink& sink) { return write_value(value, sink); }

std::string to_compact_json(const JsonValue& value) {
  std::string text;
  StringSink sink(text);
  (void)write_compact_json(value, sink);  // a string sink does not fail
  return text;
}

void append_json_string(std::string& out, std::string_view text) {
  emit_string(text, [&out](std::string_view piece) -> IoResult<void> {
    out.append(piece);
    return {};
  });
}

std::string format_shortest_double(double value) {
  assert(std::isfinite(value) && "JSON has no text for infinities and NaN");
  return json::format_float(value);
}

}  // namespace tessamer
