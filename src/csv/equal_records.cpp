// Runs of records that two inputs hold as the same bytes, found without reading a single field.
//
// Where both inputs hold the same bytes, one input's structure is both inputs' structure. The
// structure comes from whole-block bit masks: a quote toggles "inside quotes" (a prefix XOR of the
// quote bits), and delimiters and line ends outside quotes split fields and records. That model
// agrees with the reader on where fields and records end wherever a quote opens a field or doubles
// a quote, whatever follows a closing quote. Anything it does not model (a quote inside an unquoted
// field, an escape byte inside quotes) stops the run, and the reader takes over there. Which bytes
// the fields hold needs no model at all: equal bytes read from a record start give equal fields.
#include <algorithm>
#include <bit>
#include <cstdint>

#include "csv/csv.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define TESSAMER_CSV_X86 1
#endif

namespace csv::detail {
namespace {

constexpr std::size_t kBlock = 64;
// Blocks classified per round: few at first, so that a difference near the start costs little,
// then more, so that long equal runs go through the mask stage in cache-sized pieces.
constexpr std::size_t kFirstRound = 2;
constexpr std::size_t kMaxRound = 64;

// Per block of 64 bytes, one bit per byte.
struct BlockMasks {
  std::uint64_t equal[kMaxRound];      // the byte is the same in both inputs
  std::uint64_t quote[kMaxRound];
  std::uint64_t delimiter[kMaxRound];
  std::uint64_t line_end[kMaxRound];  // CR or LF
  std::uint64_t escape[kMaxRound];     // the escape byte, when the dialect has one apart from the quote
};

struct Bytes {
  unsigned char delimiter, quote, escape;
};

using ClassifyFn = void (*)(const unsigned char* a, const unsigned char* b, std::size_t first, std::size_t blocks,
                            BlockMasks& m, const Bytes& s);

void classify_portable(const unsigned char* a, const unsigned char* b, std::size_t first, std::size_t blocks,
                       BlockMasks& m, const Bytes& s) {
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
      if (c == '\r' || c == '\n') line_end |= bit;
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
[[gnu::target("avx2")]] inline std::uint64_t bits(__m256i v) {
  return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(v)));
}

[[gnu::target("avx2")]] void classify_avx2(const unsigned char* a, const unsigned char* b, std::size_t first,
                                           std::size_t blocks, BlockMasks& m, const Bytes& s) {
  const __m256i quote = _mm256_set1_epi8(static_cast<char>(s.quote));
  const __m256i delimiter = _mm256_set1_epi8(static_cast<char>(s.delimiter));
  const __m256i escape = _mm256_set1_epi8(static_cast<char>(s.escape));
  const __m256i cr = _mm256_set1_epi8('\r');
  const __m256i lf = _mm256_set1_epi8('\n');
  for (std::size_t k = 0; k < blocks; ++k) {
    const unsigned char* x = a + (first + k) * kBlock;
    const unsigned char* y = b + (first + k) * kBlock;
    const __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x));
    const __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + 32));
    const __m256i y0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y));
    const __m256i y1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + 32));
    m.equal[k] = bits(_mm256_cmpeq_epi8(x0, y0)) | bits(_mm256_cmpeq_epi8(x1, y1)) << 32;
    m.quote[k] = bits(_mm256_cmpeq_epi8(x0, quote)) | bits(_mm256_cmpeq_epi8(x1, quote)) << 32;
    m.delimiter[k] = bits(_mm256_cmpeq_epi8(x0, delimiter)) | bits(_mm256_cmpeq_epi8(x1, delimiter)) << 32;
    m.line_end[k] = bits(_mm256_or_si256(_mm256_cmpeq_epi8(x0, cr), _mm256_cmpeq_epi8(x0, lf))) |
                    bits(_mm256_or_si256(_mm256_cmpeq_epi8(x1, cr), _mm256_cmpeq_epi8(x1, lf))) << 32;
    m.escape[k] = bits(_mm256_cmpeq_epi8(x0, escape)) | bits(_mm256_cmpeq_epi8(x1, escape)) << 32;
  }
}
#endif

