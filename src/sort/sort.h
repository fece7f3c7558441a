// External merge sort of byte records by key tuple, in bounded memory.
//
// Self-contained: knows nothing of the program that uses it. Records (a number and the bytes of
// each field) go into a Sorter, which holds them in a run buffer of bounded size, writes each full
// buffer as a sorted run to a run file the caller supplies, merges the runs a bounded number at a
// time, and hands the records back one by one in key order, ties in ascending record number.
//
// Key order: two key fields compare as follows. Both absent: equal. One absent: it is the lower.
// Both present: their bytes as unsigned values from the first on; at the first difference the
// lower byte is lower, and a proper prefix is lower than the longer field. Keys compare field by
// field in key-column order; the first unequal pair decides. Never a joined string, never a hash.
//
// Run files: at most two per sorter, created through the caller's factory when first needed and
// closed when the sorter is destroyed. A run is a segment of one of them. Memory: the run buffer,
// and later the run readers with their buffers, stay within the budget, except that a single
// record larger than the budget is held alone while it passes (as a run of its own).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sort {

// ---------------------------------------------------------------------------------------------
// Key order

// One key field of a record: absent when the record has no field at the key column.
struct KeyField {
  std::string_view bytes;
  bool present = false;
};

// Negative, zero or positive as `a` is lower than, equal to or higher than `b` in key order.
// Inline: the merge and the order checks call it for every record.
inline int compare_fields(KeyField a, KeyField b) {
  if (!a.present || !b.present) return static_cast<int>(a.present) - static_cast<int>(b.present);
  const std::size_t common = a.bytes.size() < b.bytes.size() ? a.bytes.size() : b.bytes.size();
  if (std::endian::native == std::endian::little && common >= 8 && common <= 16) {
    // Most keys are ids of 8 to 16 bytes: two word loads, the second overlapping the first, read
    // as big-endian integers order as the bytes do, without a call to memcmp.
    std::uint64_t x = 0;
    std::uint64_t y = 0;
    std::memcpy(&x, a.bytes.data(), 8);
    std::memcpy(&y, b.bytes.data(), 8);
    if (x == y) {
      std::memcpy(&x, a.bytes.data() + common - 8, 8);
      std::memcpy(&y, b.bytes.data() + common - 8, 8);
    }
    if (x != y) return std::byteswap(x) < std::byteswap(y) ? -1 : 1;
  } else if (common > 0) {
    // memcmp compares as unsigned char, which is what key order needs; a plain char comparison
    // would be signed on x86-64 and put every byte from 0x80 up below "a".
    if (const int order = std::memcmp(a.bytes.data(), b.bytes.data(), common); order != 0) return order < 0 ? -1 : 1;
  }
  if (a.bytes.size() == b.bytes.size()) return 0;
  return a.bytes.size() < b.bytes.size() ? -1 : 1;
}

// A record's key seen through its side's key columns. `R` has size() and operator[](i) giving the
// i-th field as a std::string_view: csv::Record, sort::Record, a span or vector of views. Holds
// references: the record and the columns must outlive it.
template <class R>
class RecordKey {
 public:
  RecordKey(const R& record, std::span<const std::size_t> columns) : record_(record), columns_(columns) {}
  std::size_t size() const { return columns_.size(); }
  KeyField field(std::size_t i) const {
    std::size_t column = columns_[i];
    if (column >= record_.size()) return KeyField{};
    return KeyField{record_[column], true};
  }

 private:
  const R& record_;
  std::span<const std::size_t> columns_;
};

// Compares two keys field by field. `A` and `B` have size() and field(i) giving a KeyField:
// RecordKey, KeyCopy. REQUIRES: a.size() == b.size().
template <class A, class B>
[[gnu::always_inline]] inline int compare_keys(const A& a, const B& b) {
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (int order = compare_fields(a.field(i), b.field(i)); order != 0) return order;
  }
  return 0;
}

// An owned copy of one key, reused from record to record: a side's previous key, kept while the
// record it came from is gone. Its storage only grows, so once it has held the longest key no
// assignment allocates.
class KeyCopy {
 public:
  template <class K>
  void assign(const K& key) {
    bytes_.clear();
    slots_.resize(key.size());
    for (std::size_t i = 0; i < key.size(); ++i) {
      KeyField f = key.field(i);
      slots_[i] = Slot{bytes_.size(), f.bytes.size(), f.present};
      bytes_.append(f.bytes);
    }
  }
  std::size_t size() const { return slots_.size(); }
  KeyField field(std::size_t i) const {
    const Slot& s = slots_[i];
    return KeyField{std::string_view(bytes_).substr(s.offset, s.size), s.present};
  }

 private:
  struct Slot {
    std::size_t offset;
    std::size_t size;
    bool present;
  };
  std::string bytes_;
  std::vector<Slot> slots_;
};

// ---------------------------------------------------------------------------------------------
// Errors and run files

struct Error {
  enum class Kind { create, write, read };
  Kind kind;
  // The system's text ("No space left on device (os error 28)"), the factory's text for a
  // creation failure, "failed to write whole buffer" for a write that wrote nothing, "failed to
  // fill whole buffer" for a run file shorter than what was written to it.
  std::string text;
  friend bool operator==(const Error&, const Error&) = default;
};

