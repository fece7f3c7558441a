#include "csv/csv.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#define TESSAMER_CSV_X86 1
#endif

namespace csv {
namespace {

constexpr unsigned char kCr = '\r';
constexpr unsigned char kLf = '\n';

// The classifier looks at whole 64-byte blocks and the record writer copies short runs 32 bytes at
// a time, so both may read past the last byte read from the source. The read buffer carries this
// much readable slack.
constexpr std::size_t kBlock = 64;
constexpr std::size_t kReadSlack = 64;
// Short runs are stored 32 bytes at a time; the record keeps this much room past its last byte.
constexpr std::size_t kCopyWidth = 32;
// The buffer is classified a window at a time, so that the bytes are still in the nearest cache
// when the parser reaches them and the masks take little room.
constexpr std::size_t kWindowBlocks = 256;

// The bytes that can change the parser's state: delimiter, quote, escape, CR and LF. Which of them
// matters depends on where the parser is; it sorts that out for the few bytes found. Without an
// escape byte, the quote stands in for it: a duplicate target changes nothing.
struct SpecialBytes {
  unsigned char delimiter;
  unsigned char quote;
  unsigned char escape;
};

// Sets bit i of masks[b] when byte 64*b+i at `p` is special, for `blocks` whole blocks.
using ClassifyFn = void (*)(const unsigned char* p, std::size_t blocks, std::uint64_t* masks, const SpecialBytes& s);

void classify_portable(const unsigned char* p, std::size_t blocks, std::uint64_t* masks,
                                        const SpecialBytes& s) {
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

// One kernel per instruction set, in the order of detail::Isa; null where this build has none.
template <class Kernel>
using Kernels = std::array<Kernel, 4>;

#if defined(TESSAMER_CSV_X86)
constexpr Kernels<ClassifyFn> kClassifiers = {classify_portable, classify_sse2, classify_avx2, classify_avx512};
#else
constexpr Kernels<ClassifyFn> kClassifiers = {classify_portable, nullptr, nullptr, nullptr};
#endif

template <class Kernel>
Kernel kernel_for(const Kernels<Kernel>& kernels, detail::Isa isa) {
  return kernels[static_cast<std::size_t>(isa)];
}

// Of `kernels`, the one for the widest instruction set this CPU runs.
template <class Kernel>
Kernel pick_widest(const Kernels<Kernel>& kernels) {
  for (detail::Isa isa : {detail::Isa::avx512bw, detail::Isa::avx2, detail::Isa::sse2}) {
    if (detail::runs(isa)) return kernel_for(kernels, isa);
  }
  return kernel_for(kernels, detail::Isa::portable);
}

// One or two ranges of byte values, each as its lowest value and span (highest - lowest).
struct ByteRanges {
  unsigned char low1, span1, low2, span2;
  bool two;
};
// Sets bit i of out[b] when byte 64*b+i at `p` lies in one of the ranges, for `blocks` whole blocks.
using RangeFn = void (*)(const unsigned char* p, std::size_t blocks, std::uint64_t* out, const ByteRanges& r);

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

#if defined(TESSAMER_CSV_X86)
constexpr Kernels<RangeFn> kRangeMarkers = {ranges_portable, ranges_sse2, ranges_avx2, ranges_avx512};
#else
constexpr Kernels<RangeFn> kRangeMarkers = {ranges_portable, nullptr, nullptr, nullptr};
#endif

// The bits below `n` (n <= 64).
constexpr std::uint64_t low_bits(std::size_t n) { return n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1; }

// A unit value that is no dialect byte.
constexpr unsigned kNoUnit = 0x100;

// How the parser reads the unit (byte or code unit) a dialect byte stands for. `at` is only asked
// where a character starts, about a unit that begins before `stop`; `after` is where the next
// unit begins. Bytes are read as they are also where some byte values never stand for themselves
// (they begin a longer character, or an escape sequence): a dialect byte of that kind is matched
// as no unit at all.
struct ByteUnits {
  static constexpr std::size_t kWidth = 1;
  unsigned at(const unsigned char* p, const unsigned char*) const { return *p; }
  const unsigned char* after(const unsigned char* p, const unsigned char*) const { return p + 1; }
};

template <bool kBigEndian>
struct Utf16Units {
  static constexpr std::size_t kWidth = 2;
  unsigned at(const unsigned char* p, const unsigned char* stop) const {
    if (stop - p < 2) return kNoUnit;  // the odd last byte of the input
    const unsigned high = kBigEndian ? p[0] : p[1];
    const unsigned low = kBigEndian ? p[1] : p[0];
    return high == 0 ? low : kNoUnit;
  }
  const unsigned char* after(const unsigned char* p, const unsigned char* stop) const {
    return p + std::min<std::ptrdiff_t>(2, stop - p);
  }
};

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

// The read buffer: whole pages of its own, handed back to the system when the reader goes, so
// that a released buffer never lingers in the heap.
class PageBuffer {
 public:
  explicit PageBuffer(std::size_t size) : size_(size) {
    void* p = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    // Out of memory: fail as any other allocation does.
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<unsigned char*>(p);
  }
  ~PageBuffer() { ::munmap(data_, size_); }
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;

  unsigned char* data() const { return data_; }

 private:
  std::size_t size_;
  unsigned char* data_;
};

// Where the parser stands when the buffer runs dry; the next buffer resumes it there.
enum class Phase {
  record_start,  // skipping the CR and LF bytes of blank lines
  field_start,   // at the first byte of a field
  unquoted,      // inside an unquoted field (or the unquoted tail after a closing quote)
  quoted,        // inside the quoted part of a field
  escaped,       // right after an escape byte inside the quoted part
  after_quote,   // right after a quote byte that may close the quoted part
};

}  // namespace

namespace detail {

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

void classify(Isa isa, const Dialect& dialect, const unsigned char* data, std::size_t blocks, std::uint64_t* masks) {
  const SpecialBytes special{dialect.delimiter, dialect.quote, dialect.escape.value_or(dialect.quote)};
  kernel_for(kClassifiers, isa)(data, blocks, masks, special);
}

void mark_ranges(Isa isa, const unsigned char* data, std::size_t blocks, std::uint64_t* masks, unsigned char low1,
                 unsigned char high1, unsigned char low2, unsigned char high2) {
  const ByteRanges ranges{low1, static_cast<unsigned char>(high1 - low1), low2,
                          static_cast<unsigned char>(high2 - low2), true};
  kernel_for(kRangeMarkers, isa)(data, blocks, masks, ranges);
}

// A field whose bytes are kept in the record's own storage.
struct OwnedField {
  std::size_t index;
  std::size_t offset;
  std::size_t size;
};

// The record's field slots as the parser fills them, kept by the parser in locals.
struct FieldSlots {
  std::string_view* data;
  std::size_t count;
  std::size_t room;
};

// Builds a record in place. A field that lies in one piece in the read buffer becomes a view of it;
// the bytes of any other field (unescaped, or cut by a refill) are appended to the record's own
// storage, and its view is set when the record is complete, as that storage may still move.
// Storage grows only when it is too small.
class RecordWriter {
 public:
  RecordWriter(Record& record, std::vector<OwnedField>& owned)
      : record_(record), owned_(owned), bytes_(record.bytes_.data()), bytes_room_(record.bytes_.size()) {
    record.count_ = 0;
    record.raw_data_ = nullptr;
    owned.clear();
    // Every field may end up owned: room for all of them keeps end_owned() from allocating.
    if (owned.capacity() < record.fields_.size()) owned.reserve(record.fields_.size());
  }

