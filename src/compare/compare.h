// The streaming comparison of two datasets and the divergence report it writes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/error.h"
#include "input/input.h"
#include "json/json.h"
#include "plan/plan.h"
#include "request/request.h"

namespace tessamer {

struct ComparisonTotals {
  std::uint64_t expected_rows = 0;  // data records, header not counted
  std::uint64_t actual_rows = 0;
  std::uint64_t compared_rows = 0;    // records paired by position
  std::uint64_t missing_rows = 0;     // expected records beyond the end of actual
  std::uint64_t additional_rows = 0;  // actual records beyond the end of expected
  std::uint64_t expected_bytes = 0;   // every byte of the file, BOM and header included
  std::uint64_t actual_bytes = 0;
  std::string expected_sha256;  // 64 lowercase hex characters over those bytes
  std::string actual_sha256;
};

struct ComparisonOutcome {
  ComparisonTotals totals;
  std::uint64_t divergences = 0;
  std::vector<JsonValue> examples;  // the first `exampleLimit` divergence records, in order
};

// Reads both datasets once, record by record, comparing the raw bytes of each planned column
// pair, and writes every divergence to the request's divergencePath (one JSON line each). Fields
// are decoded only to report a divergence. Both files are hashed and counted as they are read.
// `expected_names`/`actual_names` are the two headers' column names (the plan indexes them).
// When the request has a header row, the first record of each file is read but not compared.
// Memory stays bounded by the read buffers, the report buffer, the current records and the kept
// examples. Both files and the report are closed on every path; on failure the divergences
// already recorded stay in the report.
//
// `expected_file` and `actual_file` are the run's two datasets, so that the files read are the
// ones (and in the state) the run first opened; after the last read both are checked unchanged.
// The report may name neither of them, nor the request file `request_file` (when known).
[[nodiscard]] Result<ComparisonOutcome> compare_datasets(const ValidationRequest& request, const CsvDialect& dialect,
                                                         const std::vector<std::string>& expected_names,
                                                         const std::vector<std::string>& actual_names,
                                                         const ColumnPlan& plan, DatasetFile& expected_file,
                                                         DatasetFile& actual_file,
                                                         std::optional<FileIdentity> request_file,
                                                         const DigestedPrefix& prefix);

// The same for datasets that nothing has opened yet: the request's two paths.
[[nodiscard]] Result<ComparisonOutcome> compare_datasets(const ValidationRequest& request, const CsvDialect& dialect,
                                                         const std::vector<std::string>& expected_names,
                                                         const std::vector<std::string>& actual_names,
                                                         const ColumnPlan& plan);

}  // namespace tessamer
