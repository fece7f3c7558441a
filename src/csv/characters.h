// The character structures: which dialect bytes start a character under UTF-16, the double-byte encodings and ISO-2022-JP.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "csv/internal.h"

namespace csv::detail {

// The reader classifies a window of this many blocks at a time.
inline constexpr std::size_t kWindowBlocks = 256;

// A unit value that is no dialect byte.
inline constexpr unsigned kNoUnit = 0x100;

// How the classification is narrowed down to the dialect bytes that start a character.
enum class Filter : unsigned char {
  none,
  utf16le,
  utf16be,
  // Double-byte encodings where no dialect byte is a digit under gb18030: a byte follows a lead
  // exactly when an odd run of lead bytes ends right before it, which whole blocks of masks give.
  lead_runs,
  gb18030,    // the gb18030 decoder byte by byte, with a look ahead for digits
  iso2022jp,  // the mode at each byte, from the escape sequences
};

// What the reader needs to know of Dialect::characters. Fixed by the dialect, except for what it
// carries from one window of the input to the next: every byte of the input passes narrow() once,
// in order.
class CharacterStructure {
 public:
  explicit CharacterStructure(const Dialect& d);
  CharacterStructure(const CharacterStructure&) = delete;
  CharacterStructure& operator=(const CharacterStructure&) = delete;

  Filter filter() const { return filter_; }
  bool utf16() const { return filter_ == Filter::utf16le || filter_ == Filter::utf16be; }
  // Bytes held back from the parser at the end of each read but the last, so that whether a byte
  // starts a character is known from what follows it (gb18030's digits, ISO-2022-JP's escape
  // sequences); they begin the next buffer.
  std::size_t hold() const { return filter_ == Filter::gb18030 || filter_ == Filter::iso2022jp ? 2 : 0; }
  // The unit the parser matches for a dialect byte: the byte, or kNoUnit for one that never stands
  // for itself (it begins a longer character, or an escape sequence).
  unsigned unit(unsigned char byte) const { return unit_value_[byte]; }

  // Keeps in `masks`, the special bytes of the `size` bytes at `window` (size > 0), only those
  // that start a character. `odd_start`: the window begins at an odd offset of its buffer (every
  // buffer begins at an even offset of the input). Bytes up to `read_end` may be looked at, those
  // held back included; past it the input ends. REQUIRES: filter() != Filter::none.
  void narrow(const unsigned char* window, std::size_t size, bool odd_start, const unsigned char* read_end,
              std::uint64_t* masks);

  // ISO-2022-JP's modes, and the mode that the escape sequence ESC `first` `second` switches to
  // (-1: none, for bytes the decoder does not take as one). Dialect bytes count in ASCII and Roman.
  static constexpr int kAscii = 0, kRoman = 1, kKatakana = 2, kDoubleByte = 3;
  static constexpr int mode_switch(int first, int second) {
    if (first == '(' && second == 'B') return kAscii;
    if (first == '(' && second == 'J') return kRoman;
    if (first == '(' && second == 'I') return kKatakana;
    if (first == '$' && (second == '@' || second == 'B')) return kDoubleByte;
    return -1;
  }
  static constexpr std::size_t kModeSwitchSize = 3;
  // The mode that a mode switch beginning at `p` sets, or -1 where none begins (bytes at or past
  // `read_end` count as the end of the input).
  static int mode_switch_at(const unsigned char* p, const unsigned char* read_end);
  // Whether `bytes` end with a whole mode switch.
  static bool ends_with_mode_switch(std::string_view bytes);

 private:
  static Filter filter_for(const Dialect& d);
  void narrow_utf16(std::size_t size, bool odd_start, std::uint64_t* masks) const;
  void narrow_lead_runs(std::size_t size, std::uint64_t* masks);
  void narrow_gb18030(std::size_t size, std::uint64_t* masks);
  void narrow_iso2022jp(std::size_t size, std::uint64_t* masks);
  // Whether the decoder gives `byte`, a dialect byte, back after the lead byte `lead`.
  bool given_back(unsigned char lead, unsigned char byte) const {
    if (byte >= 0x80) return false;
    if (byte < trail_low_ || byte > 0x7E) return true;
    return (pair_breaks_[lead] & trail_slots_[byte]) != 0;
  }
  // The byte at `p`, or -1 past the end of the input; only asked within hold() bytes of the end
  // of the window.
  int look(const unsigned char* p) const { return p < read_end_ ? *p : -1; }

  const Filter filter_;
  const RangeFn ranges_;
  // Which byte values are special (the classifier's bytes).
  bool special_[256] = {};
  // Fixed: the lead bytes, the lowest ASCII byte a lead takes with it, which of the dialect bytes
  // (k: delimiter, quote, escape) each lead gives back, and which of them each byte value is; and
  // each byte's unit value.
  unsigned char lead_low_ = 0x81, lead_high_ = 0xFE;    // one range, or Shift_JIS's two:
  unsigned char lead_low2_ = 0xFF, lead_high2_ = 0xFE;  // empty unless Shift_JIS
  unsigned char trail_low_ = 0x40;
  std::uint8_t pair_breaks_[256] = {};
  std::uint8_t trail_slots_[256] = {};  // per byte value: bit k when it is dialect byte k
  unsigned short unit_value_[256] = {};
  // The bytes the narrowing looks for first, and where they are in the window: a mask per block.
  ByteRanges narrowing_{};
  std::uint64_t aux_[kWindowBlocks];

  // The window being narrowed.
  const unsigned char* window_ = nullptr;
  const unsigned char* read_end_ = nullptr;
  // Carried from window to window.
  struct Carry {
    std::uint64_t after_lead = 0;          // the next byte follows a lead byte
    unsigned char last = 0;                // the last byte narrowed
    int first = 0, second = 0, third = 0;  // gb18030: the decoder's bytes in hand
    unsigned char mode = kAscii;           // ISO-2022-JP
    unsigned char skip = 0;                // ISO-2022-JP: bytes of an escape sequence still to pass
  } carry_;
};

}  // namespace csv::detail