  FieldSlots slots() const { return FieldSlots{record_.fields_.data(), 0, record_.fields_.size()}; }

  void add(FieldSlots& slots, std::string_view field) {
    if (slots.count == slots.room) [[unlikely]] grow(slots);
    slots.data[slots.count++] = field;
  }

  void begin_record(const unsigned char* first) {
    raw_begin_ = first;
    whole_ = true;
  }

  // Closes the record; its line end is at `terminator`.
  void end_record(const unsigned char* terminator) { raw_end_ = terminator; }

  // Adds bytes to the field in progress in the record's own storage, starting that field if need be.
  void append(const unsigned char* src, std::size_t n) {
    if (!in_progress_) {
      field_offset_ = used_;
      in_progress_ = true;
    }
    if (bytes_room_ - used_ < n + kCopyWidth) grow_bytes(n + kCopyWidth);
    char* dst = bytes_ + used_;
    if (n <= kCopyWidth) {
      // Fixed-size copies beat a memcpy call for short runs; the extra bytes land in room the
      // record has and come from the read buffer's slack.
      std::memcpy(dst, src, 16);
      std::memcpy(dst + 16, src + 16, 16);
    } else {
      std::memcpy(dst, src, n);
    }
    used_ += n;
  }

  // Closes the field in progress in the record's own storage, as the next field.
  void end_owned(FieldSlots& slots) {
    if (!in_progress_) field_offset_ = used_;
    owned_.push_back(OwnedField{slots.count, field_offset_, used_ - field_offset_});
    in_progress_ = false;
    add(slots, std::string_view());  // set by commit()
  }

  // The read buffer is about to be refilled in the middle of this record: the fields that are
  // views of it become copies, and the record is no longer in one piece. The field in progress
  // stays the last thing in storage, so that it can go on growing in place.
  void hold_over(std::string_view* fields, std::size_t count);

  // Publishes the fields written so far as the record's content.
  void commit(std::string_view* fields, std::size_t count) {
    for (const OwnedField& field : owned_) fields[field.index] = std::string_view(bytes_ + field.offset, field.size);
    record_.count_ = count;
    if (whole_) {
      record_.raw_data_ = reinterpret_cast<const char*>(raw_begin_);
      record_.raw_size_ = static_cast<std::size_t>(raw_end_ - raw_begin_);
    }
  }

  // Gives `record` its own copy of every field it has.
  static void own(Record& record) { record.take_ownership(); }
  // Tells `record` that the reader behind `loan` now lends it its buffer, ending any other loan.
  static void lend(Record& record, Loan& loan) {
    if (record.loan_ != &loan) {
      record.end_loan();
      record.loan_ = &loan;
      loan.record = &record;
    }
  }

 private:
  // Doubles the field slots (at least 16).
  [[gnu::noinline]] void grow(FieldSlots& slots) {
    const std::size_t size = std::max(slots.room * 2, std::size_t{16});
    record_.fields_.resize(size);
    owned_.reserve(size);
    slots.data = record_.fields_.data();
    slots.room = size;
  }

  [[gnu::noinline]] void grow_bytes(std::size_t need) {
    const std::size_t size = std::max({bytes_room_ * 2, used_ + need, std::size_t{256}});
    record_.bytes_.resize(size);
    bytes_ = record_.bytes_.data();
    bytes_room_ = size;
  }

