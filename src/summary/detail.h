// Helpers shared by the summary's own files; not included from other areas.
#pragma once

#include "summary/summary.h"

namespace tessamer::summary::detail {

// "1,234,567".
std::string grouped(std::uint64_t n);
// "1 line", "3 lines".
std::string plural(std::uint64_t n, std::string_view one, std::string_view many);
// "5.2 MB", "161 B".
std::string human_bytes(std::uint64_t n);
// count / of as a percentage with one decimal, "<0.1%" for small non-zero shares, "" when `of`
// is 0.
std::string percent(std::uint64_t count, std::uint64_t of);
// Fields in CSV form, quoted where a comma, quote or line end needs it; an absent field (none)
// is left empty and an empty one written "".
std::string csv_row(const std::vector<std::optional<std::string>>& fields);
// "name", or "expected → actual" for a renamed column.
std::string pair_label(std::string_view expected, std::string_view actual);

// The start of the character that the byte at `offset` is part of (`offset` itself at either end).
std::size_t char_start(std::string_view text, std::size_t offset);

// Terminal columns taken by text as shown (wide East Asian characters 2, combining marks 0).
std::size_t display_width(std::string_view text);

// A value prepared for display in at most `max_width` terminal columns: control and invisible
// characters spelled out (\n, \t, \x01, \u00a0, \u2028), long text shortened with "…" around the
// first difference from `other`. With `other`, the differing part is marked `mark`, and the
// spaces and tabs in it are shown as · and →.
std::vector<Span> show(const KeptValue& value, const KeptValue* other, std::size_t max_width, Mark mark);
// A name, path or message as shown: spelled out as values are, shortened to `max_width`.
std::vector<Span> visible(std::string_view text, std::size_t max_width = 4096, Mark mark = Mark::None);

// The one escaping of text for the page and the JUnit file: what `visible` spells out is spelled
// out, and the five markup characters become references. Safe in text and in quoted attributes.
void append_markup(std::string& out, std::string_view text);

// Whether two values differ only in white space, only in letter case, or only in both.
Likeness likeness(std::string_view a, std::string_view b);

// Why the request is not the run's, from what both documents give; empty when it fits.
std::vector<std::string> request_problems(const Request& request, const RunResult& result);

}  // namespace tessamer::summary::detail
