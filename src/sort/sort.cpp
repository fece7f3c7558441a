// The external merge sort: run buffer and its index, run files, run readers and the k-way merge.
#include <immintrin.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "sort/sort.h"

namespace sort {
namespace {

// The texts the caller's messages carry for the two kinds of short transfer.
constexpr std::string_view kZeroWriteText = "failed to write whole buffer";
constexpr std::string_view kShortReadText = "failed to fill whole buffer";
// A run that does not decode: only a run file changed behind the sorter's back gives one.
constexpr std::string_view kInvalidRunText = "invalid data in run file";

constexpr std::size_t kMaxFanIn = 64;
constexpr std::size_t kMinFanIn = 2;
// Reader and writer buffers: large enough that a system call moves many records, small enough
// that 64 readers and a writer fit a small budget.
constexpr std::size_t kMaxBuffer = 1 << 20;
constexpr std::size_t kMinBuffer = 64;
// Offsets into the run buffer are 32-bit, so one run holds at most this much.
constexpr std::uint64_t kMaxRunBytes = std::numeric_limits<std::uint32_t>::max() - kMaxBuffer;

// "<description> (os error N)", the form in which the caller reports system errors.
std::string os_error_text(int errnum) {
  char buffer[256];
  const char* description = strerror_r(errnum, buffer, sizeof buffer);
  std::string text(description);
  text.append(" (os error ").append(std::to_string(errnum)).append(")");
  return text;
}

Error os_error(Error::Kind kind, int errnum) { return Error{kind, os_error_text(errnum)}; }

// ---- Encoding of one record, the same in the run buffer and in run files:
//   varint(body size), then the body: varint(number), varint(2 * field count + joined), varint(size)
//   of each field, then the fields' bytes one after another; when joined, with one byte (whatever
//   stood there in the caller's memory) after each field but the last.
// Little-endian base-128 varints: a field under 128 bytes costs one byte beyond its own, which is
// what its delimiter costs in the input, so runs take about the room of the records themselves.
// Joined records are those whose fields stood one after another with one byte between them, as
// the fields of a record without quotes stand in its text: the whole stretch is copied at once,
// for one more byte per field.

constexpr std::size_t kMaxVarint = 10;

inline std::size_t varint_size(std::uint64_t v) {
  return 1 + (static_cast<std::size_t>(std::bit_width(v | 1)) - 1) / 7;
}

inline char* put_varint(char* p, std::uint64_t v) {
  if (v < 0x80) {
    *p = static_cast<char>(v);
    return p + 1;
  }
  while (v >= 0x80) {
    *p++ = static_cast<char>(static_cast<unsigned char>(v) | 0x80);
    v >>= 7;
  }
  *p++ = static_cast<char>(v);
  return p;
}

// Reads a varint from [p, end); false when it runs past `end` or past 64 bits.
inline bool get_varint(const char*& p, const char* end, std::uint64_t& v) {
  if (p < end && static_cast<unsigned char>(*p) < 0x80) {
    v = static_cast<unsigned char>(*p++);
    return true;
  }
  v = 0;
  for (unsigned shift = 0; p < end && shift < 64; shift += 7) {
    auto byte = static_cast<unsigned char>(*p++);
    v |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
    if (byte < 0x80) return true;
  }
  return false;
}

// Copies `n` bytes. Fields are mostly a few to a few dozen bytes, where a call to memcpy costs
// more than the copy: up to 32 bytes, loads that may overlap cover any length and touch no byte
// outside either run.
inline void copy_bytes(char* dst, const char* src, std::size_t n) {
  if (n > 32) {
    std::memcpy(dst, src, n);
    return;
  }
  if (n >= 16) {
    std::uint64_t w[4];
    std::memcpy(&w[0], src, 16);
    std::memcpy(&w[2], src + n - 16, 16);
    std::memcpy(dst, &w[0], 16);
    std::memcpy(dst + n - 16, &w[2], 16);
  } else if (n >= 8) {
    std::uint64_t a, b;
    std::memcpy(&a, src, 8);
    std::memcpy(&b, src + n - 8, 8);
    std::memcpy(dst, &a, 8);
    std::memcpy(dst + n - 8, &b, 8);
  } else if (n >= 4) {
    std::uint32_t a, b;
    std::memcpy(&a, src, 4);
    std::memcpy(&b, src + n - 4, 4);
    std::memcpy(dst, &a, 4);
    std::memcpy(dst + n - 4, &b, 4);
  } else if (n > 0) {
    dst[0] = src[0];
    dst[n / 2] = src[n / 2];
    dst[n - 1] = src[n - 1];
  }
}

// Whether the fields stand one after another in memory with one byte between each two.
bool joined_fields(std::span<const std::string_view> fields) {
  if (fields.size() < 2) return false;
  for (std::size_t i = 1; i < fields.size(); ++i) {
    const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(fields[i - 1].data()) + fields[i - 1].size();
    if (reinterpret_cast<std::uintptr_t>(fields[i].data()) != end + 1) return false;
  }
  return true;
}

std::size_t body_size(std::uint64_t number, std::span<const std::string_view> fields, bool joined) {
  std::size_t size = varint_size(number) + varint_size(2 * fields.size() + 1) + (joined ? fields.size() - 1 : 0);
  // Fields are nearly always under 128 bytes, each with a one-byte size: one sum then serves.
  std::size_t bytes = 0;
  std::size_t widest = 0;
  for (std::string_view f : fields) {
    bytes += f.size();
    widest |= f.size();
  }
  if (widest < 0x80) return size + fields.size() + bytes;
  for (std::string_view f : fields) size += varint_size(f.size()) + f.size();
  return size;
}

// ---- Heads: the first 16 bytes of a record's first key field, as two big-endian integers
// padded with zero bytes, and the field's size plus one (0 when absent, saturated). Comparing the
// heads as integers orders the fields as their bytes do wherever the heads differ, so most
// comparisons of the sort and the merge never leave the index entry or the reader.

constexpr std::size_t kHeadBytes = 16;
constexpr std::uint32_t kShortSizeLimit = kHeadBytes + 1;  // a field of at most 16 bytes

static_assert(std::endian::native == std::endian::little, "heads are read as little-endian words");

// The first min(n, 8) bytes at `p` as a big-endian integer, padded with zero bytes. Built in
// registers: bytes copied one by one into memory and read back as a word would stall the load.
std::uint64_t load_big_endian(const char* p, std::size_t n) {
  if (n >= 8) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return std::byteswap(v);
  }
  if (n >= 4) {
    std::uint32_t first;
    std::uint32_t last;
    std::memcpy(&first, p, 4);
    std::memcpy(&last, p + n - 4, 4);
    return (static_cast<std::uint64_t>(std::byteswap(first)) << 32) |
           (static_cast<std::uint64_t>(std::byteswap(last)) << (8 * (8 - n)));
  }
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (56 - 8 * i);
  return v;
}

struct Head {
  std::uint64_t high = 0;
  std::uint64_t low = 0;
  std::uint32_t size = 0;
};

template <class H>
void set_head(H& head, KeyField f) {
  if (!f.present) {
    head.high = head.low = 0;
    head.size = 0;
    return;
  }
  const char* p = f.bytes.data();
  std::size_t n = f.bytes.size();
  head.high = load_big_endian(p, n);
  head.low = n > 8 ? load_big_endian(p + 8, n - 8) : 0;
  head.size = n >= std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                             : static_cast<std::uint32_t>(n + 1);
}

// Key order of two records given their heads and their key fields (`fa(j)`, `fb(j)`).
template <class HA, class HB, class FA, class FB>
inline int compare_headed(const HA& a, const HB& b, const FA& fa, const FB& fb, std::size_t keys) {
  if (a.high != b.high) return a.high < b.high ? -1 : 1;
  if (a.low != b.low) return a.low < b.low ? -1 : 1;
  // Equal heads. When one field is absent or at most 16 bytes long, it equals the other's start
  // padded with zeros, so the other is the same field or one it is a proper prefix of: the sizes
  // decide. Otherwise both go on past their heads.
  if (a.size != b.size && std::min(a.size, b.size) <= kShortSizeLimit) return a.size < b.size ? -1 : 1;
  if (a.size > kShortSizeLimit) {
    KeyField x = fa(0);
    KeyField y = fb(0);
    if (int order = compare_fields(KeyField{x.bytes.substr(kHeadBytes), true}, KeyField{y.bytes.substr(kHeadBytes), true});
        order != 0)
      return order;
  }
  for (std::size_t j = 1; j < keys; ++j) {
    if (int order = compare_fields(fa(j), fb(j)); order != 0) return order;
  }
  return 0;
}

// ---- Memory

// A growable block of anonymous pages: growing moves no bytes (mremap), pages never written take
// no memory, and releasing gives them all back at once.
class PageBlock {
 public:
  PageBlock() = default;
  PageBlock(const PageBlock&) = delete;
  PageBlock& operator=(const PageBlock&) = delete;
  ~PageBlock() { release(); }

