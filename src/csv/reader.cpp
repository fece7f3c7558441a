// The CSV reader: a state machine over a read buffer, fast for the usual record and exact for every other.
//
// How a record is read. The buffer is classified a window (256 blocks of 64 bytes) at a time: a
// kernel (kernels.cpp) sets one bit per special byte (delimiter, quote, escape, CR, LF), and under
// a character structure (characters.cpp) the bits are narrowed to the bytes that start a
// character. A cursor walks those bits in order; the bytes between two of them are only ever
// pointed at or copied, never looked at. Two parsers share the cursor:
//
// - scan(), the record kernel, reads a whole record of plain fields (unquoted, or quoted without
//   doubled quotes or escapes and closed right before a delimiter or line end) as views of the
//   buffer, and gives up at anything else: such a field, the end of the window or of the bytes
//   read, full field slots.
// - parse() is the whole state machine (Phase). It resumes wherever scan() gave up and reads on to
//   the record's end or the end of the bytes read; there it moves the record in progress into the
//   record's own storage, so that the buffer can be refilled, and resumes in the next buffer.
//
// The hand-over is exact because scan() leaves everything as parse() would have left it had it
// read the same bytes: the phase, pos, resume_run (the field's first byte not yet stored),
// resume_closing (in after_quote, the quote that may close the field), the fields stored so far
// and the cursor, which passes a special byte only once its byte has been dealt with. next() runs
// scan() first and parse() only when scan() gave up.
//
// A new dialect byte (a comment byte, say) is one change in all of these places together:
// - SpecialBytes and special_bytes() (internal.h): what the kernels mark;
// - every kernel of kernels.cpp: the classifiers of each instruction set and the pair kernels;
// - is_special() and DialectUnits here, and scan() and parse(), where the byte counts;
// - CharacterStructure (characters.cpp): the byte's unit value, the trail slots and pair breaks of
//   the double-byte encodings, and the special-byte table of UTF-16;
// - equal_records.cpp: its masks, and where its model of a record must stop for the byte;
// - the reference readers (tests/csv/csv_test.cpp and fuzz/fuzz_csv.cpp, whose roles and reference
//   reader must know the byte too).
#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "csv/characters.h"
#include "csv/internal.h"
#include "csv/record_writer.h"

namespace csv {

namespace detail {
namespace {

constexpr unsigned char kCr = '\r';
constexpr unsigned char kLf = '\n';

// The classifier looks at whole 64-byte blocks and the record writer copies short runs 32 bytes at
// a time, so both may read past the last byte read from the source. The read buffer carries this
// much readable slack.
constexpr std::size_t kReadSlack = 64;
static_assert(kReadSlack >= kBlock && kReadSlack >= kCopyWidth);

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

// Where the parser is in the masks: the special bytes at or after it are the set bits of `bits`
// (its block, at `block`) and of the masks after `mask`.
struct Cursor {
  const std::uint64_t* mask;
  const unsigned char* block;
  std::uint64_t bits;
};

}  // namespace
}  // namespace detail

using detail::ByteUnits;
using detail::CharacterStructure;
using detail::Cursor;
using detail::Filter;
using detail::kBlock;
using detail::kCr;
using detail::kLf;
using detail::kNoUnit;
using detail::kReadSlack;
using detail::kWindowBlocks;
using detail::PageBuffer;
using detail::Phase;
using detail::Utf16Units;

struct Reader::State {
  State(ByteSource& src, const Dialect& d, std::size_t buffer_size)
      : source(src),
        dialect(d),
        special(detail::special_bytes(d)),
        classify(detail::classifier(detail::widest_isa())),
        chars(d),
        filter(chars.filter()),
        hold(chars.hold()),
        read_size(std::max<std::size_t>(buffer_size, 1)),
        // Room for a whole BOM even when each read is smaller, so it can be checked in place, and
        // for the bytes held back from one read to the next.
        buffer_room(std::max<std::size_t>(read_size, 3) + (filter == Filter::none ? 0 : 4)),
        buffer(buffer_room + kReadSlack),
        pos(buffer.data()),
        end(buffer.data()),
        read_end(buffer.data()) {
    dialect_units = DialectUnits{chars.unit(dialect.delimiter), chars.unit(dialect.quote), chars.unit(special.escape),
                                 dialect.escape ? chars.unit(*dialect.escape) : kNoUnit};
    classify_window(buffer.data());
    cursor = seek(pos);
  }

  ~State() {
    // The buffer goes with the reader; a record still pointing into it keeps copies instead.
    if (loan.record != nullptr) detail::RecordWriter::own(*loan.record);
  }

  [[nodiscard]] std::expected<void, ReadError> start();
  [[nodiscard]] std::expected<bool, ReadError> refill();
  // How many of the `filled` bytes at the start of the buffer the parser may use now.
  std::size_t usable(std::size_t filled) const {
    if (exhausted) return filled;
    if (chars.utf16()) return filled & ~std::size_t{1};
    return filled > hold ? filled - hold : 0;
  }
  template <class Units>
  [[gnu::noinline]] bool scan(detail::RecordWriter& out, detail::FieldSlots& slots, Units units);
  // Out of line: the common path (scan) then stays small.
  template <class Units>
  [[gnu::noinline]] bool parse(detail::RecordWriter& out, detail::FieldSlots& slots, Units units);
  template <class Units>
  [[nodiscard]] std::expected<bool, ReadError> next(Record& record, Units units);
  [[nodiscard, gnu::noinline]] std::expected<bool, ReadError> next_in_code_units(Record& record);
  void pass_mode_switch(detail::RecordWriter& out, const unsigned char*& p);

