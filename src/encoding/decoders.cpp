// The decoders. Each follows the standard's decoder algorithm for its encoding step by step,
// including the bytes it gives back to the input after an error; the fatal mode stops at the
// first error, the replacement mode (for tests) writes U+FFFD and reads the given-back bytes again.
#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "encoding/codec.h"
#include "encoding/encoding.h"

namespace encoding::detail {

char32_t gb18030_range_code_point(std::uint32_t pointer) {
  if ((pointer > 39419 && pointer < 189000) || pointer > 1237575) return 0;
  if (pointer == 7457) return 0xE7C7;
  // The last range starting at or before `pointer`; the first range starts at pointer 0.
  const auto next = std::upper_bound(tables::gb18030_ranges.begin(), tables::gb18030_ranges.end(), pointer,
                                     [](std::uint32_t p, const tables::Gb18030Range& r) { return p < r.pointer; });
  const auto& range = *(next - 1);
  return range.code_point + (pointer - range.pointer);
}

namespace {

enum class ErrorMode : unsigned char { fatal, replacement };


// A byte outside a sequence, for the decoders whose lead bytes are 0x81 to 0xFE: ASCII stands for
// itself, a lead byte is remembered, anything else is an error.
Step start_sequence(int byte, int& lead, std::string& out) {
  if (is_ascii(byte)) return emit(out, static_cast<char32_t>(byte));
  if (!in_range(byte, 0x81, 0xFE)) return error();
  lead = byte;
  return kProceed;
}

class Utf8Decoder {
 public:
  Step handle(int byte, std::string& out) {
    if (byte == kEndOfQueue) {
      if (bytes_needed_ == 0) return kFinished;
      bytes_needed_ = 0;
      return error();
    }
    if (bytes_needed_ == 0) {
      if (is_ascii(byte)) return emit(out, static_cast<char32_t>(byte));
      if (in_range(byte, 0xC2, 0xDF)) {
        bytes_needed_ = 1;
        code_point_ = byte & 0x1F;
      } else if (in_range(byte, 0xE0, 0xEF)) {
        if (byte == 0xE0) lower_boundary_ = 0xA0;
        if (byte == 0xED) upper_boundary_ = 0x9F;
        bytes_needed_ = 2;
        code_point_ = byte & 0xF;
      } else if (in_range(byte, 0xF0, 0xF4)) {
        if (byte == 0xF0) lower_boundary_ = 0x90;
        if (byte == 0xF4) upper_boundary_ = 0x8F;
        bytes_needed_ = 3;
        code_point_ = byte & 0x7;
      } else {
        return error();
      }
      return kProceed;
    }
    if (!in_range(byte, lower_boundary_, upper_boundary_)) {
      code_point_ = bytes_needed_ = bytes_seen_ = 0;
      lower_boundary_ = 0x80;
      upper_boundary_ = 0xBF;
      return error(1);
    }
    lower_boundary_ = 0x80;
    upper_boundary_ = 0xBF;
    code_point_ = (code_point_ << 6) | (byte & 0x3F);
    if (++bytes_seen_ != bytes_needed_) return kProceed;
    const char32_t cp = code_point_;
    code_point_ = bytes_needed_ = bytes_seen_ = 0;
    return emit(out, cp);
  }

  // Between sequences, copies the well-formed run at `pos` in one go: the decoder would turn each
  // of those sequences into itself, and this is what keeps long fields at memory speed. Whatever
  // is not well-formed is left to `handle`, which says where the error is.
  void skip_well_formed(std::string_view bytes, std::size_t& pos, std::string& out) const {
    if (bytes_needed_ != 0) return;
    const std::size_t run = utf8::well_formed_prefix(bytes.substr(pos));
    out.append(bytes.data() + pos, run);
    pos += run;
  }

 private:
  char32_t code_point_ = 0;
  int bytes_seen_ = 0;
  int bytes_needed_ = 0;
  int lower_boundary_ = 0x80;
  int upper_boundary_ = 0xBF;
};

class Utf16Decoder {
 public:
  explicit Utf16Decoder(bool big_endian) : big_endian_(big_endian) {}