  Record& record_;
  std::vector<OwnedField>& owned_;
  char* bytes_;
  std::size_t bytes_room_;
  std::size_t used_ = 0;
  std::size_t field_offset_ = 0;  // of the field in progress in bytes_
  bool in_progress_ = false;
  std::size_t first_view_ = 0;  // fields before this one are all in storage
  const unsigned char* raw_begin_ = nullptr;
  const unsigned char* raw_end_ = nullptr;
  bool whole_ = false;
};

void RecordWriter::hold_over(std::string_view* fields, std::size_t count) {
  whole_ = false;
  // Owned fields have no data yet; every other field is a view.
  std::size_t view_bytes = 0;
  for (std::size_t i = first_view_; i < count; ++i) {
    if (fields[i].data() != nullptr) view_bytes += fields[i].size();
  }
  const std::size_t moving = in_progress_ ? used_ - field_offset_ : 0;
  if (bytes_room_ - used_ < view_bytes + moving + kCopyWidth) grow_bytes(view_bytes + moving + kCopyWidth);
  std::size_t at = used_;
  for (std::size_t i = first_view_; i < count; ++i) {
    const std::string_view field = fields[i];
    if (field.data() == nullptr) continue;
    if (!field.empty()) std::memcpy(bytes_ + at, field.data(), field.size());
    owned_.push_back(OwnedField{i, at, field.size()});
    fields[i] = std::string_view();
    at += field.size();
  }
  if (in_progress_ && at != used_) {
    // Moves past the copies just made; the old place is left unused.
    if (moving > 0) std::memcpy(bytes_ + at, bytes_ + field_offset_, moving);
    field_offset_ = at;
    at += moving;
  }
  used_ = at;
  first_view_ = count;
}

}  // namespace detail

// ---- Record ----

void detail::ByteStore::resize(std::size_t size) {
  if (size == size_) return;
  if (size == 0) {
    std::free(data_);
    data_ = nullptr;
    size_ = 0;
    return;
  }
  void* grown = std::realloc(data_, size);
  // Out of memory: fail as any other allocation does.
  if (grown == nullptr) throw std::bad_alloc();
  data_ = static_cast<char*>(grown);
  size_ = size;
}

Record::~Record() { end_loan(); }

Record::Record(const Record& other) { assign_owned(other); }

Record& Record::operator=(const Record& other) {
  if (this != &other) {
    end_loan();
    assign_owned(other);
  }
  return *this;
}

Record::Record(Record&& other) noexcept
    : fields_(std::move(other.fields_)),
      bytes_(std::move(other.bytes_)),
      count_(std::exchange(other.count_, 0)),
      raw_data_(std::exchange(other.raw_data_, nullptr)),
      raw_size_(other.raw_size_),
      loan_(std::exchange(other.loan_, nullptr)) {
  if (loan_ != nullptr) loan_->record = this;
}

Record& Record::operator=(Record&& other) noexcept {
  if (this != &other) {
    end_loan();
    fields_ = std::move(other.fields_);
    bytes_ = std::move(other.bytes_);
    count_ = std::exchange(other.count_, 0);
    raw_data_ = std::exchange(other.raw_data_, nullptr);
    raw_size_ = other.raw_size_;
    loan_ = std::exchange(other.loan_, nullptr);
    if (loan_ != nullptr) loan_->record = this;
  }
  return *this;
}

void Record::end_loan() {
  if (loan_ == nullptr) return;
  loan_->record = nullptr;
  loan_ = nullptr;
}

void Record::assign_owned(const Record& from) {
  std::size_t total = 0;
  for (std::size_t i = 0; i < from.count_; ++i) total += from.fields_[i].size();
  detail::ByteStore bytes(total);
  if (fields_.size() < from.count_) fields_.resize(from.count_);
  std::size_t at = 0;
  for (std::size_t i = 0; i < from.count_; ++i) {
    const std::string_view field = from.fields_[i];
    if (!field.empty()) std::memcpy(bytes.data() + at, field.data(), field.size());
    fields_[i] = std::string_view(bytes.data() + at, field.size());
    at += field.size();
  }
  // The views point into the store's heap block, which the move keeps where it is.
  bytes_ = std::move(bytes);
  count_ = from.count_;
  raw_data_ = nullptr;
  raw_size_ = 0;
}

void Record::take_ownership() {
  // Copy from this record into fresh storage, then adopt it: some fields may point into bytes_.
  Record copy(*this);
  end_loan();
  fields_ = std::move(copy.fields_);
  bytes_ = std::move(copy.bytes_);
  raw_data_ = nullptr;
}

// ---- Reader ----

// Where the parser is in the masks: the special bytes at or after it are the set bits of `bits`
// (its block, at `block`) and of the masks after `mask`.
struct Cursor {
  const std::uint64_t* mask;
  const unsigned char* block;
  std::uint64_t bits;
};

struct Reader::State {
  State(ByteSource& src, const Dialect& d, std::size_t buffer_size)
      : source(src),
        dialect(d),
        special{d.delimiter, d.quote, d.escape.value_or(d.quote)},
        classify(pick_widest(kClassifiers)),
        ranges(pick_widest(kRangeMarkers)),
        filter(filter_for(d)),
        hold(filter == Filter::gb18030 || filter == Filter::iso2022jp ? 2 : 0),
        read_size(std::max<std::size_t>(buffer_size, 1)),
        // Room for a whole BOM even when each read is smaller, so it can be checked in place, and
        // for the bytes held back from one read to the next.
        buffer_room(std::max<std::size_t>(read_size, 3) + (filter == Filter::none ? 0 : 4)),
        buffer(buffer_room + kReadSlack),
        pos(buffer.data()),
        end(buffer.data()),
        read_end(buffer.data()) {
    set_up_characters();
    classify_window(buffer.data());
    cursor = seek(pos);
  }

  ~State() {
    // The buffer goes with the reader; a record still pointing into it keeps copies instead.
    if (loan.record != nullptr) detail::RecordWriter::own(*loan.record);
  }

  static Filter filter_for(const Dialect& d);
  void set_up_characters();
  void set_up_units() {
    dialect_units = DialectUnits{unit_value[dialect.delimiter], unit_value[dialect.quote], unit_value[special.escape],
                         dialect.escape ? unit_value[*dialect.escape] : kNoUnit};
  }

  [[nodiscard]] std::expected<void, ReadError> start();
  [[nodiscard]] std::expected<bool, ReadError> refill();
  // How many of the `filled` bytes at the start of the buffer the parser may use now.
  std::size_t usable(std::size_t filled) const {
    if (exhausted) return filled;
    if (filter == Filter::utf16le || filter == Filter::utf16be) return filled & ~std::size_t{1};
    return filled > hold ? filled - hold : 0;
  }
  template <class Units>
  [[gnu::noinline]] bool scan(detail::RecordWriter& out, detail::FieldSlots& slots, Units units);
  // Out of line: the common path (scan) then stays small.
  template <class Units>
  [[gnu::noinline]] bool parse(detail::RecordWriter& out, detail::FieldSlots& slots, Units units);
  template <class Units>
  std::expected<bool, ReadError> next(Record& record, Units units);
  [[gnu::noinline]] std::expected<bool, ReadError> next_in_code_units(Record& record);