  char* data() const { return data_; }

  // Makes room for at least `size` bytes, keeping the first ones. Throws std::bad_alloc.
  void reserve(std::size_t size) {
    if (size <= capacity_) return;
    std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    std::size_t grown = std::max({size, capacity_ * 2, std::size_t{64} << 10});
    grown = (grown + page - 1) / page * page;
    void* p = data_ == nullptr ? ::mmap(nullptr, grown, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                               : ::mremap(data_, capacity_, grown, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<char*>(p);
    capacity_ = grown;
  }

  void release() {
    if (data_ != nullptr) ::munmap(data_, capacity_);
    data_ = nullptr;
    capacity_ = 0;
  }

 private:
  char* data_ = nullptr;
  std::size_t capacity_ = 0;
};

// A heap buffer of uninitialised bytes. Throws std::bad_alloc.
class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  Buffer(Buffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  Buffer& operator=(Buffer&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    return *this;
  }
  ~Buffer() { std::free(data_); }

  char* data() const { return data_; }
  std::size_t size() const { return size_; }
  // Keeps the first min(size(), size) bytes.
  void resize(std::size_t size) {
    if (size == size_) return;
    void* p = std::realloc(data_, size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(p);
    size_ = size;
  }
  void release() {
    std::free(data_);
    data_ = nullptr;
    size_ = 0;
  }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
};

// ---- Writing and reading run files, at explicit offsets: readers of one file and the writer of
// the other never share a file position.

struct Segment {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

Result<void> write_at(int fd, const char* p, std::size_t n, std::uint64_t offset) {
  while (n > 0) {
    ssize_t written = ::pwrite(fd, p, n, static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(os_error(Error::Kind::write, errno));
    }
    if (written == 0) return std::unexpected(Error{Error::Kind::write, std::string(kZeroWriteText)});
    p += written;
    n -= static_cast<std::size_t>(written);
    offset += static_cast<std::uint64_t>(written);
  }
  return {};
}

// Appends to one run file through a buffer.
class Writer {
 public:
  void allocate(std::size_t size) { buffer_.resize(size); }
  void release() { buffer_.release(); }

  void start(int fd, std::uint64_t offset) {
    fd_ = fd;
    flushed_ = offset;
    used_ = 0;
  }
  // Where the next byte appended will stand in the file.
  std::uint64_t offset() const { return flushed_ + used_; }

  Result<void> append(const char* p, std::size_t n) {
    if (n <= buffer_.size() - used_) {
      std::memcpy(buffer_.data() + used_, p, n);
      used_ += n;
      return {};
    }
    if (auto flushed = flush(); !flushed) return flushed;
    if (n >= buffer_.size()) {
      if (auto written = write_at(fd_, p, n, flushed_); !written) return written;
      flushed_ += n;
      return {};
    }
    std::memcpy(buffer_.data(), p, n);
    used_ = n;
    return {};
  }

  Result<void> flush() {
    if (used_ == 0) return {};
    if (auto written = write_at(fd_, buffer_.data(), used_, flushed_); !written) return written;
    flushed_ += used_;
    used_ = 0;
    return {};
  }

 private:
  Buffer buffer_;
  int fd_ = -1;
  std::uint64_t flushed_ = 0;
  std::size_t used_ = 0;
};

// Decodes the body of an encoded record (after its size) into `fields` and `count`: all of its
// fields, or only the first `limit` of them when it has more. `encoded` gets the body past the
// number: the same bytes for the same fields.
bool decode_body(const char* p, std::size_t size, std::uint64_t& number, std::size_t& count,
                 std::vector<std::string_view>& fields, std::string_view& encoded,
                 std::size_t limit = std::numeric_limits<std::size_t>::max()) {
  const char* end = p + size;
  std::uint64_t tagged = 0;
  if (!get_varint(p, end, number)) return false;
  encoded = std::string_view(p, static_cast<std::size_t>(end - p));
  if (!get_varint(p, end, tagged)) return false;
  const std::uint64_t n = tagged >> 1;
  const std::uint64_t gap = tagged & 1;
  // Each field takes at least its size byte.
  if (n > static_cast<std::uint64_t>(end - p)) return false;
  bool all = n <= limit;
  count = all ? static_cast<std::size_t>(n) : limit;
  if (fields.size() < count) fields.resize(count);
  const char* sizes = p;
  // Nearly always every size is one byte: the fields' bytes then start n bytes on.
  unsigned char high = 0;
  for (std::uint64_t i = 0; i < n; ++i) high |= static_cast<unsigned char>(sizes[i]);
  if (high < 0x80) {
    const char* bytes = sizes + n;
    std::size_t at = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const auto length = static_cast<unsigned char>(sizes[i]);
      fields[i] = std::string_view(bytes + at, length);
      at += length + gap;
    }
    // `at` counts a gap after the last field taken, which only stands there when more follow.
    const std::size_t left = static_cast<std::size_t>(end - bytes);
    if (count == 0) return !all || left == 0;
    return all ? at - gap == left : at - gap <= left;
  }
  // The fields' bytes start past every size.
  for (std::uint64_t i = 0; i < n; ++i) {
    std::uint64_t length = 0;
    if (!get_varint(p, end, length)) return false;
  }
  for (std::size_t i = 0; i < count; ++i) {
    std::uint64_t length = 0;
    get_varint(sizes, end, length);
    if (length > static_cast<std::uint64_t>(end - p)) return false;
    fields[i] = std::string_view(p, static_cast<std::size_t>(length));
    p += length;
    if (i + 1 < n) {
      if (gap > static_cast<std::uint64_t>(end - p)) return false;
      p += gap;
    }
  }
  return !all || p == end;
}

}  // namespace

namespace detail {

// Reads one run (a segment of a run file) record by record. The current record's fields are views
// into the reader's buffer, valid until the next advance().
class RunReader {
 public:
  void allocate(std::size_t size) {
    if (buffer_.size() != size && begin_ == end_) buffer_.resize(size);
  }

  // Starts on `segment` of the run file `fd`. With `keys_only`, a record's fields are decoded only
  // as far as its key fields: enough for a merge pass, which copies records whole.
  void start(int fd, Segment segment, std::span<const std::size_t> key_columns, bool keys_only) {
    decode_limit_ = keys_only ? *std::max_element(key_columns.begin(), key_columns.end()) + 1
                              : std::numeric_limits<std::size_t>::max();
    fd_ = fd;
    position_ = segment.offset;
    stop_ = segment.offset + segment.size;
    begin_ = end_ = 0;
    exhausted_ = false;
    key_columns_ = key_columns;
    keys_.resize(key_columns.size());
  }

  // Moves to the next record; false once the run has none left.
  Result<bool> advance() {
    std::uint64_t left = (end_ - begin_) + (stop_ - position_);
    if (left == 0) {
      exhausted_ = true;
      record_.count_ = 0;
      return false;
    }
    if (auto filled = fill(static_cast<std::size_t>(std::min<std::uint64_t>(kMaxVarint, left))); !filled) {
      return std::unexpected(filled.error());
    }
    const char* p = buffer_.data() + begin_;
    const char* prefix_end = buffer_.data() + end_;
    std::uint64_t body = 0;
    if (!get_varint(p, prefix_end, body)) return invalid();
    std::size_t prefix = static_cast<std::size_t>(p - (buffer_.data() + begin_));
    if (body > left - prefix) return invalid();
    std::size_t total = prefix + static_cast<std::size_t>(body);
    if (auto filled = fill(total); !filled) return std::unexpected(filled.error());
    raw_ = buffer_.data() + begin_;
    raw_size_ = total;
    if (!decode_body(raw_ + prefix, static_cast<std::size_t>(body), record_.number_, record_.count_, record_.fields_,
                     record_.encoded_, decode_limit_)) {
      return invalid();
    }
    begin_ += total;
    // The next record of this run is wanted only when the run wins again, after records of the
    // other runs have gone through the cache: fetch its first lines now, while that wait hides
    // the memory's latency.
    if (begin_ < end_) {
      const char* ahead = buffer_.data() + begin_;
      __builtin_prefetch(ahead);
      __builtin_prefetch(ahead + 64);
      __builtin_prefetch(ahead + 128);
    }
    for (std::size_t j = 0; j < key_columns_.size(); ++j) {
      std::size_t column = key_columns_[j];
      keys_[j] = column < record_.count_ ? KeyField{record_.fields_[column], true} : KeyField{};
    }
    set_head(head_, keys_[0]);
    return true;
  }

  bool exhausted() const { return exhausted_; }
  const Record& record() const { return record_; }
  const Head& head() const { return head_; }
  KeyField key(std::size_t j) const { return keys_[j]; }
  const char* raw() const { return raw_; }
  std::size_t raw_size() const { return raw_size_; }

 private:
  Result<bool> invalid() const { return std::unexpected(Error{Error::Kind::read, std::string(kInvalidRunText)}); }

  // Makes at least `n` bytes of the segment stand in the buffer from begin_. REQUIRES: the
  // segment holds that many more.
  Result<void> fill(std::size_t n) {
    if (end_ - begin_ >= n) return {};
    if (begin_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    // A record longer than the buffer: the buffer grows to hold it.
    if (buffer_.size() < n) buffer_.resize(n);
    while (end_ < n) {
      std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size() - end_, stop_ - position_));
      ssize_t got = ::pread(fd_, buffer_.data() + end_, want, static_cast<off_t>(position_));
      if (got < 0) {
        if (errno == EINTR) continue;
        return std::unexpected(os_error(Error::Kind::read, errno));
      }
      if (got == 0) return std::unexpected(Error{Error::Kind::read, std::string(kShortReadText)});
      end_ += static_cast<std::size_t>(got);
      position_ += static_cast<std::uint64_t>(got);
    }
    return {};
  }

  Buffer buffer_;
  int fd_ = -1;
  std::uint64_t position_ = 0;  // next file offset to read
  std::uint64_t stop_ = 0;      // end of the segment
  std::size_t begin_ = 0;       // unread bytes of the buffer: [begin_, end_)
  std::size_t end_ = 0;
  bool exhausted_ = false;
  std::span<const std::size_t> key_columns_;
  std::size_t decode_limit_ = 0;
  Record record_;
  std::vector<KeyField> keys_;
  Head head_;
  const char* raw_ = nullptr;
  std::size_t raw_size_ = 0;
};

// Merges up to F runs by (key, number) with a tree of losers: each record taken costs one
// comparison per level, about log2(F), and the tree is rebuilt from nothing only once per group.
class Merge {
 public:
  // Starts a merge of `readers`, each started on its run, whose keys have `keys` fields.
  // REQUIRES: at least one reader.
  Result<void> start(std::span<RunReader> readers, std::size_t keys) {
    readers_ = readers;
    keys_ = keys;
    std::size_t n = readers.size();
    for (RunReader& reader : readers) {
      if (auto advanced = reader.advance(); !advanced) return std::unexpected(advanced.error());
    }
    tree_.assign(n, 0);
    winners_.assign(2 * n, 0);
    for (std::size_t i = 0; i < n; ++i) winners_[n + i] = i;
    for (std::size_t node = n - 1; node >= 1; --node) {
      std::size_t left = winners_[2 * node];
      std::size_t right = winners_[2 * node + 1];
      if (less(right, left)) {
        winners_[node] = right;
        tree_[node] = left;
      } else {
        winners_[node] = left;
        tree_[node] = right;
      }
    }
    tree_[0] = n == 1 ? 0 : winners_[1];
    return {};
  }

  // The reader holding the lowest record, or nullptr when every run is exhausted.
  RunReader* top() const {
    RunReader& winner = readers_[tree_[0]];
    return winner.exhausted() ? nullptr : &winner;
  }

  // Takes the lowest record away.
  Result<void> pop() {
    std::size_t candidate = tree_[0];
    if (readers_[candidate].exhausted()) return {};
    if (auto advanced = readers_[candidate].advance(); !advanced) return std::unexpected(advanced.error());
    std::size_t n = readers_.size();
    // Which of two runs holds the lower record is as good as random: selects, not branches.
    for (std::size_t node = (candidate + n) / 2; node >= 1; node /= 2) {
      const std::size_t other = tree_[node];
      const bool lower = less(other, candidate);
      tree_[node] = lower ? candidate : other;
      candidate = lower ? other : candidate;
    }
    tree_[0] = candidate;
    return {};
  }

 private:
  bool less(std::size_t a, std::size_t b) const {
    const RunReader& x = readers_[a];
    const RunReader& y = readers_[b];
    if (x.exhausted() || y.exhausted()) [[unlikely]] return !x.exhausted();
    // Heads nearly always differ, and then decide without a branch on which is lower.
    const Head& p = x.head();
    const Head& q = y.head();
    if (p.high != q.high || p.low != q.low) [[likely]] {
      return (p.high < q.high) | ((p.high == q.high) & (p.low < q.low));
    }
    int order = compare_headed(
        x.head(), y.head(), [&](std::size_t j) { return x.key(j); }, [&](std::size_t j) { return y.key(j); },
        keys_);
    if (order != 0) return order < 0;
    return x.record().number() < y.record().number();
  }

  std::span<RunReader> readers_;
  std::size_t keys_ = 1;
  std::vector<std::size_t> tree_;  // [0]: the winner; [1, n): the loser at each inner node
  std::vector<std::size_t> winners_;
};

// One entry of the sort index: the head of the record's first key field, where its key references
// and encoding stand in the run buffer, and its number. 32 bytes.
struct Entry {
  std::uint64_t high;
  std::uint64_t low;
  std::uint32_t size;
  std::uint32_t offset;
  std::uint64_t number;
};
static_assert(sizeof(Entry) == 32);

// Byte `depth` (0 to 15) of an entry's head, the first 16 bytes of its first key field.
inline unsigned head_byte(const Entry& e, unsigned depth) {
  std::uint64_t word = depth < 8 ? e.high : e.low;
  return static_cast<unsigned>(word >> (56 - 8 * (depth % 8))) & 0xff;
}

// Below this many entries a comparison sort beats another radix pass.
constexpr std::size_t kSmallSort = 48;

// Sorts [begin, end), whose heads agree on their first `depth` bytes, by `less`: a most
// significant byte first radix sort of the heads, in place, handing each small bucket, and each
// bucket whose whole heads agree, to a comparison sort by `less`. `less` orders heads as their
// bytes do, so the two agree. Keys that share long starts (zero-padded numbers) skip the bytes
// they share in one pass.
template <class Less>
void radix_sort(Entry* begin, Entry* end, unsigned depth, const Less& less) {
  auto n = static_cast<std::size_t>(end - begin);
  if (n <= kSmallSort || depth == kHeadBytes) {
    std::sort(begin, end, less);
    return;
  }
  std::size_t count[256] = {};
  for (const Entry* e = begin; e != end; ++e) ++count[head_byte(*e, depth)];
  if (count[head_byte(*begin, depth)] == n) {
    // Every head has this byte: skip at once all the bytes every head shares.
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    for (const Entry* e = begin; e != end; ++e) {
      high |= e->high ^ begin->high;
      low |= e->low ^ begin->low;
    }
    unsigned shared = high != 0 ? static_cast<unsigned>(std::countl_zero(high)) / 8
                                : 8 + (low != 0 ? static_cast<unsigned>(std::countl_zero(low)) / 8 : 8);
    radix_sort(begin, end, shared, less);
    return;
  }
  // next[b]: the first entry of bucket b not yet known to belong there; stop[b]: its end.
  std::size_t next[256];
  std::size_t stop[256];
  std::size_t at = 0;
  for (unsigned b = 0; b < 256; ++b) {
    next[b] = at;
    at += count[b];
    stop[b] = at;
  }
  for (unsigned b = 0; b < 256; ++b) {
    while (next[b] < stop[b]) {
      Entry e = begin[next[b]];
      for (unsigned d = head_byte(e, depth); d != b; d = head_byte(e, depth)) std::swap(e, begin[next[d]++]);
      begin[next[b]++] = e;
    }
  }
  std::size_t from = 0;
  for (unsigned b = 0; b < 256; ++b) {
    if (count[b] > 1) radix_sort(begin + from, begin + from + count[b], depth + 1, less);
    from += count[b];
  }
}

// ---- The packed sort. When a buffer's key is one field of at most 16 bytes in every record and
// its records came in ascending number order, key order is that of (head, size) with ties in
// the order of arrival. Bits that are the same in every head of the buffer decide nothing; the
// others (a few per byte for keys of digits) are gathered into one integer above the entry's
// index, and a stable least significant digit first radix sort of those integers orders the
// buffer in a few sequential passes, where the byte by byte sort above makes one branchy pass
// over the entries per byte.

// The bits of the heads that differ somewhere in a buffer.
struct HeadMask {
  std::uint64_t high = 0;
  std::uint64_t low = 0;
  std::uint32_t size = 0;
  unsigned bits() const {
    return static_cast<unsigned>(std::popcount(high) + std::popcount(low) + std::popcount(size));
  }
};

bool has_bit_gather() {
  static const bool supported = __builtin_cpu_supports("bmi2");
  return supported;
}

// out[i]: the masked bits of entry i's head, in order, above `index_bits` bits holding i.
// REQUIRES: mask.bits() + index_bits <= 64, n <= 2^index_bits.
[[gnu::target("bmi2")]] void pack_heads(const Entry* e, std::size_t n, const HeadMask& mask, unsigned index_bits,
                                        std::uint64_t* out) {
  const auto size_bits = static_cast<unsigned>(std::popcount(mask.size));
  const unsigned low_bits = static_cast<unsigned>(std::popcount(mask.low)) + size_bits;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = (_pext_u64(e[i].high, mask.high) << low_bits) |
                              (_pext_u64(e[i].low, mask.low) << size_bits) | _pext_u32(e[i].size, mask.size);
    out[i] = (key << index_bits) | i;
  }
}

constexpr unsigned kDigitBits = 11;
constexpr unsigned kMaxDigits = (64 + kDigitBits - 1) / kDigitBits;
struct DigitCounts {
  std::uint32_t of[kMaxDigits][std::size_t{1} << kDigitBits];
};

// Sorts the n values of `a` stably by their bits [from, from + width), bits above being zero,
// using `scratch` of n values; gives whichever of the two holds the result.
std::uint64_t* sort_bits(std::uint64_t* a, std::uint64_t* scratch, std::size_t n, unsigned from, unsigned width,
                         DigitCounts& counts) {
  if (width == 0 || n < 2) return a;
  const unsigned digits = (width + kDigitBits - 1) / kDigitBits;
  const unsigned digit_bits = (width + digits - 1) / digits;
  const std::uint64_t digit_mask = (std::uint64_t{1} << digit_bits) - 1;
  const std::size_t buckets = std::size_t{1} << digit_bits;
  for (unsigned d = 0; d < digits; ++d) std::fill_n(counts.of[d], buckets, 0u);
  for (std::size_t i = 0; i < n; ++i) {
    for (unsigned d = 0; d < digits; ++d) ++counts.of[d][(a[i] >> (from + d * digit_bits)) & digit_mask];
  }
  for (unsigned d = 0; d < digits; ++d) {
    const unsigned shift = from + d * digit_bits;
    std::uint32_t* count = counts.of[d];
    if (count[(a[0] >> shift) & digit_mask] == n) continue;  // one value of this digit throughout
    std::uint32_t at = 0;
    for (std::size_t b = 0; b < buckets; ++b) at += std::exchange(count[b], at);
    for (std::size_t i = 0; i < n; ++i) scratch[count[(a[i] >> shift) & digit_mask]++] = a[i];
    std::swap(a, scratch);
  }
  return a;
}

// In the run buffer, each record is its key references (per key field: the offset of its bytes
// in the buffer and its size plus one, 0 when absent; two 32-bit words) followed by its encoding.
constexpr std::size_t kKeyRefBytes = 8;
// What the packed sort takes per record: its value, and its place in the scratch.
constexpr std::size_t kOrderBytes = 2 * sizeof(std::uint64_t);

struct State {
  enum class Mode { adding, in_memory, merging };

