// The character structures: which dialect bytes start a character under UTF-16, the double-byte encodings and ISO-2022-JP.
#include "csv/characters.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <utility>

namespace csv::detail {

Filter CharacterStructure::filter_for(const Dialect& d) {
  // The highest dialect byte (CR and LF are below every trail byte).
  const unsigned char top = std::max({d.delimiter, d.quote, d.escape.value_or(0)});
  auto is_digit = [](unsigned char b) { return b >= '0' && b <= '9'; };
  switch (d.characters) {
    case Characters::bytes:
      return Filter::none;
    case Characters::utf16le:
      return Filter::utf16le;
    case Characters::utf16be:
      return Filter::utf16be;
    // Below the lowest byte that can follow a lead, every byte starts a character: with only such
    // dialect bytes (the usual ones: comma, semicolon, tab, quotes) the structure changes nothing.
    case Characters::shift_jis:
    case Characters::big5:
      return top < 0x40 ? Filter::none : Filter::lead_runs;
    case Characters::euc_kr:
      return top < 0x41 ? Filter::none : Filter::lead_runs;
    case Characters::gb18030:
      // A digit can also be the second byte of a four-byte sequence.
      if (is_digit(d.delimiter) || is_digit(d.quote) || (d.escape && is_digit(*d.escape))) return Filter::gb18030;
      return top < 0x40 ? Filter::none : Filter::lead_runs;
    case Characters::iso2022jp:
      return Filter::iso2022jp;
  }
  return Filter::none;
}

CharacterStructure::CharacterStructure(const Dialect& d)
    : filter_(filter_for(d)), ranges_(range_marker(widest_isa())) {
  const SpecialBytes special = special_bytes(d);
  for (unsigned char b : {special.delimiter, special.quote, special.escape, static_cast<unsigned char>('\r'),
                          static_cast<unsigned char>('\n')}) {
    special_[b] = true;
  }
  for (unsigned b = 0; b < 256; ++b) unit_value_[b] = static_cast<unsigned short>(b);
  switch (filter_) {
    case Filter::none:
      return;
    case Filter::utf16le:
    case Filter::utf16be:
      narrowing_ = ByteRanges{0x00, 0, 0, 0, false};  // the zero half of a unit
      return;
    case Filter::gb18030:
      narrowing_ = ByteRanges{0x80, 0x7F, 0, 0, false};  // where the decoder's steps are needed
      break;
    case Filter::iso2022jp:
      narrowing_ = ByteRanges{0x1B, 0, 0, 0, false};  // ESC
      unit_value_[0x1B] = kNoUnit;                     // always begins an escape sequence
      return;
    case Filter::lead_runs:
      break;
  }
  // The double-byte encodings.
  switch (d.characters) {
    case Characters::shift_jis:
      lead_high_ = 0x9F;
      lead_low2_ = 0xE0;
      lead_high2_ = 0xFC;
      break;
    case Characters::euc_kr:
      trail_low_ = 0x41;
      break;
    case Characters::big5:
    case Characters::gb18030:
      break;
    case Characters::bytes:
    case Characters::utf16le:
    case Characters::utf16be:
    case Characters::iso2022jp:
      assert(false && "no double-byte encoding");
      break;
  }
  auto is_lead = [this](unsigned b) {
    return (b >= lead_low_ && b <= lead_high_) || (b >= lead_low2_ && b <= lead_high2_);
  };
  for (unsigned b = 0; b < 256; ++b) {
    if (is_lead(b)) unit_value_[b] = kNoUnit;
  }
  if (filter_ == Filter::lead_runs) {
    narrowing_ = ByteRanges{lead_low_, static_cast<unsigned char>(lead_high_ - lead_low_), lead_low2_,
                            static_cast<unsigned char>(lead_high2_ - lead_low2_), lead_low2_ <= lead_high2_};
  }
  const unsigned char bytes[3] = {special.delimiter, special.quote, special.escape};
  for (std::size_t k = 0; k < 3; ++k) {
    if (bytes[k] < trail_low_ || bytes[k] > 0x7E) continue;
    trail_slots_[bytes[k]] |= static_cast<std::uint8_t>(1u << k);
    if (!d.pair_is_character) continue;
    for (unsigned lead = 0x81; lead < 0xFF; ++lead) {
      if (is_lead(lead) && !d.pair_is_character(static_cast<unsigned char>(lead), bytes[k])) {
        pair_breaks_[lead] |= static_cast<std::uint8_t>(1u << k);
      }
    }
  }
}

void CharacterStructure::narrow(const unsigned char* window, std::size_t size, bool odd_start,
                                const unsigned char* read_end, std::uint64_t* masks) {
  assert(size > 0 && filter_ != Filter::none && "nothing to narrow");
  window_ = window;
  read_end_ = read_end;
  ranges_(window, (size + kBlock - 1) / kBlock, aux_, narrowing_);
  switch (filter_) {
    case Filter::none:
      break;
    case Filter::utf16le:
    case Filter::utf16be:
      narrow_utf16(size, odd_start, masks);
      break;
    case Filter::lead_runs:
      narrow_lead_runs(size, masks);
      break;
    case Filter::gb18030:
      narrow_gb18030(size, masks);
      break;
    case Filter::iso2022jp:
      narrow_iso2022jp(size, masks);
      break;
  }
  carry_.last = window[size - 1];
}

// Every buffer begins at an even offset of the input, so a unit begins at an even offset of it.
// The mask keeps the first byte of each unit that is a dialect byte.
void CharacterStructure::narrow_utf16(std::size_t size, bool odd_start, std::uint64_t* masks) const {
  const bool big_endian = filter_ == Filter::utf16be;
  const std::uint64_t starts = odd_start ? 0xAAAAAAAAAAAAAAAAULL : 0x5555555555555555ULL;
  const std::size_t blocks = (size + kBlock - 1) / kBlock;
  for (std::size_t b = 0; b < blocks; ++b) {
    const unsigned char* block = window_ + b * kBlock;
    const std::size_t valid = std::min(kBlock, size - b * kBlock);
    const std::uint64_t zero = aux_[b] & low_bits(valid);
    // The same for the first byte of the next block, which the shifts below bring in.
    const bool next_in = b * kBlock + kBlock < size;
    const std::uint64_t special_here = masks[b];
    if (big_endian) {
      const std::uint64_t next_special = next_in && special_[block[kBlock]] ? 1 : 0;
      masks[b] = ((special_here >> 1) | (next_special << 63)) & zero & starts;
    } else {
      const std::uint64_t next_zero = next_in && block[kBlock] == 0 ? 1 : 0;
      masks[b] = special_here & ((zero >> 1) | (next_zero << 63)) & starts;
    }
  }
}

void CharacterStructure::narrow_lead_runs(std::size_t size, std::uint64_t* masks) {
  constexpr std::uint64_t kEven = 0x5555555555555555ULL;
  const std::size_t blocks = (size + kBlock - 1) / kBlock;
  std::uint64_t after_lead = carry_.after_lead;
  for (std::size_t b = 0; b < blocks; ++b) {
    const unsigned char* block = window_ + b * kBlock;
    const std::size_t valid = std::min(kBlock, size - b * kBlock);
    const std::uint64_t leads_capable = aux_[b] & low_bits(valid);
    const std::uint64_t found = masks[b] & ~leads_capable;
    // A run of lead bytes that starts a character alternates lead and second byte; one that
    // begins right after a lead (only the run at bit 0 can) starts with a second byte.
    const std::uint64_t run_starts = leads_capable & ~(leads_capable << 1);
    const std::uint64_t shifted = after_lead & leads_capable & 1;  // the run at bit 0 starts at -1
    const std::uint64_t even_starts = run_starts & kEven & ~shifted;
    const std::uint64_t odd_starts = (run_starts & ~kEven) | shifted;
    const std::uint64_t leads = ((leads_capable & ~(leads_capable + even_starts)) & kEven) |
                                ((leads_capable & ~(leads_capable + odd_starts)) & ~kEven);
    const std::uint64_t seconds = (leads << 1) | after_lead;
    std::uint64_t keep = found & ~seconds;
    // A dialect byte right after a lead: part of the character, unless the decoder gives it back.
    for (std::uint64_t check = found & seconds; check != 0; check &= check - 1) {
      const std::size_t i = static_cast<std::size_t>(std::countr_zero(check));
      const unsigned char lead = i > 0 ? block[i - 1] : (b > 0 ? block[-1] : carry_.last);
      if (given_back(lead, block[i])) keep |= std::uint64_t{1} << i;
    }
    masks[b] = keep;
    after_lead = (leads >> (valid - 1)) & 1;
  }
  carry_.after_lead = after_lead;
}

// The gb18030 decoder's steps, byte by byte where a byte above 0x7F is near; needed only when a
// dialect byte is a digit, which can be the second byte of a four-byte sequence.
void CharacterStructure::narrow_gb18030(std::size_t size, std::uint64_t* masks) {
  auto in_lead = [](int b) { return b >= 0x81 && b <= 0xFE; };
  auto is_digit = [](int b) { return b >= 0x30 && b <= 0x39; };
  Carry c = carry_;
  // Whether the byte x at `at` starts a character.
  auto step = [&](int x, const unsigned char* at) -> bool {
    for (;;) {
      if (c.third != 0) {
        if (is_digit(x)) {
          c.first = c.second = c.third = 0;
          return false;
        }
        // The decoder reads the second byte (a digit, settled when it was met), the third and this
        // one again: the third as a lead.
        c.first = c.third;
        c.second = c.third = 0;
        continue;
      }
      if (c.second != 0) {
        if (in_lead(x)) {
          c.third = x;
          return false;
        }
        c.first = c.second = 0;  // the digit and this byte are read again
        continue;
      }
      if (c.first != 0) {
        if (is_digit(x)) {
          c.second = x;
          // Inside a four-byte sequence when a lead and a digit follow, or the input ends first;
          // otherwise the decoder gives it back.
          const int n1 = look(at + 1);
          const int n2 = n1 < 0 ? -1 : look(at + 2);
          return !(n1 < 0 || (in_lead(n1) && (n2 < 0 || is_digit(n2))));
        }
        const auto lead = static_cast<unsigned char>(std::exchange(c.first, 0));
        return given_back(lead, static_cast<unsigned char>(x));
      }
      if (in_lead(x)) c.first = x;
      return true;
    }
  };
  const std::size_t blocks = (size + kBlock - 1) / kBlock;
  for (std::size_t b = 0; b < blocks; ++b) {
    const unsigned char* block = window_ + b * kBlock;
    const std::size_t valid = std::min(kBlock, size - b * kBlock);
    const std::uint64_t high = aux_[b] & low_bits(valid);
    const std::uint64_t found = masks[b];
    std::uint64_t keep = 0;
    for (std::size_t i = 0; i < valid; ++i) {
      if (c.first == 0) {
        // Between characters: every byte up to the next one above 0x7F is a character.
        const std::uint64_t ahead = high & ~low_bits(i);
        const std::size_t j = ahead == 0 ? valid : static_cast<std::size_t>(std::countr_zero(ahead));
        keep |= found & low_bits(j) & ~low_bits(i);
        i = j;
        if (i == valid) break;
      }
      const int x = block[i];
      if (step(x, block + i) && !in_lead(x)) keep |= found & (std::uint64_t{1} << i);
    }
    masks[b] = keep;
  }
  carry_ = c;
}

// The decoder's mode at each byte. Only escape sequences change it, so a block without ESC keeps
// all its dialect bytes or none. An escape sequence the decoder does not know costs only its ESC:
// the bytes after it are read again in the mode in force.
void CharacterStructure::narrow_iso2022jp(std::size_t size, std::uint64_t* masks) {
  Carry c = carry_;
  const std::size_t blocks = (size + kBlock - 1) / kBlock;
  for (std::size_t b = 0; b < blocks; ++b) {
    const unsigned char* block = window_ + b * kBlock;
    const std::size_t valid = std::min(kBlock, size - b * kBlock);
    const std::uint64_t escapes = aux_[b] & low_bits(valid);
    const std::uint64_t found = masks[b];
    std::uint64_t keep = 0;
    std::size_t i = 0;
    while (i < valid) {
      if (c.skip != 0) {
        --c.skip;
        ++i;
        continue;
      }
      const std::uint64_t ahead = escapes & ~low_bits(i);
      const std::size_t j = ahead == 0 ? valid : static_cast<std::size_t>(std::countr_zero(ahead));
      if (c.mode <= kRoman) keep |= found & low_bits(j) & ~low_bits(i);
      if (j == valid) break;
      const int n1 = look(block + j + 1);
      const int n2 = n1 < 0 ? -1 : look(block + j + 2);
      if (const int mode = mode_switch(n1, n2); mode >= 0) {
        c.mode = static_cast<unsigned char>(mode);
        c.skip = kModeSwitchSize - 1;
      }
      i = j + 1;
    }
    masks[b] = keep;
  }
  carry_ = c;
}


int CharacterStructure::mode_switch_at(const unsigned char* p, const unsigned char* read_end) {
  if (read_end - p < static_cast<std::ptrdiff_t>(kModeSwitchSize) || p[0] != 0x1B) return -1;
  return mode_switch(p[1], p[2]);
}

bool CharacterStructure::ends_with_mode_switch(std::string_view bytes) {
  if (bytes.size() < kModeSwitchSize) return false;
  const std::string_view last = bytes.substr(bytes.size() - kModeSwitchSize);
  return last[0] == '\x1B' && mode_switch(last[1], last[2]) >= 0;
}

}  // namespace csv::detail
