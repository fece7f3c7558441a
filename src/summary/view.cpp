// The summary as one view: its sections, their rows, and the marked spans people see.
#include <algorithm>
#include <numeric>

#include "summary/detail.h"
#include "summary/summary.h"

namespace tessamer::summary {
namespace {

using detail::grouped;
using detail::plural;
using detail::visible;
using Layout = Section::Layout;
using K = ColumnKind;

std::vector<Span> spans(std::string text, Mark mark = Mark::None) { return {Span{std::move(text), mark}}; }

// A value people see, and under `key` in the JSON document.
Cell cell(std::string key, JsonValue json, std::vector<Span> shown) { return {std::move(key), std::move(json), std::move(shown), true}; }
// For people only.
Cell text(std::vector<Span> shown) { return {{}, {}, std::move(shown), true}; }
Cell text(std::string shown) { return text(spans(std::move(shown))); }
// For the JSON document only.
Cell hidden(std::string key, JsonValue json) { return {std::move(key), std::move(json), {}, false}; }

JsonValue number(std::optional<std::uint64_t> n) { return n ? JsonValue::number(*n) : JsonValue(); }
JsonValue string(std::optional<std::string> s) { return s ? JsonValue::string(std::move(*s)) : JsonValue(); }
JsonValue strings(const std::vector<std::string>& all) {
  JsonValue list = JsonValue::array();
  for (const std::string& s : all) list.push(JsonValue::string(s));
  return list;
}

// "label 1,234" under `key`; a null count reads "label -".
Cell counted(std::string key, std::string_view label, std::optional<std::uint64_t> n, std::string after = {}) {
  return cell(std::move(key), number(n), spans(std::string(label) + " " + (n ? grouped(*n) : "-") + after));
}

std::string short_digest(const std::string& digest, bool full) {
  return full || digest.size() <= 12 ? digest : digest.substr(0, 12) + "…";
}

constexpr std::string_view kNotes[] = {"", "differs only in white space", "differs only in case",
                                       "differs only in white space and case"};

class Builder {
 public:
  Builder(const Summary& s, const ViewOptions& o) : s_(s), r_(s.result), rep_(s.report), o_(o) {}

  View build() {
    headline();
    problems();
    if (s_.request) request();
    files();
    if (s_.request) exclusions();
    counts();
    by_column();
    examples();
    return std::move(view_);
  }

 private:
  Section& section(Layout layout, std::string id, std::string title, std::string json_key, bool shown = true) {
    return view_.sections.emplace_back(Section{layout, std::move(id), std::move(title), std::move(json_key), shown, true, {}, {}, {}, {}});
  }
  static Row& row(Section& s, std::string key, std::string label, std::vector<Cell> cells) {
    return s.rows.emplace_back(Row{std::move(key), std::move(label), std::move(cells), std::nullopt});
  }
  std::size_t name_width() const { return o_.value_width * 3 / 4; }
  std::vector<Span> name(std::string_view expected, std::string_view actual) const { return visible(detail::pair_label(expected, actual), name_width()); }
  std::uint64_t of_type(DivergenceType t) const { return rep_.by_type[static_cast<std::size_t>(t)]; }

  void headline() {
    const std::string line =
        r_.identical() ? "the files are byte-identical (" + detail::human_bytes(r_.expected_bytes) + ", sha256 " +
                             short_digest(r_.expected_sha256, false) + ")"
        : r_.divergences > 0  ? plural(r_.divergences, "divergence", "divergences")
        : r_.excluded_cells > 0 ? "no divergences outside " + plural(r_.excluded_cells, "excluded cell", "excluded cells")
                                : "no divergences";
    const Mark mark = r_.status == "FAIL" ? Mark::Fail : r_.status == "PASS" ? Mark::Pass : Mark::Warn;
    row(section(Layout::Headline, "verdict", "Verdict", ""), "", "",
        {cell("status", JsonValue::string(r_.status), spans(r_.status, mark)), text(line),
         hidden("identical", JsonValue::boolean(r_.identical())), hidden("divergences", JsonValue::number(r_.divergences)),
         hidden("firstLimit", JsonValue::number(s_.per_kind)),
         hidden("exitStatus", JsonValue::number(static_cast<std::uint64_t>(s_.exit_status())))});
  }

  void problems() {
    Section& s = section(Layout::Notes, "problems", "Problems", "", s_.problems.size() + s_.request_problems.size() > 0);
    s.in_json = false;
    for (const std::string& p : s_.problems) row(s, "", "REPORT PROBLEM", {text(visible(p))});
    for (const std::string& p : s_.request_problems) row(s, "", "REQUEST PROBLEM", {text(visible(p))});
  }

