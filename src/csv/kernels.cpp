// The reader's instruction-set kernels: special bytes, byte ranges and two-input comparison masks.
//
// Each kind has a portable kernel, which the tests hold the others to, and one per x86 instruction
// set worth having; a table per kind, in the order of Isa, says which one each instruction set
// runs. A new dialect byte is a new comparison in every classifier here (and in the pair kernels).
#include <array>
#include <cassert>

#include "csv/internal.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define TESSAMER_CSV_X86 1
#endif

namespace csv::detail {
namespace {

constexpr unsigned char kCr = '\r';
constexpr unsigned char kLf = '\n';

// ---- Special bytes ----

void classify_portable(const unsigned char* p, std::size_t blocks, std::uint64_t* masks, const SpecialBytes& s) {
  bool special[256] = {};
  for (unsigned char b : {s.delimiter, s.quote, s.escape, kCr, kLf}) special[b] = true;
  for (std::size_t b = 0; b < blocks; ++b, p += kBlock) {
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < kBlock; ++i) bits |= static_cast<std::uint64_t>(special[p[i]]) << i;
    masks[b] = bits;
  }
}

#if defined(TESSAMER_CSV_X86)

void classify_sse2(const unsigned char* p, std::size_t blocks, std::uint64_t* masks, const SpecialBytes& s) {
  const __m128i delimiter = _mm_set1_epi8(static_cast<char>(s.delimiter));
  const __m128i quote = _mm_set1_epi8(static_cast<char>(s.quote));
  const __m128i escape = _mm_set1_epi8(static_cast<char>(s.escape));
  const __m128i cr = _mm_set1_epi8(static_cast<char>(kCr));
  const __m128i lf = _mm_set1_epi8(static_cast<char>(kLf));
  for (std::size_t b = 0; b < blocks; ++b, p += kBlock) {
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < kBlock; i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      const __m128i hit = _mm_or_si128(
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, delimiter), _mm_cmpeq_epi8(v, quote)),
                       _mm_cmpeq_epi8(v, escape)),
          _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)));
      bits |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(hit))) << i;
    }
    masks[b] = bits;
  }
}

[[gnu::target("avx2")]] void classify_avx2(const unsigned char* p, std::size_t blocks, std::uint64_t* masks,
                                           const SpecialBytes& s) {
  const __m256i delimiter = _mm256_set1_epi8(static_cast<char>(s.delimiter));
  const __m256i quote = _mm256_set1_epi8(static_cast<char>(s.quote));
  const __m256i escape = _mm256_set1_epi8(static_cast<char>(s.escape));
  const __m256i cr = _mm256_set1_epi8(static_cast<char>(kCr));
  const __m256i lf = _mm256_set1_epi8(static_cast<char>(kLf));
  for (std::size_t b = 0; b < blocks; ++b, p += kBlock) {
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < kBlock; i += 32) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
      const __m256i hit = _mm256_or_si256(
          _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, delimiter), _mm256_cmpeq_epi8(v, quote)),
                          _mm256_cmpeq_epi8(v, escape)),
          _mm256_or_si256(_mm256_cmpeq_epi8(v, cr), _mm256_cmpeq_epi8(v, lf)));
      bits |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(hit))) << i;
    }
    masks[b] = bits;
  }
}

[[gnu::target("avx512f,avx512bw")]] void classify_avx512(const unsigned char* p, std::size_t blocks,
                                                         std::uint64_t* masks, const SpecialBytes& s) {
  const __m512i delimiter = _mm512_set1_epi8(static_cast<char>(s.delimiter));
  const __m512i quote = _mm512_set1_epi8(static_cast<char>(s.quote));
  const __m512i escape = _mm512_set1_epi8(static_cast<char>(s.escape));
  const __m512i cr = _mm512_set1_epi8(static_cast<char>(kCr));
  const __m512i lf = _mm512_set1_epi8(static_cast<char>(kLf));
  for (std::size_t b = 0; b < blocks; ++b, p += kBlock) {
    const __m512i v = _mm512_loadu_si512(p);
    masks[b] = _mm512_cmpeq_epi8_mask(v, delimiter) | _mm512_cmpeq_epi8_mask(v, quote) |
               _mm512_cmpeq_epi8_mask(v, escape) | _mm512_cmpeq_epi8_mask(v, cr) | _mm512_cmpeq_epi8_mask(v, lf);
  }
}

#endif

// ---- Byte ranges ----

void ranges_portable(const unsigned char* p, std::size_t blocks, std::uint64_t* out, const ByteRanges& r) {
  for (std::size_t b = 0; b < blocks; ++b, p += kBlock) {
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < kBlock; ++i) {
      const bool in = static_cast<unsigned char>(p[i] - r.low1) <= r.span1 ||
                      (r.two && static_cast<unsigned char>(p[i] - r.low2) <= r.span2);
      bits |= static_cast<std::uint64_t>(in) << i;
    }
    out[b] = bits;
  }
}

