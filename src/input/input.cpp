#include "input/input.h"

#include <chrono>

#include "input/dialect.h"

namespace tessamer {

Result<JsonValue> run_validation(const ValidationRequest& request) {
  // Duration and throughput count from here, before anything else, encoding resolution included.
  [[maybe_unused]] const auto start = std::chrono::steady_clock::now();
  auto dialect = resolve_dialect(request);
  if (!dialect) return std::unexpected(std::move(dialect).error());
  return std::unexpected(EngineError{ErrorCode::NativeIoError, "dataset comparison is not available in this build yet"});
}

}  // namespace tessamer
