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