  explicit State(Options o) : options(std::move(o)) {
    assert(!options.key_columns.empty() && "a sort needs at least one key column");
    keys = options.key_columns.size();
    budget = options.memory_bytes;
    writer_size = std::clamp<std::uint64_t>(budget / 16, kMinBuffer, kMaxBuffer);
    nominal_reader_size = std::clamp<std::uint64_t>(budget / 128, kMinBuffer, kMaxBuffer);
    run_limit = budget > writer_size ? budget - writer_size : 1;
    run_limit = std::min(run_limit, kMaxRunBytes);
  }

  Options options;
  std::size_t keys = 1;
  std::uint64_t budget = 0;
  std::uint64_t writer_size = 0;
  std::uint64_t nominal_reader_size = 0;
  std::uint64_t run_limit = 0;  // what the run buffer may hold: the budget less the write buffer
  Stats stats;
  Mode mode = Mode::adding;

  // The run buffer: records (key references and encoding) in `arena`, the index in `index`.
  PageBlock arena;
  std::size_t arena_used = 0;
  PageBlock index;
  std::size_t count = 0;
  bool numbers_ascending = true;  // the records in the buffer came in ascending number order
  std::uint64_t last_number = 0;
  // After a packed sort: the run buffer offsets of the records in key order, in `order`.
  PageBlock order;
  const std::uint64_t* packed = nullptr;
  std::unique_ptr<DigitCounts> digit_counts;
  std::uint64_t buffered = 0;  // what the records in the buffer cost, as the budget counts it
  std::vector<std::size_t> field_offsets;

