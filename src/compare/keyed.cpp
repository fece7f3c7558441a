// Pairing records by key: both sides brought into key order, then one merge meets equal keys.
//
// Under KeyOrder::Sorted the merge reads the two digesting streams straight away, and a side
// whose key goes down ends the run. Under KeyOrder::Any a first pass (phase A) reads and digests
// both files, keeping of a side in order only its previous key; from the first record out of
// order on, a side's records go to an external sort. The second pass (phase B) reads the files
// again without digesting: a side found in order as it stands, a sorted side as the merge of its
// ordered prefix with the sorted rest. The merge is the same either way and holds one record per
// side, so the i-th expected record of a key meets the i-th actual record of that key.
#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "compare/pairing.h"
#include "core/quote.h"
#include "core/run_file.h"
#include "sort/sort.h"

namespace tessamer {
namespace {

// A record's key seen through its side's key columns; holds views, so it is cheap to make.
class Key {
 public:
  Key(Fields fields, std::span<const std::size_t> columns) : fields_(fields), columns_(columns) {}
  std::size_t size() const { return columns_.size(); }
  sort::KeyField field(std::size_t i) const {
    const std::size_t column = columns_[i];
    return column < fields_.size() ? sort::KeyField{fields_[column], true} : sort::KeyField{};
  }

 private:
  Fields fields_;
  std::span<const std::size_t> columns_;
};

EngineError changed(DatasetSide side) {
  return EngineError{ErrorCode::NativeIoError, std::string(side_text(side)) + " CSV changed while being read"};
}

EngineError sort_error(const sort::Error& error) {
  std::string_view context = "cannot create key sort file";
  switch (error.kind) {
    case sort::Error::Kind::create:
      break;
    case sort::Error::Kind::write:
      context = "cannot write key sort file";
      break;
    case sort::Error::Kind::read:
      context = "cannot read key sort file";
      break;
  }
  return EngineError::wrap(ErrorCode::NativeIoError, context, error.text);
}

// A key as messages show it: ["A-7", "3"], each field decoded and quoted, null where absent.
template <class K>
[[nodiscard]] Result<std::string> key_text(const K& key, encoding::Encoding encoding) {
  std::string text = "[";
  for (std::size_t i = 0; i < key.size(); ++i) {
    if (i > 0) text += ", ";
    const sort::KeyField field = key.field(i);
    if (!field.present) {
      text += "null";
      continue;
    }
    TESSAMER_ASSIGN_OR_RETURN(const std::string decoded, decode_field(encoding, field.bytes));
    text += debug_quote(decoded);
  }
  return text + "]";
}

// Where run files go: the sort directory, else the directory the report is created in (the
// working directory for a bare file name).
std::string sort_location(const ComparisonSettings& settings) {
  if (settings.sort_directory) return std::string(*settings.sort_directory);
  const std::optional<std::string_view> parent = parent_path(settings.divergence_path);
  return parent && !parent->empty() ? std::string(*parent) : std::string(".");
}

sort::RunFileFactory run_file_factory(const std::string& location) {
  return [location]() -> std::expected<sort::RunFile, std::string> {
    IoResult<UniqueFd> fd = create_run_file(location);
    if (!fd) return std::unexpected(std::move(fd.error().text));
    return sort::RunFile(fd->release());
  };
}

// One side as phase A found it.
struct Prepared {
  std::uint64_t records = 0;  // data records in the file
  bool sorted = true;
  std::uint64_t prefix = 0;  // when not sorted: records before the first one out of order
  std::optional<sort::Sorter> sorter;  // when not sorted: every record from there on, sorted
};

// Phase A for one side, record by record.
class Preparer {
 public:
  Preparer(std::vector<std::size_t> columns, std::uint64_t budget, const std::string& location)
      : columns_(std::move(columns)), budget_(budget), location_(location) {}

  [[nodiscard]] Result<void> add(const csv::Record& record) {
    return add(Key(record.fields(), columns_), [&record] { return record.fields(); });
  }

  // The next record, with key `key`; `fields()` gives all its fields, asked for only when the
  // record goes to the sort.
  template <class GetFields>
  [[nodiscard]] Result<void> add(const Key& key, GetFields&& fields) {
    const std::uint64_t number = ++side_.records;
    if (side_.sorted) {
      if (number == 1 || sort::compare_keys(key, previous_) >= 0) {
        previous_.assign(key);
        return {};
      }
      start_sort(number);
    }
    if (auto added = side_.sorter->add(number, fields()); !added) return std::unexpected(sort_error(added.error()));
    return {};
  }

