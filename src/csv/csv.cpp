#include "csv/csv.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace csv {
namespace {

constexpr unsigned char kCr = '\r';
constexpr unsigned char kLf = '\n';

// The scanner looks at whole 64-byte blocks and the record writer copies short runs 32 bytes at a
// time, so both may read past the last byte read from the source. The read buffer carries this much
// readable slack.
constexpr std::size_t kBlock = 64;
constexpr std::size_t kReadSlack = 64;
// Short runs are stored 32 bytes at a time; the record keeps this much room past its last byte.
constexpr std::size_t kCopyWidth = 32;

// Finds the bytes that can change the parser's state: delimiter, quote, escape, CR and LF. Which of
// them matters depends on where the parser is; it sorts that out for the few bytes found.
class Scanner {
 public:
  explicit Scanner(const Dialect& d) {
    // Without an escape byte, the quote stands in for it: a duplicate target changes nothing.
    const unsigned char escape = d.escape.value_or(d.quote);
#if defined(__SSE2__)
    delimiter_ = _mm_set1_epi8(static_cast<char>(d.delimiter));
    quote_ = _mm_set1_epi8(static_cast<char>(d.quote));
    escape_ = _mm_set1_epi8(static_cast<char>(escape));
    cr_ = _mm_set1_epi8(static_cast<char>(kCr));
    lf_ = _mm_set1_epi8(static_cast<char>(kLf));
#else
    special_.fill(false);
    for (unsigned char b : {d.delimiter, d.quote, escape, kCr, kLf}) special_[b] = true;
#endif
  }

  // Bit i is set when p[i] is special. Reads exactly kBlock bytes from p.
  std::uint64_t block(const unsigned char* p) const {
#if defined(__SSE2__)
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < kBlock; i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      const __m128i hit = _mm_or_si128(
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, delimiter_), _mm_cmpeq_epi8(v, quote_)),
                       _mm_cmpeq_epi8(v, escape_)),
          _mm_or_si128(_mm_cmpeq_epi8(v, cr_), _mm_cmpeq_epi8(v, lf_)));
      bits |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(hit))) << i;
    }
    return bits;
#else
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < kBlock; ++i) bits |= static_cast<std::uint64_t>(special_[p[i]]) << i;
    return bits;
#endif
  }

 private:
#if defined(__SSE2__)
  __m128i delimiter_, quote_, escape_, cr_, lf_;
#else
  std::array<bool, 256> special_;
#endif
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

// Builds a record in place: appends field bytes and closes fields, growing the record's storage
// only when it is too small. Caches the storage pointers so the parser keeps them in registers.
class RecordWriter {
 public:
  explicit RecordWriter(Record& record)
      : record_(record),
        bytes_(record.bytes_.data()),
        bytes_room_(record.bytes_.size()),
        ends_(record.ends_.data()),
        ends_room_(record.ends_.size()) {
    record.count_ = 0;
  }

  void append(const unsigned char* src, std::size_t n) {
    if (bytes_room_ - used_ < n + kCopyWidth) grow_bytes(n + kCopyWidth);
    char* dst = bytes_ + used_;
    if (n <= kCopyWidth) {
      // Fixed-size copies beat a memcpy call for the short fields that dominate; the extra bytes
      // land in room the record has and come from the read buffer's slack.
      std::memcpy(dst, src, 16);
      std::memcpy(dst + 16, src + 16, 16);
    } else {
      std::memcpy(dst, src, n);
    }
    used_ += n;
  }

  void end_field() {
    if (count_ == ends_room_) grow_ends();
    ends_[count_++] = used_;
  }

  // Publishes the fields written so far as the record's content.
  void commit() { record_.count_ = count_; }

 private:
  [[gnu::noinline]] void grow_bytes(std::size_t need) {
    const std::size_t size = std::max({bytes_room_ * 2, used_ + need, std::size_t{256}});
    record_.bytes_.resize(size);
    bytes_ = record_.bytes_.data();
    bytes_room_ = size;
  }

  [[gnu::noinline]] void grow_ends() {
    const std::size_t size = std::max(ends_room_ * 2, std::size_t{16});
    record_.ends_.resize(size);
    ends_ = record_.ends_.data();
    ends_room_ = size;
  }