  // Run files: runs are segments of files[current].
  RunFile files[2];
  std::uint64_t file_size[2] = {0, 0};
  int current = 0;
  std::vector<Segment> runs;
  Writer writer;

  // Output.
  std::size_t position = 0;  // in_memory: next index entry
  Record record;             // in_memory: the record last given
  std::vector<RunReader> readers;
  Merge merge;
  bool merge_started = false;

  Entry* entries() const { return reinterpret_cast<Entry*>(index.data()); }

  KeyField arena_key(std::uint32_t offset, std::size_t j) const {
    std::uint32_t ref[2];
    std::memcpy(ref, arena.data() + offset + j * kKeyRefBytes, sizeof ref);
    if (ref[1] == 0) return KeyField{};
    return KeyField{std::string_view(arena.data() + ref[0], ref[1] - 1), true};
  }

  // The encoding of the record at `offset` (its key references first), and its size.
  std::pair<const char*, std::size_t> arena_record(std::uint32_t offset) const {
    const char* p = arena.data() + offset + keys * kKeyRefBytes;
    const char* q = p;
    std::uint64_t body = 0;
    get_varint(q, q + kMaxVarint, body);
    return {p, static_cast<std::size_t>(q - p) + static_cast<std::size_t>(body)};
  }

  Result<void> ensure_file(int which) {
    if (files[which].get() >= 0) return {};
    auto file = options.create_run_file();
    if (!file) return std::unexpected(Error{Error::Kind::create, std::move(file).error()});
    files[which] = std::move(*file);
    file_size[which] = 0;
    ++stats.run_files;
    return {};
  }

