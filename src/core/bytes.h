// Short byte runs copied and compared in place. Fields and the pieces of report lines are mostly a
// few to a few dozen bytes, where calling memcpy or memcmp costs more than the work itself: up to
// 32 bytes, two loads that may overlap cover any length, and no byte outside the run is touched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tessamer {
namespace bytes_detail {

template <class Word>
inline Word load(const char* p) {
  Word word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

template <class Word>
inline void store(char* p, Word word) {
  std::memcpy(p, &word, sizeof word);
}

// The first and last sizeof(Word) bytes of a run of n bytes, sizeof(Word) <= n <= 2 * sizeof(Word).
template <class Word>
inline bool same_ends(const char* a, const char* b, std::size_t n) {
  return ((load<Word>(a) ^ load<Word>(b)) | (load<Word>(a + n - sizeof(Word)) ^ load<Word>(b + n - sizeof(Word)))) == 0;
}

template <class Word>
inline void copy_ends(char* dst, const char* src, std::size_t n) {
  const Word first = load<Word>(src);
  const Word last = load<Word>(src + n - sizeof(Word));
  store(dst, first);
  store(dst + n - sizeof(Word), last);
}

}  // namespace bytes_detail

// Whether the `n` bytes at `a` and at `b` are the same.
inline bool same_bytes(const char* a, const char* b, std::size_t n) {
  using namespace bytes_detail;
  if (n >= 8) {
    if (n <= 16) return same_ends<std::uint64_t>(a, b, n);
#if defined(__SSE2__)
    if (n <= 32) {
      auto differ = [](const char* x, const char* y) {
        const __m128i eq = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x)),
                                          _mm_loadu_si128(reinterpret_cast<const __m128i*>(y)));
        return _mm_movemask_epi8(eq) != 0xFFFF;
      };
      return !differ(a, b) && !differ(a + n - 16, b + n - 16);
    }
#endif
    return std::memcmp(a, b, n) == 0;
  }
  if (n >= 4) return same_ends<std::uint32_t>(a, b, n);
  // 0 to 3 bytes: the first, middle and last cover them all.
  return n == 0 || (a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1]);
}

// Copies the `n` bytes at `src` to `dst`; the two do not overlap.
inline void copy_bytes(char* dst, const char* src, std::size_t n) {
  using namespace bytes_detail;
  if (n >= 8) {
    if (n <= 16) return copy_ends<std::uint64_t>(dst, src, n);
    std::memcpy(dst, src, n);
    return;
  }
  if (n >= 4) return copy_ends<std::uint32_t>(dst, src, n);
  if (n > 0) {
    const char first = src[0], middle = src[n / 2], last = src[n - 1];
    dst[0] = first;
    dst[n / 2] = middle;
    dst[n - 1] = last;
  }
}

}  // namespace tessamer
