// The validation request: its records, its strict parsing, and the rules a parsed request must
// satisfy before any dataset is read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace tessamer {

// One entry of `columns`: an expected column compared with an actual column.
struct ColumnMapping {
  std::string expected;
  std::string actual;
  friend bool operator==(const ColumnMapping&, const ColumnMapping&) = default;
};

// One entry of `excludedColumns`: a column left out of the comparison, with its approval.
struct ExcludedColumn {
  std::optional<std::string> expected;
  std::optional<std::string> actual;
  std::string reason;
  std::string approved_by;
  std::string approval_reference;
  friend bool operator==(const ExcludedColumn&, const ExcludedColumn&) = default;
};

// The parsed request. Created once, read by every later step, never changed.
struct ValidationRequest {
  std::uint32_t schema_version = 0;
  std::string expected_path;
  std::string actual_path;
  std::string divergence_path;
  std::string encoding;
  std::string delimiter;
  std::string quote_char;
  std::optional<std::string> escape_char;
  bool has_header = false;
  std::string null_value;
  std::vector<std::string> expected_columns;
  std::vector<std::string> actual_columns;
  std::vector<ColumnMapping> columns;
  std::vector<ExcludedColumn> excluded_columns;
  std::uint64_t example_limit = 0;
  // Pairing by key. Each is absent unless the request gives it, which the key rules need to
  // know; `key_columns` present (even empty) asks for a keyed run. Read the effective values
  // through the functions below.
  std::optional<std::vector<std::string>> key_columns;
  std::optional<std::string> key_order;
  std::optional<std::string> duplicate_keys;
  std::optional<std::uint64_t> sort_memory_bytes;
  std::optional<std::string> sort_directory;
  friend bool operator==(const ValidationRequest&, const ValidationRequest&) = default;
};

// How each side of a keyed run reaches key order: verified while streaming (Sorted), or found
// out in a first pass and sorted where needed (Any).
enum class KeyOrder { Any, Sorted };
// What a key repeated on one side does: ends the run (Reject), or pairs the i-th expected
// record of the key with its i-th actual record (PairByOccurrence).
enum class DuplicateKeys { Reject, PairByOccurrence };

// The words the request uses for these values, which the result document repeats.
inline constexpr std::string_view kKeyOrderAny = "ANY";
inline constexpr std::string_view kKeyOrderSorted = "SORTED";
inline constexpr std::string_view kDuplicateKeysReject = "REJECT";
inline constexpr std::string_view kDuplicateKeysPairByOccurrence = "PAIR_BY_OCCURRENCE";

// The sort budget of a keyed run under KeyOrder::Any when the request gives none (64 MiB).
inline constexpr std::uint64_t kDefaultSortMemoryBytes = 67108864;

std::string_view key_order_text(KeyOrder order);
std::string_view duplicate_keys_text(DuplicateKeys duplicates);

// The values in effect: the request's, or the defaults. REQUIRES: validate_request passed.
[[nodiscard]] bool is_keyed(const ValidationRequest& request);
[[nodiscard]] KeyOrder effective_key_order(const ValidationRequest& request);
[[nodiscard]] DuplicateKeys effective_duplicate_keys(const ValidationRequest& request);
// Only meaningful under KeyOrder::Any, where the result reports it.
[[nodiscard]] std::uint64_t effective_sort_memory_bytes(const ValidationRequest& request);

// Parses the request file's bytes. On failure returns the message, which always ends with
// " at line L column C"; the driver reports it unchanged.
[[nodiscard]] std::expected<ValidationRequest, std::string> parse_validation_request(std::string_view bytes);

// The request rules, in order, then the rules on the key members; the first failing rule's
// error. Queries the status of the two dataset paths and of sortDirectory (following symbolic
// links) but opens nothing. Key column names are judged against the headers later, by the
// column plan.
[[nodiscard]] Result<void> validate_request(const ValidationRequest& request);

}  // namespace tessamer
