// Record storage and loans: copies of records, and fields moved out of a reader's buffer before it changes.
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "csv/internal.h"
#include "csv/record_writer.h"

namespace csv {

namespace detail {

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

void Record::ByteStore::resize(std::size_t size) {
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
  ByteStore bytes(total);
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

}  // namespace csv