  bool is_special(unsigned c) const {
    return c == dialect_units.delimiter || c == dialect_units.quote || c == dialect_units.escape || c == kCr ||
           c == kLf;
  }

  // Classifies the window of the buffer that begins at `from` (from <= end). Mask bits for bytes
  // at or past `end` are clear. A cursor that steps onto the block at window_end (whose mask is
  // read, as zero, but never used) has reached the end of the window.
  void classify_window(const unsigned char* from, std::size_t most = kWindowBlocks) {
    const std::size_t left = static_cast<std::size_t>(end - from);
    const std::size_t blocks = std::min(most, (left + kBlock - 1) / kBlock);
    classify(from, blocks, masks, special);
    if (const std::size_t tail = left % kBlock; blocks * kBlock > left && tail != 0) {
      masks[blocks - 1] &= (std::uint64_t{1} << tail) - 1;
    }
    masks[blocks] = 0;
    window = from;
    window_end = from + blocks * kBlock;
    if (filter != Filter::none && blocks != 0) narrow_window(std::min(left, blocks * kBlock));
  }

  // Keeps in the window's masks only the dialect bytes that start a character, and carries what
  // the next window needs to know in `chars`. Every byte of the input passes here once, in order.
  void narrow_window(std::size_t size);
  void narrow_utf16(std::size_t size);
  void narrow_lead_runs(std::size_t size);
  void narrow_gb18030(std::size_t size);
  void narrow_iso2022jp(std::size_t size);
  // Whether the decoder gives `byte`, a dialect byte, back after the lead byte `lead`.
  bool given_back(unsigned char lead, unsigned char byte) const {
    if (byte >= 0x80) return false;
    if (byte < trail_low || byte > 0x7E) return true;
    return (pair_breaks[lead] & trail_slots[byte]) != 0;
  }
  // The byte at `p`, or -1 past the end of the input; only asked within `hold` bytes of `end`.
  int look(const unsigned char* p) const { return p < read_end ? *p : -1; }

  // The cursor at `at`, a byte of the current window. (In an empty window, where no special byte
  // is ever looked for, it only stands there.)
  Cursor seek(const unsigned char* at) const {
    const std::size_t offset = static_cast<std::size_t>(at - window);
    const std::size_t block = offset / kBlock;
    return Cursor{masks + block, window + block * kBlock, masks[block] & (~std::uint64_t{0} << (offset % kBlock))};
  }

  // Whether skip_equal_records may move this reader: between records of a byte dialect.
  bool between_records() const { return started && phase == Phase::record_start && filter == Filter::none; }

  // Moves to `at`, the start of a record past pos, as if the records before it had been read.
  void pass_to(const unsigned char* at) {
    pos = resume_run = resume_closing = at;
    if (at >= window_end) {
      // Only a few blocks: another skip may follow right after the next record, and then a full
      // window would have been classified for nothing. The cursor goes on to full windows.
      classify_window(at, 2);
    }
    cursor = seek(at);
  }

  // Passes the records this reader and `y` would read next that are the same bytes in both (see
  // skip_equal_records); with `plain`, only records without a quote byte.
  std::size_t skip_equal(State& y, std::size_t fields, bool plain) {
    if (!between_records() || !y.between_records()) return 0;
    if (dialect.delimiter != y.dialect.delimiter || dialect.quote != y.dialect.quote ||
        dialect.escape != y.dialect.escape) {
      return 0;
    }
    const std::size_t size = static_cast<std::size_t>(std::min(end - pos, y.end - y.pos));
    if (size == 0) return 0;
    static const detail::Isa isa = detail::runs(detail::Isa::avx2) ? detail::Isa::avx2 : detail::Isa::portable;
    const detail::EqualRecords same = detail::equal_records(isa, dialect, pos, y.pos, size, fields, plain);
    if (same.records == 0) return 0;
    pass_to(pos + same.bytes);
    y.pass_to(y.pos + same.bytes);
    return same.records;
  }

  // The cursor has reached the end of the window, short of the end of the bytes read: classifies
  // the next window, where the cursor goes on from its start.
  [[gnu::noinline]] void next_window() { classify_window(window_end); }

  ByteSource& source;
  const Dialect dialect;
  const SpecialBytes special;
  // The units the parser matches: the dialect's bytes, or kNoUnit for one that never stands for
  // itself under the character structure. `escape` is the quote without an escape byte (the
  // kernel's stand-in, see SpecialBytes); `escape_only` is then kNoUnit.
  struct DialectUnits {
    unsigned delimiter, quote, escape, escape_only;
  } dialect_units{};
  const ClassifyFn classify;
  const RangeFn ranges;
  const Filter filter;
  // Bytes held back from the parser at the end of each read but the last, so that whether a byte
  // starts a character is known from what follows it; they begin the next buffer.
  const std::size_t hold;
  const std::size_t read_size;
  const std::size_t buffer_room;
  PageBuffer buffer;
  const unsigned char* pos;       // next unparsed byte
  const unsigned char* end;       // end of the bytes the parser may use
  const unsigned char* read_end;  // end of the bytes read (end, and the bytes held back)
  // The window last classified: its bytes and the masks of its blocks, and one more.
  const unsigned char* window = nullptr;
  const unsigned char* window_end = nullptr;
  std::uint64_t masks[kWindowBlocks + 1];
  // For narrowing them: the bytes of the window in `narrowing`, a mask per block.
  std::uint64_t aux[kWindowBlocks];
  ByteRanges narrowing{};
  // The next special byte not yet passed: always the first one at or after pos.
  Cursor cursor{};
  Phase phase = Phase::record_start;
  // Where the record kernel handed over in the middle of a field: its first content byte not yet
  // stored, and in after_quote the quote that may close it. Otherwise both are pos.
  const unsigned char* resume_run = nullptr;
  const unsigned char* resume_closing = nullptr;
  bool field_owned = false;  // the field in progress is in the record's own storage
  bool started = false;
  bool exhausted = false;  // the source has reported its end; it is not asked again
  detail::Loan loan;       // the record that may point into the buffer
  std::vector<detail::OwnedField> owned;  // scratch of the record being read

