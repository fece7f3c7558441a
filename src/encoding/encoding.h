// The WHATWG Encoding Standard: labels, names, encoders and fatal decoders.
//
// Self-contained: knows nothing of the program that uses it. Decoding is always in the
// standard's fatal error mode and never sniffs or strips a byte order mark.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace encoding {

// The 40 encodings of the standard. Opaque beyond identity; use `name` for display.
enum class Encoding : unsigned char;

// The standard's "get an encoding": trims leading and trailing ASCII whitespace (TAB, LF, FF, CR,
// SPACE) and matches the rest ASCII case-insensitively against the 228 labels.
[[nodiscard]] std::optional<Encoding> for_label(std::string_view label);

// The standard name, e.g. "UTF-8", "Shift_JIS", "windows-1252", "replacement".
std::string_view name(Encoding encoding);

// All 40 encodings, each once. The storage is static.
std::span<const Encoding> all_encodings();

// Decodes all of `bytes` into UTF-8, appended to `out`. Returns false at the first malformed
// sequence (`out` then holds an unspecified prefix). Empty input always succeeds.
[[nodiscard]] bool decode(Encoding encoding, std::string_view bytes, std::string& out);

struct EncodeResult {
  std::string bytes;        // the encoder's output; unmappable characters are left out
  bool unmappable = false;  // true when some character could not be represented
};

// Encodes UTF-8 `text` with the encoder of `encoding`'s output encoding (UTF-16LE, UTF-16BE and
// replacement encode as UTF-8). A malformed sequence in `text` reads as U+FFFD, one byte at a time.
EncodeResult encode(Encoding encoding, std::string_view text);

namespace detail {

// `decode` in the replacement error mode: every error becomes one U+FFFD and decoding goes on
// with the bytes the decoder gave back. Lets tests see exactly where a decoder resumes after an
// error, which the fatal mode hides.
std::string decode_replacing(Encoding encoding, std::string_view bytes);

}  // namespace detail

}  // namespace encoding