  Step handle(int byte, std::string& out) {
    if (byte == kEndOfQueue) {
      if (lead_byte_ < 0 && lead_surrogate_ < 0) return kFinished;
      lead_byte_ = lead_surrogate_ = -1;
      return error();
    }
    if (lead_byte_ < 0) {
      lead_byte_ = byte;
      return kProceed;
    }
    const int code_unit = big_endian_ ? (lead_byte_ << 8) + byte : (byte << 8) + lead_byte_;
    lead_byte_ = -1;
    if (lead_surrogate_ >= 0) {
      const int lead_surrogate = lead_surrogate_;
      lead_surrogate_ = -1;
      if (in_range(code_unit, 0xDC00, 0xDFFF)) {
        return emit(out, static_cast<char32_t>(0x10000 + ((lead_surrogate - 0xD800) << 10) + (code_unit - 0xDC00)));
      }
      // The code unit after an unpaired lead surrogate is read again as a unit of its own; its
      // two bytes are the last two read, in either byte order.
      return error(2);
    }
    if (in_range(code_unit, 0xD800, 0xDBFF)) {
      lead_surrogate_ = code_unit;
      return kProceed;
    }
    if (in_range(code_unit, 0xDC00, 0xDFFF)) return error();
    return emit(out, static_cast<char32_t>(code_unit));
  }

 private:
  bool big_endian_;
  int lead_byte_ = -1;
  int lead_surrogate_ = -1;
};

class SingleByteDecoder {
 public:
  explicit SingleByteDecoder(const tables::SingleByteIndex& index) : index_(index) {}

  Step handle(int byte, std::string& out) const {
    if (byte == kEndOfQueue) return kFinished;
    if (is_ascii(byte)) return emit(out, static_cast<char32_t>(byte));
    const char32_t cp = index_[static_cast<std::size_t>(byte - 0x80)];
    return cp != 0 ? emit(out, cp) : error();
  }

 private:
  const tables::SingleByteIndex& index_;
};

class XUserDefinedDecoder {
 public:
  Step handle(int byte, std::string& out) const {
    if (byte == kEndOfQueue) return kFinished;
    return emit(out, static_cast<char32_t>(is_ascii(byte) ? byte : 0xF780 + byte - 0x80));
  }
};

class ReplacementDecoder {
 public:
  Step handle(int byte, std::string&) {
    if (byte == kEndOfQueue || error_returned_) return kFinished;
    error_returned_ = true;
    return error();
  }

 private:
  bool error_returned_ = false;
};

// Also the GBK decoder.
class Gb18030Decoder {
 public:
  Step handle(int byte, std::string& out) {
    if (byte == kEndOfQueue) {
      if (first_ == 0 && second_ == 0 && third_ == 0) return kFinished;
      first_ = second_ = third_ = 0;
      return error();
    }
    if (third_ != 0) {
      if (!in_range(byte, 0x30, 0x39)) {
        first_ = second_ = third_ = 0;
        return error(3);  // second, third and this byte
      }
      const char32_t cp = gb18030_range_code_point(static_cast<std::uint32_t>(
          (first_ - 0x81) * (10 * 126 * 10) + (second_ - 0x30) * (10 * 126) + (third_ - 0x81) * 10 + byte - 0x30));
      first_ = second_ = third_ = 0;
      return cp != 0 ? emit(out, cp) : error();
    }
    if (second_ != 0) {
      if (in_range(byte, 0x81, 0xFE)) {
        third_ = byte;
        return kProceed;
      }
      first_ = second_ = 0;
      return error(2);  // second and this byte
    }
    if (first_ != 0) {
      if (in_range(byte, 0x30, 0x39)) {
        second_ = byte;
        return kProceed;
      }
      const int lead = first_;
      first_ = 0;
      const int offset = byte < 0x7F ? 0x40 : 0x41;
      char32_t cp = 0;
      if (in_range(byte, 0x40, 0x7E) || in_range(byte, 0x80, 0xFE)) {
        cp = code_point_at(tables::gb18030, static_cast<std::uint32_t>((lead - 0x81) * 190 + (byte - offset)));
      }
      return emit_or_trail_error(out, cp, byte);
    }
    if (byte == 0x80) return emit(out, 0x20AC);
    return start_sequence(byte, first_, out);
  }

 private:
  int first_ = 0;
  int second_ = 0;
  int third_ = 0;
};

class Big5Decoder {
 public:
  Step handle(int byte, std::string& out) {
    if (byte == kEndOfQueue) return end_with_lead(lead_);
    if (lead_ != 0) {
      const int lead = std::exchange(lead_, 0);
      const int offset = byte < 0x7F ? 0x40 : 0x62;
      char32_t cp = 0;
      if (in_range(byte, 0x40, 0x7E) || in_range(byte, 0xA1, 0xFE)) {
        const auto pointer = static_cast<std::uint32_t>((lead - 0x81) * 157 + (byte - offset));
        for (const tables::Big5Pair& pair : tables::big5_pairs) {
          if (pair.pointer == pointer) {
            utf8::append(out, pair.first);
            return emit(out, pair.second);
          }
        }
        cp = code_point_at(tables::big5, pointer);
      }
      return emit_or_trail_error(out, cp, byte);
    }
    return start_sequence(byte, lead_, out);
  }

