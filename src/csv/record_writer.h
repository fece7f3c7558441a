// How a reader fills a record: fields as views of its buffer where they lie in one piece, copies otherwise.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <vector>

#include "csv/internal.h"

namespace csv::detail {

// Short runs are stored 32 bytes at a time, read from the read buffer's slack and written to room
// the record keeps past its last byte.
inline constexpr std::size_t kCopyWidth = 32;

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

  // The bytes of the field in progress that are in the record's own storage so far.
  std::string_view owned_part() const {
    if (!in_progress_) return {};
    return std::string_view(bytes_ + field_offset_, used_ - field_offset_);
  }
  // Takes the last `n` of those bytes out again. REQUIRES: n <= owned_part().size().
  void drop_owned(std::size_t n) {
    assert(n <= owned_part().size() && "more bytes dropped than the field holds in storage");
    used_ -= n;
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

}  // namespace csv::detail
