// What the parts of the CSV reader share, and what its tests look at: the instruction-set kernels.
//
// Not part of the area's interface: only src/csv/, its tests, its fuzz target and its benchmark
// include this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "csv/csv.h"

namespace csv::detail {

// The kernels look at whole 64-byte blocks, one bit per byte in a 64-bit mask.
inline constexpr std::size_t kBlock = 64;

// The bits below `n` (n <= 64).
constexpr std::uint64_t low_bits(std::size_t n) { return n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1; }

// The instruction sets with kernels of their own; a reader uses the widest this CPU runs.
enum class Isa { portable, sse2, avx2, avx512bw };

// Whether this build and CPU run `isa`.
[[nodiscard]] bool runs(Isa isa);

// The bytes that can change the parser's state: delimiter, quote, escape, CR and LF. Which of them
// matters depends on where the parser is; it sorts that out for the few bytes found. Without an
// escape byte, the quote stands in for it: a duplicate target changes nothing.
struct SpecialBytes {
  unsigned char delimiter;
  unsigned char quote;
  unsigned char escape;
};
[[nodiscard]] constexpr SpecialBytes special_bytes(const Dialect& d) {
  return SpecialBytes{d.delimiter, d.quote, d.escape.value_or(d.quote)};
}
// Sets bit i of masks[b] when byte 64*b+i at `p` is special, for `blocks` whole blocks.
using ClassifyFn = void (*)(const unsigned char* p, std::size_t blocks, std::uint64_t* masks, const SpecialBytes& s);

// One or two ranges of byte values, each as its lowest value and span (highest - lowest).
struct ByteRanges {
  unsigned char low1, span1, low2, span2;
  bool two;
};
// Sets bit i of out[b] when byte 64*b+i at `p` lies in one of the ranges, for `blocks` whole
// blocks: how the character structures find lead bytes, zero bytes and escapes.
using RangeFn = void (*)(const unsigned char* p, std::size_t blocks, std::uint64_t* out, const ByteRanges& r);

// Blocks two inputs are compared in per round, at most (see equal_records.cpp).
inline constexpr std::size_t kMaxPairBlocks = 64;
// Per block of 64 bytes of two inputs, one bit per byte.
struct PairMasks {
  std::uint64_t equal[kMaxPairBlocks];  // the byte is the same in both inputs
  std::uint64_t quote[kMaxPairBlocks];
  std::uint64_t delimiter[kMaxPairBlocks];
  std::uint64_t line_end[kMaxPairBlocks];  // CR or LF
  std::uint64_t escape[kMaxPairBlocks];    // the escape byte (the quote without one)
};
// Fills `m` for the `blocks` blocks (at most kMaxPairBlocks) that begin `first` blocks into `a`
// and `b`; the masks other than `equal` describe `a`.
using PairClassifyFn = void (*)(const unsigned char* a, const unsigned char* b, std::size_t first, std::size_t blocks,
                                PairMasks& m, const SpecialBytes& s);

// The kernel of each kind for `isa`: its own, or that of the widest narrower one that has one.
// REQUIRES: runs(isa).
[[nodiscard]] ClassifyFn classifier(Isa isa);
[[nodiscard]] RangeFn range_marker(Isa isa);
[[nodiscard]] PairClassifyFn pair_classifier(Isa isa);

// The widest instruction set this CPU runs.
[[nodiscard]] Isa widest_isa();

// Sets bit i of masks[b] when byte 64*b+i at `data` is the delimiter, the quote, the escape byte,
// CR or LF of `dialect`, for `blocks` whole blocks. REQUIRES: runs(isa).
void classify(Isa isa, const Dialect& dialect, const unsigned char* data, std::size_t blocks, std::uint64_t* masks);

// Sets bit i of masks[b] when byte 64*b+i at `data` lies in [low1, high1] or [low2, high2], for
// `blocks` whole blocks. REQUIRES: runs(isa), low1 <= high1, low2 <= high2.
void mark_ranges(Isa isa, const unsigned char* data, std::size_t blocks, std::uint64_t* masks, unsigned char low1,
                 unsigned char high1, unsigned char low2, unsigned char high2);

// Two inputs, both at the start of a record, hold the same `records` whole records in their first
// `bytes` bytes, each with exactly `fields` fields and ended by a line end (included in `bytes`).
struct EqualRecords {
  std::size_t records = 0;
  std::size_t bytes = 0;
};

// How many records at `a` and `b` (`size` bytes each, readable up to 63 bytes further) are the
// same bytes with `fields` fields each, read as `dialect` with Characters::bytes. It may stop
// short: at the first differing byte, at a record of another width, at a quote inside an
// unquoted field and at an escape byte inside a quoted one. With `ends`, at most ends.size()
// records, and ends[k] is where record k's line end stands (an offset into `a`). REQUIRES:
// runs(isa).
[[nodiscard]] EqualRecords equal_records(Isa isa, const Dialect& dialect, const unsigned char* a,
                                         const unsigned char* b, std::size_t size, std::size_t fields,
                                         std::span<std::size_t> ends = {});

// The link between a reader's buffer and the one record whose fields may point into it.
struct Loan {
  Record* record = nullptr;
};

}  // namespace csv::detail
