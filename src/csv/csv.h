// A byte CSV reader: records of raw field bytes from any byte source, no allocation per record.
//
// Self-contained: knows nothing of the program that uses it. The reader never fails on content;
// it fails only when its source fails, and then passes the source's error on unchanged.
#pragma once

#include <emmintrin.h>

#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace csv {

struct ReadError {
  std::string text;  // the source's description of the failure
};

// Where the bytes come from. The bytes a read put at `dst` stay there, unchanged, until the
// reader calls release(); a source may look at them again until then (to hash them later, say).
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Fills up to `capacity` bytes at `dst`; returns how many, 0 only at the end of input.
  [[nodiscard]] virtual std::expected<std::size_t, ReadError> read(unsigned char* dst, std::size_t capacity) = 0;
  // The reader is about to move or overwrite the bytes of every earlier read.
  virtual void release() {}
};

// How the input's bytes form characters. A dialect byte (delimiter, quote, escape, CR, LF) counts
// only as a whole character of its own, where a character starts; inside a multi-byte character
// it is an ordinary byte of that character. `bytes` is right for UTF-8, the single-byte encodings
// and EUC-JP, whose multi-byte characters never hold a byte below 0x80.
//
// The others follow the boundaries that the named decoder of the WHATWG Encoding Standard draws,
// malformed input included: a byte the decoder gives back after an error is read again as a
// character of its own, so malformed input still reads as records.
enum class Characters : unsigned char {
  bytes,
  // 16-bit code units. A dialect byte stands for the unit with that value (LE: the byte, 00; BE:
  // 00, the byte) at an even offset; an odd last byte belongs to the last field.
  utf16le,
  utf16be,
  // Double-byte encodings: a lead byte and the byte the decoder takes with it are one character,
  // as are gb18030's four-byte sequences. Bytes that can lead a character never count.
  shift_jis,
  big5,
  gb18030,  // also GBK
  euc_kr,
  // Escape sequences switch modes; dialect bytes count only in the ASCII and Roman modes.
  iso2022jp,
};

struct Dialect {
  unsigned char delimiter = ',';
  unsigned char quote = '"';
  std::optional<unsigned char> escape;  // inside quoted fields only
  // The byte order mark at the very start of the input, which belongs to no field: EF BB BF, or
  // under utf16le FF FE and under utf16be FE FF.
  bool skip_utf8_bom = true;
  Characters characters = Characters::bytes;
  // Double-byte encodings: whether the decoder reads `lead` followed by the ASCII byte `trail`
  // (one the encoding allows after a lead) as one character; when it does not, it gives `trail`
  // back. Asked only about the dialect's own bytes, when the reader is built. Unset: always.
  std::function<bool(unsigned char lead, unsigned char trail)> pair_is_character;
};

class Record;
class PassedRecords;

namespace detail {
class RecordWriter;  // how a reader fills a record (record_writer.h)
struct Loan;         // the tie between a reader and a record (internal.h)

// The first `byte` in [from, end), or end. Fields of passed records are mostly short: one 16-byte
// compare finds their end without a call.
inline const char* find_byte(const char* from, const char* end, char byte) {
  if (end - from >= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    const auto hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, _mm_set1_epi8(byte))));
    if (hits != 0) return from + std::countr_zero(hits);
  }
  const void* hit = std::memchr(from, byte, static_cast<std::size_t>(end - from));
  return hit != nullptr ? static_cast<const char*>(hit) : end;
}
}  // namespace detail

// One record: the field count and each field's bytes (quotes removed, doubled quotes and escapes
// resolved). Reused from record to record: its storage only grows, so once it has held the largest
// record no further read allocates.
//
// Views stay valid until the next read into it. Most fields are views straight into the reading
// reader's buffer; should that reader be about to overwrite or free its buffer for any other reason
// (a read into another record, its destruction), it first copies this record's fields into the
// record's own storage, so the guarantee holds whatever the caller does. A copy of a record owns
// all its bytes.
class Record {
 public:
  Record() = default;
  ~Record();
  Record(const Record& other);
  Record& operator=(const Record& other);
  Record(Record&& other) noexcept;
  Record& operator=(Record&& other) noexcept;

  std::size_t size() const { return count_; }
  // REQUIRES: i < size().
  std::string_view operator[](std::size_t i) const {
    assert(i < count_ && "a field past the record's last");
    return fields_[i];
  }
  // All size() fields in order, valid as each field is.
  std::span<const std::string_view> fields() const { return {fields_.data(), count_}; }

  // The record's bytes as they stand in the input, from its first byte up to the line end that
  // closed it (not included), when they lie in one piece in the reader's buffer; nullopt for a
  // record cut by a refill of the buffer, one closed by the end of the input, and a copy. Two
  // records read with the same dialect whose raw bytes are equal have equal fields. Valid as long
  // as the fields are.
  std::optional<std::string_view> raw() const {
    if (raw_data_ == nullptr) return std::nullopt;
    return std::string_view(raw_data_, raw_size_);
  }

