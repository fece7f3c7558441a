// The encoders. Each follows the standard's encoder algorithm for its encoding; an error means
// the code point is unmappable, and the driver leaves it out and goes on.
#include <cassert>
#include <optional>

#include "encoding/codec.h"
#include "encoding/encoding.h"

namespace encoding::detail {

std::uint32_t gb18030_range_pointer(char32_t cp) {
  assert(cp >= 0x80 && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF) && "a scalar value beyond ASCII");
  if (cp == 0xE7C7) return 7457;
  // The last range starting at or before `cp`; the first range starts at U+0080.
  const auto next = std::upper_bound(tables::gb18030_ranges.begin(), tables::gb18030_ranges.end(), cp,
                                     [](char32_t c, const tables::Gb18030Range& r) { return c < r.code_point; });
  const auto& range = *(next - 1);
  return range.pointer + (cp - range.code_point);
}

namespace {


// Every encoder passes ASCII through; this is the common first step.
std::optional<Step> end_or_ascii(int cp, std::string& out) {
  if (cp == kEndOfQueue) return kFinished;
  if (is_ascii(cp)) return write(out, {static_cast<unsigned>(cp)});
  return std::nullopt;
}

class Utf8Encoder {
 public:
  Step handle(int cp, std::string& out) const {
    if (cp == kEndOfQueue) return kFinished;
    return emit(out, static_cast<char32_t>(cp));
  }
};

class SingleByteEncoder {
 public:
  explicit SingleByteEncoder(const tables::SingleByteIndex& index) : index_(index) {}

  Step handle(int cp, std::string& out) const {
    if (const auto step = end_or_ascii(cp, out)) return *step;
    // 128 entries: a scan is as quick as anything cleverer, and finds the first pointer.
    const auto found = std::find(index_.begin(), index_.end(), cp);
    if (found == index_.end()) return error();
    return write(out, {static_cast<unsigned>(found - index_.begin()) + 0x80});
  }

 private:
  const tables::SingleByteIndex& index_;
};

class XUserDefinedEncoder {
 public:
  Step handle(int cp, std::string& out) const {
    if (const auto step = end_or_ascii(cp, out)) return *step;
    if (in_range(cp, 0xF780, 0xF7FF)) return write(out, {static_cast<unsigned>(cp - 0xF780 + 0x80)});
    return error();
  }
};

// Also the GBK encoder, with `gbk` set.
class Gb18030Encoder {
 public:
  explicit Gb18030Encoder(bool gbk) : gbk_(gbk) {}

  Step handle(int cp, std::string& out) const {
    if (const auto step = end_or_ascii(cp, out)) return *step;
    // U+E5E5 has no two-byte form (0xA3 0xA0 decodes to U+3000); the four-byte ranges would give
    // it one that no decoder maps back to it.
    if (cp == 0xE5E5) return error();
    if (gbk_ && cp == 0x20AC) return write(out, {0x80});
    const auto pointers = pointers_of(tables::gb18030, tables::gb18030_by_code_point, static_cast<char32_t>(cp));
    if (!pointers.empty()) {
      const unsigned pointer = pointers.front();
      const unsigned trail = pointer % 190;
      const unsigned offset = trail < 0x3F ? 0x40 : 0x41;
      return write(out, {pointer / 190 + 0x81, trail + offset});
    }
    if (gbk_) return error();
    std::uint32_t pointer = gb18030_range_pointer(static_cast<char32_t>(cp));
    const unsigned byte1 = pointer / (10 * 126 * 10);
    pointer %= 10 * 126 * 10;
    const unsigned byte2 = pointer / (10 * 126);
    pointer %= 10 * 126;
    const unsigned byte3 = pointer / 10;
    const unsigned byte4 = pointer % 10;
    return write(out, {byte1 + 0x81, byte2 + 0x30, byte3 + 0x81, byte4 + 0x30});
  }

 private:
  bool gbk_;
};

class Big5Encoder {
 public:
  Step handle(int cp, std::string& out) const {
    if (const auto step = end_or_ascii(cp, out)) return *step;
    const auto pointer = big5_pointer(static_cast<char32_t>(cp));
    if (!pointer) return error();
    const unsigned trail = *pointer % 157;
    const unsigned offset = trail < 0x3F ? 0x40 : 0x62;
    return write(out, {*pointer / 157 + 0x81, trail + offset});
  }

