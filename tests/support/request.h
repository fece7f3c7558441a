// Builds request files for the end-to-end tests and normalises result documents for comparison.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/process.h"

namespace tessamer::testing {

struct Exclusion {
  std::optional<std::string> expected;
  std::optional<std::string> actual;
  std::string reason = "known difference";
  std::string approved_by = "reviewer";
  std::string approval_reference = "TICKET-1";
};

// A request with sensible defaults; paths are used as given.
struct Request {
  std::string expected_path;
  std::string actual_path;
  std::string divergence_path;
  std::string encoding = "utf-8";
  std::string delimiter = ",";
  std::string quote_char = "\"";
  std::optional<std::string> escape_char;
  bool has_header = true;
  std::string null_value;
  std::vector<std::string> expected_columns;
  std::vector<std::string> actual_columns;
  std::vector<std::pair<std::string, std::string>> columns;
  std::vector<Exclusion> excluded_columns;
  std::uint64_t example_limit = 10;
  // Pairing by key; each member is left out of the request when not given.
  std::optional<std::vector<std::string>> key_columns;
  std::optional<std::string> key_order;
  std::optional<std::string> duplicate_keys;
  std::optional<std::uint64_t> sort_memory_bytes;
  std::optional<std::string> sort_directory;

  std::string to_json() const;
};

// A request over e.csv and a.csv written into `dir` with the given contents, reporting to
// out/d.jsonl there.
Request request_for_files(const TempDir& dir, const std::string& expected, const std::string& actual);

// Writes the request into `dir` and runs the engine on it.
RunResult run_request(const TempDir& dir, const Request& request, const RunOptions& options = {});

// The document with the values of "durationMs" and "throughputBytesPerSecond" replaced by 0,
// the two members that differ from run to run.
std::string without_timings(const std::string& document);

// The JSON text of the first member named `key` in a compact document (a nested one's too, as
// the first found), "<absent>" when there is none.
std::string member(const std::string& document, const std::string& key);

// SHA-256 of the file's content, as lowercase hex.
std::string file_sha256(const std::string& path);

}  // namespace tessamer::testing
