// A byte CSV reader: records of raw field bytes from any byte source, no allocation per record.
//
// Self-contained: knows nothing of the program that uses it. The reader never fails on content;
// it fails only when its source fails, and then passes the source's error on unchanged.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace csv {

struct ReadError {
  std::string text;  // the source's description of the failure
};

// Where the bytes come from.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Fills up to `capacity` bytes at `dst`; returns how many, 0 only at the end of input.
  virtual std::expected<std::size_t, ReadError> read(unsigned char* dst, std::size_t capacity) = 0;
};

struct Dialect {
  unsigned char delimiter = ',';
  unsigned char quote = '"';
  std::optional<unsigned char> escape;  // inside quoted fields only
  bool skip_utf8_bom = true;            // EF BB BF at the very start of the input
};

namespace detail {
class RecordWriter;
}

// One record: the field count and each field's bytes (quotes removed, doubled quotes and escapes
// resolved). Reused from record to record: its storage only grows, so once it has held the largest
// record no further read allocates. Views stay valid until the next read into it.
class Record {
 public:
  std::size_t size() const { return count_; }
  // Precondition: i < size().
  std::string_view operator[](std::size_t i) const {
    std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(bytes_.data() + begin, ends_[i] - begin);
  }

 private:
  friend class detail::RecordWriter;
  std::vector<char> bytes_;        // all fields, back to back; size() is the storage, not the use
  std::vector<std::size_t> ends_;  // end offset of each field in bytes_; the first count_ are used
  std::size_t count_ = 0;
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
  std::expected<bool, ReadError> next(Record& record);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace csv