  // The run buffer offset of the i-th record in key order. REQUIRES: the buffer is sorted.
  std::uint32_t offset_at(std::size_t i) const {
    return packed != nullptr ? static_cast<std::uint32_t>(packed[i]) : entries()[i].offset;
  }

  bool sort_packed() {
    const Entry* e = entries();
    HeadMask mask;
    std::uint32_t widest = 0;
    for (std::size_t i = 0; i < count; ++i) {
      mask.high |= e[i].high ^ e[0].high;
      mask.low |= e[i].low ^ e[0].low;
      mask.size |= e[i].size ^ e[0].size;
      widest = std::max(widest, e[i].size);
    }
    const auto index_bits = static_cast<unsigned>(std::bit_width(count - 1));
    if (widest > kShortSizeLimit || mask.bits() + index_bits > 64) return false;
    order.reserve(2 * count * sizeof(std::uint64_t));
    auto* values = reinterpret_cast<std::uint64_t*>(order.data());
    pack_heads(e, count, mask, index_bits, values);
    if (!digit_counts) digit_counts = std::make_unique<DigitCounts>();
    std::uint64_t* sorted = sort_bits(values, values + count, count, index_bits, mask.bits(), *digit_counts);
    const std::uint64_t index_mask = (std::uint64_t{1} << index_bits) - 1;
    for (std::size_t i = 0; i < count; ++i) sorted[i] = e[sorted[i] & index_mask].offset;
    packed = sorted;
    return true;
  }