  // Character structure, fixed: the lead bytes, the lowest ASCII byte a lead takes with it, which
  // of the dialect bytes (k: delimiter, quote, escape) each lead gives back, and which of them each
  // byte value is; and each byte's unit value.
  unsigned char lead_low = 0x81, lead_high = 0xFE;    // one range, or Shift_JIS's two:
  unsigned char lead_low2 = 0xFF, lead_high2 = 0xFE;  // empty unless Shift_JIS
  unsigned char trail_low = 0x40;
  std::uint8_t pair_breaks[256] = {};
  std::uint8_t trail_slots[256] = {};  // per byte value: bit k when it is dialect byte k
  unsigned short unit_value[256] = {};
  // Character structure, carried from window to window.
  struct Carry {
    std::uint64_t after_lead = 0;  // the next byte follows a lead byte
    unsigned char last = 0;        // the last byte narrowed
    int first = 0, second = 0, third = 0;  // gb18030: the decoder's bytes in hand
    unsigned char mode = 0;        // ISO-2022-JP: 0 ASCII, 1 Roman, 2 katakana, 3 double-byte
    unsigned char skip = 0;        // ISO-2022-JP: bytes of an escape sequence still to pass
  } chars;
};

Filter Reader::State::filter_for(const Dialect& d) {
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

void Reader::State::set_up_characters() {
  for (unsigned b = 0; b < 256; ++b) unit_value[b] = static_cast<unsigned short>(b);
  set_up_units();
  switch (filter) {
    case Filter::none:
      return;
    case Filter::utf16le:
    case Filter::utf16be:
      narrowing = ByteRanges{0x00, 0, 0, 0, false};  // the zero half of a unit
      return;
    case Filter::gb18030:
      narrowing = ByteRanges{0x80, 0x7F, 0, 0, false};  // where the decoder's steps are needed
      break;
    case Filter::iso2022jp:
      narrowing = ByteRanges{0x1B, 0, 0, 0, false};  // ESC
      break;
    case Filter::lead_runs:
      break;
  }
  switch (dialect.characters) {
    case Characters::shift_jis:
      lead_high = 0x9F;
      lead_low2 = 0xE0;
      lead_high2 = 0xFC;
      break;
    case Characters::euc_kr:
      trail_low = 0x41;
      break;
    case Characters::iso2022jp:
      unit_value[0x1B] = kNoUnit;  // always begins an escape sequence
      set_up_units();
      return;
    default:
      break;
  }
  auto is_lead = [this](unsigned b) {
    return (b >= lead_low && b <= lead_high) || (b >= lead_low2 && b <= lead_high2);
  };
  for (unsigned b = 0; b < 256; ++b) {
    if (is_lead(b)) unit_value[b] = kNoUnit;
  }
  set_up_units();
  if (filter == Filter::lead_runs) {
    narrowing = ByteRanges{lead_low, static_cast<unsigned char>(lead_high - lead_low), lead_low2,
                           static_cast<unsigned char>(lead_high2 - lead_low2), lead_low2 <= lead_high2};
  }
  const unsigned char bytes[3] = {dialect.delimiter, dialect.quote, dialect.escape.value_or(dialect.quote)};
  for (std::size_t k = 0; k < 3; ++k) {
    if (bytes[k] < trail_low || bytes[k] > 0x7E) continue;
    trail_slots[bytes[k]] |= static_cast<std::uint8_t>(1u << k);
    if (!dialect.pair_is_character) continue;
    for (unsigned lead = 0x81; lead < 0xFF; ++lead) {
      if (is_lead(lead) && !dialect.pair_is_character(static_cast<unsigned char>(lead), bytes[k])) {
        pair_breaks[lead] |= static_cast<std::uint8_t>(1u << k);
      }
    }
  }
}

void Reader::State::narrow_window(std::size_t size) {
  ranges(window, (size + kBlock - 1) / kBlock, aux, narrowing);
  switch (filter) {
    case Filter::none:
      break;
    case Filter::utf16le:
    case Filter::utf16be:
      narrow_utf16(size);
      break;
    case Filter::lead_runs:
      narrow_lead_runs(size);
      break;
    case Filter::gb18030:
      narrow_gb18030(size);
      break;
    case Filter::iso2022jp:
      narrow_iso2022jp(size);
      break;
  }
  chars.last = window[size - 1];
}

// Every buffer begins at an even offset of the input, so a unit begins at an even offset of it.
// The mask keeps the first byte of each unit that is a dialect byte.
void Reader::State::narrow_utf16(std::size_t size) {
  const bool big_endian = filter == Filter::utf16be;
  const bool odd_start = ((window - buffer.data()) & 1) != 0;
  const std::uint64_t starts = odd_start ? 0xAAAAAAAAAAAAAAAAULL : 0x5555555555555555ULL;
  const std::size_t blocks = (size + kBlock - 1) / kBlock;
  for (std::size_t b = 0; b < blocks; ++b) {
    const unsigned char* block = window + b * kBlock;
    const std::size_t valid = std::min(kBlock, size - b * kBlock);
    const std::uint64_t zero = aux[b] & low_bits(valid);
    // The same for the first byte of the next block, which the shifts below bring in.
    const bool next_in = b * kBlock + kBlock < size;
    const std::uint64_t special_here = masks[b];
    if (big_endian) {
      const std::uint64_t next_special = next_in && is_special(block[kBlock]) ? 1 : 0;
      masks[b] = ((special_here >> 1) | (next_special << 63)) & zero & starts;
    } else {
      const std::uint64_t next_zero = next_in && block[kBlock] == 0 ? 1 : 0;
      masks[b] = special_here & ((zero >> 1) | (next_zero << 63)) & starts;
    }
  }
}

void Reader::State::narrow_lead_runs(std::size_t size) {
  constexpr std::uint64_t kEven = 0x5555555555555555ULL;
  const std::size_t blocks = (size + kBlock - 1) / kBlock;
  std::uint64_t after_lead = chars.after_lead;
  for (std::size_t b = 0; b < blocks; ++b) {
    const unsigned char* block = window + b * kBlock;
    const std::size_t valid = std::min(kBlock, size - b * kBlock);
    const std::uint64_t leads_capable = aux[b] & low_bits(valid);
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
      const unsigned char lead = i > 0 ? block[i - 1] : (b > 0 ? block[-1] : chars.last);
      if (given_back(lead, block[i])) keep |= std::uint64_t{1} << i;
    }
    masks[b] = keep;
    after_lead = (leads >> (valid - 1)) & 1;
  }
  chars.after_lead = after_lead;
}

// The gb18030 decoder's steps, byte by byte where a byte above 0x7F is near; needed only when a
// dialect byte is a digit, which can be the second byte of a four-byte sequence.
void Reader::State::narrow_gb18030(std::size_t size) {
  auto in_lead = [](int b) { return b >= 0x81 && b <= 0xFE; };
  auto is_digit = [](int b) { return b >= 0x30 && b <= 0x39; };
  Carry c = chars;
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
    const unsigned char* block = window + b * kBlock;
    const std::size_t valid = std::min(kBlock, size - b * kBlock);
    const std::uint64_t high = aux[b] & low_bits(valid);
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
  chars = c;
}

// The decoder's mode at each byte. Only escape sequences change it, so a block without ESC keeps
// all its dialect bytes or none. An escape sequence the decoder does not know costs only its ESC:
// the bytes after it are read again in the mode in force.
void Reader::State::narrow_iso2022jp(std::size_t size) {
  Carry c = chars;
  const std::size_t blocks = (size + kBlock - 1) / kBlock;
  for (std::size_t b = 0; b < blocks; ++b) {
    const unsigned char* block = window + b * kBlock;
    const std::size_t valid = std::min(kBlock, size - b * kBlock);
    const std::uint64_t escapes = aux[b] & low_bits(valid);
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
      if (c.mode <= 1) keep |= found & low_bits(j) & ~low_bits(i);
      if (j == valid) break;
      const int n1 = look(block + j + 1);
      const int n2 = n1 < 0 ? -1 : look(block + j + 2);
      int mode = -1;
      if (n1 == '(' && n2 == 'B') mode = 0;
      if (n1 == '(' && n2 == 'J') mode = 1;
      if (n1 == '(' && n2 == 'I') mode = 2;
      if (n1 == '$' && (n2 == '@' || n2 == 'B')) mode = 3;
      if (mode >= 0) {
        c.mode = static_cast<unsigned char>(mode);
        c.skip = 2;
      }
      i = j + 1;
    }
    masks[b] = keep;
  }
  chars = c;
}

// Fills the buffer with at least the length of a BOM (or the whole input, if shorter) and skips
// the BOM when asked to. Only ever at the very start of the input.
std::expected<void, ReadError> Reader::State::start() {
  started = true;
  unsigned char* const base = buffer.data();
  std::size_t filled = 0;
  while (filled < 3 + hold && !exhausted) {
    auto got = source.read(base + filled, std::min(read_size, buffer_room - filled));
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got == 0) exhausted = true;
    filled += *got;
  }
  pos = base;
  read_end = base + filled;
  end = base + usable(filled);
  if (dialect.skip_utf8_bom) {
    static constexpr unsigned char kBom[] = {0xEF, 0xBB, 0xBF};
    if (filter == Filter::utf16le || filter == Filter::utf16be) {
      const bool little = filter == Filter::utf16le;
      if (filled >= 2 && base[0] == (little ? 0xFF : 0xFE) && base[1] == (little ? 0xFE : 0xFF)) pos += 2;
    } else if (filled >= 3 && std::memcmp(base, kBom, 3) == 0) {
      pos += 3;
    }
  }
  // The character structure begins after the BOM, which belongs to nothing.
  classify_window(filter == Filter::none ? base : pos);
  cursor = seek(pos);
  resume_run = resume_closing = pos;
  return {};
}