 private:
  static std::optional<unsigned> big5_pointer(char32_t cp) {
    // Pointers below the first Big5 proper lead byte (0xA1) are the Hong Kong extensions, which
    // are decoded but never produced.
    constexpr unsigned kFirstPointer = (0xA1 - 0x81) * 157;
    auto pointers = pointers_of(tables::big5, tables::big5_by_code_point, cp);
    while (!pointers.empty() && pointers.front() < kFirstPointer) pointers = pointers.subspan(1);
    if (pointers.empty()) return std::nullopt;
    // These six have two pointers each; encoders agree on the later one.
    constexpr char32_t kLastPointer[] = {0x2550, 0x255E, 0x2561, 0x256A, 0x5341, 0x5345};
    if (std::find(std::begin(kLastPointer), std::end(kLastPointer), cp) != std::end(kLastPointer)) {
      return pointers.back();
    }
    return pointers.front();
  }
};

// The first jis0208 pointer of `cp`, for the EUC-JP and ISO-2022-JP encoders. The generator has
// checked that every such pointer fits in 94 rows of 94.
std::optional<unsigned> jis0208_pointer(char32_t cp) {
  const auto pointers = pointers_of(tables::jis0208, tables::jis0208_by_code_point, cp);
  if (pointers.empty()) return std::nullopt;
  return pointers.front();
}

// The single bytes that the EUC-JP and Shift_JIS encoders write for U+00A5 and U+203E, which
// JIS X 0201 puts where ASCII has the backslash and the tilde.
std::optional<Step> jis_x0201_roman(int cp, std::string& out) {
  if (cp == 0xA5) return write(out, {0x5C});
  if (cp == 0x203E) return write(out, {0x7E});
  return std::nullopt;
}

class EucJpEncoder {
 public:
  Step handle(int cp, std::string& out) const {
    if (const auto step = end_or_ascii(cp, out)) return *step;
    if (const auto step = jis_x0201_roman(cp, out)) return *step;
    if (in_range(cp, 0xFF61, 0xFF9F)) return write(out, {0x8E, static_cast<unsigned>(cp - 0xFF61 + 0xA1)});
    if (cp == 0x2212) cp = 0xFF0D;
    const auto pointer = jis0208_pointer(static_cast<char32_t>(cp));
    if (!pointer) return error();
    return write(out, {*pointer / 94 + 0xA1, *pointer % 94 + 0xA1});
  }
};

class Iso2022JpEncoder {
 public:
  Step handle(int cp, std::string& out) {
    if (cp == kEndOfQueue && state_ != State::ascii) return switch_to(State::ascii, out);
    if (cp == kEndOfQueue) return kFinished;
    if ((state_ == State::ascii || state_ == State::roman) && (cp == 0x0E || cp == 0x0F || cp == 0x1B)) {
      return error();
    }
    if (state_ == State::ascii && is_ascii(cp)) return write(out, {static_cast<unsigned>(cp)});
    if (state_ == State::roman && ((is_ascii(cp) && cp != 0x5C && cp != 0x7E) || cp == 0xA5 || cp == 0x203E)) {
      if (const auto step = jis_x0201_roman(cp, out)) return *step;
      return write(out, {static_cast<unsigned>(cp)});
    }
    if (is_ascii(cp)) return switch_to(State::ascii, out);
    if (cp == 0xA5 || cp == 0x203E) return switch_to(State::roman, out);
    if (cp == 0x2212) cp = 0xFF0D;
    if (in_range(cp, 0xFF61, 0xFF9F)) cp = tables::iso_2022_jp_katakana[static_cast<std::size_t>(cp - 0xFF61)];
    const auto pointer = jis0208_pointer(static_cast<char32_t>(cp));
    if (!pointer) {
      if (state_ == State::jis0208) return switch_to(State::ascii, out);
      return error();
    }
    if (state_ != State::jis0208) return switch_to(State::jis0208, out);
    return write(out, {*pointer / 94 + 0x21, *pointer % 94 + 0x21});
  }

 private:
  enum class State : unsigned char { ascii, roman, jis0208 };