 private:
  int lead_ = 0;
};

class EucJpDecoder {
 public:
  Step handle(int byte, std::string& out) {
    if (byte == kEndOfQueue) return end_with_lead(lead_);
    if (lead_ == 0x8E && in_range(byte, 0xA1, 0xDF)) {
      lead_ = 0;
      return emit(out, static_cast<char32_t>(0xFF61 - 0xA1 + byte));
    }
    if (lead_ == 0x8F && in_range(byte, 0xA1, 0xFE)) {
      jis0212_ = true;
      lead_ = byte;
      return kProceed;
    }
    if (lead_ != 0) {
      const int lead = std::exchange(lead_, 0);
      char32_t cp = 0;
      if (in_range(lead, 0xA1, 0xFE) && in_range(byte, 0xA1, 0xFE)) {
        const auto pointer = static_cast<std::uint32_t>((lead - 0xA1) * 94 + byte - 0xA1);
        cp = jis0212_ ? code_point_at(tables::jis0212, pointer) : code_point_at(tables::jis0208, pointer);
      }
      jis0212_ = false;
      return emit_or_trail_error(out, cp, byte);
    }
    if (is_ascii(byte)) return emit(out, static_cast<char32_t>(byte));
    if (byte == 0x8E || byte == 0x8F || in_range(byte, 0xA1, 0xFE)) {
      lead_ = byte;
      return kProceed;
    }
    return error();
  }

 private:
  bool jis0212_ = false;
  int lead_ = 0;
};

class Iso2022JpDecoder {
 public:
  Step handle(int byte, std::string& out) {
    switch (state_) {
      case State::ascii:
      case State::roman:
        if (byte == 0x1B) return start_escape();
        if (byte == kEndOfQueue) return kFinished;
        if (state_ == State::roman && byte == 0x5C) return emit_text(out, 0xA5);
        if (state_ == State::roman && byte == 0x7E) return emit_text(out, 0x203E);
        if (is_ascii(byte) && byte != 0x0E && byte != 0x0F) return emit_text(out, static_cast<char32_t>(byte));
        output_ = false;
        return error();
      case State::katakana:
        if (byte == 0x1B) return start_escape();
        if (byte == kEndOfQueue) return kFinished;
        if (in_range(byte, 0x21, 0x5F)) return emit_text(out, static_cast<char32_t>(0xFF61 - 0x21 + byte));
        output_ = false;
        return error();
      case State::lead_byte:
        if (byte == 0x1B) return start_escape();
        if (byte == kEndOfQueue) return kFinished;
        output_ = false;
        if (!in_range(byte, 0x21, 0x7E)) return error();
        lead_ = byte;
        state_ = State::trail_byte;
        return kProceed;
      case State::trail_byte:
        if (byte == 0x1B) {
          state_ = State::escape_start;
          return error();
        }
        state_ = State::lead_byte;
        if (in_range(byte, 0x21, 0x7E)) {
          const char32_t cp =
              code_point_at(tables::jis0208, static_cast<std::uint32_t>((lead_ - 0x21) * 94 + byte - 0x21));
          return cp != 0 ? emit(out, cp) : error();
        }
        return error();
      case State::escape_start:
        if (byte == 0x24 || byte == 0x28) {
          lead_ = byte;
          state_ = State::escape;
          return kProceed;
        }
        output_ = false;
        state_ = output_state_;
        return error(byte == kEndOfQueue ? 0 : 1);
      case State::escape:
        return finish_escape(byte);
    }
    return error();
  }

 private:
  enum class State : unsigned char { ascii, roman, katakana, lead_byte, trail_byte, escape_start, escape };

  Step start_escape() {
    state_ = State::escape_start;
    return kProceed;
  }

  Step emit_text(std::string& out, char32_t cp) {
    output_ = false;
    return emit(out, cp);
  }

  Step finish_escape(int byte) {
    const int lead = std::exchange(lead_, 0);
    std::optional<State> state;
    if (lead == 0x28 && byte == 0x42) state = State::ascii;
    if (lead == 0x28 && byte == 0x4A) state = State::roman;
    if (lead == 0x28 && byte == 0x49) state = State::katakana;
    if (lead == 0x24 && (byte == 0x40 || byte == 0x42)) state = State::lead_byte;
    if (state) {
      state_ = output_state_ = *state;
      // Two escape sequences in a row, with nothing decoded between them, are an error.
      return std::exchange(output_, true) ? error() : kProceed;
    }
    output_ = false;
    state_ = output_state_;
    return error(byte == kEndOfQueue ? 1 : 2);  // the escape's lead, and this byte
  }

