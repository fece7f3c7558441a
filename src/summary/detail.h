// Helpers shared by the summary's own files; not included from other areas.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.h"
#include "json/reader.h"
#include "summary/summary.h"

namespace tessamer::summary::detail {

// The members of a report line that are counted. The names are views into the line.
struct Counted {
  DivergenceType type = DivergenceType::Cell;
  std::uint64_t record = 0;
  std::string_view column, actual_column;  // CELL only
  std::uint64_t expected_index = 0, actual_index = 0;
};

// Reads one whole JSON value at the reader's position into a JsonValue (nesting at most
// `depth_limit` deep, so hostile input cannot exhaust the stack).
[[nodiscard]] json::Expected<JsonValue> read_value(json::Reader& reader, int depth_limit = 64);

// "1,234,567".
std::string grouped(std::uint64_t n);
// "5.2 MB", "161 B".
std::string human_bytes(std::uint64_t n);
// count / of as a percentage with one decimal, "<0.1%" for small non-zero shares, "" when `of`
// is 0.
std::string percent(std::uint64_t count, std::uint64_t of);

// Fields of a row in CSV form (quoted where a comma, quote or line end needs it).
std::string csv_row(const std::vector<std::string>& fields);

// One run of a shown value: its display text and whether it lies in the differing part.
struct Piece {
  std::string text;
  bool differs = false;
};

// A value prepared for display in at most `max_width` terminal columns: control characters
// escaped (\n, \t, \r, \xNN, \u0085), long text shortened with "…" around the first difference
// from `other` (null: no other side, nothing is marked).
struct Shown {
  std::vector<Piece> pieces;
  std::size_t width = 0;
};
Shown show(const KeptValue& value, const KeptValue* other, std::size_t max_width);

// The indices of the columns with divergences, most divergences first (ties in plan order).
std::vector<std::size_t> columns_by_count(const ReportSummary& report);

// Terminal columns taken by UTF-8 text (wide East Asian characters 2, combining marks 0).
std::size_t display_width(std::string_view text);

}  // namespace tessamer::summary::detail