  // Record `i` of an equal run passed over in the stream, with key `key`; `up` says whether that
  // key is not below the one of record i - 1 of the run (the run's first is checked here against
  // the side's previous key). `fields(i)` gives all its fields. The side's previous key is only
  // brought up to date by end_run().
  template <class GetFields>
  [[nodiscard]] Result<void> add_passed(std::size_t i, const Key& key, bool up, GetFields&& fields) {
    const std::uint64_t number = ++side_.records;
    if (side_.sorted) {
      if (i == 0 ? sort::compare_keys(key, previous_) >= 0 : up) return {};
      start_sort(number);
    }
    if (auto added = side_.sorter->add(number, fields(i)); !added) return std::unexpected(sort_error(added.error()));
    return {};
  }

  // Whether every record so far came in key order.
  bool in_order() const { return side_.sorted; }

  // `records` records of an equal run, each with a key not below the one before, the first not
  // below the run's previous record. REQUIRES: in_order().
  void add_rising(std::uint64_t records) { side_.records += records; }

  // An equal run ended with key `last`.
  void end_run(const Key& last) {
    if (side_.sorted) previous_.assign(last);
  }

  [[nodiscard]] Result<Prepared> finish() {
    if (side_.sorter) {
      if (auto done = side_.sorter->finish(); !done) return std::unexpected(sort_error(done.error()));
    }
    return std::move(side_);
  }

  const std::vector<std::size_t>& columns() const { return columns_; }

 private:
  // Record `number` is the first out of order: it and every later one go to a sort.
  void start_sort(std::uint64_t number) {
    side_.sorted = false;
    side_.prefix = number - 1;
    sort::Options options;
    options.memory_bytes = budget_;
    options.key_columns = columns_;
    options.create_run_file = run_file_factory(location_);
    side_.sorter.emplace(std::move(options));
  }

  std::vector<std::size_t> columns_;
  std::uint64_t budget_;
  const std::string& location_;
  sort::KeyCopy previous_;
  Prepared side_;
};

// The records of one side in key order, ties in ascending record number, each with its number
// in the file. A record stays valid until the next call of next().
class KeyedSource {
 public:
  // The stream as it is read: records must come in key order (KeyOrder::Sorted).
  explicit KeyedSource(DatasetStream& stream) : stream_(&stream) {}

  // Phase B of KeyOrder::Any: `reread` is the file opened again past its header; a side found
  // sorted gives its records as they stand, any other the merge of the first `prefix` records
  // with the sorted rest.
  KeyedSource(DatasetStream reread, Prepared prepared, std::span<const std::size_t> columns)
      : owned_(std::move(reread)), prepared_(std::move(prepared)), columns_(columns) {
    stream_ = &*owned_;
  }

  // Whether a record came; its number and fields then stand in number() and fields().
  [[nodiscard]] Result<bool> next() {
    if (!prepared_) return from_stream();
    if (prepared_->sorted) {
      TESSAMER_ASSIGN_OR_RETURN(const bool holds, from_stream());
      if (!holds && read_ != prepared_->records) return std::unexpected(changed(stream_->side()));
      if (holds && read_ > prepared_->records) return std::unexpected(changed(stream_->side()));
      return holds;
    }
    return merged();
  }

  std::uint64_t number() const { return number_; }
  Fields fields() const { return fields_; }
  // The bytes the record stands as: its text, or its sort encoding when sorted_bytes(). Equal
  // bytes of the same kind mean equal fields.
  std::optional<std::string_view> raw() const { return raw_; }
  bool sorted_bytes() const { return sorted_bytes_; }

  // The reader of a source that gives the file's records as they stand, for passing over runs of
  // records both sides hold as the same bytes; null for a merged one.
  csv::Reader* plain_reader() { return !prepared_ || prepared_->sorted ? &stream_->reader() : nullptr; }
  // `records` more were passed over that way.
  void passed(std::uint64_t records) { read_ += records; }

  // After the last read: the reread file is checked unchanged (the stream's own finish does it
  // for a stream read once).
  [[nodiscard]] Result<void> finish() {
    if (owned_) TESSAMER_TRY(owned_->finish());
    return {};
  }