ClassifyFn classifier(Isa isa) {
#if defined(TESSAMER_CSV_X86)
  if (isa == Isa::avx2 || isa == Isa::avx512bw) return classify_avx2;
#endif
  (void)isa;
  return classify_portable;
}

// Bit i: the XOR of bits 0..i.
constexpr std::uint64_t prefix_xor(std::uint64_t x) {
  x ^= x << 1;
  x ^= x << 2;
  x ^= x << 4;
  x ^= x << 8;
  x ^= x << 16;
  x ^= x << 32;
  return x;
}

constexpr std::uint64_t low_bits(std::size_t n) { return n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1; }

}  // namespace

EqualRecords equal_records(Isa isa, const Dialect& dialect, const unsigned char* a, const unsigned char* b,
                           std::size_t size, std::size_t fields, bool plain) {
  EqualRecords found;
  const unsigned char d = dialect.delimiter;
  const unsigned char q = dialect.quote;
  // Only dialects whose structural bytes are all distinct follow the model.
  if (d == q || d == '\r' || d == '\n' || q == '\r' || q == '\n' || fields == 0) return found;
  const bool has_escape = dialect.escape && *dialect.escape != q;
  const Bytes bytes{d, q, dialect.escape.value_or(q)};
  const ClassifyFn classify = classifier(isa);

  BlockMasks m;
  // Carried from block to block.
  std::uint64_t inside = 0;          // all ones while inside quotes
  std::uint64_t separator_last = 1;  // the last byte was a structural delimiter, line end or closing quote (or none)
  std::size_t delimiters = 0;        // structural delimiters before the block
  std::size_t record_start = 0;      // where the record in progress starts (its blank lines included)
  std::size_t record_delimiters = 0;  // structural delimiters before record_start

  const std::size_t total_blocks = (size + kBlock - 1) / kBlock;
  std::size_t round = kFirstRound;
  for (std::size_t first = 0; first < total_blocks; first += round, round = std::min(round * 2, kMaxRound)) {
    const std::size_t blocks = std::min(round, total_blocks - first);
    classify(a, b, first, blocks, m, bytes);
    for (std::size_t k = 0; k < blocks; ++k) {
      const std::size_t base = (first + k) * kBlock;
      const std::uint64_t quote = m.quote[k];
      const std::uint64_t in = prefix_xor(quote) ^ inside;  // opening quotes and the bytes inside
      const std::uint64_t closing = quote & ~in;
      const std::uint64_t opening = quote & in;
      const std::uint64_t delimiter = m.delimiter[k] & ~in;
      const std::uint64_t line_end = m.line_end[k] & ~in;
      const std::uint64_t separator = delimiter | line_end | closing;
      // A quote opens a quoted field only at the start of a field, or doubles the quote just
      // closed; anywhere else the reader takes it as an ordinary byte. (Bytes after a closing quote
      // need no rule of their own: they add no structure until the next quote, which this catches.)
      std::uint64_t unmodelled = opening & ~(separator << 1 | separator_last);
      if (has_escape) unmodelled |= m.escape[k] & in;
      if (plain) unmodelled |= quote;
      const std::uint64_t stop = ~m.equal[k] | unmodelled | ~low_bits(size - base);
      const std::uint64_t before_stop = low_bits(static_cast<std::size_t>(std::countr_zero(stop)));

      for (std::uint64_t ends = line_end & before_stop; ends != 0; ends &= ends - 1) {
        const std::size_t at = static_cast<std::size_t>(std::countr_zero(ends));
        const std::size_t end = base + at;
        if (end != record_start) {  // a line end at a record's start is a blank line: no record
          const std::size_t upto = delimiters + static_cast<std::size_t>(std::popcount(delimiter & low_bits(at)));
          if (upto - record_delimiters + 1 != fields) return found;
          record_delimiters = upto;
          ++found.records;
          found.bytes = end + 1;
        }
        record_start = end + 1;
      }
      if (stop != 0) return found;
      delimiters += static_cast<std::size_t>(std::popcount(delimiter));
      inside = static_cast<std::uint64_t>(static_cast<std::int64_t>(in) >> 63);
      separator_last = separator >> 63;
    }
  }
  return found;
}

}  // namespace csv::detail
