// Building the column plan: exclusions first, then pairs by name or by the mappings.
#include "plan/plan.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "core/quote.h"

namespace tessamer {
namespace {

using NamePositions = std::unordered_map<std::string_view, std::uint64_t>;

// One header seen by name: where each name stands, and which positions the exclusions took.
// The views point into the caller's name list, which outlives the plan's construction.
struct Header {
  const std::vector<std::string>& names;
  NamePositions positions;
  std::vector<bool> excluded;
  std::uint64_t excluded_count = 0;

  explicit Header(const std::vector<std::string>& list) : names(list), excluded(list.size(), false) {
    positions.reserve(list.size());
    // A repeated name keeps its first position, so that it is counted once as a name.
    for (std::uint64_t i = 0; i < list.size(); ++i) positions.emplace(list[i], i);
  }

  // Position of `name`, or nullptr when the header has no such column.
  const std::uint64_t* find(std::string_view name) const {
    auto it = positions.find(name);
    return it == positions.end() ? nullptr : &it->second;
  }

  // The position of `name` when it is a column that no exclusion has taken yet.
  const std::uint64_t* find_included(std::string_view name) const {
    const std::uint64_t* position = find(name);
    return position != nullptr && !excluded[*position] ? position : nullptr;
  }

  // Number of distinct names that are not excluded.
  std::uint64_t included_count() const { return positions.size() - excluded_count; }

