// The decoders: any bytes give an error or well-formed UTF-8; the UTF-8 decoder accepts exactly
// the well-formed input and copies it; decoded text that the encoder can write decodes back.
//
// Input: one byte choosing the encoding, then the bytes to decode.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "encoding/encoding.h"
#include "fuzz_support.h"

namespace {

// Well-formed UTF-8 as code points, nullopt when ill-formed. Written apart from the decoders:
// decode by the lead byte's length, then refuse overlong forms, surrogates and values past U+10FFFF.
std::optional<std::u32string> utf8_code_points(std::string_view s) {
  std::u32string out;
  for (std::size_t i = 0; i < s.size();) {
    const auto lead = static_cast<unsigned char>(s[i]);
    std::size_t length;
    char32_t cp;
    if (lead < 0x80) {
      length = 1;
      cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      cp = lead & 0x07;
    } else {
      return std::nullopt;
    }
    if (s.size() - i < length) return std::nullopt;
    for (std::size_t k = 1; k < length; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return std::nullopt;
      cp = cp << 6 | (c & 0x3F);
    }
    constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kShortest[length] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return std::nullopt;
    out.push_back(cp);
    i += length;
  }
  return out;
}

// ISO-2022-JP writes halfwidth katakana as their fullwidth forms: that text comes back changed
// by design.
bool round_trips_by_design(std::string_view name, const std::u32string& text) {
  if (name != "ISO-2022-JP") return true;
  for (char32_t cp : text) {
    if (cp >= 0xFF61 && cp <= 0xFF9F) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const auto encodings = encoding::all_encodings();
  const encoding::Encoding e = encodings[data[0] % encodings.size()];
  const std::string_view name = encoding::name(e);
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string where = std::string(name) + " input " + fuzz::printable(bytes);

  constexpr std::string_view kPrefix = "kept";
  std::string out(kPrefix);
  const bool ok = encoding::decode(e, bytes, out);
  if (!out.starts_with(kPrefix)) fuzz::fail("the decoder replaced what was in its output: " + where);
  const std::string_view text = std::string_view(out).substr(kPrefix.size());
  const auto code_points = ok ? utf8_code_points(text) : std::nullopt;
  if (ok && !code_points) {
    fuzz::fail("decoded text is not well-formed UTF-8: " + where + " gave " + fuzz::printable(text));
  }

  if (name == "UTF-8") {
    const bool valid = utf8_code_points(bytes).has_value();
    if (ok != valid) {
      fuzz::fail(std::string(valid ? "well-formed UTF-8 refused: " : "ill-formed UTF-8 accepted: ") + where);
    }
    if (ok && text != bytes) {
      fuzz::fail("UTF-8 decoding changed the bytes: " + where + " gave " + fuzz::printable(text));
    }
  }

  // The replacing mode is the fatal one with errors turned into U+FFFD.
  const std::string replaced = encoding::detail::decode_replacing(e, bytes);
  if (!utf8_code_points(replaced)) fuzz::fail("replacing decode is not well-formed UTF-8: " + where);
  if (ok && replaced != text) fuzz::fail("the two decode modes disagree on input that decodes: " + where);
  if (!ok && replaced.find("\xEF\xBF\xBD") == std::string::npos) {
    fuzz::fail("the fatal decoder failed but the replacing one replaced nothing: " + where);
  }

  if (!ok || name == "UTF-16LE" || name == "UTF-16BE" || name == "replacement") return 0;
  if (!round_trips_by_design(name, *code_points)) return 0;
  const encoding::EncodeResult encoded = encoding::encode(e, text);
  if (encoded.unmappable) {
    if (name == "UTF-8") fuzz::fail("UTF-8 cannot encode some decoded text: " + where);
    return 0;
  }
  std::string back;
  if (!encoding::decode(e, encoded.bytes, back)) {
    fuzz::fail("encoded text does not decode: " + where + " encoded as " + fuzz::printable(encoded.bytes));
  }
  if (back != text) {
    fuzz::fail("encoded text decodes differently: " + where + " decoded " + fuzz::printable(text) + ", encoded " +
               fuzz::printable(encoded.bytes) + ", decoded back " + fuzz::printable(back));
  }
  return 0;
}
