// A fast reader of JSON text held in memory, for texts read by the million such as report lines.
//
// Self-contained, like the strict reader beside it, but with another bargain: nothing is
// allocated, strings come back as views into the text, and errors are short fixed texts without
// positions. Every byte is still checked as RFC 8259 asks (UTF-8, escapes, no raw control
// characters in strings, the number grammar); what each value must be is the caller's to say.
// The hot calls are defined here so that a caller's loop can inline them.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "core/utf8.h"

namespace json {

// A string as it stands in the text, between its quotes.
struct StringView {
  std::string_view raw;
  bool escaped = false;  // holds a backslash escape
};

class ViewReader {
 public:
  // Starts reading `text`, which must outlive the views handed out.
  void reset(std::string_view text) {
    p_ = text.data();
    end_ = p_ + text.size();
    error_ = nullptr;
  }

  // Skips white space and tells whether the text has ended.
  bool at_end() {
    space();
    return p_ == end_;
  }
  // Skips white space and returns the next byte, or '\0' at the end.
  char peek() {
    space();
    return p_ < end_ ? *p_ : '\0';
  }
  // Skips white space and consumes `c` when it comes next.
  bool take(char c) {
    if (peek() != c || p_ == end_) return false;
    ++p_;
    return true;
  }
  // Consumes exactly `bytes` when they come next, white space included.
  bool take_exactly(std::string_view bytes) {
    if (static_cast<std::size_t>(end_ - p_) < bytes.size() || !same_run(p_, bytes.data(), bytes.size())) return false;
    p_ += bytes.size();
    return true;
  }

  // At an opening quote (white space skipped): the string up to its closing quote, checked.
  bool string(StringView& out) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
    if (peek() != '"') return fail("expected a string");
    const char* start = ++p_;
    out.escaped = false;
    std::uint64_t high = 0;
    for (;;) {
      // Eight bytes at a time up to the first quote, backslash or control byte (the lowest
      // flagged byte of a word is always a true one).
      while (end_ - p_ >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p_, 8);
        const std::uint64_t q = w ^ (kOnes * '"'), b = w ^ (kOnes * '\\');
        const std::uint64_t special = (((q - kOnes) & ~q) | ((b - kOnes) & ~b) | ((w - kOnes * 0x20) & ~w)) & kHigh;
        high |= w;
        if (special != 0) {
          p_ += std::countr_zero(special) / 8;
          break;
        }
        p_ += 8;
      }
      while (p_ < end_) {
        const auto c = static_cast<unsigned char>(*p_);
        if (c == '"' || c == '\\' || c < 0x20) break;
        high |= c;
        ++p_;
      }
      if (p_ == end_) return fail("unterminated string");
      if (*p_ == '"') break;
      if (*p_ != '\\') return fail("control character in a string");
      out.escaped = true;
      if (!escape()) return fail("invalid escape in a string");
    }
    out.raw = std::string_view(start, static_cast<std::size_t>(p_ - start));
    ++p_;
    return (high & kHigh) == 0 || utf8::is_valid(out.raw) || fail("invalid UTF-8 in a string");
  }

  // A non-negative integer without fraction or exponent that fits 64 bits.
  bool count(std::uint64_t& out) {
    space();
    const char* start = p_;
    std::uint64_t n = 0;
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9') {
      if (__builtin_mul_overflow(n, 10u, &n) || __builtin_add_overflow(n, static_cast<unsigned>(*p_ - '0'), &n)) {
        return fail("number out of range");
      }
      ++p_;
    }
    if (p_ == start || (*start == '0' && p_ - start > 1) || (p_ < end_ && (*p_ == '.' || *p_ == 'e' || *p_ == 'E'))) {
      return fail("expected a non-negative integer");
    }
    out = n;
    return true;
  }

  // A literal: "null", "true" or "false".
  bool literal(std::string_view word) { return (peek(), take_exactly(word)) || fail("expected a value"); }

  // Any value, checked as it passes, arrays and objects nested at most `depth` deep.
  [[nodiscard]] bool skip(int depth);

  // After an element of an array or a member of an object: consumes the comma and tells whether
  // another follows (true), or consumes `close` (false, with error() still null).
  bool more(char close) {
    if (take(',')) return true;
    if (!take(close)) fail(close == '}' ? "expected ',' or '}'" : "expected ',' or ']'");
    return false;
  }

  // Where reading stands in the text.
  const char* position() const { return p_; }

  // Why the last call failed; null when it did not.
  const char* error() const { return error_; }
  bool fail(const char* why) {
    error_ = why;
    return false;
  }

  // The text of a string with its escapes resolved; `scratch` holds it when needed.
  static std::string_view text(const StringView& s, std::string& scratch) {
    return s.escaped ? unescape(s.raw, scratch) : s.raw;
  }

  // Whether the `n` bytes at `a` and `b` are the same, compared in place for the short runs of
  // keys and names.
  static bool same_run(const char* a, const char* b, std::size_t n) {
    auto word = [](const char* p) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      return w;
    };
    if (n > 24) return std::memcmp(a, b, n) == 0;
    if (n >= 8) {
      const std::uint64_t middle = n > 16 ? word(a + 8) ^ word(b + 8) : 0;
      return ((word(a) ^ word(b)) | middle | (word(a + n - 8) ^ word(b + n - 8))) == 0;
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (a[i] != b[i]) return false;
    }
    return true;
  }

 private:
  void space() {
    if (p_ == end_ || static_cast<unsigned char>(*p_) > ' ') return;
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\r' || *p_ == '\n')) ++p_;
  }
  // At a backslash: a valid escape, a leading surrogate only with its trailing one.
  bool escape();
  static std::string_view unescape(std::string_view raw, std::string& scratch);

  const char* p_ = nullptr;
  const char* end_ = nullptr;
  const char* error_ = nullptr;
};

