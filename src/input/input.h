// The dataset stage of a run: dialect, headers, column plan, and the comparison.
#pragma once

#include "core/error.h"
#include "json/json.h"
#include "request/request.h"

namespace tessamer {

// Runs the dataset stage for a request that passed the request rules and returns the result
// document. Reads the request only; the driver keeps owning it.
[[nodiscard]] Result<JsonValue> run_validation(const ValidationRequest& request);

}  // namespace tessamer