 private:
  [[nodiscard]] Result<bool> from_stream() {
    TESSAMER_ASSIGN_OR_RETURN(const bool holds, stream_->next());
    if (!holds) return false;
    ++read_;
    const csv::Record& record = stream_->record();
    number_ = read_;
    fields_ = record.fields();
    raw_ = record.raw();
    return true;
  }

  // The next of the prefix read again and the sorted records, whichever comes first; the one
  // given last is moved on only now, so that its fields stayed valid until this call.
  [[nodiscard]] Result<bool> merged() {
    if (!started_) {
      started_ = true;
      TESSAMER_TRY(advance_prefix());
      TESSAMER_TRY(advance_sorted());
    } else if (took_prefix_) {
      TESSAMER_TRY(advance_prefix());
    } else {
      TESSAMER_TRY(advance_sorted());
    }
    if (!prefix_holds_ && sorted_ == nullptr) return false;
    took_prefix_ = prefix_holds_ && (sorted_ == nullptr || precedes_sorted());
    sorted_bytes_ = !took_prefix_;
    if (took_prefix_) {
      number_ = read_;
      fields_ = prefix_fields_;
      raw_ = prefix_raw_;
    } else {
      number_ = sorted_->number();
      fields_ = sorted_->fields();
      raw_ = sorted_->encoded();
    }
    return true;
  }

  bool precedes_sorted() const {
    const int order = sort::compare_keys(Key(prefix_fields_, columns_), Key(sorted_->fields(), columns_));
    return order < 0 || (order == 0 && read_ < sorted_->number());
  }

  [[nodiscard]] Result<void> advance_prefix() {
    prefix_holds_ = false;
    if (read_ == prepared_->prefix) return {};
    TESSAMER_ASSIGN_OR_RETURN(const bool holds, stream_->next());
    if (!holds) return std::unexpected(changed(stream_->side()));
    ++read_;
    prefix_holds_ = true;
    prefix_fields_ = stream_->record().fields();
    prefix_raw_ = stream_->record().raw();
    return {};
  }

  [[nodiscard]] Result<void> advance_sorted() {
    auto record = prepared_->sorter->next();
    if (!record) return std::unexpected(sort_error(record.error()));
    sorted_ = *record;
    return {};
  }

  DatasetStream* stream_;
  std::optional<DatasetStream> owned_;
  std::optional<Prepared> prepared_;
  std::span<const std::size_t> columns_;
  std::uint64_t read_ = 0;  // records read from the stream
  // The record given last.
  std::uint64_t number_ = 0;
  Fields fields_;
  std::optional<std::string_view> raw_;
  bool sorted_bytes_ = false;
  // Merging: the heads of the prefix and of the sorted rest.
  bool started_ = false;
  bool took_prefix_ = false;
  bool prefix_holds_ = false;
  Fields prefix_fields_;
  std::optional<std::string_view> prefix_raw_;
  const sort::Record* sorted_ = nullptr;
};

// One side of the merge: its source, its key columns, its previous key and its counts.
class MergeSide {
 public:
  MergeSide(DatasetSide side, KeyedSource& source, std::vector<std::size_t> columns, const ComparisonSettings& settings,
            encoding::Encoding encoding)
      : side_(side), source_(source), columns_(std::move(columns)), settings_(settings), encoding_(encoding) {}

  // Reads the next record and checks it against the one before: key order, and repeats.
  [[nodiscard]] Result<void> next() {
    TESSAMER_ASSIGN_OR_RETURN(holds_, source_.next());
    if (!holds_) return {};
    ++rows_;
    const Key current = key();
    if (has_previous_) TESSAMER_TRY(check(current, source_.number(), previous_, previous_number_));
    has_previous_ = true;
    previous_.assign(current);
    previous_number_ = source_.number();
    return {};
  }

