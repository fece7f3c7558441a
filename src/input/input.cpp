#include "input/input.h"

#include <chrono>

#include "compare/compare.h"
#include "plan/plan.h"

namespace tessamer {

Result<JsonValue> run_validation(const ValidationRequest& request) {
  // Duration and throughput count from here, before anything else, encoding resolution included.
  const auto start = std::chrono::steady_clock::now();
  auto dialect = resolve_dialect(request);
  if (!dialect) return std::unexpected(std::move(dialect).error());
  auto expected_names =
      read_header(DatasetSide::Expected, request.expected_path, request.has_header, request.expected_columns, *dialect);
  if (!expected_names) return std::unexpected(std::move(expected_names).error());
  auto actual_names =
      read_header(DatasetSide::Actual, request.actual_path, request.has_header, request.actual_columns, *dialect);
  if (!actual_names) return std::unexpected(std::move(actual_names).error());
  auto plan = build_column_plan(*expected_names, *actual_names, request.columns, request.excluded_columns);
  if (!plan) return std::unexpected(std::move(plan).error());

  // A plain comparison of two files with headers: identical bytes settle it without parsing.
  if (request.columns.empty() && request.excluded_columns.empty() && request.has_header) {
    auto identical = compare_identical(request.expected_path, request.actual_path);
    if (!identical) return std::unexpected(std::move(identical).error());
    if (const auto* same = std::get_if<IdenticalFiles>(&*identical)) {
      ComparisonTotals totals;
      totals.expected_bytes = same->size;
      totals.actual_bytes = same->size;
      totals.expected_sha256 = same->expected_sha256;
      totals.actual_sha256 = same->actual_sha256;
      return build_identical_result_document(*expected_names, *actual_names, *plan, totals, start);
    }
  }

  auto outcome = compare_datasets(request, *dialect, *expected_names, *actual_names, *plan, start);
  if (!outcome) return std::unexpected(std::move(outcome).error());
  return build_result_document(request, *expected_names, *actual_names, *plan, std::move(*outcome), start);
}

}  // namespace tessamer