  void request() {
    const Request& q = *s_.request;
    Section& s = section(Layout::Fields, "request", "Request", "request");
    const bool fits = s_.request_problems.empty();
    auto character = [](std::string label, const std::string& c) {
      std::vector<Span> shown = spans(label + " ");
      for (Span& span : visible(c)) shown.push_back(std::move(span));
      return shown;
    };
    row(s, "", "request",
        {cell("path", JsonValue::string(q.path), visible(q.path)),
         cell("matchesResult", JsonValue::boolean(fits),
              spans(fits ? "belongs to this result" : "does not belong to this result", fits ? Mark::Quiet : Mark::Fail)),
         hidden("problems", strings(s_.request_problems)), hidden("expectedPath", JsonValue::string(q.expected_path)),
         hidden("actualPath", JsonValue::string(q.actual_path)), hidden("divergencePath", JsonValue::string(q.divergence_path)),
         // The keys are shown from the result, which the request is held against.
         hidden("keyColumns", q.key_columns ? strings(*q.key_columns) : JsonValue()), hidden("keyOrder", string(q.key_order)),
         hidden("duplicateKeys", string(q.duplicate_keys)), hidden("sortMemoryBytes", number(q.sort_memory_bytes)),
         hidden("sortDirectory", string(q.sort_directory))});
    row(s, "", "dialect",
        {cell("encoding", JsonValue::string(q.encoding), visible(q.encoding)),
         cell("delimiter", JsonValue::string(q.delimiter), character("delimiter", q.delimiter)),
         cell("quoteChar", JsonValue::string(q.quote), character("quote", q.quote)),
         cell("escapeChar", string(q.escape), q.escape ? character("escape", *q.escape) : spans("no escape")),
         cell("hasHeader", JsonValue::boolean(q.has_header), spans(q.has_header ? "header" : "no header")),
         cell("nullValue", JsonValue::string(q.null_value),
              q.null_value.empty() ? spans("null value (empty)") : character("null value", q.null_value)),
         counted("exampleLimit", "example limit", q.example_limit)});
  }

  void files() {
    Section& s = section(Layout::Fields, "files", "Files", "", !r_.identical() || s_.request);
    auto file = [&](std::string side, std::uint64_t bytes, const std::string& digest, const std::string* path) {
      const std::string size = detail::human_bytes(bytes) + (bytes >= 1000 ? " (" + grouped(bytes) + " bytes)" : "");
      Row& r = row(s, side, side, {cell("bytes", JsonValue::number(bytes), spans(size)),
                                   cell("sha256", JsonValue::string(digest), spans("sha256 " + short_digest(digest, o_.full_digests)))});
      if (path) r.cells.push_back(cell("path", JsonValue::string(*path), visible(*path)));
    };
    file("expected", r_.expected_bytes, r_.expected_sha256, s_.request ? &s_.request->expected_path : nullptr);
    file("actual", r_.actual_bytes, r_.actual_sha256, s_.request ? &s_.request->actual_path : nullptr);
  }

  void exclusions() {
    Section& s = section(Layout::Table, "exclusions", "Exclusions", "exclusions", !s_.request->exclusions.empty());
    s.columns = {"expected", "actual", "reason", "approved by", "reference"};
    s.kinds.assign(5, K::Text);
    auto side = [&](const std::optional<std::string>& n) { return n ? visible(*n, name_width()) : spans("-", Mark::Quiet); };
    for (const Exclusion& x : s_.request->exclusions) {
      row(s, "", "",
          {cell("expected", string(x.expected), side(x.expected)), cell("actual", string(x.actual), side(x.actual)),
           cell("reason", JsonValue::string(x.reason), visible(x.reason, o_.value_width * 3)),
           cell("approvedBy", JsonValue::string(x.approved_by), visible(x.approved_by, name_width())),
           cell("approvalReference", JsonValue::string(x.reference), visible(x.reference, name_width()))});
    }
  }