  State state_ = State::ascii;
  State output_state_ = State::ascii;
  int lead_ = 0;
  bool output_ = false;
};

class ShiftJisDecoder {
 public:
  Step handle(int byte, std::string& out) {
    if (byte == kEndOfQueue) return end_with_lead(lead_);
    if (lead_ != 0) {
      const int lead = std::exchange(lead_, 0);
      const int offset = byte < 0x7F ? 0x40 : 0x41;
      const int lead_offset = lead < 0xA0 ? 0x81 : 0xC1;
      char32_t cp = 0;
      if (in_range(byte, 0x40, 0x7E) || in_range(byte, 0x80, 0xFC)) {
        const auto pointer = static_cast<std::uint32_t>((lead - lead_offset) * 188 + byte - offset);
        // The user-defined area: private-use code points by rule, not by index.
        if (pointer >= 8836 && pointer <= 10715) return emit(out, static_cast<char32_t>(0xE000 - 8836 + pointer));
        cp = code_point_at(tables::jis0208, pointer);
      }
      return emit_or_trail_error(out, cp, byte);
    }
    if (is_ascii(byte) || byte == 0x80) return emit(out, static_cast<char32_t>(byte));
    if (in_range(byte, 0xA1, 0xDF)) return emit(out, static_cast<char32_t>(0xFF61 - 0xA1 + byte));
    if (in_range(byte, 0x81, 0x9F) || in_range(byte, 0xE0, 0xFC)) {
      lead_ = byte;
      return kProceed;
    }
    return error();
  }

 private:
  int lead_ = 0;
};

class EucKrDecoder {
 public:
  Step handle(int byte, std::string& out) {
    if (byte == kEndOfQueue) return end_with_lead(lead_);
    if (lead_ != 0) {
      const int lead = std::exchange(lead_, 0);
      char32_t cp = 0;
      if (in_range(byte, 0x41, 0xFE)) {
        cp = code_point_at(tables::euc_kr, static_cast<std::uint32_t>((lead - 0x81) * 190 + (byte - 0x41)));
      }
      return emit_or_trail_error(out, cp, byte);
    }
    return start_sequence(byte, lead_, out);
  }

 private:
  int lead_ = 0;
};

template <class Decoder>
bool run(Decoder decoder, std::string_view bytes, std::string& out, ErrorMode mode) {
  out.reserve(out.size() + bytes.size());
  std::size_t pos = 0;
  for (;;) {
    if constexpr (requires { decoder.skip_well_formed(bytes, pos, out); }) decoder.skip_well_formed(bytes, pos, out);
    const bool at_end = pos == bytes.size();
    const int item = at_end ? kEndOfQueue : static_cast<unsigned char>(bytes[pos++]);
    const Step step = decoder.handle(item, out);
    if (step.kind == Step::finished) return true;
    if (step.kind == Step::error) {
      if (mode == ErrorMode::fatal) return false;
      utf8::append(out, 0xFFFD);
      pos -= step.unread;
    }
  }
}

bool decode_in_mode(Encoding encoding, std::string_view bytes, std::string& out, ErrorMode mode) {
  switch (family(encoding)) {
    case Family::utf_8:
      return run(Utf8Decoder(), bytes, out, mode);
    case Family::utf_16be:
      return run(Utf16Decoder(true), bytes, out, mode);
    case Family::utf_16le:
      return run(Utf16Decoder(false), bytes, out, mode);
    case Family::gb18030:
    case Family::gbk:
      return run(Gb18030Decoder(), bytes, out, mode);
    case Family::big5:
      return run(Big5Decoder(), bytes, out, mode);
    case Family::euc_jp:
      return run(EucJpDecoder(), bytes, out, mode);
    case Family::iso_2022_jp:
      return run(Iso2022JpDecoder(), bytes, out, mode);
    case Family::shift_jis:
      return run(ShiftJisDecoder(), bytes, out, mode);
    case Family::euc_kr:
      return run(EucKrDecoder(), bytes, out, mode);
    case Family::x_user_defined:
      return run(XUserDefinedDecoder(), bytes, out, mode);
    case Family::replacement:
      return run(ReplacementDecoder(), bytes, out, mode);
    case Family::single_byte:
      return run(SingleByteDecoder(single_byte_index(encoding)), bytes, out, mode);
  }
  return false;  // not reached: the cases name every family
}

}  // namespace
}  // namespace encoding::detail

namespace encoding {

bool decode(Encoding encoding, std::string_view bytes, std::string& out) {
  return detail::decode_in_mode(encoding, bytes, out, detail::ErrorMode::fatal);
}

std::string detail::decode_replacing(Encoding encoding, std::string_view bytes) {
  std::string out;
  // Cannot fail in this mode.
  static_cast<void>(decode_in_mode(encoding, bytes, out, ErrorMode::replacement));
  return out;
}

}  // namespace encoding
