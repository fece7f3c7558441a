// The column plan: which expected column is compared with which actual column.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/error.h"
#include "request/request.h"

namespace tessamer {

struct ColumnPair {
  std::string expected;
  std::string actual;
  std::uint64_t expected_index = 0;  // position of `expected` in the expected header
  std::uint64_t actual_index = 0;    // position of `actual` in the actual header
  friend bool operator==(const ColumnPair&, const ColumnPair&) = default;
};

struct ColumnPlan {
  // Ordered and never empty once built.
  std::vector<ColumnPair> pairs;
  // The key columns of a keyed run in keyColumns order, each a copy of the pair whose expected
  // name it is: `actual_index` is where the key field stands in actual records. Empty in a
  // positional run.
  std::vector<ColumnPair> keys;
};

// Pairs the columns of the two headers (names unique within each list) by the mappings, or by
// name when there are none, leaving out the approved exclusions; then finds the key columns,
// which are expected names, neither unknown nor excluded. Linear in the number of columns,
// mappings, exclusions and key columns. Every error carries INVALID_GOLDEN_DATASET.
[[nodiscard]] Result<ColumnPlan> build_column_plan(
    const std::vector<std::string>& expected_names, const std::vector<std::string>& actual_names,
    const std::vector<ColumnMapping>& columns, const std::vector<ExcludedColumn>& excluded_columns,
    const std::optional<std::vector<std::string>>& key_columns = std::nullopt);

}  // namespace tessamer
