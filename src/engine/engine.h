// The engine: one run from the command line to the one outcome document and the exit status.
//
// The order of a run is in engine.cpp, top to bottom. Every area the run calls sits below this
// one and never calls back: the request, the dataset input, the column plan and the comparison.
// The documents the run prints are built and written here too.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "compare/compare.h"
#include "core/error.h"
#include "core/file.h"
#include "json/json.h"
#include "plan/plan.h"
#include "request/request.h"

namespace tessamer {

// A whole run for the argument vector (program name first): checks the command line, reads and
// checks the request, runs the dataset stage, prints the result document on `out_fd` or the
// error document on `err_fd`, and returns the exit status (0 after a result, 2 after an error).
// Running out of memory anywhere gives {"code":"NATIVE_IO_ERROR","message":"out of memory"}.
[[nodiscard]] int run_engine(const std::vector<std::string_view>& arguments, int out_fd = 1, int err_fd = 2);

// The dataset stage for a request that passed the request rules: the result document, or the
// error that ended the run. Reads the request only; the caller keeps owning it. `request_file`
// is the file the request was read from, which the divergence report must not overwrite, and
// `document_channels` the files the result or error document goes to, which it must not share.
[[nodiscard]] Result<JsonValue> run_validation(const ValidationRequest& request,
                                               std::optional<FileIdentity> request_file = std::nullopt,
                                               std::span<const FileIdentity> document_channels = {});

// {"name": "tessamer", "target": ..., "version": ...}
JsonValue engine_metadata();

// Bytes per second over the time elapsed since `start` (at least a microsecond), truncated;
// UINT64_MAX when the rate does not fit.
std::uint64_t throughput_bytes_per_second(std::uint64_t total_bytes, std::chrono::steady_clock::time_point start);

// The result document of a comparison: for a streamed one ("quor-csv-stream"), status FAIL with
// any divergence, else PASS_WITH_EXCLUSIONS when the request excludes columns, else PASS; for
// identical files, build_identical_result_document. Takes the examples out of `outcome`. Reads
// the clock for durationMs and then for the throughput, so call it last.
JsonValue build_result_document(const ValidationRequest& request, const std::vector<std::string>& expected_names,
                                const std::vector<std::string>& actual_names, const ColumnPlan& plan,
                                ComparisonOutcome outcome, std::chrono::steady_clock::time_point start);

// The result document for two byte-identical datasets ("quor-binary", PASS, no rows counted).
// Only the byte counts and digests of `totals` are read.
JsonValue build_identical_result_document(const std::vector<std::string>& expected_names,
                                          const std::vector<std::string>& actual_names, const ColumnPlan& plan,
                                          const ComparisonTotals& totals,
                                          std::chrono::steady_clock::time_point start);

// Prints the result document and a newline on `out_fd` as one piece; 0 on success. When any of
// it cannot be written, prints the NATIVE_REPORT_ERROR document on `err_fd` instead and returns 2.
[[nodiscard]] int emit_result_document(const JsonValue& document, int out_fd = 1, int err_fd = 2);

// Prints {"code":...,"message":...} and a newline on `err_fd`; returns 2. A failed write (even
// an invalid descriptor) is ignored: there is nowhere left to report it.
int emit_error_document(const EngineError& error, int err_fd = 2);

}  // namespace tessamer