  Record& record_;
  char* bytes_;
  std::size_t bytes_room_;
  std::size_t used_ = 0;
  std::size_t* ends_;
  std::size_t ends_room_;
  std::size_t count_ = 0;
};

}  // namespace detail

struct Reader::State {
  State(ByteSource& src, const Dialect& d, std::size_t buffer_size)
      : source(src),
        dialect(d),
        scanner(d),
        read_size(std::max<std::size_t>(buffer_size, 1)),
        // Room for a whole UTF-8 BOM even when each read is smaller, so it can be checked in place.
        buffer_room(std::max<std::size_t>(read_size, 3)),
        buffer(std::make_unique<unsigned char[]>(buffer_room + kReadSlack)),
        pos(buffer.get()),
        end(buffer.get()),
        block_start(buffer.get()) {}

  std::expected<void, ReadError> start();
  std::expected<bool, ReadError> refill();
  bool parse(detail::RecordWriter& out);

  // The first special byte at or after p (p <= end), or end when there is none in the buffer.
  const unsigned char* find_special(const unsigned char* p) {
    for (;;) {
      std::size_t offset = static_cast<std::size_t>(p - block_start);
      if (offset >= kBlock) {
        block_start = p;
        block_mask = scanner.block(p);
        offset = 0;
      }
      const std::uint64_t ahead = block_mask >> offset;
      if (ahead != 0) {
        // Bits past `end` come from stale slack bytes and mean nothing.
        const unsigned char* hit = p + std::countr_zero(ahead);
        return hit < end ? hit : end;
      }
      p = block_start + kBlock;
      if (p >= end) return end;
    }
  }

  void rescan_from_buffer_start() {
    block_start = buffer.get();
    block_mask = end > block_start ? scanner.block(block_start) : 0;
  }

  ByteSource& source;
  const Dialect dialect;
  const Scanner scanner;
  const std::size_t read_size;
  const std::size_t buffer_room;
  std::unique_ptr<unsigned char[]> buffer;
  const unsigned char* pos;  // next unparsed byte
  const unsigned char* end;  // end of the bytes read
  // The block last scanned, and its special bytes. Always block_start <= pos.
  const unsigned char* block_start;
  std::uint64_t block_mask = 0;
  Phase phase = Phase::record_start;
  bool started = false;
  bool exhausted = false;  // the source has reported its end; it is not asked again
};

// Fills the buffer with at least the length of a UTF-8 BOM (or the whole input, if shorter) and
// skips the BOM when asked to. Only ever at the very start of the input.
std::expected<void, ReadError> Reader::State::start() {
  started = true;
  unsigned char* const base = buffer.get();
  std::size_t filled = 0;
  while (filled < 3 && !exhausted) {
    auto got = source.read(base + filled, std::min(read_size, buffer_room - filled));
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got == 0) exhausted = true;
    filled += *got;
  }
  pos = base;
  end = base + filled;
  static constexpr unsigned char kBom[] = {0xEF, 0xBB, 0xBF};
  if (dialect.skip_utf8_bom && filled >= 3 && std::memcmp(base, kBom, 3) == 0) pos += 3;
  rescan_from_buffer_start();
  return {};
}

// Replaces the buffer's content with the next read. false: the input is exhausted.
std::expected<bool, ReadError> Reader::State::refill() {
  if (exhausted) return false;
  auto got = source.read(buffer.get(), read_size);
  if (!got) return std::unexpected(std::move(got.error()));
  pos = buffer.get();
  end = pos + *got;
  rescan_from_buffer_start();
  if (*got == 0) exhausted = true;
  return *got != 0;
}