#if defined(TESSAMER_CSV_X86)

void ranges_sse2(const unsigned char* p, std::size_t blocks, std::uint64_t* out, const ByteRanges& r) {
  const __m128i low1 = _mm_set1_epi8(static_cast<char>(r.low1));
  const __m128i span1 = _mm_set1_epi8(static_cast<char>(r.span1));
  const __m128i low2 = _mm_set1_epi8(static_cast<char>(r.two ? r.low2 : r.low1));
  const __m128i span2 = _mm_set1_epi8(static_cast<char>(r.two ? r.span2 : r.span1));
  for (std::size_t b = 0; b < blocks; ++b, p += kBlock) {
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < kBlock; i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      const __m128i a = _mm_sub_epi8(v, low1);
      const __m128i c = _mm_sub_epi8(v, low2);
      const __m128i in = _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(a, span1), a), _mm_cmpeq_epi8(_mm_min_epu8(c, span2), c));
      bits |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(in))) << i;
    }
    out[b] = bits;
  }
}

[[gnu::target("avx2")]] void ranges_avx2(const unsigned char* p, std::size_t blocks, std::uint64_t* out,
                                         const ByteRanges& r) {
  const __m256i low1 = _mm256_set1_epi8(static_cast<char>(r.low1));
  const __m256i span1 = _mm256_set1_epi8(static_cast<char>(r.span1));
  const __m256i low2 = _mm256_set1_epi8(static_cast<char>(r.two ? r.low2 : r.low1));
  const __m256i span2 = _mm256_set1_epi8(static_cast<char>(r.two ? r.span2 : r.span1));
  for (std::size_t b = 0; b < blocks; ++b, p += kBlock) {
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < kBlock; i += 32) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
      const __m256i a = _mm256_sub_epi8(v, low1);
      const __m256i c = _mm256_sub_epi8(v, low2);
      const __m256i in = _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_min_epu8(a, span1), a),
                                         _mm256_cmpeq_epi8(_mm256_min_epu8(c, span2), c));
      bits |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(in))) << i;
    }
    out[b] = bits;
  }
}

[[gnu::target("avx512f,avx512bw")]] void ranges_avx512(const unsigned char* p, std::size_t blocks,
                                                       std::uint64_t* out, const ByteRanges& r) {
  const __m512i low1 = _mm512_set1_epi8(static_cast<char>(r.low1));
  const __m512i span1 = _mm512_set1_epi8(static_cast<char>(r.span1));
  const __m512i low2 = _mm512_set1_epi8(static_cast<char>(r.two ? r.low2 : r.low1));
  const __m512i span2 = _mm512_set1_epi8(static_cast<char>(r.two ? r.span2 : r.span1));
  for (std::size_t b = 0; b < blocks; ++b, p += kBlock) {
    const __m512i v = _mm512_loadu_si512(p);
    out[b] = _mm512_cmple_epu8_mask(_mm512_sub_epi8(v, low1), span1) |
             _mm512_cmple_epu8_mask(_mm512_sub_epi8(v, low2), span2);
  }
}

#endif

// ---- Two inputs at once ----

void pair_portable(const unsigned char* a, const unsigned char* b, std::size_t first, std::size_t blocks,
                   PairMasks& m, const SpecialBytes& s) {
  for (std::size_t k = 0; k < blocks; ++k) {
    const unsigned char* x = a + (first + k) * kBlock;
    const unsigned char* y = b + (first + k) * kBlock;
    std::uint64_t equal = 0, quote = 0, delimiter = 0, line_end = 0, escape = 0;
    for (std::size_t i = 0; i < kBlock; ++i) {
      const std::uint64_t bit = std::uint64_t{1} << i;
      const unsigned char c = x[i];
      if (c == y[i]) equal |= bit;
      if (c == s.quote) quote |= bit;
      if (c == s.delimiter) delimiter |= bit;
      if (c == kCr || c == kLf) line_end |= bit;
      if (c == s.escape) escape |= bit;
    }
    m.equal[k] = equal;
    m.quote[k] = quote;
    m.delimiter[k] = delimiter;
    m.line_end[k] = line_end;
    m.escape[k] = escape;
  }
}

#if defined(TESSAMER_CSV_X86)

[[gnu::target("avx2")]] inline std::uint64_t bits_of(__m256i v) {
  return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(v)));
}