  // Key `current` of record `number` follows key `previous` of record `previous_number` on this
  // side: lower ends the run, equal is a repeat.
  template <class K, class P>
  [[nodiscard]] Result<void> check(const K& current, std::uint64_t number, const P& previous,
                                   std::uint64_t previous_number) {
    const int order = sort::compare_keys(current, previous);
    if (order < 0) {
      if (settings_.key_order == KeyOrder::Any) return std::unexpected(changed(side_));
      TESSAMER_ASSIGN_OR_RETURN(const std::string now, key_text(current, encoding_));
      TESSAMER_ASSIGN_OR_RETURN(const std::string before, key_text(previous, encoding_));
      return std::unexpected(EngineError{ErrorCode::InvalidGoldenDataset,
                                         std::string(side_text(side_)) + " CSV is not sorted by keyColumns: record " +
                                             std::to_string(number) + " has key " + now + " after key " + before});
    }
    if (order == 0) {
      if (settings_.duplicate_keys == DuplicateKeys::Reject) {
        TESSAMER_ASSIGN_OR_RETURN(const std::string text, key_text(current, encoding_));
        return std::unexpected(EngineError{ErrorCode::InvalidGoldenDataset,
                                           std::string(side_text(side_)) + " CSV has duplicate key " + text +
                                               " at records " + std::to_string(previous_number) + " and " +
                                               std::to_string(number)});
      }
      ++repeated_;
    }
    return {};
  }

  // Record `i` of a run passed over in the stream without being read has key `current`; the
  // record before it in the run had `before` (null for the first of the run).
  [[nodiscard]] Result<void> check_passed(std::size_t i, const Key& current, const Key* before) {
    const std::uint64_t number = rows_ + 1 + i;
    if (before == nullptr) return check(current, number, previous_, previous_number_);
    return check(current, number, *before, number - 1);
  }

  // The run of `records` records ended with key `last`: they count as read.
  void passed(std::size_t records, const Key& last) {
    rows_ += records;
    source_.passed(records);
    previous_.assign(last);
    previous_number_ = rows_;
  }

  csv::Reader* plain_reader() { return source_.plain_reader(); }
  const std::vector<std::size_t>& columns() const { return columns_; }
  // The key of the record read last. REQUIRES: one was read.
  const sort::KeyCopy& previous_key() const { return previous_; }

  bool holds() const { return holds_; }
  Key key() const { return Key(source_.fields(), columns_); }
  std::uint64_t number() const { return source_.number(); }
  Row row() const { return Row{source_.fields(), source_.raw()}; }
  bool sorted_bytes() const { return source_.sorted_bytes(); }
  std::uint64_t rows() const { return rows_; }
  std::uint64_t repeated() const { return repeated_; }

  // The key fields of the current record, as the report's lines take them.
  std::span<const std::optional<std::string_view>> key_fields() {
    key_fields_.resize(columns_.size());
    const Key current = key();
    for (std::size_t i = 0; i < columns_.size(); ++i) {
      const sort::KeyField field = current.field(i);
      key_fields_[i] = field.present ? std::optional<std::string_view>(field.bytes) : std::nullopt;
    }
    return key_fields_;
  }

 private:
  DatasetSide side_;
  KeyedSource& source_;
  std::vector<std::size_t> columns_;
  const ComparisonSettings& settings_;
  encoding::Encoding encoding_;
  bool holds_ = false;
  bool has_previous_ = false;
  sort::KeyCopy previous_;
  std::uint64_t previous_number_ = 0;
  std::uint64_t rows_ = 0;
  std::uint64_t repeated_ = 0;
  std::vector<std::optional<std::string_view>> key_fields_;
};

// The keys of the records an equal-run skip passed, split from the bytes they stand as, and all
// fields of one for a side that sorts it. Two slots, so that a record's key stays valid while the
// next one's is taken.
class PassedKeys {
 public:
  explicit PassedKeys(std::span<const std::size_t> columns) : columns_(columns) {
    std::size_t widest = 0;
    for (std::size_t column : columns) widest = std::max(widest, column + 1);
    for (Slot& slot : slots_) slot.fields.resize(widest);
    first_column_only_ = widest == 1;
  }

  // Passes the equal run the two readers stand at, as csv::skip_equal_records does; the number of
  // records passed.
  [[nodiscard]] std::size_t skip(csv::Reader& expected, csv::Reader& actual, std::size_t width) {
    all_.resize(width);
    return csv::skip_equal_records(expected, actual, width, records_);
  }

  // The key of passed record `i`, valid until the key of record i + 2 is taken.
  Key key(std::size_t i) {
    Slot& slot = slots_[i & 1];
    if (first_column_only_) {
      slot.fields[0] = records_.first_field(i, slot.store);
    } else {
      records_.split(i, slot.fields, slot.store);
    }
    return Key(slot.fields, columns_);
  }

  // The key of passed record `i` taken last or just before. REQUIRES: key(i) or rising() took it.
  Key taken(std::size_t i) const { return Key(slots_[i & 1].fields, columns_); }