  void counts() {
    Section& s = section(Layout::Fields, "counts", "Counts", "", !r_.identical());
    row(s, "rows", "rows",
        {counted("expected", "expected", r_.expected_rows), counted("actual", "actual", r_.actual_rows),
         counted("compared", "compared", r_.compared_rows), counted("missing", "missing", r_.missing_rows),
         counted("additional", "additional", r_.additional_rows)});
    const std::uint64_t cells = r_.cells_compared.value_or(0), divergent = of_type(DivergenceType::Cell);
    row(s, "cells", "cells",
        {counted("compared", "compared", r_.cells_compared),
         counted("divergent", "divergent", divergent, cells > 0 ? " (" + detail::percent(divergent, cells) + ")" : ""),
         counted("excluded", "excluded", r_.excluded_cells)});
    Row& types = row(s, "byType", "by type", {});
    for (DivergenceType t : kTypes) types.cells.push_back(counted(std::string(type_name(t)), type_name(t), of_type(t)));
    if (r_.keys) {
      std::vector<std::string> names;
      std::string joined;
      for (const ColumnPair& p : r_.keys->key_columns) {
        names.push_back(p.expected);
        joined.append(joined.empty() ? "by " : ", ").append(detail::pair_label(p.expected, p.actual));
      }
      row(s, "keys", "keys",
          {cell("columns", strings(names), visible(joined, o_.value_width)), counted("divergent", "with divergences", rep_.divergent_keys),
           counted("missing", "with missing records", rep_.missing_keys),
           counted("additional", "with additional records", rep_.additional_keys)});
    }
    const bool read = rep_.read, fits = s_.problems.empty();
    auto misfits = [&](Misfit m) { return rep_.misfits[static_cast<std::size_t>(m)].lines; };
    row(s, "report", "report",
        {read ? cell("lines", JsonValue::number(rep_.lines), spans(plural(rep_.lines, "line", "lines")))
              : cell("lines", JsonValue(), spans("not read: the files are byte-identical", Mark::Quiet)),
         read ? cell("bytes", JsonValue::number(rep_.bytes), spans(detail::human_bytes(rep_.bytes))) : hidden("bytes", {}),
         cell("complete", JsonValue::boolean(fits),
              spans(!read ? "" : fits ? "fits the result" : "does not fit the result", fits ? Mark::Quiet : Mark::Fail)),
         cell("path", JsonValue::string(s_.report_path), read ? visible(s_.report_path) : std::vector<Span>{}),
         hidden("read", JsonValue::boolean(read)), hidden("cutLastLine", JsonValue::boolean(rep_.cut_bytes > 0)),
         hidden("malformedLines", JsonValue::number(misfits(Misfit::Malformed))),
         hidden("unknownColumnLines", JsonValue::number(misfits(Misfit::UnknownPair))),
         hidden("examplesMatch", read && !r_.examples.empty()
                                     ? JsonValue::boolean(misfits(Misfit::Example) == 0 && rep_.lines >= r_.examples.size())
                                     : JsonValue()),
         hidden("problems", strings(s_.problems))});
  }