// Replaces the buffer's content with the next read, after the bytes held back from the last.
// false: the input is exhausted.
std::expected<bool, ReadError> Reader::State::refill() {
  source.release();
  unsigned char* const base = buffer.data();
  std::size_t filled = 0;
  if (filter == Filter::none) {
    if (exhausted) return false;
    auto got = source.read(base, read_size);
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got == 0) exhausted = true;
    filled = *got;
  } else {
    filled = static_cast<std::size_t>(read_end - end);
    if (exhausted && filled == 0) return false;
    std::memmove(base, end, filled);
    // At least one byte for the parser, unless the input ends.
    while (usable(filled) == 0 && !exhausted) {
      auto got = source.read(base + filled, std::min(read_size, buffer_room - filled));
      if (!got) return std::unexpected(std::move(got.error()));
      if (*got == 0) exhausted = true;
      filled += *got;
    }
  }
  pos = base;
  read_end = base + filled;
  end = base + usable(filled);
  classify_window(pos);
  cursor = seek(pos);
  resume_run = resume_closing = pos;
  return end != pos;
}

// Parses from `pos` until the record ends (true) or the buffer is used up (false, with `phase`
// saying where to resume). Before returning false, every field of the record in progress,
// including the one being read, is moved to the record's own storage.
//
// The cursor passes every special byte exactly once, in order: found ones by next_special(), and
// those the parser steps over by looking at single bytes by a next_special() call of their own.
template <class Units>
bool Reader::State::parse(detail::RecordWriter& out, detail::FieldSlots& slots, Units units) {
  constexpr std::size_t kWidth = Units::kWidth;
  const unsigned delimiter = dialect_units.delimiter;
  const unsigned quote = dialect_units.quote;
  const unsigned escape = dialect_units.escape_only;
  const unsigned char* const stop = end;
  const unsigned char* p = pos;
  const unsigned char* run = resume_run;          // start of the field bytes not yet stored
  const unsigned char* closing = resume_closing;  // in after_quote: the quote that may close the quoted part
  bool owned = field_owned;          // the field in progress is in the record's own storage
  Phase at = phase;
  const std::uint64_t* mask = cursor.mask;
  const unsigned char* block = cursor.block;
  std::uint64_t bits = cursor.bits;
  const unsigned char* limit = window_end;

  // The next special byte, or stop when there is none before it.
  auto next_special = [&]() -> const unsigned char* {
    while (bits == 0) {
      bits = *++mask;
      block += kBlock;
      if (block == limit) [[unlikely]] {
        if (limit >= stop) {
          // The end of the bytes read: the cursor stays before it, so every later call ends here.
          --mask;
          block -= kBlock;
          bits = 0;
          return stop;
        }
        next_window();
        mask = masks;
        block = window;
        bits = masks[0];
        limit = window_end;
      }
    }
    const unsigned char* hit = block + std::countr_zero(bits);
    bits &= bits - 1;
    return hit;
  };
  // Stores the field in progress, whose last bytes end at `last`.
  auto close_field = [&](const unsigned char* last) {
    if (owned) {
      out.append(run, static_cast<std::size_t>(last - run));
      out.end_owned(slots);
      owned = false;
    } else {
      out.add(slots, std::string_view(reinterpret_cast<const char*>(run), static_cast<std::size_t>(last - run)));
    }
  };
  // Moves the field in progress, up to `last`, to the record's own storage.
  auto own_field = [&](const unsigned char* last) {
    out.append(run, static_cast<std::size_t>(last - run));
    owned = true;
  };
  auto save = [&](const unsigned char* resume_at, Phase resume) {
    pos = resume_at;
    resume_run = resume_at;
    resume_closing = resume_at;
    phase = resume;
    field_owned = owned;
    cursor = Cursor{mask, block, bits};
  };
  auto dry = [&](Phase resume, const unsigned char* last) {
    if (resume != Phase::record_start) out.hold_over(slots.data, slots.count);
    if (resume == Phase::unquoted || resume == Phase::quoted || resume == Phase::after_quote) own_field(last);
    save(stop, resume);
    return false;
  };
  auto record_end = [&](const unsigned char* terminator) {
    out.end_record(terminator);
    save(terminator + kWidth, Phase::record_start);
    return true;
  };

  for (;;) {
    switch (at) {
      case Phase::record_start:
        while (p < stop && (units.at(p, stop) == kCr || units.at(p, stop) == kLf)) {
          next_special();
          p += kWidth;
        }
        if (p == stop) return dry(Phase::record_start, p);
        out.begin_record(p);
        [[fallthrough]];

      case Phase::field_start:
        if (p == stop) return dry(Phase::field_start, p);
        if (units.at(p, stop) == quote) {
          next_special();
          run = p += kWidth;
          at = Phase::quoted;
          continue;
        }
        run = p;
        [[fallthrough]];

      case Phase::unquoted:
        for (;;) {
          const unsigned char* hit = next_special();
          if (hit == stop) return dry(Phase::unquoted, stop);
          const unsigned c = units.at(hit, stop);
          p = hit + kWidth;
          if (c == delimiter) {
            close_field(hit);
            at = Phase::field_start;
            break;
          }
          if (c == kCr || c == kLf) {
            close_field(hit);
            return record_end(hit);
          }
          // A quote or escape byte: ordinary here.
        }
        continue;

      case Phase::quoted:
        for (;;) {
          const unsigned char* hit = next_special();
          if (hit == stop) return dry(Phase::quoted, stop);
          const unsigned c = units.at(hit, stop);
          p = hit + kWidth;
          if (c == quote) {
            closing = hit;
            at = Phase::after_quote;
            break;
          }
          if (c == escape) {
            own_field(hit);
            at = Phase::escaped;
            break;
          }
          // A delimiter, CR or LF: literal inside quotes.
        }
        continue;

      case Phase::escaped:
        if (p == stop) return dry(Phase::escaped, p);
        // The escaped byte opens the next literal run, whatever it is.
        // (A unit: the bytes of a longer character are never special.)
        if (is_special(units.at(p, stop))) next_special();
        run = p;
        p = units.after(p, stop);
        at = Phase::quoted;
        continue;

      case Phase::after_quote: {
        if (p == stop) return dry(Phase::after_quote, closing);
        const unsigned c = units.at(p, stop);
        if (c == quote) {
          // A doubled quote: the second one is kept as the first byte of the next run.
          next_special();
          own_field(closing);
          run = p;
          p += kWidth;
          at = Phase::quoted;
        } else if (c == delimiter) {
          next_special();
          p += kWidth;
          close_field(closing);
          at = Phase::field_start;
        } else if (c == kCr || c == kLf) {
          next_special();
          close_field(closing);
          return record_end(p);
        } else {
          // Bytes after the closing quote continue the field as unquoted bytes.
          if (c == dialect_units.escape) next_special();
          own_field(closing);
          run = p;
          p = units.after(p, stop);
          at = Phase::unquoted;
        }
        continue;
      }
    }
  }
}

