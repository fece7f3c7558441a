// Dataset input: the CSV dialect and encoding of a run, header reading, the byte-identical check
// of two dataset files, and the stream every later read of a dataset goes through.
//
// Everything here reads the request and the files; nothing writes. The types at the top are the
// ones the comparison and the run share with this area.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/error.h"
#include "core/file.h"
#include "core/sha256.h"
#include "encoding/encoding.h"
#include "request/request.h"

// The reader behind a DatasetStream; only the readers of records need its header.
namespace csv {
class Reader;
class Record;
}  // namespace csv

namespace tessamer {

enum class DatasetSide { Expected, Actual };

// "expected" or "actual", as messages show the side.
std::string_view side_text(DatasetSide side);

// One dataset file of a run, opened up to three times (header, byte-identical check, streaming
// comparison). The first open takes the file's state; every later open of the path must find the
// same file in that state, and so must the look after the last read, or the run fails with
// "{side} CSV changed while being read" (NATIVE_IO_ERROR). A verdict thus never mixes two files,
// or two states of one file.
//
// Where the kernel grants it (the engine owns the file or may lease any, on a local file
// system), the first open also takes a read lease, held by this object until it is destroyed.
// The lease is what catches a writer the file's state cannot show: it is refused while anyone
// holds the file open for writing, a writable shared mapping included ("{side} CSV is open for
// writing by another process"), and broken as soon as anyone opens it for writing or truncates
// it. A broken lease is released at once, so the writer waits no longer than it takes to see it.
// Where no lease is granted, the state checks alone remain. SIGIO, which the kernel sends the
// holder of a lease being broken, is set to be ignored unless the process already handles it.
class DatasetFile {
 public:
  DatasetFile(DatasetSide side, std::string_view path) : side_(side), path_(path) {}

  DatasetSide side() const { return side_; }
  std::string_view path() const { return path_; }
  // Which file the first open found; empty before it.
  std::optional<FileIdentity> identity() const;
  // Whether a read lease is held on the file now.
  bool leased() const { return lease_.held(); }

  // Opens the file for reading, from its first byte. Never waits: a FIFO put at the path after
  // the first open opens at once and is then found changed.
  [[nodiscard]] Result<UniqueFd> open();

  // Between reads: false once the lease has been broken (and then released), here or earlier.
  // One system call while a lease is held, none otherwise.
  [[nodiscard]] bool lease_intact();

  // After the last read from `fd`: the file is still in the state of the first open, and its
  // lease, if one was taken, unbroken.
  [[nodiscard]] Result<void> check_unchanged(int fd);

  // "{side} CSV changed while being read".
  EngineError changed() const;

 private:
  // A read lease, held through its own descriptor of the first open's file description, and
  // given up (before that descriptor closes) when released or destroyed.
  class Lease {
   public:
    Lease() = default;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() { release(); }
    // Keeps `fd`, whose file description has just been granted the lease.
    void hold(UniqueFd fd) { fd_ = std::move(fd); }
    bool held() const { return static_cast<bool>(fd_); }
    // Whether the kernel still holds the lease unbroken; false when none is held.
    bool intact() const;
    void release();

   private:
    UniqueFd fd_;
  };

  DatasetSide side_;
  std::string_view path_;
  std::optional<FileState> first_;
  Lease lease_;
  bool broken_ = false;  // a lease was taken and then broken
};

// Built once from the request, read-only afterwards.
struct CsvDialect {
  encoding::Encoding encoding;
  unsigned char delimiter = ',';
  unsigned char quote = '"';
  std::optional<unsigned char> escape;
};

// Resolves the encoding label, then delimiter, quoteChar and escapeChar (when given) to bytes.
[[nodiscard]] Result<CsvDialect> resolve_dialect(const ValidationRequest& request);

// The field's bytes as UTF-8 text, decoded strictly (fatal, no BOM handling).
[[nodiscard]] Result<std::string> decode_field(encoding::Encoding encoding, std::string_view bytes);

// Appends the decoded text to `out` instead of returning it, for callers that reuse a buffer.
[[nodiscard]] Result<void> decode_field_into(encoding::Encoding encoding, std::string_view bytes, std::string& out);

// The column names of one side: the decoded first record of the file when `has_header`, else a
// copy of `request_names` (the file is then not opened). Both are held to `check_header`.
[[nodiscard]] Result<std::vector<std::string>> read_header(DatasetFile& file, bool has_header,
                                                           const std::vector<std::string>& request_names,
                                                           const CsvDialect& dialect);

// No empty name (checked over the whole list first), then no name twice.
[[nodiscard]] Result<void> check_header(DatasetSide side, const std::vector<std::string>& names);

struct IdenticalFiles {
  std::string expected_sha256;
  std::string actual_sha256;
  std::uint64_t size = 0;  // bytes read and digested from each file
};
// The digest of the equal bytes both files start with, as far as the check read them (each file
// holds them, so one digest serves both), for the comparison to carry on from.
struct DigestedPrefix {
  Sha256 digest;
  std::uint64_t size = 0;
};
struct DifferentFiles {
  DigestedPrefix prefix;
};
using IdenticalOutcome = std::variant<IdenticalFiles, DifferentFiles>;

// Whether the two files hold the same bytes, with both digests when they do. Files of different
// sizes are told apart from their status alone, without being opened. Identical files were
// checked unchanged after their last read.
[[nodiscard]] Result<IdenticalOutcome> compare_identical(DatasetFile& expected, DatasetFile& actual);

// The digests of the two datasets of a comparison, computed two at a time: the streams of both
// sides hash into it, each in the lane of its side. Both lanes carry on from `prefix`: its bytes,
// the first of each file, are not hashed again. Must outlive the streams that hash into it.
class PairedDigests {
 public:
  explicit PairedDigests(const DigestedPrefix& prefix = {});
  PairedDigests(const PairedDigests&) = delete;
  PairedDigests& operator=(const PairedDigests&) = delete;

