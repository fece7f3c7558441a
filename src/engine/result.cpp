// The result document: its members from the comparison's outcome, the engine object, the timing.
#include <utility>

#include "core/formats.h"
#include "engine/engine.h"

#ifndef TESSAMER_VERSION
#define TESSAMER_VERSION "0.1.0"
#endif

namespace tessamer {
namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum;
  return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

// The time since `start`, as whole seconds and the nanoseconds beyond them; zero if `start` lies
// ahead.
std::pair<std::uint64_t, std::uint64_t> elapsed_since(std::chrono::steady_clock::time_point start) {
  auto elapsed = std::chrono::steady_clock::now() - start;
  if (elapsed < elapsed.zero()) return {0, 0};
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
  auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed - seconds);
  return {static_cast<std::uint64_t>(seconds.count()), static_cast<std::uint64_t>(nanos.count())};
}

JsonValue string_array(const std::vector<std::string>& texts) {
  JsonValue array = JsonValue::array();
  for (const std::string& text : texts) array.push(JsonValue::string(text));
  return array;
}

// The members both result documents have with the same meaning.
JsonValue common_document(const std::vector<std::string>& expected_names, const std::vector<std::string>& actual_names,
                          const ColumnPlan& plan, const ComparisonTotals& totals) {
  JsonValue pairs = JsonValue::array();
  for (const ColumnPair& pair : plan.pairs) {
    JsonValue entry = JsonValue::object();
    entry.set("actual", JsonValue::string(pair.actual));
    entry.set("actualIndex", JsonValue::number(pair.actual_index));
    entry.set("expected", JsonValue::string(pair.expected));
    entry.set("expectedIndex", JsonValue::number(pair.expected_index));
    pairs.push(std::move(entry));
  }
  JsonValue headers = JsonValue::object();
  headers.set("actual", string_array(actual_names));
  headers.set("expected", string_array(expected_names));

  JsonValue document = JsonValue::object();
  document.set("actualBytes", JsonValue::number(totals.actual_bytes));
  document.set("actualSha256", JsonValue::string(totals.actual_sha256));
  document.set("columnPairs", std::move(pairs));
  document.set("columnsCompared", JsonValue::number(plan.pairs.size()));
  document.set("engine", engine_metadata());
  document.set("expectedBytes", JsonValue::number(totals.expected_bytes));
  document.set("expectedSha256", JsonValue::string(totals.expected_sha256));
  document.set("headers", std::move(headers));
  return document;
}

// The two clock readings come last, in this order: the duration, then the throughput.
void add_timing(JsonValue& document, const ComparisonTotals& totals, std::chrono::steady_clock::time_point start) {
  auto [seconds, nanos] = elapsed_since(start);
  document.set("durationMs", JsonValue::number(saturating_add(saturating_mul(seconds, 1000), nanos / 1'000'000)));
  document.set("throughputBytesPerSecond",
               JsonValue::number(throughput_bytes_per_second(
                   saturating_add(totals.expected_bytes, totals.actual_bytes), start)));
}

// How a keyed run paired its records; `keyed` is absent when the files were found identical, and
// then nothing was read that the pairing finds out.
JsonValue key_pairing(const ValidationRequest& request, const ColumnPlan& plan, const std::optional<KeyedTotals>& keyed) {
  auto flag = [&](bool KeyedTotals::*member) { return keyed ? JsonValue::boolean((*keyed).*member) : JsonValue(); };
  auto count = [&](std::uint64_t KeyedTotals::*member) {
    return keyed ? JsonValue::number((*keyed).*member) : JsonValue();
  };
  JsonValue keys = JsonValue::array();
  for (const ColumnPair& key : plan.keys) {
    JsonValue entry = JsonValue::object();
    entry.set("actual", JsonValue::string(key.actual));
    entry.set("actualIndex", JsonValue::number(key.actual_index));
    entry.set("expected", JsonValue::string(key.expected));
    entry.set("expectedIndex", JsonValue::number(key.expected_index));
    keys.push(std::move(entry));
  }
  JsonValue repeated = JsonValue::object();
  repeated.set("actual", count(&KeyedTotals::actual_repeated_keys));
  repeated.set("expected", count(&KeyedTotals::expected_repeated_keys));
  const KeyOrder order = effective_key_order(request);
  JsonValue pairing = JsonValue::object();
  pairing.set("actualSorted", flag(&KeyedTotals::actual_sorted));
  pairing.set("duplicateKeys", JsonValue::string(std::string(duplicate_keys_text(effective_duplicate_keys(request)))));
  pairing.set("expectedSorted", flag(&KeyedTotals::expected_sorted));
  pairing.set("keyColumns", std::move(keys));
  pairing.set("keyOrder", JsonValue::string(std::string(key_order_text(order))));
  pairing.set("repeatedKeyRecords", std::move(repeated));
  pairing.set("sortMemoryBytes",
              order == KeyOrder::Any ? JsonValue::number(effective_sort_memory_bytes(request)) : JsonValue());
  return pairing;
}

}  // namespace