// Reads flat objects whose members the caller names in a fixed list, in any layout JSON allows:
// keys in any order, white space, escapes, members not in the list (passed over). A repeated member
// is an error. Texts laid out alike cost least: the key that followed the previous one last time
// is tried first, as the bytes `"key":`, since one writer's objects of one kind have their keys
// in one order.
template <std::size_t N>
class MemberReader {
  static_assert(N < 32, "the members read are kept as bits of 32");

 public:
  // `names` must outlive the reader; members not named are passed over at most `depth` deep.
  MemberReader(const std::array<std::string_view, N>& names, int depth) : names_(names), depth_(depth) {
    for (std::size_t m = 0; m < N; ++m) literals_[m].append("\"").append(names[m]).append("\":");
    for (std::size_t m = 0; m <= N; ++m) following_[m] = static_cast<std::uint8_t>((m + 1) % (N + 1) % N);
  }

  // Reads `text` as one object: at each member of the list, `value(m)` reads its value from
  // reader(); `seen` gets the bit of every member read.
  template <class Value>
  bool read(std::string_view text, std::uint32_t& seen, Value&& value) {
    r_.reset(text);
    seen = 0;
    last_ = N;
    if (!r_.take('{')) return r_.fail("expected an object");
    if (!r_.take('}')) {
      do {
        const std::size_t m = member();
        if (r_.error() != nullptr) return false;
        if (m == N) {
          if (!r_.skip(depth_)) return false;
          continue;
        }
        if ((seen & (1u << m)) != 0) return r_.fail("repeated member");
        seen |= 1u << m;
        if (!value(m)) return false;
      } while (r_.more('}'));
      if (r_.error() != nullptr) return false;
    }
    return r_.at_end() || r_.fail("trailing characters after the object");
  }

  ViewReader& reader() { return r_; }
  const char* error() const { return r_.error(); }

  // Whether two texts are the same, compared in place.
  static bool same(std::string_view a, std::string_view b) {
    return a.size() == b.size() && ViewReader::same_run(a.data(), b.data(), a.size());
  }

 private:
  // At a key: which member it names, N for one not in the list.
  std::size_t member() {
    const std::size_t guess = following_[last_];
    if (r_.take_exactly(literals_[guess])) return last_ = guess;
    StringView key;
    if (!r_.string(key)) return r_.fail("expected a key"), N;
    if (!r_.take(':')) return r_.fail("expected ':'"), N;
    const std::string_view name = ViewReader::text(key, key_scratch_);
    std::size_t found = 0;
    while (found < N && !same(names_[found], name)) ++found;
    if (found == N) return N;
    following_[last_] = static_cast<std::uint8_t>(found);
    return last_ = found;
  }

  ViewReader r_;
  const std::array<std::string_view, N>& names_;
  int depth_;
  std::array<std::string, N> literals_;
  // For each member, and for the start of an object (N), the member that followed it last.
  std::array<std::uint8_t, N + 1> following_;
  std::size_t last_ = N;
  std::string key_scratch_;
};

}  // namespace json
