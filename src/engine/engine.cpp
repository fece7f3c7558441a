#include "engine/engine.h"

#include <variant>

#include "core/file.h"
#include "input/input.h"

namespace tessamer {
namespace {

constexpr std::string_view kUsage = "usage: tessamer --request <request.json>";

// Command line, request, rules, dataset stage: the first error ends the run.
[[nodiscard]] Result<JsonValue> run(const std::vector<std::string_view>& arguments) {
  // The program name is not part of the command line proper.
  std::size_t first = arguments.empty() ? 0 : 1;
  if (arguments.size() - first != 2 || arguments[first] != "--request") {
    return std::unexpected(EngineError{ErrorCode::InvalidNativeArguments, std::string(kUsage)});
  }
  auto bytes = read_whole_file(arguments[first + 1]);
  if (!bytes) {
    return std::unexpected(
        EngineError::wrap(ErrorCode::NativeIoError, "cannot read native validation request", bytes.error().text));
  }
  auto request = parse_validation_request(*bytes);
  if (!request) return std::unexpected(EngineError{ErrorCode::InvalidNativeRequest, std::move(request).error()});
  TESSAMER_TRY(validate_request(*request));
  return run_validation(*request);
}

}  // namespace

int run_engine(const std::vector<std::string_view>& arguments, int out_fd, int err_fd) {
  auto outcome = run(arguments);
  if (!outcome) return emit_error_document(outcome.error(), err_fd);
  return emit_result_document(*outcome, out_fd, err_fd);
}

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

  auto outcome = compare_datasets(request, *dialect, *expected_names, *actual_names, *plan);
  if (!outcome) return std::unexpected(std::move(outcome).error());
  return build_result_document(request, *expected_names, *actual_names, *plan, std::move(*outcome), start);
}

}  // namespace tessamer
