// The dataset stage of a run: dialect, headers, column plan, and the comparison.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/error.h"
#include "input/dialect.h"
#include "json/json.h"
#include "request/request.h"

namespace tessamer {

// Runs the dataset stage for a request that passed the request rules and returns the result
// document. Reads the request only; the driver keeps owning it.
[[nodiscard]] Result<JsonValue> run_validation(const ValidationRequest& request);

// The column names of one side: the decoded first record of the file when `has_header`, else a
// copy of `request_names` (the file is then not opened). Both are held to `check_header`.
[[nodiscard]] Result<std::vector<std::string>> read_header(DatasetSide side, std::string_view path, bool has_header,
                                                           const std::vector<std::string>& request_names,
                                                           const CsvDialect& dialect);

// No empty name (checked over the whole list first), then no name twice.
[[nodiscard]] Result<void> check_header(DatasetSide side, const std::vector<std::string>& names);

struct IdenticalFiles {
  std::string expected_sha256;
  std::string actual_sha256;
  std::uint64_t size = 0;  // of each file
};
struct DifferentFiles {};
using IdenticalOutcome = std::variant<IdenticalFiles, DifferentFiles>;

// Whether the two files hold the same bytes, with both digests when they do. Files of different
// sizes are told apart from their status alone, without being opened.
[[nodiscard]] Result<IdenticalOutcome> compare_identical(std::string_view expected_path, std::string_view actual_path);

}  // namespace tessamer