// The record kernel. Reads one record whose fields are unquoted, or quoted without doubled quotes
// or escapes and closed right before the delimiter or line end: nearly every record of usual data.
// Every field is a view of the buffer. true: the record ended. false: something else needs
// deciding (such a field, the end of the window or of the bytes read, full field slots); parse()
// takes over at `phase`, with the cursor, pos, resume_run and resume_closing exactly where it
// would stand had it read the same bytes itself. The cursor passes a special byte only once the
// kernel has dealt with it.
//
// The hot loop of the reader, kept apart from parse() so that the compiler gives it registers of
// its own.
template <class Units>
bool Reader::State::scan(detail::RecordWriter& out, detail::FieldSlots& slots, Units units) {
  constexpr std::size_t kWidth = Units::kWidth;
  // Members are read into locals once and written back once: they stay in registers meanwhile.
  const std::uint64_t* mask = cursor.mask;
  const unsigned char* block = cursor.block;
  std::uint64_t bits = cursor.bits;
  const unsigned char* p = pos;
  std::string_view* const fields = slots.data;
  std::string_view* next_field = fields + slots.count;
  std::string_view* const fields_end = fields + slots.room;
  const unsigned char* const limit = window_end;
  const unsigned char* const stop = end;
  const unsigned delimiter = dialect_units.delimiter;
  const unsigned quote = dialect_units.quote;
  const unsigned escape = dialect_units.escape;
  const unsigned char* run = p;
  const unsigned char* closing = p;
  const unsigned char* hit = nullptr;
  Phase at = Phase::record_start;
  bool done = false;

  // The next special byte, without passing it; null at the end of the window.
  auto peek = [&]() -> const unsigned char* {
    while (bits == 0) {
      bits = *++mask;
      block += kBlock;
      if (block == limit) [[unlikely]] {
        --mask;
        block -= kBlock;
        return nullptr;
      }
    }
    return block + std::countr_zero(bits);
  };
  auto pass = [&] { bits &= bits - 1; };
  auto store = [&](const unsigned char* last) {
    *next_field++ = std::string_view(reinterpret_cast<const char*>(run), static_cast<std::size_t>(last - run));
  };

  // Blank lines: each of their bytes is special.
  for (;;) {
    if (p == stop) goto hand_over;
    if (const unsigned c = units.at(p, stop); c != kCr && c != kLf) break;
    if (peek() == nullptr) goto hand_over;
    pass();
    p += kWidth;
  }
  out.begin_record(p);
  run = p;
  at = Phase::field_start;
  for (;;) {
    // At the start of the field at run, which lies before stop.
    if (next_field == fields_end) [[unlikely]] {
      p = run;
      goto hand_over;
    }
    if (units.at(run, stop) == quote) {
      if (peek() == nullptr) {
        p = run;
        goto hand_over;
      }
      pass();  // the opening quote
      run += kWidth;
      at = Phase::quoted;
      p = run;
      for (;;) {
        hit = peek();
        if (hit == nullptr) goto hand_over;
        const unsigned c = units.at(hit, stop);
        if (c == quote) break;
        if (c == escape) goto hand_over;
        pass();  // a delimiter, CR or LF: literal inside quotes
      }
      pass();
      closing = hit;
      at = Phase::after_quote;
      p = closing + kWidth;
      hit = peek();
      // Not a special byte right after the closing quote: a tail for the generic parser.
      if (hit != p) goto hand_over;
      const unsigned c = units.at(hit, stop);
      if (c == quote) goto hand_over;
      if (c == delimiter) {
        pass();
        store(closing);
      } else if (c == kCr || c == kLf) {
        pass();
        store(closing);
        done = true;
        break;
      } else {
        goto hand_over;  // the escape byte
      }
    } else {
      at = Phase::unquoted;
      p = run;
      for (;;) {
        hit = peek();
        if (hit == nullptr) goto hand_over;
        const unsigned c = units.at(hit, stop);
        pass();
        if (c == delimiter) break;
        if (c == kCr || c == kLf) {
          store(hit);
          done = true;
          goto finished;
        }
        // A quote or escape byte: ordinary here.
      }
      store(hit);
    }
    run = hit + kWidth;
    at = Phase::field_start;
    if (run == stop) {
      p = run;
      goto hand_over;
    }
  }
finished:
  if (done) {
    out.end_record(hit);
    p = run = closing = hit + kWidth;
  }
hand_over:
  cursor.mask = mask;
  cursor.block = block;
  cursor.bits = bits;
  slots.count = static_cast<std::size_t>(next_field - fields);
  pos = p;
  resume_run = run;
  resume_closing = closing;
  phase = done ? Phase::record_start : at;
  return done;
}


