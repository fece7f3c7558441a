// Reading JSON text of any shape into a JsonValue, for documents read whole rather than typed.
//
// Built on the strict pull reader: the same RFC 8259 rules, messages and positions. Nesting is
// limited so that hostile input cannot exhaust the stack; a repeated key keeps its last value.
#pragma once

#include <string_view>

#include "json/json.h"
#include "json/reader.h"

namespace tessamer {

inline constexpr int kJsonDepthLimit = 64;

// Reads one whole value at the reader's position, arrays and objects at most `depth_limit` deep.
[[nodiscard]] json::Expected<JsonValue> read_json_value(json::Reader& reader, int depth_limit = kJsonDepthLimit);

// Reads `text` as one document: a value with nothing but whitespace after it.
[[nodiscard]] json::Expected<JsonValue> parse_json_document(std::string_view text, int depth_limit = kJsonDepthLimit);

}  // namespace tessamer