  // Whether position `i` is the first occurrence of its name and not excluded.
  bool is_included_name_at(std::uint64_t i) const {
    return !excluded[i] && positions.find(names[i])->second == i;
  }
};

EngineError plan_error(std::string message) {
  return EngineError{ErrorCode::InvalidGoldenDataset, std::move(message)};
}

// Whether the UTF-8 `text` holds a character outside Unicode White_Space. A byte that does not
// decode counts as such a character: it is not white space.
bool has_visible_character(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  std::size_t at = 0;
  while (at < text.size()) {
    // Decoding a window of at most one character keeps ICU's 32-bit offsets in range for
    // any length of text.
    const auto window = static_cast<std::int32_t>(std::min<std::size_t>(U8_MAX_LENGTH, text.size() - at));
    std::int32_t used = 0;
    UChar32 c = 0;
    U8_NEXT(bytes + at, used, window, c);
    if (c < 0 || !u_isUWhiteSpace(c)) return true;
    at += static_cast<std::size_t>(used);
  }
  return false;
}

// Takes the exclusion's column out of `header`, which must name it once and not yet excluded.
[[nodiscard]] Result<void> exclude(Header& header, const std::string& name, std::string_view side) {
  const std::uint64_t* position = header.find_included(name);
  if (position == nullptr) {
    std::string message;
    message.append("excluded ").append(side).append(" column '").append(name).append(
        "' is missing or duplicated");
    return std::unexpected(plan_error(std::move(message)));
  }
  header.excluded[*position] = true;
  ++header.excluded_count;
  return {};
}

[[nodiscard]] Result<void> apply_exclusions(Header& expected, Header& actual, const std::vector<ExcludedColumn>& exclusions) {
  for (const ExcludedColumn& exclusion : exclusions) {
    if (!has_visible_character(exclusion.reason) || !has_visible_character(exclusion.approved_by) ||
        !has_visible_character(exclusion.approval_reference))
      return std::unexpected(plan_error("excluded columns require reason, approvedBy, and approvalReference"));
    if (exclusion.expected) TESSAMER_TRY(exclude(expected, *exclusion.expected, "expected"));
    if (exclusion.actual) TESSAMER_TRY(exclude(actual, *exclusion.actual, "actual"));
    if (!exclusion.expected && !exclusion.actual)
      return std::unexpected(plan_error("an exclusion must name expected and/or actual"));
  }
  return {};
}

// The included names of `from` that are not included names of `other`, sorted byte-wise so
// that no hash order reaches the message.
std::vector<std::string_view> included_only_in(const Header& from, const Header& other) {
  std::vector<std::string_view> names;
  for (std::uint64_t i = 0; i < from.names.size(); ++i) {
    if (from.is_included_name_at(i) && other.find_included(from.names[i]) == nullptr)
      names.push_back(from.names[i]);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void append_quoted_list(std::string& out, const std::vector<std::string_view>& names) {
  out.push_back('[');
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) out.append(", ");
    out.append(debug_quote(names[i]));
  }
  out.push_back(']');
}

// Pairs the included columns by name, in the expected header's order.
[[nodiscard]] Result<ColumnPlan> plan_by_name(const Header& expected, const Header& actual) {
  std::vector<std::string_view> missing = included_only_in(expected, actual);
  std::vector<std::string_view> additional = included_only_in(actual, expected);
  if (!missing.empty() || !additional.empty()) {
    std::string message = "column sets differ; missing=";
    append_quoted_list(message, missing);
    message.append(", additional=");
    append_quoted_list(message, additional);
    return std::unexpected(plan_error(std::move(message)));
  }

  ColumnPlan plan;
  plan.pairs.reserve(expected.included_count());
  for (std::uint64_t i = 0; i < expected.names.size(); ++i) {
    const std::string& name = expected.names[i];
    const std::uint64_t first = *expected.find(name);
    if (expected.excluded[first]) continue;
    // A name the header repeats would be compared twice.
    if (first != i)
      return std::unexpected(plan_error("mappings and exclusions must cover every column exactly once"));
    plan.pairs.push_back(ColumnPair{name, name, i, *actual.find(name)});
  }
  return plan;
}

// Pairs the columns as the mappings say, each included column on each side mapped once.
[[nodiscard]] Result<ColumnPlan> plan_by_mappings(const Header& expected, const Header& actual,
                                    const std::vector<ColumnMapping>& mappings) {
  const auto coverage_error = [] {
    return std::unexpected(plan_error("mappings and exclusions must cover every column exactly once"));
  };
  std::vector<bool> expected_used(expected.names.size(), false);
  std::vector<bool> actual_used(actual.names.size(), false);
  ColumnPlan plan;
  plan.pairs.reserve(mappings.size());
  for (const ColumnMapping& mapping : mappings) {
    const std::uint64_t* e = expected.find_included(mapping.expected);
    const std::uint64_t* a = actual.find_included(mapping.actual);
    if (e == nullptr || a == nullptr || expected_used[*e] || actual_used[*a]) return coverage_error();
    expected_used[*e] = true;
    actual_used[*a] = true;
    plan.pairs.push_back(ColumnPair{mapping.expected, mapping.actual, *e, *a});
  }
  // Every mapped name is distinct and included, so equal counts mean equal sets.
  if (plan.pairs.size() != expected.included_count() || plan.pairs.size() != actual.included_count())
    return coverage_error();
  return plan;
}

// Finds each key column's pair, in request order. Runs on a built plan, in which every expected
// name that is in the header and not excluded stands in exactly one pair.
[[nodiscard]] Result<void> add_keys(const Header& expected, const std::vector<std::string>& key_columns, ColumnPlan& plan) {
  std::unordered_map<std::string_view, std::size_t> pair_of;
  pair_of.reserve(plan.pairs.size());
  for (std::size_t i = 0; i < plan.pairs.size(); ++i) pair_of.emplace(plan.pairs[i].expected, i);
  plan.keys.reserve(key_columns.size());
  for (const std::string& name : key_columns) {
    const std::uint64_t* position = expected.find(name);
    if (position == nullptr) return std::unexpected(plan_error("key column '" + name + "' is not an expected column"));
    if (expected.excluded[*position]) return std::unexpected(plan_error("key column '" + name + "' is excluded"));
    const auto pair = pair_of.find(name);
    assert(pair != pair_of.end() && "an included expected column is in the plan");
    if (pair == pair_of.end()) return std::unexpected(plan_error("key column '" + name + "' is not an expected column"));
    plan.keys.push_back(plan.pairs[pair->second]);
  }
  return {};
}

}  // namespace

Result<ColumnPlan> build_column_plan(const std::vector<std::string>& expected_names,
                                     const std::vector<std::string>& actual_names,
                                     const std::vector<ColumnMapping>& columns,
                                     const std::vector<ExcludedColumn>& excluded_columns,
                                     const std::optional<std::vector<std::string>>& key_columns) {
  Header expected(expected_names);
  Header actual(actual_names);
  TESSAMER_TRY(apply_exclusions(expected, actual, excluded_columns));

  Result<ColumnPlan> plan = columns.empty() ? plan_by_name(expected, actual)
                                            : plan_by_mappings(expected, actual, columns);
  if (plan && plan->pairs.empty())
    return std::unexpected(plan_error("at least one column must be compared"));
  if (plan && key_columns) TESSAMER_TRY(add_keys(expected, *key_columns, *plan));
  return plan;
}

}  // namespace tessamer
