// Dataset input: the CSV dialect and encoding of a run, header reading, and the byte-identical
// check of two dataset files.
//
// Everything here reads the request and the files; nothing writes. The types at the top are the
// ones the comparison and the run share with this area.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/error.h"
#include "core/file.h"
#include "core/sha256.h"
#include "csv/csv.h"
#include "encoding/encoding.h"
#include "request/request.h"

namespace tessamer {

enum class DatasetSide { Expected, Actual };

// "expected" or "actual", as messages show the side.
std::string_view side_text(DatasetSide side);

// One dataset file of a run, opened up to three times (header, byte-identical check, streaming
// comparison). The first open takes the file's state; every later open of the path must find the
// same file in that state, and so must the look after the last read, or the run fails with
// "{side} CSV changed while being read" (NATIVE_IO_ERROR). A verdict thus never mixes two files,
// or two states of one file.
class DatasetFile {
 public:
  DatasetFile(DatasetSide side, std::string_view path) : side_(side), path_(path) {}

  DatasetSide side() const { return side_; }
  std::string_view path() const { return path_; }
  // Which file the first open found; empty before it.
  std::optional<FileIdentity> identity() const;

  // Opens the file for reading, from its first byte. Never waits: a FIFO put at the path after
  // the first open opens at once and is then found changed.
  [[nodiscard]] Result<UniqueFd> open();

  // After the last read from `fd`: the file is still in the state of the first open.
  [[nodiscard]] Result<void> check_unchanged(int fd) const;

 private:
  EngineError changed() const;

  DatasetSide side_;
  std::string_view path_;
  std::optional<FileState> first_;
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

// The reader configuration every dataset is read with (a leading BOM is skipped: the UTF-16 one
// under UTF-16, the UTF-8 one under every other encoding), aware of the encoding's characters.
csv::Dialect reader_dialect(const CsvDialect& dialect);

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

}  // namespace tessamer