  void by_column() {
    std::vector<std::size_t> order(rep_.by_column.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::erase_if(order, [&](std::size_t i) { return rep_.by_column[i].count == 0; });
    std::ranges::sort(order, [&](std::size_t a, std::size_t b) {
      const std::uint64_t x = rep_.by_column[a].count, y = rep_.by_column[b].count;
      return x != y ? x > y : a < b;  // ties in plan order
    });
    const std::uint64_t compared = r_.compared_rows.value_or(0);
    Section& shown = section(Layout::Table, "by-column", "By column", "", !order.empty());
    shown.in_json = false;
    shown.columns = {"column", "count", "share", "first", "last"};
    shown.kinds = {K::Text, K::Number, K::Number, K::Number, K::Number};
    for (std::size_t k = 0; k < order.size() && k < o_.column_rows; ++k) {
      const ColumnPair& p = r_.column_pairs[order[k]];
      const ColumnCount& c = rep_.by_column[order[k]];
      row(shown, "", detail::pair_label(p.expected, p.actual),
          {text(name(p.expected, p.actual)), text(grouped(c.count)), text(detail::percent(c.count, compared)),
           text(grouped(c.first_record)), text(grouped(c.last_record))})
          .bar = static_cast<double>(c.count) / static_cast<double>(rep_.by_column[order[0]].count);
    }
    if (order.size() > o_.column_rows) {
      shown.footnote = "… " + plural(order.size() - o_.column_rows, "more column", "more columns") + " with divergences";
    }
    // For programs: every pair, in the run's order.
    Section& all = section(Layout::Table, "columns", "Columns", "byColumn", false);
    for (std::size_t i = 0; i < r_.column_pairs.size(); ++i) {
      const ColumnPair& p = r_.column_pairs[i];
      const ColumnCount c = rep_.by_column.size() > i ? rep_.by_column[i] : ColumnCount{};
      auto seen = [&](std::uint64_t record) { return c.count > 0 ? JsonValue::number(record) : JsonValue(); };
      row(all, "", "",
          {hidden("column", JsonValue::string(p.expected)), hidden("actualColumn", JsonValue::string(p.actual)),
           hidden("expectedIndex", JsonValue::number(p.expected_index)), hidden("actualIndex", JsonValue::number(p.actual_index)),
           hidden("count", JsonValue::number(c.count)),
           hidden("share", compared > 0 ? JsonValue::floating(static_cast<double>(c.count) / static_cast<double>(compared)) : JsonValue()),
           hidden("firstRecord", seen(c.first_record)), hidden("lastRecord", seen(c.last_record))});
    }
  }

  // One side of an example as shown: a field with its difference marked, a record, or a width.
  std::vector<Span> shown_side(const Example& e, bool expected) const {
    if (e.type == DivergenceType::RowWidth) {
      return spans(plural(expected ? e.expected_values : e.actual_values, "value", "values") + " for " +
                   grouped(expected ? e.expected_columns : e.actual_columns) + " columns");
    }
    const bool cell_line = e.type == DivergenceType::Cell;
    const std::optional<KeptValue>&v = expected ? e.expected : e.actual, &other = expected ? e.actual : e.expected;
    if (!v) return spans(cell_line ? "(no field)" : "(no record)", Mark::Quiet);
    if (v->text.empty() && !v->cut_before && !v->cut_after) return spans("(empty)", Mark::Quiet);
    const Mark mark = !cell_line ? Mark::None : expected ? Mark::Removed : Mark::Added;
    return detail::show(*v, cell_line && other ? &*other : nullptr, o_.value_width, mark);
  }

  void examples() {
    const bool keyed = r_.keys.has_value();
    const bool notes = std::ranges::any_of(rep_.examples, [](const Example& e) { return e.likeness != Likeness::None; });
    Section& s = section(Layout::Table, "examples",
                         "Examples: the first " + grouped(s_.per_kind) + " of each type and column, " +
                             grouped(rep_.examples.size()) + " of " + plural(rep_.lines, "divergence", "divergences"),
                         "first", !rep_.examples.empty());
    s.columns = {"record", "type", "column", "expected", "actual"};
    s.kinds = {K::Number, K::Text, K::Text, K::Data, K::Data};
    if (keyed) s.columns[0] = "records", s.columns.insert(s.columns.begin(), "key"), s.kinds.insert(s.kinds.begin(), K::Data);
    if (notes) s.columns.push_back("note"), s.kinds.push_back(K::Text);
    for (const Example& e : rep_.examples) {
      const bool cell_line = e.type == DivergenceType::Cell;
      auto shortened = [](const std::optional<KeptValue>& v) { return v && (v->cut_before || v->cut_after); };
      auto kept = [](const std::optional<KeptValue>& v) { return v ? JsonValue::string(v->text) : JsonValue(); };
      auto side = [](std::optional<std::uint64_t> n) { return n ? grouped(*n) : "-"; };
      Row& r = row(s, "", "", {});
      if (keyed) {
        r.cells = {cell("key", string(e.key), visible(e.key.value_or(""), name_width())),
                   cell("expectedRecord", number(e.expected_record), spans(side(e.expected_record) + " / " + side(e.actual_record))),
                   hidden("actualRecord", number(e.actual_record)), hidden("record", JsonValue::number(e.record))};
      } else {
        r.cells = {cell("record", JsonValue::number(e.record), spans(grouped(e.record)))};
      }
      const std::string_view note = kNotes[static_cast<std::size_t>(e.likeness)];
      r.cells.insert(r.cells.end(),
                     {cell("type", JsonValue::string(std::string(type_name(e.type))), spans(std::string(type_name(e.type)))),
                      cell("column", cell_line ? JsonValue::string(e.column) : JsonValue(),
                           cell_line ? name(e.column, e.actual_column) : std::vector<Span>{}),
                      cell("expected", kept(e.expected), shown_side(e, true)), cell("actual", kept(e.actual), shown_side(e, false)),
                      Cell{"note", note.empty() ? JsonValue() : JsonValue::string(std::string(note)), spans(std::string(note)), notes},
                      hidden("actualColumn", cell_line ? JsonValue::string(e.actual_column) : JsonValue()),
                      hidden("shortened", JsonValue::boolean(shortened(e.expected) || shortened(e.actual))),
                      hidden("line", JsonValue::number(e.line))});
      if (e.type == DivergenceType::RowWidth) {
        r.cells.insert(r.cells.end(), {hidden("expectedValues", JsonValue::number(e.expected_values)),
                                       hidden("expectedColumns", JsonValue::number(e.expected_columns)),
                                       hidden("actualValues", JsonValue::number(e.actual_values)),
                                       hidden("actualColumns", JsonValue::number(e.actual_columns))});
      }
    }
  }

  const Summary& s_;
  const RunResult& r_;
  const ReportScan& rep_;
  const ViewOptions& o_;
  View view_;
};

}  // namespace

View build_view(const Summary& summary, const ViewOptions& options) { return Builder(summary, options).build(); }

}  // namespace tessamer::summary