  bool is_special(unsigned c) const {
    return c == dialect_units.delimiter || c == dialect_units.quote || c == dialect_units.escape || c == kCr ||
           c == kLf;
  }

  // Classifies the window of the buffer that begins at `from` (from <= end). Mask bits for bytes
  // at or past `end` are clear. A cursor that steps onto the block at window_end (whose mask is
  // read, as zero, but never used) has reached the end of the window. Under a character structure
  // the masks keep only the dialect bytes that start a character.
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
    if (filter != Filter::none && blocks != 0) {
      const bool odd_start = ((window - buffer.data()) & 1) != 0;
      chars.narrow(window, std::min(left, blocks * kBlock), odd_start, read_end, masks);
    }
  }

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
  // skip_equal_records); with `ends`, at most ends.size() records, each one's line end noted there.
  std::size_t skip_equal(State& y, std::size_t fields, std::span<std::size_t> ends = {}) {
    if (!between_records() || !y.between_records()) return 0;
    if (dialect.delimiter != y.dialect.delimiter || dialect.quote != y.dialect.quote ||
        dialect.escape != y.dialect.escape) {
      return 0;
    }
    const std::size_t size = static_cast<std::size_t>(std::min(end - pos, y.end - y.pos));
    if (size == 0) return 0;
    static const detail::Isa isa = detail::runs(detail::Isa::avx2) ? detail::Isa::avx2 : detail::Isa::portable;
    const detail::EqualRecords same = detail::equal_records(isa, dialect, pos, y.pos, size, fields, ends);
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
  const detail::SpecialBytes special;
  // The units the parser matches: the dialect's bytes, or kNoUnit for one that never stands for
  // itself under the character structure. `escape` is the quote without an escape byte (the
  // kernel's stand-in, see SpecialBytes); `escape_only` is then kNoUnit.
  struct DialectUnits {
    unsigned delimiter, quote, escape, escape_only;
  } dialect_units{};
  const detail::ClassifyFn classify;
  CharacterStructure chars;
  const Filter filter;
  const std::size_t hold;  // see CharacterStructure::hold()
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
  // The next special byte not yet passed: always the first one at or after pos.
  Cursor cursor{};
  Phase phase = Phase::record_start;
  // Where the record kernel handed over in the middle of a field: its first content byte not yet
  // stored, and in after_quote the quote that may close it. Otherwise both are pos.
  const unsigned char* resume_run = nullptr;
  const unsigned char* resume_closing = nullptr;
  bool field_owned = false;  // the field in progress is in the record's own storage
  // ISO-2022-JP, in Phase::escaped: bytes of a mode switch still to store before the escaped
  // character, and the mode that character is in.
  std::size_t switch_left = 0;
  int escaped_mode = CharacterStructure::kAscii;
  bool started = false;
  bool exhausted = false;  // the source has reported its end; it is not asked again
  detail::Loan loan;       // the record that may point into the buffer
  std::vector<detail::OwnedField> owned;  // scratch of the record being read
};

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

// ISO-2022-JP, right after an escape byte: an escape byte followed by a mode switch escapes the
// first character after the switch, and the switch stays in the field, which then decodes as its
// UTF-8 twin does. Stores the switch at `p` (or what a refill left of it) and moves `p` past it;
// none of its bytes is special. Without the escape byte the switch may follow another one right
// away, which the decoder refuses: the earlier one changes nothing, and goes.
void Reader::State::pass_mode_switch(detail::RecordWriter& out, const unsigned char*& p) {
  if (switch_left == 0) {
    escaped_mode = CharacterStructure::mode_switch_at(p, read_end);
    if (CharacterStructure::ends_with_mode_switch(out.owned_part())) out.drop_owned(CharacterStructure::kModeSwitchSize);
    switch_left = CharacterStructure::kModeSwitchSize;
  }
  const std::size_t n = std::min(switch_left, static_cast<std::size_t>(end - p));
  out.append(p, n);
  p += n;
  switch_left -= n;
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
        if (filter == Filter::iso2022jp && (switch_left != 0 || CharacterStructure::mode_switch_at(p, read_end) >= 0))
            [[unlikely]] {
          pass_mode_switch(out, p);
          continue;
        }
        // The escaped byte opens the next literal run, whatever it is. (A unit: the bytes of a
        // longer character are never special, nor is any byte in a mode without dialect bytes.)
        if (escaped_mode <= CharacterStructure::kRoman && is_special(units.at(p, stop))) next_special();
        escaped_mode = CharacterStructure::kAscii;
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
  const unsigned char* hit = nullptr;  // the special byte last found
  Phase at = Phase::record_start;
  bool done = false;  // the record has ended

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

  // Reads up to the line end at `hit` that ends the record (setting `done`), or up to where
  // parse() must take over: every other return hands over at `at`, at p (with run and closing as
  // parse() needs them).
  auto read_record = [&] {
    // Blank lines: each of their bytes is special.
    for (;;) {
      if (p == stop) return;
      if (const unsigned c = units.at(p, stop); c != kCr && c != kLf) break;
      if (peek() == nullptr) return;
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
        return;
      }
      if (units.at(run, stop) == quote) {
        if (peek() == nullptr) {
          p = run;
          return;
        }
        pass();  // the opening quote
        run += kWidth;
        at = Phase::quoted;
        p = run;
        for (;;) {
          hit = peek();
          if (hit == nullptr) return;
          const unsigned c = units.at(hit, stop);
          if (c == quote) break;
          if (c == escape) return;
          pass();  // a delimiter, CR or LF: literal inside quotes
        }
        pass();
        closing = hit;
        at = Phase::after_quote;
        p = closing + kWidth;
        hit = peek();
        // Not a special byte right after the closing quote: a tail for the generic parser.
        if (hit != p) return;
        const unsigned c = units.at(hit, stop);
        if (c == quote) return;
        if (c == delimiter) {
          pass();
          store(closing);
        } else if (c == kCr || c == kLf) {
          pass();
          store(closing);
          done = true;
          return;
        } else {
          return;  // the escape byte
        }
      } else {
        at = Phase::unquoted;
        p = run;
        for (;;) {
          hit = peek();
          if (hit == nullptr) return;
          const unsigned c = units.at(hit, stop);
          pass();
          if (c == delimiter) break;
          if (c == kCr || c == kLf) {
            store(hit);
            done = true;
          return;
          }
          // A quote or escape byte: ordinary here.
        }
        store(hit);
      }
      run = hit + kWidth;
      at = Phase::field_start;
      if (run == stop) {
        p = run;
        return;
      }
    }
  };

