#include "engine/engine.h"

#include <unistd.h>

#include <cerrno>
#include <new>
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
  auto content = read_whole_file_and_identity(arguments[first + 1]);
  if (!content) {
    return std::unexpected(
        EngineError::wrap(ErrorCode::NativeIoError, "cannot read native validation request", content.error().text));
  }
  auto request = parse_validation_request(content->bytes);
  if (!request) return std::unexpected(EngineError{ErrorCode::InvalidNativeRequest, std::move(request).error()});
  TESSAMER_TRY(validate_request(*request));
  return run_validation(*request, content->identity);
}

// Written as it stands when memory has run out: nothing about it may need more.
constexpr std::string_view kOutOfMemoryDocument = "{\"code\":\"NATIVE_IO_ERROR\",\"message\":\"out of memory\"}\n";

int emit_out_of_memory(int err_fd) noexcept {
  const char* rest = kOutOfMemoryDocument.data();
  std::size_t left = kOutOfMemoryDocument.size();
  while (left > 0) {
    ssize_t n = ::write(err_fd, rest, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    rest += n;
    left -= static_cast<std::size_t>(n);
  }
  return 2;
}

}  // namespace

int run_engine(const std::vector<std::string_view>& arguments, int out_fd, int err_fd) {
  // An allocation that fails anywhere in the run ends it like any other failure: one error
  // document, exit status 2. By the time it is caught, the run's memory is released again. The
  // result document only reaches `out_fd` once it is complete in memory, so nothing of it is there.
  try {
    auto outcome = run(arguments);
    if (!outcome) return emit_error_document(outcome.error(), err_fd);
    return emit_result_document(*outcome, out_fd, err_fd);
  } catch (const std::bad_alloc&) {
    return emit_out_of_memory(err_fd);
  }
}

Result<JsonValue> run_validation(const ValidationRequest& request, std::optional<FileIdentity> request_file) {
  // Duration and throughput count from here, before anything else, encoding resolution included.
  const auto start = std::chrono::steady_clock::now();
  auto dialect = resolve_dialect(request);
  if (!dialect) return std::unexpected(std::move(dialect).error());
  // Every later step reads the files these opened first (see DatasetFile).
  DatasetFile expected_file(DatasetSide::Expected, request.expected_path);
  DatasetFile actual_file(DatasetSide::Actual, request.actual_path);
  auto expected_names = read_header(expected_file, request.has_header, request.expected_columns, *dialect);
  if (!expected_names) return std::unexpected(std::move(expected_names).error());
  auto actual_names = read_header(actual_file, request.has_header, request.actual_columns, *dialect);
  if (!actual_names) return std::unexpected(std::move(actual_names).error());
  auto plan = build_column_plan(*expected_names, *actual_names, request.columns, request.excluded_columns);
  if (!plan) return std::unexpected(std::move(plan).error());

  // A plain comparison of two files with headers: identical bytes settle it without parsing.
  // Otherwise the comparison carries on from the digest of the bytes found equal.
  DigestedPrefix equal_prefix;
  if (request.columns.empty() && request.excluded_columns.empty() && request.has_header) {
    auto identical = compare_identical(expected_file, actual_file);
    if (!identical) return std::unexpected(std::move(identical).error());
    if (auto* different = std::get_if<DifferentFiles>(&*identical)) equal_prefix = std::move(different->prefix);
    if (const auto* same = std::get_if<IdenticalFiles>(&*identical)) {
      ComparisonTotals totals;
      totals.expected_bytes = same->size;
      totals.actual_bytes = same->size;
      totals.expected_sha256 = same->expected_sha256;
      totals.actual_sha256 = same->actual_sha256;
      return build_identical_result_document(*expected_names, *actual_names, *plan, totals, start);
    }
  }

  auto outcome = compare_datasets(request, *dialect, *expected_names, *actual_names, *plan, expected_file, actual_file,
                                  request_file, equal_prefix);
  if (!outcome) return std::unexpected(std::move(outcome).error());
  return build_result_document(request, *expected_names, *actual_names, *plan, std::move(*outcome), start);
}

}  // namespace tessamer