JsonValue engine_metadata() {
  JsonValue engine = JsonValue::object();
  engine.set("name", JsonValue::string("tessamer"));
  engine.set("target", JsonValue::string("x86_64-unknown-linux-gnu"));
  engine.set("version", JsonValue::string(TESSAMER_VERSION));
  return engine;
}

std::uint64_t throughput_bytes_per_second(std::uint64_t total_bytes, std::chrono::steady_clock::time_point start) {
  auto [whole, nanos] = elapsed_since(start);
  double seconds = static_cast<double>(whole) + static_cast<double>(nanos) / 1e9;
  if (seconds < 1e-6) seconds = 1e-6;
  double rate = static_cast<double>(total_bytes) / seconds;
  // 2^64: the first rate that no longer fits.
  if (rate >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<std::uint64_t>(rate);
}

JsonValue build_result_document(const ValidationRequest& request, const std::vector<std::string>& expected_names,
                                const std::vector<std::string>& actual_names, const ColumnPlan& plan,
                                ComparisonOutcome outcome, std::chrono::steady_clock::time_point start) {
  switch (outcome.mode) {
    case ComparisonMode::identical: {
      JsonValue document = build_identical_result_document(expected_names, actual_names, plan, outcome.totals, start);
      if (!plan.keys.empty()) document.set("keyPairing", key_pairing(request, plan, std::nullopt));
      return document;
    }
    case ComparisonMode::streamed:
      break;
  }
  const ComparisonTotals& totals = outcome.totals;
  std::uint64_t excluded_expected = 0;
  std::uint64_t excluded_actual = 0;
  for (const ExcludedColumn& excluded : request.excluded_columns) {
    if (excluded.expected) ++excluded_expected;
    if (excluded.actual) ++excluded_actual;
  }
  const char* status = outcome.divergences > 0               ? "FAIL"
                       : !request.excluded_columns.empty() ? "PASS_WITH_EXCLUSIONS"
                                                           : "PASS";
  JsonValue rows = JsonValue::object();
  rows.set("actual", JsonValue::number(totals.actual_rows));
  rows.set("additional", JsonValue::number(totals.additional_rows));
  rows.set("compared", JsonValue::number(totals.compared_rows));
  rows.set("expected", JsonValue::number(totals.expected_rows));
  rows.set("missing", JsonValue::number(totals.missing_rows));

  JsonValue document = common_document(expected_names, actual_names, plan, totals);
  document.set("cellsCompared", JsonValue::number(saturating_mul(totals.compared_rows, plan.pairs.size())));
  document.set("comparisonMode", JsonValue::string(std::string(formats::kStreamMode)));
  JsonValue examples = JsonValue::array();
  examples.as_array() = std::move(outcome.examples);
  document.set("divergenceExamples", std::move(examples));
  document.set("divergences", JsonValue::number(outcome.divergences));
  document.set("excludedCells", JsonValue::number(saturating_add(saturating_mul(totals.expected_rows, excluded_expected),
                                                                 saturating_mul(totals.actual_rows, excluded_actual))));
  if (!plan.keys.empty()) document.set("keyPairing", key_pairing(request, plan, outcome.keyed));
  document.set("rows", std::move(rows));
  document.set("status", JsonValue::string(status));
  add_timing(document, totals, start);
  return document;
}

JsonValue build_identical_result_document(const std::vector<std::string>& expected_names,
                                          const std::vector<std::string>& actual_names, const ColumnPlan& plan,
                                          const ComparisonTotals& totals,
                                          std::chrono::steady_clock::time_point start) {
  JsonValue rows = JsonValue::object();
  rows.set("actual", JsonValue());
  rows.set("additional", JsonValue::number(0));
  rows.set("compared", JsonValue());
  rows.set("expected", JsonValue());
  rows.set("missing", JsonValue::number(0));

  JsonValue document = common_document(expected_names, actual_names, plan, totals);
  document.set("cellsCompared", JsonValue());
  document.set("comparisonMode", JsonValue::string(std::string(formats::kIdenticalMode)));
  document.set("divergenceExamples", JsonValue::array());
  document.set("divergences", JsonValue::number(0));
  document.set("excludedCells", JsonValue::number(0));
  document.set("rows", std::move(rows));
  document.set("status", JsonValue::string("PASS"));
  add_timing(document, totals, start);
  return document;
}

}  // namespace tessamer