  // Takes the keys of passed records from `from` on, up to `to`, while each is above the one
  // before; gives the first that is not, or `to`. REQUIRES: the key of record from - 1 was taken.
  std::size_t rising(std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
      if (sort::compare_keys(key(i), taken(i - 1)) <= 0) return i;
    }
    return to;
  }

  // Every field of passed record `i`, valid until the next call.
  Fields all_fields(std::size_t i) {
    records_.split(i, all_, all_store_);
    return all_;
  }

 private:
  struct Slot {
    std::vector<std::string_view> fields;
    std::string store;
  };
  std::span<const std::size_t> columns_;
  bool first_column_only_ = false;  // every key column is the first
  csv::PassedRecords records_;
  Slot slots_[2];
  std::vector<std::string_view> all_;
  std::string all_store_;
};

// Meets the two sides' records in key order and sends what differs to the lines.
[[nodiscard]] Result<ComparisonTotals> merge(const Pairing& pairing, MergeSide& expected, MergeSide& actual) {
  ComparisonTotals totals;
  // Records that both sides hold as the same bytes, with the headers' width, pair with each other
  // and show no divergence when every pair compares a column with the one at the same index (the
  // key columns included): after a pair, such runs are passed over without splitting their
  // records, only their keys are taken from the bytes and checked. Both sides' previous keys
  // are then equal, so both check alike, the expected side first.
  const std::size_t columns = pairing.input.expected_names.size();
  csv::Reader* expected_reader = expected.plain_reader();
  csv::Reader* actual_reader = actual.plain_reader();
  const bool skip_equal = expected_reader != nullptr && actual_reader != nullptr &&
                          pairing.pairs.compares_same_positions() && pairing.input.actual_names.size() == columns;
  std::optional<PassedKeys> keys;
  if (skip_equal) keys.emplace(expected.columns());
  // As in the positional pairing: after each look that finds none, wait twice as many pairs.
  static constexpr unsigned kLongestWait = 16;
  unsigned wait = 0, waited = 0;
  auto pass_equal_run = [&]() -> Result<void> {
    const std::size_t same = keys->skip(*expected_reader, *actual_reader, columns);
    wait = same > 0 ? 0 : std::min(std::max(2 * wait, 1u), kLongestWait);
    waited = 0;
    if (same == 0) return {};
    // Both sides hold these keys, so one comparison serves both; only a key that does not go up
    // is checked again on each side, to report it or count the repeat.
    const Key first = keys->key(0);
    if (sort::compare_keys(first, expected.previous_key()) <= 0) {
      TESSAMER_TRY(expected.check_passed(0, first, nullptr));
      TESSAMER_TRY(actual.check_passed(0, first, nullptr));
    }
    for (std::size_t i = keys->rising(1, same); i < same; i = keys->rising(i + 1, same)) {
      const Key current = keys->taken(i);
      const Key before = keys->taken(i - 1);
      TESSAMER_TRY(expected.check_passed(i, current, &before));
      TESSAMER_TRY(actual.check_passed(i, current, &before));
    }
    const Key last = keys->taken(same - 1);
    expected.passed(same, last);
    actual.passed(same, last);
    totals.compared_rows += same;
    return {};
  };
  TESSAMER_TRY(expected.next());
  TESSAMER_TRY(actual.next());
  for (;;) {
    int order = 0;
    if (!expected.holds()) {
      if (!actual.holds()) break;
      order = 1;
    } else if (!actual.holds()) {
      order = -1;
    } else {
      order = sort::compare_keys(expected.key(), actual.key());
    }
    if (order < 0) {
      ++totals.missing_rows;
      const KeyContext key{expected.key_fields(), expected.number(), std::nullopt};
      TESSAMER_TRY(pairing.lines.missing_row(expected.row().fields, {expected.number(), &key}));
      TESSAMER_TRY(expected.next());
    } else if (order > 0) {
      ++totals.additional_rows;
      const KeyContext key{actual.key_fields(), std::nullopt, actual.number()};
      TESSAMER_TRY(pairing.lines.additional_row(actual.row().fields, {actual.number(), &key}));
      TESSAMER_TRY(actual.next());
    } else {
      ++totals.compared_rows;
      const KeyContext key{expected.key_fields(), expected.number(), actual.number()};
      Row expected_row = expected.row();
      Row actual_row = actual.row();
      // A record's text and a sort encoding may be equal bytes for different fields.
      if (expected.sorted_bytes() != actual.sorted_bytes()) expected_row.raw = actual_row.raw = std::nullopt;
      TESSAMER_TRY(pairing.pairs.compare(expected_row, actual_row, {expected.number(), &key}));
      if (skip_equal && waited++ == wait) TESSAMER_TRY(pass_equal_run());
      TESSAMER_TRY(expected.next());
      TESSAMER_TRY(actual.next());
    }
  }
  totals.expected_rows = expected.rows();
  totals.actual_rows = actual.rows();
  return totals;
}

std::vector<std::size_t> key_columns(const ColumnPlan& plan, DatasetSide side) {
  std::vector<std::size_t> columns;
  columns.reserve(plan.keys.size());
  for (const ColumnPair& key : plan.keys) {
    columns.push_back(side == DatasetSide::Expected ? key.expected_index : key.actual_index);
  }
  return columns;
}

// What phase A found of both sides, and what it read of each file.
struct PhaseA {
  Prepared expected;
  Prepared actual;
  StreamedBytes expected_read;
  StreamedBytes actual_read;
};

// Phase A: both streams read to their ends, a record of each side in turn so that both digest
// lanes stay busy; then both files are checked unchanged, and the sorts of the sides that need
// one are finished.
[[nodiscard]] Result<PhaseA> prepare(const Pairing& pairing, const std::string& location) {
  const ComparisonSettings& settings = pairing.input.settings;
  const std::uint64_t half = settings.sort_memory_bytes / 2;
  Preparer expected(key_columns(pairing.input.plan, DatasetSide::Expected), half, location);
  Preparer actual(key_columns(pairing.input.plan, DatasetSide::Actual), half, location);
  // Runs of records that both files hold as the same bytes are passed over without reading them
  // record by record (as in the merge), when the key stands at the same place on both sides:
  // only their keys are split from the bytes, and all their fields only for a side being sorted.
  const std::size_t columns = pairing.input.expected_names.size();
  bool skip_equal = expected.columns() == actual.columns();
  for (std::size_t column : expected.columns()) skip_equal = skip_equal && column < columns;
  std::optional<PassedKeys> keys;
  if (skip_equal) keys.emplace(expected.columns());
  static constexpr unsigned kLongestWait = 16;
  unsigned wait = 0, waited = 0;
  bool expected_holds = true, actual_holds = true;
  while (expected_holds || actual_holds) {
    if (expected_holds) {
      TESSAMER_ASSIGN_OR_RETURN(expected_holds, pairing.expected.next());
      if (expected_holds) TESSAMER_TRY(expected.add(pairing.expected.record()));
    }
    if (actual_holds) {
      TESSAMER_ASSIGN_OR_RETURN(actual_holds, pairing.actual.next());
      if (actual_holds) TESSAMER_TRY(actual.add(pairing.actual.record()));
    }
    if (skip_equal && expected_holds && actual_holds && waited++ == wait) {
      const std::size_t same = keys->skip(pairing.expected.reader(), pairing.actual.reader(), columns);
      wait = same > 0 ? 0 : std::min(std::max(2 * wait, 1u), kLongestWait);
      waited = 0;
      if (same == 0) continue;
      // Within the run both sides hold the same keys: whether each goes up is found once.
      const Key first = keys->key(0);
      auto fields = [&keys](std::size_t i) { return keys->all_fields(i); };
      TESSAMER_TRY(expected.add_passed(0, first, true, fields));
      TESSAMER_TRY(actual.add_passed(0, first, true, fields));
      std::size_t i = 1;
      // While both sides stand in order, records whose keys go up only count.
      if (expected.in_order() && actual.in_order()) {
        i = keys->rising(1, same);
        expected.add_rising(i - 1);
        actual.add_rising(i - 1);
      }
      for (; i < same; ++i) {
        const Key current = keys->key(i);
        const bool up = sort::compare_keys(current, keys->taken(i - 1)) >= 0;
        TESSAMER_TRY(expected.add_passed(i, current, up, fields));
        TESSAMER_TRY(actual.add_passed(i, current, up, fields));
      }
      expected.end_run(keys->taken(same - 1));
      actual.end_run(keys->taken(same - 1));
    }
  }
  TESSAMER_ASSIGN_OR_RETURN(StreamedBytes expected_read, pairing.expected.finish());
  TESSAMER_ASSIGN_OR_RETURN(StreamedBytes actual_read, pairing.actual.finish());
  TESSAMER_ASSIGN_OR_RETURN(Prepared expected_side, expected.finish());
  TESSAMER_ASSIGN_OR_RETURN(Prepared actual_side, actual.finish());
  return PhaseA{std::move(expected_side), std::move(actual_side), std::move(expected_read), std::move(actual_read)};
}

[[nodiscard]] Result<DatasetStream> reopen(DatasetFile& file, const ComparisonInput& input) {
  TESSAMER_ASSIGN_OR_RETURN(DatasetStream stream, DatasetStream::open(file, input.dialect));
  if (input.settings.has_header) {
    TESSAMER_ASSIGN_OR_RETURN(const bool header, stream.read_header());
    if (!header) return std::unexpected(changed(file.side()));
  }
  return stream;
}

}  // namespace