  void sort_buffer() {
    packed = nullptr;
    if (count > kSmallSort && keys == 1 && numbers_ascending && has_bit_gather() && sort_packed()) return;
    Entry* begin = entries();
    radix_sort(begin, begin + count, 0, [this](const Entry& a, const Entry& b) {
      int order = compare_headed(
          a, b, [&](std::size_t j) { return arena_key(a.offset, j); }, [&](std::size_t j) { return arena_key(b.offset, j); },
          keys);
      if (order != 0) return order < 0;
      return a.number < b.number;
    });
  }

  void start_writer(int which) {
    writer.allocate(static_cast<std::size_t>(writer_size));
    writer.start(files[which].get(), file_size[which]);
  }

  // Appends a finished run to the current file's list.
  void close_run(std::uint64_t start) {
    std::uint64_t end = writer.offset();
    runs.push_back(Segment{start, end - start});
    stats.bytes_written += end - start;
    file_size[current] = end;
    ++stats.runs_written;
  }

  // Sorts the buffer and appends it as a run to the first run file; empties the buffer.
  Result<void> spill() {
    sort_buffer();
    if (auto made = ensure_file(0); !made) return made;
    start_writer(0);
    std::uint64_t start = writer.offset();
    // The records stand in the buffer in the order they came: fetch a few ahead.
    constexpr std::size_t kAhead = 8;
    for (std::size_t i = 0; i < count; ++i) {
      if (i + kAhead < count) {
        const char* ahead = arena.data() + offset_at(i + kAhead);
        __builtin_prefetch(ahead);
        __builtin_prefetch(ahead + 64);
      }
      auto [p, size] = arena_record(offset_at(i));
      if (auto appended = writer.append(p, size); !appended) return appended;
    }
    if (auto flushed = writer.flush(); !flushed) return flushed;
    close_run(start);
    count = 0;
    arena_used = 0;
    buffered = 0;
    return {};
  }

