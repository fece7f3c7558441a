// The validation request: its records, its strict parsing, and the rules a parsed request must
// satisfy before any dataset is read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace tessamer {

// One entry of `columns`: an expected column compared with an actual column.
struct ColumnMapping {
  std::string expected;
  std::string actual;
  friend bool operator==(const ColumnMapping&, const ColumnMapping&) = default;
};

// One entry of `excludedColumns`: a column left out of the comparison, with its approval.
struct ExcludedColumn {
  std::optional<std::string> expected;
  std::optional<std::string> actual;
  std::string reason;
  std::string approved_by;
  std::string approval_reference;
  friend bool operator==(const ExcludedColumn&, const ExcludedColumn&) = default;
};

// The parsed request. Created once, read by every later step, never changed.
struct ValidationRequest {
  std::uint32_t schema_version = 0;
  std::string expected_path;
  std::string actual_path;
  std::string divergence_path;
  std::string encoding;
  std::string delimiter;
  std::string quote_char;
  std::optional<std::string> escape_char;
  bool has_header = false;
  std::string null_value;
  std::vector<std::string> expected_columns;
  std::vector<std::string> actual_columns;
  std::vector<ColumnMapping> columns;
  std::vector<ExcludedColumn> excluded_columns;
  std::uint64_t example_limit = 0;
  friend bool operator==(const ValidationRequest&, const ValidationRequest&) = default;
};

// Parses the request file's bytes. On failure returns the message, which always ends with
// " at line L column C"; the driver reports it unchanged.
[[nodiscard]] std::expected<ValidationRequest, std::string> parse_validation_request(std::string_view bytes);

// The request rules, in order; the first failing rule's error. Queries the status of the two
// dataset paths (following symbolic links) but opens nothing.
[[nodiscard]] Result<void> validate_request(const ValidationRequest& request);

}  // namespace tessamer
