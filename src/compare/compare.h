// The comparison of two datasets: which records meet, the divergence report of what differs, and
// the totals a result document is made of.
//
// Within the area: compare.cpp runs a comparison from start to finish, positional.cpp pairs
// records by position, lines.h spells the report's lines and report.h writes the report file.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/file.h"
#include "json/json.h"
#include "plan/plan.h"
#include "request/request.h"

namespace tessamer {

class DatasetFile;
struct CsvDialect;

// What a comparison takes of the request.
struct ComparisonSettings {
  bool has_header = true;  // the first record of each file is its header, read but not compared
  // Byte-identical files pass without being parsed: only for a plain comparison, one that maps
  // and excludes no columns, of files with headers.
  bool identical_files_pass = false;
  std::string_view divergence_path;
  std::uint64_t example_limit = 0;
  // The file the request was read from, which the report must not overwrite.
  std::optional<FileIdentity> request_file;
  // The files standard output and standard error are, where the one document of the run goes,
  // which report lines must not join.
  std::vector<FileIdentity> document_channels;
  // Pairing by key, when the plan has key columns: how each side reaches key order and what a
  // repeated key does; under KeyOrder::Any the sort's memory budget (for both sides) and where
  // its run files go (the report's directory when none is given).
  KeyOrder key_order = KeyOrder::Any;
  DuplicateKeys duplicate_keys = DuplicateKeys::Reject;
  std::uint64_t sort_memory_bytes = 0;
  std::optional<std::string_view> sort_directory;
};

// The settings of `request`, which must outlive them.
[[nodiscard]] ComparisonSettings comparison_settings(const ValidationRequest& request,
                                                     std::optional<FileIdentity> request_file,
                                                     std::span<const FileIdentity> document_channels = {});

// Everything a comparison reads, lent by the run for its duration.
struct ComparisonInput {
  // The run's two datasets, so that the files read are the ones (and in the state) the run first
  // opened.
  DatasetFile& expected;
  DatasetFile& actual;
  const CsvDialect& dialect;
  // The two headers' column names, which the plan indexes.
  const std::vector<std::string>& expected_names;
  const std::vector<std::string>& actual_names;
  const ColumnPlan& plan;
  ComparisonSettings settings;
};

struct ComparisonTotals {
  std::uint64_t expected_rows = 0;  // data records, header not counted
  std::uint64_t actual_rows = 0;
  std::uint64_t compared_rows = 0;    // records paired with a record of the other side
  std::uint64_t missing_rows = 0;     // expected records no actual record was paired with
  std::uint64_t additional_rows = 0;  // actual records no expected record was paired with
  std::uint64_t expected_bytes = 0;   // every byte of the file, BOM and header included
  std::uint64_t actual_bytes = 0;
  std::string expected_sha256;  // 64 lowercase hex characters over those bytes
  std::string actual_sha256;
};

// How the verdict was reached.
enum class ComparisonMode {
  streamed,   // record by record, with a divergence report
  identical,  // the files are the same bytes: nothing parsed, no report, no rows counted
};

// What a keyed comparison adds to the totals, per side.
struct KeyedTotals {
  bool expected_sorted = true;  // the data records were already in key order
  bool actual_sorted = true;
  // Records whose key equals that of the record before them in key order.
  std::uint64_t expected_repeated_keys = 0;
  std::uint64_t actual_repeated_keys = 0;
};

struct ComparisonOutcome {
  ComparisonMode mode = ComparisonMode::streamed;
  ComparisonTotals totals;  // identical: only the byte counts and digests
  std::optional<KeyedTotals> keyed;  // streamed in a keyed run only
  std::uint64_t divergences = 0;
  std::vector<JsonValue> examples;  // the first `exampleLimit` divergence records, in order
};

// Compares the two datasets. When the settings allow it, two byte-identical files end the
// comparison at once; otherwise both files are read once more from their first byte, record by
// record, pairing records by position, comparing the raw bytes of each planned column pair, and
// writing every divergence to the report at divergence_path (one JSON line each). Fields are
// decoded only to report a divergence. Both files are hashed and counted as they are read, and
// checked unchanged after the last read. Memory stays bounded by the read buffers, the report
// buffer, the current records and the kept examples. Both files and the report are closed on
// every path; on failure the divergences already recorded stay in the report.
//
// The report may name neither dataset, nor the request file (when known), nor standard output
// or error (when known) unless that is the null device.
[[nodiscard]] Result<ComparisonOutcome> compare_datasets(const ComparisonInput& input);

}  // namespace tessamer