  // Writes one record straight to the run file as a run of its own.
  Result<void> write_alone(std::uint64_t number, std::span<const std::string_view> fields, std::size_t body) {
    if (auto made = ensure_file(0); !made) return made;
    start_writer(0);
    std::uint64_t start = writer.offset();
    char head[3 * kMaxVarint];
    char* p = put_varint(head, body);
    p = put_varint(p, number);
    p = put_varint(p, 2 * fields.size());
    if (auto appended = writer.append(head, static_cast<std::size_t>(p - head)); !appended) return appended;
    for (std::string_view f : fields) {
      char size[kMaxVarint];
      char* q = put_varint(size, f.size());
      if (auto appended = writer.append(size, static_cast<std::size_t>(q - size)); !appended) return appended;
    }
    for (std::string_view f : fields) {
      if (auto appended = writer.append(f.data(), f.size()); !appended) return appended;
    }
    if (auto flushed = writer.flush(); !flushed) return flushed;
    close_run(start);
    return {};
  }

  Result<void> add(std::uint64_t number, std::span<const std::string_view> fields) {
    assert(mode == Mode::adding && "add() after finish()");
    const bool joined = joined_fields(fields);
    std::size_t body = body_size(number, fields, joined);
    std::size_t encoded = varint_size(body) + body;
    std::size_t refs = keys * kKeyRefBytes;
    std::uint64_t cost = encoded + refs + sizeof(Entry) + kOrderBytes;
    // A reader holds the encoding and a view of each field.
    std::uint64_t held = encoded + fields.size() * sizeof(std::string_view);
    stats.longest_record = std::max({stats.longest_record, cost, held});
    ++stats.records;

    bool full = buffered + cost > run_limit ||
                (options.max_run_records != 0 && count >= options.max_run_records);
    if (count > 0 && full) {
      if (auto spilled = spill(); !spilled) return spilled;
    }
    if (cost > run_limit) return write_alone(number, fields, body_size(number, fields, false));

    numbers_ascending = count == 0 || (numbers_ascending && number >= last_number);
    last_number = number;
    arena.reserve(arena_used + refs + encoded);
    index.reserve((count + 1) * sizeof(Entry));
    auto offset = static_cast<std::uint32_t>(arena_used);
    char* start = arena.data() + arena_used + refs;
    char* p = put_varint(start, body);
    p = put_varint(p, number);
    p = put_varint(p, 2 * fields.size() + (joined ? 1 : 0));
    for (std::string_view f : fields) p = put_varint(p, f.size());
    if (field_offsets.size() < fields.size()) field_offsets.resize(fields.size());
    if (joined) {
      const std::size_t stretch = static_cast<std::size_t>(fields.back().data() - fields.front().data()) + fields.back().size();
      std::memcpy(p, fields.front().data(), stretch);
      for (std::size_t i = 0; i < fields.size(); ++i) {
        field_offsets[i] = static_cast<std::size_t>(p - arena.data()) +
                           static_cast<std::size_t>(fields[i].data() - fields.front().data());
      }
    } else {
      for (std::size_t i = 0; i < fields.size(); ++i) {
        field_offsets[i] = static_cast<std::size_t>(p - arena.data());
        copy_bytes(p, fields[i].data(), fields[i].size());
        p += fields[i].size();
      }
    }
    char* ref = arena.data() + arena_used;
    for (std::size_t j = 0; j < keys; ++j, ref += kKeyRefBytes) {
      std::size_t column = options.key_columns[j];
      std::uint32_t words[2] = {0, 0};
      if (column < fields.size()) {
        words[0] = static_cast<std::uint32_t>(field_offsets[column]);
        words[1] = static_cast<std::uint32_t>(fields[column].size() + 1);
      }
      std::memcpy(ref, words, sizeof words);
    }
    std::size_t first = options.key_columns[0];
    Entry& e = entries()[count];
    set_head(e, first < fields.size() ? KeyField{fields[first], true} : KeyField{});
    e.offset = offset;
    e.number = number;
    arena_used += refs + encoded;
    ++count;
    buffered += cost;
    return {};
  }