Result<KeyedOutcome> pair_by_key(const Pairing& pairing, const DivergenceReportWriter& report) {
  const ComparisonInput& input = pairing.input;
  const ComparisonSettings& settings = input.settings;
  const encoding::Encoding encoding = input.dialect.encoding;
  std::vector<std::size_t> expected_columns = key_columns(input.plan, DatasetSide::Expected);
  std::vector<std::size_t> actual_columns = key_columns(input.plan, DatasetSide::Actual);
  KeyedOutcome outcome;

  if (settings.key_order == KeyOrder::Sorted) {
    KeyedSource expected_source(pairing.expected);
    KeyedSource actual_source(pairing.actual);
    MergeSide expected(DatasetSide::Expected, expected_source, std::move(expected_columns), settings, encoding);
    MergeSide actual(DatasetSide::Actual, actual_source, std::move(actual_columns), settings, encoding);
    TESSAMER_ASSIGN_OR_RETURN(outcome.totals, merge(pairing, expected, actual));
    outcome.keyed.expected_repeated_keys = expected.repeated();
    outcome.keyed.actual_repeated_keys = actual.repeated();
    return outcome;
  }

  // Run files need a directory to go to: next to the report only when it is a file.
  if (!settings.sort_directory && !report.regular_file()) {
    return std::unexpected(EngineError{
        ErrorCode::InvalidNativeRequest,
        "sortDirectory is required when keyOrder is ANY and divergencePath is not a regular file"});
  }
  const std::string location = sort_location(settings);
  // Every run of this kind makes one run file before reading data, so that a location where
  // none can be made fails every such run alike, not only those whose data need a sort.
  if (IoResult<UniqueFd> probe = create_run_file(location); !probe) {
    return std::unexpected(
        EngineError::wrap(ErrorCode::NativeIoError, "cannot create key sort file", probe.error().text));
  }

  TESSAMER_ASSIGN_OR_RETURN(PhaseA prepared, prepare(pairing, location));
  outcome.keyed.expected_sorted = prepared.expected.sorted;
  outcome.keyed.actual_sorted = prepared.actual.sorted;
  // The first pass has the counts and digests. Its streams close their files before these are
  // opened again, so that beyond the descriptors of a positional run the run holds only its run
  // files (at most four) and the probe file.
  outcome.first_pass = {std::move(prepared.expected_read), std::move(prepared.actual_read)};
  { [[maybe_unused]] const DatasetStream done = std::move(pairing.expected); }
  { [[maybe_unused]] const DatasetStream done = std::move(pairing.actual); }

  // Phase B: the expected file is opened again before the actual one.
  TESSAMER_ASSIGN_OR_RETURN(DatasetStream expected_reread, reopen(input.expected, input));
  TESSAMER_ASSIGN_OR_RETURN(DatasetStream actual_reread, reopen(input.actual, input));
  KeyedSource expected_source(std::move(expected_reread), std::move(prepared.expected), expected_columns);
  KeyedSource actual_source(std::move(actual_reread), std::move(prepared.actual), actual_columns);
  MergeSide expected(DatasetSide::Expected, expected_source, expected_columns, settings, encoding);
  MergeSide actual(DatasetSide::Actual, actual_source, actual_columns, settings, encoding);
  TESSAMER_ASSIGN_OR_RETURN(outcome.totals, merge(pairing, expected, actual));
  TESSAMER_TRY(expected_source.finish());
  TESSAMER_TRY(actual_source.finish());
  outcome.keyed.expected_repeated_keys = expected.repeated();
  outcome.keyed.actual_repeated_keys = actual.repeated();
  return outcome;
}

}  // namespace tessamer
