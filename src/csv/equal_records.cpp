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
#include <cassert>
#include <cstdint>

#include "csv/internal.h"

namespace csv::detail {
namespace {

// Blocks classified per round: few at first, so that a difference near the start costs little,
// then more, so that long equal runs go through the mask stage in cache-sized pieces.
constexpr std::size_t kFirstRound = 2;
constexpr std::size_t kMaxRound = kMaxPairBlocks;

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

// The search, inlined into each of the entry points below.
[[gnu::always_inline]] inline EqualRecords find_equal_records(Isa isa, const Dialect& dialect, const unsigned char* a,
                                                              const unsigned char* b, std::size_t size,
                                                              std::size_t fields, std::span<std::size_t> record_ends) {
  EqualRecords found;
  const unsigned char d = dialect.delimiter;
  const unsigned char q = dialect.quote;
  // Only dialects whose structural bytes are all distinct follow the model.
  if (d == q || d == '\r' || d == '\n' || q == '\r' || q == '\n' || fields == 0) return found;
  const bool has_escape = dialect.escape && *dialect.escape != q;
  const SpecialBytes bytes = special_bytes(dialect);
  const PairClassifyFn classify = pair_classifier(isa);

  PairMasks m;
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
      const std::uint64_t stop = ~m.equal[k] | unmodelled | ~low_bits(size - base);
      const std::uint64_t before_stop = low_bits(static_cast<std::size_t>(std::countr_zero(stop)));

      for (std::uint64_t ends = line_end & before_stop; ends != 0; ends &= ends - 1) {
        const std::size_t at = static_cast<std::size_t>(std::countr_zero(ends));
        const std::size_t end = base + at;
        if (end != record_start) {  // a line end at a record's start is a blank line: no record
          const std::size_t upto = delimiters + static_cast<std::size_t>(std::popcount(delimiter & low_bits(at)));
          if (upto - record_delimiters + 1 != fields) return found;
          if (!record_ends.empty()) {
            if (found.records == record_ends.size()) return found;
            record_ends[found.records] = end;
          }
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

// Every CPU with AVX2 counts bits in one instruction; without the target the count of delimiters
// is a library call per block.
[[gnu::target("popcnt")]] EqualRecords find_counting_with_popcnt(Isa isa, const Dialect& dialect,
                                                                 const unsigned char* a, const unsigned char* b,
                                                                 std::size_t size, std::size_t fields,
                                                                 std::span<std::size_t> ends) {
  return find_equal_records(isa, dialect, a, b, size, fields, ends);
}

}  // namespace

EqualRecords equal_records(Isa isa, const Dialect& dialect, const unsigned char* a, const unsigned char* b,
                           std::size_t size, std::size_t fields, std::span<std::size_t> ends) {
  assert(runs(isa) && "equal records looked for with an instruction set this CPU does not run");
  if (isa == Isa::avx2 || isa == Isa::avx512bw) return find_counting_with_popcnt(isa, dialect, a, b, size, fields, ends);
  return find_equal_records(isa, dialect, a, b, size, fields, ends);
}

}  // namespace csv::detail