  // F: the most runs (2 to 64) whose readers, each with a buffer and the longest record, fit the
  // budget beside the write buffer of a merge pass.
  std::size_t fan_in() const {
    std::size_t f = kMinFanIn;
    std::uint64_t reader = nominal_reader_size + stats.longest_record;
    for (std::size_t candidate = kMaxFanIn; candidate > kMinFanIn; --candidate) {
      if (reader <= (budget - std::min(budget, writer_size)) / candidate) {
        f = candidate;
        break;
      }
    }
    if (options.max_fan_in != 0) f = std::min(f, std::max(options.max_fan_in, kMinFanIn));
    return f;
  }

  // Each of `n` readers' buffer: an equal share of what the budget leaves once `reserved` and the
  // readers' longest records are set aside, within the buffer bounds.
  std::size_t reader_size(std::size_t n, std::uint64_t reserved) const {
    std::uint64_t set_aside = reserved + n * stats.longest_record;
    std::uint64_t share = budget > set_aside ? (budget - set_aside) / n : 0;
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(share, nominal_reader_size, kMaxBuffer));
  }

  void prepare_readers(std::size_t n, std::size_t size) {
    if (readers.size() < n) readers.resize(n);
    for (std::size_t i = 0; i < n; ++i) readers[i].allocate(size);
  }

  // Merges the runs of the current file, F at a time, into runs of the other file, then empties
  // the file that was read.
  Result<void> merge_pass(std::size_t f) {
    int from = current;
    int to = 1 - current;
    if (auto made = ensure_file(to); !made) return made;
    prepare_readers(std::min(f, runs.size()), reader_size(std::min(f, runs.size()), writer_size));
    start_writer(to);
    std::vector<Segment> merged;
    merged.reserve((runs.size() + f - 1) / f);
    for (std::size_t group = 0; group < runs.size(); group += f) {
      std::size_t n = std::min(f, runs.size() - group);
      for (std::size_t i = 0; i < n; ++i) readers[i].start(files[from].get(), runs[group + i], options.key_columns, true);
      if (auto started = merge.start(std::span(readers).first(n), keys); !started) return started;
      std::uint64_t start = writer.offset();
      while (const RunReader* top = merge.top()) {
        if (auto appended = writer.append(top->raw(), top->raw_size()); !appended) return appended;
        if (auto popped = merge.pop(); !popped) return popped;
      }
      merged.push_back(Segment{start, writer.offset() - start});
    }
    if (auto flushed = writer.flush(); !flushed) return flushed;
    stats.bytes_written += writer.offset();
    file_size[to] = writer.offset();
    // The runs just read are in the other file now: give their room back.
    for (;;) {
      if (::ftruncate(files[from].get(), 0) == 0) break;
      if (errno != EINTR) return std::unexpected(os_error(Error::Kind::write, errno));
    }
    file_size[from] = 0;
    runs = std::move(merged);
    current = to;
    ++stats.merge_passes;
    return {};
  }

  Result<void> finish() {
    assert(mode == Mode::adding && "finish() called twice");
    if (runs.empty()) {
      sort_buffer();
      mode = Mode::in_memory;
      return {};
    }
    if (count > 0) {
      if (auto spilled = spill(); !spilled) return spilled;
    }
    arena.release();
    index.release();
    order.release();
    packed = nullptr;
    field_offsets = {};
    std::size_t f = fan_in();
    stats.fan_in = f;
    while (runs.size() > f) {
      if (auto passed = merge_pass(f); !passed) return passed;
    }
    writer.release();
    stats.final_runs = runs.size();
    mode = Mode::merging;
    return {};
  }

  Result<const Record*> next() {
    assert(mode != Mode::adding && "next() before finish()");
    if (mode == Mode::in_memory) {
      if (position == count) return nullptr;
      auto [p, size] = arena_record(offset_at(position++));
      const char* q = p;
      std::uint64_t body = 0;
      get_varint(q, p + size, body);
      decode_body(q, static_cast<std::size_t>(body), record.number_, record.count_, record.fields_, record.encoded_);
      return &record;
    }
    if (!merge_started) {
      merge_started = true;
      std::size_t n = runs.size();
      prepare_readers(n, reader_size(n, 0));
      for (std::size_t i = 0; i < n; ++i) readers[i].start(files[current].get(), runs[i], options.key_columns, false);
      if (auto started = merge.start(std::span(readers).first(n), keys); !started) return std::unexpected(started.error());
    } else if (auto popped = merge.pop(); !popped) {
      return std::unexpected(popped.error());
    }
    const RunReader* top = merge.top();
    return top == nullptr ? nullptr : &top->record();
  }
};

}  // namespace detail

Sorter::Sorter(Options options) : state_(std::make_unique<detail::State>(std::move(options))) {}
Sorter::~Sorter() = default;
Sorter::Sorter(Sorter&&) noexcept = default;
Sorter& Sorter::operator=(Sorter&&) noexcept = default;

Result<void> Sorter::add(std::uint64_t number, std::span<const std::string_view> fields) {
  return state_->add(number, fields);
}

Result<void> Sorter::finish() { return state_->finish(); }

Result<const Record*> Sorter::next() { return state_->next(); }

const Stats& Sorter::stats() const { return state_->stats; }

std::span<const std::size_t> Sorter::key_columns() const { return state_->options.key_columns; }

}  // namespace sort
