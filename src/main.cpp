// Process entry: the command line, the request, the run, and the one outcome document.
#include <csignal>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/file.h"
#include "input/input.h"
#include "json/json.h"
#include "request/request.h"

namespace tessamer {
namespace {

constexpr std::string_view kUsage = "usage: tessamer --request <request.json>";

// One run: command line, request, rules, dataset stage.
Result<JsonValue> run_engine(const std::vector<std::string_view>& arguments) {
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
}  // namespace tessamer

int main(int argc, char** argv) {
  // A reader that went away must show up as a failed write, not kill the process.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string_view> arguments(argv, argv + argc);
  auto outcome = tessamer::run_engine(arguments);
  if (!outcome) return tessamer::emit_error_document(outcome.error());
  return tessamer::emit_result_document(*outcome);
}
