// Shared by the decoders and encoders of this module; not part of its interface.
//
// Each decoder and encoder is a small state machine with a `handle(item, out)` member run once per
// input item (a byte or a code point) and once more at the end of the input, as the standard's
// handlers are: it appends its output to `out` and answers with a `Step`.
#pragma once

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <utility>

#include "core/utf8.h"
#include "encoding/generated/tables.h"

namespace encoding::detail {

// The item a handler sees once the input is exhausted.
inline constexpr int kEndOfQueue = -1;

struct Step {
  enum Kind : unsigned char { proceed, error, finished };
  Kind kind = proceed;
  // How many of the most recent input items the handler gives back to the input ("prepends"):
  // they are read again, in their original order, before anything after them.
  unsigned char unread = 0;
};

inline constexpr Step kProceed{};
inline constexpr Step kFinished{Step::finished, 0};
constexpr Step error(unsigned char unread = 0) { return {Step::error, unread}; }

// Which decoder and encoder serve an encoding. Every encoding is named once, in `family`, and the
// decoders and the encoders each switch over the family once per call. No switch has a default:
// an encoding that `family` does not name fails to compile (the static_assert below), and a
// family that the decoders or the encoders do not handle is a warning.
enum class Family : unsigned char {
  utf_8,
  utf_16be,
  utf_16le,
  gb18030,
  gbk,  // decodes as gb18030, encodes without its four-byte sequences
  big5,
  euc_jp,
  iso_2022_jp,
  shift_jis,
  euc_kr,
  x_user_defined,
  replacement,
  single_byte,  // the 28 encodings with an index in tables::single_byte
};

constexpr Family family(Encoding encoding) {
  switch (encoding) {
    case Encoding::utf_8: return Family::utf_8;
    case Encoding::utf_16be: return Family::utf_16be;
    case Encoding::utf_16le: return Family::utf_16le;
    case Encoding::gb18030: return Family::gb18030;
    case Encoding::gbk: return Family::gbk;
    case Encoding::big5: return Family::big5;
    case Encoding::euc_jp: return Family::euc_jp;
    case Encoding::iso_2022_jp: return Family::iso_2022_jp;
    case Encoding::shift_jis: return Family::shift_jis;
    case Encoding::euc_kr: return Family::euc_kr;
    case Encoding::x_user_defined: return Family::x_user_defined;
    case Encoding::replacement: return Family::replacement;
    case Encoding::ibm866:
    case Encoding::iso_8859_2:
    case Encoding::iso_8859_3:
    case Encoding::iso_8859_4:
    case Encoding::iso_8859_5:
    case Encoding::iso_8859_6:
    case Encoding::iso_8859_7:
    case Encoding::iso_8859_8:
    case Encoding::iso_8859_8_i:
    case Encoding::iso_8859_10:
    case Encoding::iso_8859_13:
    case Encoding::iso_8859_14:
    case Encoding::iso_8859_15:
    case Encoding::iso_8859_16:
    case Encoding::koi8_r:
    case Encoding::koi8_u:
    case Encoding::macintosh:
    case Encoding::windows_874:
    case Encoding::windows_1250:
    case Encoding::windows_1251:
    case Encoding::windows_1252:
    case Encoding::windows_1253:
    case Encoding::windows_1254:
    case Encoding::windows_1255:
    case Encoding::windows_1256:
    case Encoding::windows_1257:
    case Encoding::windows_1258:
    case Encoding::x_mac_cyrillic:
      return Family::single_byte;
  }
  std::unreachable();
}

// Evaluated for every encoding at compile time, where reaching std::unreachable is an error.
static_assert(
    [] {
      for (std::size_t i = 0; i < tables::kEncodingCount; ++i) static_cast<void>(family(static_cast<Encoding>(i)));
      return true;
    }(),
    "every encoding has a family");

// The index of a single-byte encoding. REQUIRES: `encoding` is one of them.
inline const tables::SingleByteIndex& single_byte_index(Encoding encoding) {
  const tables::SingleByteIndex* index = tables::single_byte[static_cast<std::size_t>(encoding)];
  assert(index != nullptr && "every single-byte encoding has an index");
  return *index;
}

constexpr bool is_ascii(int item) { return item >= 0 && item <= 0x7F; }
constexpr bool in_range(int item, int low, int high) { return item >= low && item <= high; }

// "Return a code point": appends it and reads on.
inline Step emit(std::string& out, char32_t cp) {
  utf8::append(out, cp);
  return kProceed;
}

// A decoder's end of input while it holds a lead byte is an error; otherwise it is finished.
inline Step end_with_lead(int& lead) {
  if (lead == 0) return kFinished;
  lead = 0;
  return error();
}

// A lead byte and `byte` that give no code point: an ASCII `byte` is given back to be read on its
// own, so that a lost lead byte does not take the next delimiter with it; any other is consumed.
constexpr Step trail_error(int byte) { return error(is_ascii(byte) ? 1 : 0); }

// The code point a lead and trail byte decoded to, or the error for them (0 means none).
inline Step emit_or_trail_error(std::string& out, char32_t cp, int byte) {
  return cp != 0 ? emit(out, cp) : trail_error(byte);
}

// "Append bytes": appends them to the encoder's output and reads on.
inline Step write(std::string& out, std::initializer_list<unsigned> bytes) {
  for (const unsigned byte : bytes) out.push_back(static_cast<char>(byte));
  return kProceed;
}

// The index's code point for `pointer`, 0 when it has none (no index maps a pointer to U+0000).
template <class T, std::size_t N>
char32_t code_point_at(const std::array<T, N>& index, std::uint32_t pointer) {
  return pointer < N ? static_cast<char32_t>(index[pointer]) : 0;
}

// Every pointer of `index` whose code point is `cp`, in increasing order; `by_code_point` lists the
// index's pointers sorted by (code point, pointer).
template <class T, std::size_t N, std::size_t M>
std::span<const std::uint16_t> pointers_of(const std::array<T, N>& index,
                                           const std::array<std::uint16_t, M>& by_code_point, char32_t cp) {
  const auto code_point = [&index](std::uint16_t pointer) { return static_cast<char32_t>(index[pointer]); };
  const auto first = std::lower_bound(by_code_point.begin(), by_code_point.end(), cp,
                                      [&](std::uint16_t pointer, char32_t c) { return code_point(pointer) < c; });
  const auto last = std::upper_bound(first, by_code_point.end(), cp,
                                     [&](char32_t c, std::uint16_t pointer) { return c < code_point(pointer); });
  return {first, last};
}

// The four-byte gb18030 ranges: the code point of a four-byte pointer, 0 when it has none, and
// the pointer of a code point (REQUIRES: `cp` is a scalar value of U+0080 or above).
char32_t gb18030_range_code_point(std::uint32_t pointer);
std::uint32_t gb18030_range_pointer(char32_t cp);

}  // namespace encoding::detail