// Parses from `pos` until the record ends (true) or the buffer is used up (false, with `phase`
// saying where to resume). Bytes of the field in progress are handed to `out` before returning.
bool Reader::State::parse(detail::RecordWriter& out) {
  const unsigned char delimiter = dialect.delimiter;
  const unsigned char quote = dialect.quote;
  const bool has_escape = dialect.escape.has_value();
  const unsigned char escape = dialect.escape.value_or(0);
  const unsigned char* p = pos;
  const unsigned char* run = p;  // start of the field bytes not yet handed to `out`
  Phase at = phase;

  auto dry = [&](Phase resume) {
    pos = p;
    phase = resume;
    return false;
  };
  // The next special byte, stepping past it; null when the buffer ends first, after handing the
  // bytes of the field in progress to `out`.
  auto next_special = [&]() -> const unsigned char* {
    const unsigned char* hit = find_special(p);
    if (hit == end) {
      out.append(run, static_cast<std::size_t>(end - run));
      p = end;
      return nullptr;
    }
    p = hit + 1;
    return hit;
  };
  auto record_end = [&] {
    pos = p;
    phase = Phase::record_start;
    return true;
  };

  for (;;) {
    switch (at) {
      case Phase::record_start:
        while (p < end && (*p == kCr || *p == kLf)) ++p;
        if (p == end) return dry(Phase::record_start);
        at = Phase::field_start;
        continue;

      case Phase::field_start: {
        if (p == end) return dry(Phase::field_start);
        const unsigned char c = *p++;
        if (c == quote) {
          run = p;
          at = Phase::quoted;
        } else if (c == delimiter) {
          out.end_field();
        } else if (c == kCr || c == kLf) {
          out.end_field();
          return record_end();
        } else {
          run = p - 1;
          at = Phase::unquoted;
        }
        continue;
      }

      case Phase::unquoted:
        for (;;) {
          const unsigned char* hit = next_special();
          if (hit == nullptr) return dry(Phase::unquoted);
          if (*hit == delimiter) {
            out.append(run, static_cast<std::size_t>(hit - run));
            out.end_field();
            at = Phase::field_start;
            break;
          }
          if (*hit == kCr || *hit == kLf) {
            out.append(run, static_cast<std::size_t>(hit - run));
            out.end_field();
            return record_end();
          }
          // A quote or escape byte: ordinary here.
        }
        continue;

      case Phase::quoted:
        for (;;) {
          const unsigned char* hit = next_special();
          if (hit == nullptr) return dry(Phase::quoted);
          if (*hit == quote) {
            out.append(run, static_cast<std::size_t>(hit - run));
            at = Phase::after_quote;
            break;
          }
          if (has_escape && *hit == escape) {
            out.append(run, static_cast<std::size_t>(hit - run));
            at = Phase::escaped;
            break;
          }
          // A delimiter, CR or LF: literal inside quotes.
        }
        continue;

      case Phase::escaped:
        if (p == end) return dry(Phase::escaped);
        // The escaped byte opens the next literal run, whatever it is.
        run = p++;
        at = Phase::quoted;
        continue;

      case Phase::after_quote: {
        if (p == end) return dry(Phase::after_quote);
        const unsigned char c = *p++;
        if (c == quote) {
          // A doubled quote: the second one is kept as the first byte of the next run.
          run = p - 1;
          at = Phase::quoted;
        } else if (c == delimiter) {
          out.end_field();
          at = Phase::field_start;
        } else if (c == kCr || c == kLf) {
          out.end_field();
          return record_end();
        } else {
          // Bytes after the closing quote continue the field as unquoted bytes.
          run = p - 1;
          at = Phase::unquoted;
        }
        continue;
      }
    }
  }
}

Reader::Reader(ByteSource& source, Dialect dialect, std::size_t buffer_size)
    : state_(std::make_unique<State>(source, dialect, buffer_size)) {}

Reader::~Reader() = default;

std::expected<bool, ReadError> Reader::next(Record& record) {
  State& s = *state_;
  detail::RecordWriter out(record);
  if (!s.started) {
    if (auto started = s.start(); !started) return std::unexpected(std::move(started.error()));
  }
  while (!s.parse(out)) {
    auto more = s.refill();
    if (!more) return std::unexpected(std::move(more.error()));
    if (*more) continue;
    // End of input: it ends the record in progress, whatever it was in the middle of.
    if (s.phase == Phase::record_start) return false;
    out.end_field();
    s.phase = Phase::record_start;
    break;
  }
  out.commit();
  return true;
}

}  // namespace csv
