// The run, top to bottom: the command line, the request, the dataset stage, the outcome document.
#include "engine/engine.h"

#include <unistd.h>

#include <cerrno>
#include <new>

#include "core/file.h"
#include "input/input.h"

namespace tessamer {
namespace {

constexpr std::string_view kUsage = "usage: tessamer --request <request.json>";

// Command line, request, rules, dataset stage: the first error ends the run.
[[nodiscard]] Result<JsonValue> run(const std::vector<std::string_view>& arguments,
                                    std::span<const FileIdentity> document_channels) {
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
  return run_validation(*request, content->identity, document_channels);
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
    // Where the documents go, which the report must not: a descriptor that is not open has
    // nothing to guard.
    std::vector<FileIdentity> document_channels;
    for (int fd : {out_fd, err_fd}) {
      if (auto identity = file_identity(fd)) document_channels.push_back(*identity);
    }
    auto outcome = run(arguments, document_channels);
    if (!outcome) return emit_error_document(outcome.error(), err_fd);
    return emit_result_document(*outcome, out_fd, err_fd);
  } catch (const std::bad_alloc&) {
    return emit_out_of_memory(err_fd);
  }
}

Result<JsonValue> run_validation(const ValidationRequest& request, std::optional<FileIdentity> request_file,
                                 std::span<const FileIdentity> document_channels) {
  // Duration and throughput count from here, before anything else, encoding resolution included.
  const auto start = std::chrono::steady_clock::now();
  TESSAMER_ASSIGN_OR_RETURN(const CsvDialect dialect, resolve_dialect(request));
  // Every later step reads the files these opened first (see DatasetFile).
  DatasetFile expected_file(DatasetSide::Expected, request.expected_path);
  DatasetFile actual_file(DatasetSide::Actual, request.actual_path);
  TESSAMER_ASSIGN_OR_RETURN(const std::vector<std::string> expected_names,
                            read_header(expected_file, request.has_header, request.expected_columns, dialect));
  TESSAMER_ASSIGN_OR_RETURN(const std::vector<std::string> actual_names,
                            read_header(actual_file, request.has_header, request.actual_columns, dialect));
  TESSAMER_ASSIGN_OR_RETURN(
      const ColumnPlan plan,
      build_column_plan(expected_names, actual_names, request.columns, request.excluded_columns,
                        request.key_columns));
  TESSAMER_ASSIGN_OR_RETURN(ComparisonOutcome outcome,
                            compare_datasets({expected_file, actual_file, dialect, expected_names, actual_names, plan,
                                              comparison_settings(request, request_file, document_channels)}));
  return build_result_document(request, expected_names, actual_names, plan, std::move(outcome), start);
}

}  // namespace tessamer