Reader::Reader(ByteSource& source, Dialect dialect, std::size_t buffer_size)
    : state_(std::make_unique<State>(source, dialect, buffer_size)) {}

Reader::~Reader() = default;

template <class Units>
std::expected<bool, ReadError> Reader::State::next(Record& record, Units units) {
  State& s = *this;
  detail::RecordWriter out(record, s.owned);
  detail::FieldSlots fields = out.slots();
  if (!s.started) {
    if (auto started = s.start(); !started) return std::unexpected(std::move(started.error()));
  }
  if (s.scan(out, fields, units)) {
    out.commit(fields.data, fields.count);
    detail::RecordWriter::lend(record, s.loan);
    return true;
  }
  while (!s.parse(out, fields, units)) {
    auto more = s.refill();
    if (!more) return std::unexpected(std::move(more.error()));
    if (*more) continue;
    // End of input: it ends the record in progress, whatever it was in the middle of.
    if (s.phase == Phase::record_start) return false;
    if (s.field_owned) {
      out.end_owned(fields);
    } else {
      out.add(fields, std::string_view());
    }
    s.phase = Phase::record_start;
    s.field_owned = false;
    break;
  }
  out.commit(fields.data, fields.count);
  detail::RecordWriter::lend(record, s.loan);
  return true;
}

std::expected<bool, ReadError> Reader::next(Record& record) {
  State& s = *state_;
  // Only one record at a time may point into the buffer: an earlier one keeps copies.
  if (s.loan.record != nullptr && s.loan.record != &record) detail::RecordWriter::own(*s.loan.record);
  if (s.filter != Filter::utf16le && s.filter != Filter::utf16be) [[likely]] return s.next(record, ByteUnits{});
  return s.next_in_code_units(record);
}


std::size_t skip_equal_plain_records(Reader& a, Reader& b, std::size_t fields, std::string_view& passed) {
  passed = {};
  const unsigned char* at = a.state_->pos;
  const std::size_t same = a.state_->skip_equal(*b.state_, fields, true);
  if (same > 0) passed = std::string_view(reinterpret_cast<const char*>(at), a.state_->pos - at);
  return same;
}

std::size_t skip_equal_records(Reader& a, Reader& b, std::size_t fields) {
  return a.state_->skip_equal(*b.state_, fields, false);
}

std::expected<bool, ReadError> Reader::State::next_in_code_units(Record& record) {
  if (filter == Filter::utf16be) return next(record, Utf16Units<true>{});
  return next(record, Utf16Units<false>{});
}

}  // namespace csv