[[gnu::target("avx2")]] void pair_avx2(const unsigned char* a, const unsigned char* b, std::size_t first,
                                       std::size_t blocks, PairMasks& m, const SpecialBytes& s) {
  const __m256i quote = _mm256_set1_epi8(static_cast<char>(s.quote));
  const __m256i delimiter = _mm256_set1_epi8(static_cast<char>(s.delimiter));
  const __m256i escape = _mm256_set1_epi8(static_cast<char>(s.escape));
  const __m256i cr = _mm256_set1_epi8(static_cast<char>(kCr));
  const __m256i lf = _mm256_set1_epi8(static_cast<char>(kLf));
  for (std::size_t k = 0; k < blocks; ++k) {
    const unsigned char* x = a + (first + k) * kBlock;
    const unsigned char* y = b + (first + k) * kBlock;
    const __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x));
    const __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + 32));
    const __m256i y0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y));
    const __m256i y1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + 32));
    m.equal[k] = bits_of(_mm256_cmpeq_epi8(x0, y0)) | bits_of(_mm256_cmpeq_epi8(x1, y1)) << 32;
    m.quote[k] = bits_of(_mm256_cmpeq_epi8(x0, quote)) | bits_of(_mm256_cmpeq_epi8(x1, quote)) << 32;
    m.delimiter[k] = bits_of(_mm256_cmpeq_epi8(x0, delimiter)) | bits_of(_mm256_cmpeq_epi8(x1, delimiter)) << 32;
    m.line_end[k] = bits_of(_mm256_or_si256(_mm256_cmpeq_epi8(x0, cr), _mm256_cmpeq_epi8(x0, lf))) |
                    bits_of(_mm256_or_si256(_mm256_cmpeq_epi8(x1, cr), _mm256_cmpeq_epi8(x1, lf))) << 32;
    m.escape[k] = bits_of(_mm256_cmpeq_epi8(x0, escape)) | bits_of(_mm256_cmpeq_epi8(x1, escape)) << 32;
  }
}

#endif

// ---- The tables ----

// One kernel per instruction set, in the order of Isa. Where an instruction set has none of its
// own (or this build has none), the next narrower one that has stands in.
template <class Kernel>
using Kernels = std::array<Kernel, 4>;

#if defined(TESSAMER_CSV_X86)
constexpr Kernels<ClassifyFn> kClassifiers = {classify_portable, classify_sse2, classify_avx2, classify_avx512};
constexpr Kernels<RangeFn> kRangeMarkers = {ranges_portable, ranges_sse2, ranges_avx2, ranges_avx512};
constexpr Kernels<PairClassifyFn> kPairClassifiers = {pair_portable, pair_portable, pair_avx2, pair_avx2};
#else
constexpr Kernels<ClassifyFn> kClassifiers = {classify_portable, classify_portable, classify_portable,
                                              classify_portable};
constexpr Kernels<RangeFn> kRangeMarkers = {ranges_portable, ranges_portable, ranges_portable, ranges_portable};
constexpr Kernels<PairClassifyFn> kPairClassifiers = {pair_portable, pair_portable, pair_portable, pair_portable};
#endif

template <class Kernel>
Kernel kernel_for(const Kernels<Kernel>& kernels, Isa isa) {
  assert(runs(isa) && "a kernel of an instruction set this CPU does not run");
  return kernels[static_cast<std::size_t>(isa)];
}

}  // namespace

bool runs(Isa isa) {
  switch (isa) {
    case Isa::portable:
      return true;
#if defined(TESSAMER_CSV_X86)
    case Isa::sse2:
      return true;  // part of x86-64
    case Isa::avx2:
      return __builtin_cpu_supports("avx2");
    case Isa::avx512bw:
      return __builtin_cpu_supports("avx512bw");
#else
    case Isa::sse2:
    case Isa::avx2:
    case Isa::avx512bw:
      break;
#endif
  }
  return false;
}

Isa widest_isa() {
  for (Isa isa : {Isa::avx512bw, Isa::avx2, Isa::sse2}) {
    if (runs(isa)) return isa;
  }
  return Isa::portable;
}

ClassifyFn classifier(Isa isa) { return kernel_for(kClassifiers, isa); }
RangeFn range_marker(Isa isa) { return kernel_for(kRangeMarkers, isa); }
PairClassifyFn pair_classifier(Isa isa) { return kernel_for(kPairClassifiers, isa); }

void classify(Isa isa, const Dialect& dialect, const unsigned char* data, std::size_t blocks, std::uint64_t* masks) {
  classifier(isa)(data, blocks, masks, special_bytes(dialect));
}

void mark_ranges(Isa isa, const unsigned char* data, std::size_t blocks, std::uint64_t* masks, unsigned char low1,
                 unsigned char high1, unsigned char low2, unsigned char high2) {
  assert(low1 <= high1 && low2 <= high2 && "a range runs from its lowest byte value to its highest");
  const ByteRanges ranges{low1, static_cast<unsigned char>(high1 - low1), low2,
                          static_cast<unsigned char>(high2 - low2), true};
  range_marker(isa)(data, blocks, masks, ranges);
}

}  // namespace csv::detail