 private:
  friend class detail::RecordWriter;

  // The bytes a record owns. Growing keeps the content and initialises nothing, so room that is
  // never written costs no memory, and the allocator may move a large block without copying it.
  class ByteStore {
   public:
    ByteStore() = default;
    explicit ByteStore(std::size_t size) { resize(size); }
    ByteStore(ByteStore&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    ByteStore& operator=(ByteStore&& other) noexcept {
      if (this != &other) {
        std::free(data_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
      }
      return *this;
    }
    ByteStore(const ByteStore&) = delete;
    ByteStore& operator=(const ByteStore&) = delete;
    ~ByteStore() { std::free(data_); }

    char* data() { return data_; }
    std::size_t size() const { return size_; }
    // Keeps the first min(size(), size) bytes; the rest is uninitialised.
    void resize(std::size_t size);

   private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
  };

  // Copies every field into this record's own storage and ends any loan.
  void take_ownership();
  void assign_owned(const Record& from);
  void end_loan();

  std::vector<std::string_view> fields_;  // the first count_ are the fields; size() is the storage
  ByteStore bytes_;                       // fields that could not point into the reader's buffer
  std::size_t count_ = 0;
  const char* raw_data_ = nullptr;
  std::size_t raw_size_ = 0;
  detail::Loan* loan_ = nullptr;  // the reader whose buffer the fields may point into
};

class Reader {
 public:
  // `source` must outlive the reader. `buffer_size` is the size of each read from the source
  // (0 is taken as 1).
  Reader(ByteSource& source, Dialect dialect, std::size_t buffer_size = 1 << 20);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Reads the next record into `record`. true: a record was read; false: the input is exhausted
  // (and stays so on every later call; `record` is then empty). A source error is returned as the
  // source gave it; the reader cannot continue after one.
  [[nodiscard]] std::expected<bool, ReadError> next(Record& record);

 private:
  friend std::size_t skip_equal_records(Reader& a, Reader& b, std::size_t fields);
  friend std::size_t skip_equal_records(Reader& a, Reader& b, std::size_t fields, PassedRecords& passed);

  struct State;
  std::unique_ptr<State> state_;
};

// Moves both readers past the records they would read next that are the same bytes in both, each
// with `fields` fields, as far as both have them at hand; reads nothing from either source.
// Returns how many records each passed: what next() would have given each, equal fields in equal
// order, none of them written to any record. Stops short where it cannot tell cheaply (a quote
// inside an unquoted field, an escape byte inside a quoted one), so 0 says nothing about the next records. Only readers of the same
// dialect under Characters::bytes, each having read a record, pass any.
std::size_t skip_equal_records(Reader& a, Reader& b, std::size_t fields);

// Where the records a skip passed stand in the bytes of its first reader, for a caller that needs
// some of their fields: valid until the next read of that reader. Holds room for a fixed number
// of records, allocated once.
class PassedRecords {
 public:
  explicit PassedRecords(std::size_t capacity = 4096);

  std::size_t size() const { return count_; }

  // The first out.size() fields of passed record `i`, as next() would have given them. A quoted
  // field that holds a doubled quote or bytes after its closing quote is resolved into `store`
  // (cleared first); the others are views of the reader's buffer. The views stay valid until
  // `store` or the reader changes. REQUIRES: i < size(), out.size() <= the width passed.
  void split(std::size_t i, std::span<std::string_view> out, std::string& store) const;

  // The first field alone, as split() gives it; inline for an unquoted one, such as a key in the
  // first column mostly is.
  std::string_view first_field(std::size_t i, std::string& store) const {
    const char* p = i == 0 ? bytes_ : bytes_ + ends_[i - 1] + 1;
    const char* const end = bytes_ + ends_[i];
    if (p != end && *p != quote_ && *p != '\n' && *p != '\r') {
      return std::string_view(p, static_cast<std::size_t>(detail::find_byte(p, end, delimiter_) - p));
    }
    std::string_view field;
    split(i, std::span(&field, 1), store);
    return field;
  }

 private:
  friend std::size_t skip_equal_records(Reader& a, Reader& b, std::size_t fields, PassedRecords& passed);

  const char* bytes_ = nullptr;  // where the first passed record starts in `a`
  char delimiter_ = ',';
  char quote_ = '"';
  std::vector<std::size_t> ends_;  // per passed record: its line end, as an offset from bytes_
  std::size_t count_ = 0;
};

// The same, passing at most passed's capacity records and noting where they stand in `a`.
std::size_t skip_equal_records(Reader& a, Reader& b, std::size_t fields, PassedRecords& passed);

}  // namespace csv