  // Writes the escape sequence into `state` and "prepends" the code point: the driver hands the
  // same item in again, to be written in the new state.
  Step switch_to(State state, std::string& out) {
    state_ = state;
    switch (state) {
      case State::ascii:
        write(out, {0x1B, 0x28, 0x42});
        break;
      case State::roman:
        write(out, {0x1B, 0x28, 0x4A});
        break;
      case State::jis0208:
        write(out, {0x1B, 0x24, 0x42});
        break;
    }
    return {Step::proceed, 1};
  }

  State state_ = State::ascii;
};

class ShiftJisEncoder {
 public:
  Step handle(int cp, std::string& out) const {
    if (const auto step = end_or_ascii(cp, out)) return *step;
    if (cp == 0x80) return write(out, {0x80});
    if (const auto step = jis_x0201_roman(cp, out)) return *step;
    if (in_range(cp, 0xFF61, 0xFF9F)) return write(out, {static_cast<unsigned>(cp - 0xFF61 + 0xA1)});
    if (cp == 0x2212) cp = 0xFF0D;
    const auto pointer = shift_jis_pointer(static_cast<char32_t>(cp));
    if (!pointer) return error();
    const unsigned lead = *pointer / 188;
    const unsigned lead_offset = lead < 0x1F ? 0x81 : 0xC1;
    const unsigned trail = *pointer % 188;
    const unsigned offset = trail < 0x3F ? 0x40 : 0x41;
    return write(out, {lead + lead_offset, trail + offset});
  }

 private:
  static std::optional<unsigned> shift_jis_pointer(char32_t cp) {
    // Pointers 8272..8835 duplicate the IBM extensions at 10716 and above; Shift_JIS writes those.
    for (const std::uint16_t pointer : pointers_of(tables::jis0208, tables::jis0208_by_code_point, cp)) {
      if (pointer < 8272 || pointer > 8835) return pointer;
    }
    return std::nullopt;
  }
};

class EucKrEncoder {
 public:
  Step handle(int cp, std::string& out) const {
    if (const auto step = end_or_ascii(cp, out)) return *step;
    const auto pointers = pointers_of(tables::euc_kr, tables::euc_kr_by_code_point, static_cast<char32_t>(cp));
    if (pointers.empty()) return error();
    const unsigned pointer = pointers.front();
    return write(out, {pointer / 190 + 0x81, pointer % 190 + 0x41});
  }
};

template <class Encoder>
EncodeResult run(Encoder encoder, std::string_view text) {
  EncodeResult result;
  result.bytes.reserve(text.size());
  std::size_t pos = 0;
  int item = kEndOfQueue;
  bool again = false;
  for (;;) {
    if (!again) item = pos < text.size() ? static_cast<int>(utf8::next_code_point(text, pos)) : kEndOfQueue;
    const Step step = encoder.handle(item, result.bytes);
    if (step.kind == Step::finished) return result;
    if (step.kind == Step::error) result.unmappable = true;
    again = step.unread != 0;
  }
}

}  // namespace
}  // namespace encoding::detail

namespace encoding {

EncodeResult encode(Encoding encoding, std::string_view text) {
  using namespace detail;
  switch (family(encoding)) {
    case Family::gbk:
      return run(Gb18030Encoder(true), text);
    case Family::gb18030:
      return run(Gb18030Encoder(false), text);
    case Family::big5:
      return run(Big5Encoder(), text);
    case Family::euc_jp:
      return run(EucJpEncoder(), text);
    case Family::iso_2022_jp:
      return run(Iso2022JpEncoder(), text);
    case Family::shift_jis:
      return run(ShiftJisEncoder(), text);
    case Family::euc_kr:
      return run(EucKrEncoder(), text);
    case Family::x_user_defined:
      return run(XUserDefinedEncoder(), text);
    case Family::single_byte:
      return run(SingleByteEncoder(single_byte_index(encoding)), text);
    // UTF-8 itself, and the encodings whose output encoding is UTF-8.
    case Family::utf_8:
    case Family::utf_16be:
    case Family::utf_16le:
    case Family::replacement:
      return run(Utf8Encoder(), text);
  }
  return run(Utf8Encoder(), text);  // not reached: the cases name every family
}

}  // namespace encoding