template <class T>
using Result = std::expected<T, Error>;

// An open descriptor of a run file, closed exactly once, on destruction.
class RunFile {
 public:
  RunFile() = default;
  explicit RunFile(int fd) : fd_(fd) {}
  RunFile(RunFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  RunFile& operator=(RunFile&& other) noexcept;
  RunFile(const RunFile&) = delete;
  RunFile& operator=(const RunFile&) = delete;
  ~RunFile();
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

// Makes one new empty file, open for reading and writing, that nothing else writes to; or gives
// the text of why it cannot. Nothing of it should outlive the descriptor (an unnamed file).
using RunFileFactory = std::function<std::expected<RunFile, std::string>()>;

// ---------------------------------------------------------------------------------------------
// Sorting

struct Options {
  // H: what the run buffer (field bytes, per-field and per-record bookkeeping, record numbers and
  // the sort index) and its write buffer may take while runs are formed, and what the run readers
  // with their buffers may take while runs are merged.
  std::uint64_t memory_bytes = 32u << 20;
  // Indexes of the key fields in a record, in key order. REQUIRES: at least one.
  std::vector<std::size_t> key_columns;
  // Called at most twice per sorter: for the first run written, and for the first merge pass.
  RunFileFactory create_run_file;
  // Test-only knobs, 0 for none: a run holds at most this many records; at most this many runs
  // are merged at once.
  std::size_t max_run_records = 0;
  std::size_t max_fan_in = 0;
};

// What a sorter has done so far, for the caller's accounts and for tests.
struct Stats {
  std::uint64_t records = 0;         // added
  std::uint64_t runs_written = 0;    // by run formation
  std::uint64_t merge_passes = 0;    // before the final merge
  std::uint64_t final_runs = 0;      // runs merged by next(); 0 when sorted in memory (or empty)
  std::size_t fan_in = 0;            // F, fixed by finish() when runs were written
  std::uint64_t longest_record = 0;  // L: the largest record as the buffer or a reader counts it
  std::size_t run_files = 0;         // created so far, at most 2
  std::uint64_t bytes_written = 0;   // to run files, over all passes
};

namespace detail {
class Merge;
class RunReader;
struct State;
}  // namespace detail

// One record as the sorted output gives it: its number and fields, valid until the next call to
// Sorter::next(). Has size() and operator[] like csv::Record, so RecordKey works on it.
class Record {
 public:
  std::uint64_t number() const { return number_; }
  std::size_t size() const { return count_; }
  // REQUIRES: i < size().
  std::string_view operator[](std::size_t i) const { return fields_[i]; }
  // All fields at once, as views.
  std::span<const std::string_view> fields() const { return {fields_.data(), count_}; }
  // The record's fields as the sorter encodes them: two records with the same encoding have the
  // same fields (the converse need not hold). Valid as the fields are.
  std::string_view encoded() const { return encoded_; }

 private:
  friend class detail::RunReader;
  friend struct detail::State;
  std::uint64_t number_ = 0;
  std::size_t count_ = 0;
  std::vector<std::string_view> fields_;  // the first count_ are the fields; only grows
  std::string_view encoded_;
};

// Sorts the records of one side. Usage: add() every record, then finish() once, then next()
// until it gives nullptr. After any error the sorter cannot go on; destroy it (which closes its
// run files). One thread; the sorter is movable, not copyable.
class Sorter {
 public:
  explicit Sorter(Options options);
  ~Sorter();
  Sorter(Sorter&&) noexcept;
  Sorter& operator=(Sorter&&) noexcept;
  Sorter(const Sorter&) = delete;
  Sorter& operator=(const Sorter&) = delete;

  // Adds a record: its number (the tie-break between equal keys) and its fields, copied before
  // the call returns. Fields that stand one after another with one byte between each two (the
  // fields of a record in its text) are copied as one stretch, the bytes between them included.
  // May write a run. REQUIRES: finish() not yet called.
  [[nodiscard]] Result<void> add(std::uint64_t number, std::span<const std::string_view> fields);

  // The same for any record type with size() and operator[] giving views (csv::Record).
  template <class R>
  [[nodiscard]] Result<void> add_record(std::uint64_t number, const R& record) {
    scratch_.resize(record.size());
    for (std::size_t i = 0; i < scratch_.size(); ++i) scratch_[i] = record[i];
    return add(number, scratch_);
  }

  // Ends the input. When no run was written, the buffer is sorted and stays in memory as the only
  // run. Otherwise the buffer goes out as the last run, the run buffer is freed, and merge passes
  // run until at most F runs remain (F from the budget and the longest record).
  [[nodiscard]] Result<void> finish();

  // The next record in (key, number) order, or nullptr once all have been given. The record, and
  // every view into it, stays valid until the next call. Allocates nothing per record once the
  // readers hold the longest record. REQUIRES: finish() succeeded.
  [[nodiscard]] Result<const Record*> next();

  const Stats& stats() const;
  std::span<const std::size_t> key_columns() const;

 private:
  std::unique_ptr<detail::State> state_;
  std::vector<std::string_view> scratch_;
};

}  // namespace sort