  read_record();
  if (done) {
    out.end_record(hit);
    p = run = closing = hit + kWidth;
  }
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
    s.switch_left = 0;
    s.escaped_mode = CharacterStructure::kAscii;
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

std::size_t skip_equal_records(Reader& a, Reader& b, std::size_t fields) {
  return a.state_->skip_equal(*b.state_, fields);
}

std::size_t skip_equal_records(Reader& a, Reader& b, std::size_t fields, PassedRecords& passed) {
  passed.count_ = 0;
  const unsigned char* at = a.state_->pos;
  passed.count_ = a.state_->skip_equal(*b.state_, fields, passed.ends_);
  passed.bytes_ = reinterpret_cast<const char*>(at);
  passed.delimiter_ = static_cast<char>(a.state_->dialect.delimiter);
  passed.quote_ = static_cast<char>(a.state_->dialect.quote);
  return passed.count_;
}

PassedRecords::PassedRecords(std::size_t capacity) : ends_(std::max<std::size_t>(capacity, 1)) {}

void PassedRecords::split(std::size_t i, std::span<std::string_view> out, std::string& store) const {
  assert(i < count_ && "a record past the last one passed");
  const char* p = i == 0 ? bytes_ : bytes_ + ends_[i - 1] + 1;
  const char* const end = bytes_ + ends_[i];
  // Blank lines before the record (and the LF of a CR LF) belong to no record.
  while (*p == '\n' || *p == '\r') ++p;
  const auto view = [](const char* from, const char* to) {
    return std::string_view(from, static_cast<std::size_t>(to - from));
  };
  const auto find = [end](const char* from, char byte) { return detail::find_byte(from, end, byte); };
  store.clear();
  const char* const record = p;
  bool reserved = false;
  for (std::string_view& field : out) {
    if (p == end || *p != quote_) {
      // Unquoted: a passed record holds no quote inside an unquoted field.
      const char* stop = find(p, delimiter_);
      field = view(p, stop);
      p = stop + 1;
      continue;
    }
    // Quoted: a passed record closes every quoted part before its line end, and holds no escape
    // byte inside one.
    const char* from = p + 1;
    const char* close = find(from, quote_);
    if (close + 1 == end || close[1] == delimiter_) {
      field = view(from, close);
      p = close + 2;
      continue;
    }
    // Doubled quotes stand for one, and bytes after the closing quote continue the field. The
    // first such field makes room for every resolved field of the record at once, so that no view
    // into the store moves.
    if (!std::exchange(reserved, true)) store.reserve(static_cast<std::size_t>(end - record));
    const std::size_t start = store.size();
    while (close[1] == quote_) {
      store.append(from, close + 1);
      from = close + 2;
      close = find(from, quote_);
    }
    store.append(from, close);
    const char* stop = find(close + 1, delimiter_);
    store.append(close + 1, stop);
    field = std::string_view(store).substr(start);
    p = stop + 1;
  }
}

std::expected<bool, ReadError> Reader::State::next_in_code_units(Record& record) {
  if (filter == Filter::utf16be) return next(record, Utf16Units<true>{});
  return next(record, Utf16Units<false>{});
}

}  // namespace csv