 private:
  friend class DatasetStream;
  struct Waiting {
    const unsigned char* data = nullptr;
    std::size_t size = 0;
  };
  // `n` bytes of `lane` read at `data`, right after its waiting bytes (or with none waiting).
  void add(int lane, const unsigned char* data, std::size_t n);
  // The waiting bytes of `lane` are about to change: hash them, paired as far as possible.
  void hash_waiting(int lane);

  Sha256 digests_[2];
  Waiting waiting_[2];
  std::uint64_t prefix_size_;
};

// What a stream read of its file: every byte, a BOM and the header included.
struct StreamedBytes {
  std::uint64_t bytes = 0;
  std::string sha256;  // 64 lowercase hex characters; empty when the stream was not digesting
};

// One read of a dataset file from its first byte to its end, record by record, through the
// run's DatasetFile (its open and its check for change, with their messages). Every byte read is
// counted and, when the stream digests, hashed; the digest covers the file exactly, a BOM the
// reader skips included. Each later read of a dataset, header reading and the comparison alike,
// goes through one of these, so the bytes judged are the bytes counted and hashed.
//
// Move-only; the reader and its buffer stay in place when the stream moves.
class DatasetStream {
 public:
  // Opens `file` (its messages, and "{side} CSV changed while being read" when a later open finds
  // another file) for reading as `dialect`. With `digests`, hashes into the lane of the file's
  // side, leaving out the prefix the digests already hold.
  [[nodiscard]] static Result<DatasetStream> open(DatasetFile& file, const CsvDialect& dialect,
                                                  PairedDigests* digests = nullptr);

  DatasetStream(DatasetStream&&) noexcept;
  DatasetStream& operator=(DatasetStream&&) noexcept;
  ~DatasetStream();

  DatasetSide side() const;

  // Reads the header record into record(): false when the file holds no record at all. A read
  // failure is INVALID_GOLDEN_DATASET "cannot parse {side} header: {error}".
  [[nodiscard]] Result<bool> read_header();

  // Reads the next data record into record(): false at the end of the file, and on every later
  // call. A read failure is INVALID_GOLDEN_DATASET "cannot parse {side} CSV: {error}"; the stream
  // cannot go on after one.
  [[nodiscard]] Result<bool> next();

  // The record the last read gave; valid until the next read of this stream (see csv::Record).
  const csv::Record& record() const { return *record_; }

  // The reader itself, for passing over records both sides hold as the same bytes
  // (csv::skip_equal_records); what it passes is counted and hashed like every other byte.
  csv::Reader& reader() { return *reader_; }

  // Bytes read from the file so far.
  std::uint64_t bytes() const;

  // After the last read: checks the file unchanged since the run first opened it, then gives the
  // bytes read and, when digesting, their digest. The first call does the work; later calls give
  // the same result again without looking at the file. The record and the reader stay usable.
  [[nodiscard]] Result<StreamedBytes> finish();

 private:
  class Source;
  struct Body;
  explicit DatasetStream(std::unique_ptr<Body> body);

  std::unique_ptr<Body> body_;
  csv::Reader* reader_ = nullptr;  // in body_
  csv::Record* record_ = nullptr;  // in body_
};

}  // namespace tessamer
