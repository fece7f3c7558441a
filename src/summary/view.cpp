// The summary as one view: its sections, their rows, and the marked spans people see.
#include <algorithm>
#include <numeric>

#include "summary/detail.h"
#include "summary/summary.h"

namespace tessamer::summary {
namespace {

using detail::grouped;
using detail::visible;
using Layout = Section::Layout;

std::vector<Span> spans(std::string text, Mark mark = Mark::None) { return {Span{std::move(text), mark}}; }

// A value people see, and under `key` in the JSON document.
Cell cell(std::string key, JsonValue json, std::vector<Span> shown) {
  return Cell{std::move(key), std::move(json), std::move(shown), true};
}
// For people only.
Cell text(std::string shown, Mark mark = Mark::None) { return Cell{{}, {}, spans(std::move(shown), mark), true}; }
Cell text(std::vector<Span> shown) { return Cell{{}, {}, std::move(shown), true}; }
// For the JSON document only.
Cell hidden(std::string key, JsonValue json) { return Cell{std::move(key), std::move(json), {}, false}; }

JsonValue number(std::optional<std::uint64_t> n) { return n ? JsonValue::number(*n) : JsonValue(); }
JsonValue string(std::optional<std::string> s) { return s ? JsonValue::string(std::move(*s)) : JsonValue(); }

// "label 1,234" under `key`; a null count reads "label -".
Cell counted(std::string key, std::string_view label, std::optional<std::uint64_t> n, std::string after = {}) {
  std::string shown = std::string(label).append(label.empty() ? "" : " ").append(n ? grouped(*n) : "-").append(after);
  return cell(std::move(key), number(n), spans(std::move(shown)));
}

Mark status_mark(std::string_view status) {
  return status == "FAIL" ? Mark::Fail : status == "PASS" ? Mark::Pass : Mark::Warn;
}

std::string short_digest(const std::string& digest, bool full) {
  return full || digest.size() <= 12 ? digest : digest.substr(0, 12) + "…";
}

std::string_view likeness_note(Likeness likeness) {
  switch (likeness) {
    case Likeness::None: break;
    case Likeness::Whitespace: return "differs only in white space";
    case Likeness::Case: return "differs only in case";
    case Likeness::WhitespaceAndCase: return "differs only in white space and case";
  }
  return "";
}

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
  Section& section(Layout layout, std::string id, std::string title, std::string json_key) {
    Section& s = view_.sections.emplace_back();
    s.layout = layout;
    s.id = std::move(id);
    s.title = std::move(title);
    s.json_key = std::move(json_key);
    return s;
  }
  static Row& row(Section& s, std::string key, std::string label) {
    Row& r = s.rows.emplace_back();
    r.key = std::move(key);
    r.label = std::move(label);
    return r;
  }
  std::size_t name_width() const { return o_.value_width * 3 / 4; }

  void headline() {
    std::string line;
    if (r_.identical()) {
      line = "the files are byte-identical (" + detail::human_bytes(r_.expected_bytes) + ", sha256 " +
             short_digest(r_.expected_sha256, false) + ")";
    } else if (r_.divergences > 0) {
      line = detail::plural(r_.divergences, "divergence", "divergences");
    } else if (r_.excluded_cells > 0) {
      line = "no divergences outside " + detail::plural(r_.excluded_cells, "excluded cell", "excluded cells");
    } else {
      line = "no divergences";
    }
    Row& r = row(section(Layout::Headline, "verdict", "Verdict", ""), "", "");
    r.cells = {cell("status", JsonValue::string(r_.status), spans(r_.status, status_mark(r_.status))), text(line),
               hidden("identical", JsonValue::boolean(r_.identical())),
               hidden("divergences", JsonValue::number(r_.divergences)),
               hidden("firstLimit", JsonValue::number(s_.per_kind)),
               hidden("exitStatus", JsonValue::number(static_cast<std::uint64_t>(s_.exit_status())))};
  }

  void problems() {
    Section& s = section(Layout::Notes, "problems", "Problems", "");
    s.in_json = false;
    for (const std::string& p : s_.problems) row(s, "", "REPORT PROBLEM").cells.push_back(text(visible(p)));
    for (const std::string& p : s_.request_problems) row(s, "", "REQUEST PROBLEM").cells.push_back(text(visible(p)));
    s.shown = !s.rows.empty();
  }

  void request() {
    const Request& q = *s_.request;
    Section& s = section(Layout::Fields, "request", "Request", "request");
    JsonValue problems = JsonValue::array();
    for (const std::string& p : s_.request_problems) problems.push(JsonValue::string(p));
    const bool fits = s_.request_problems.empty();
    row(s, "", "request").cells = {
        cell("path", JsonValue::string(q.path), visible(q.path)),
        cell("matchesResult", JsonValue::boolean(fits),
             spans(fits ? "belongs to this result" : "does not belong to this result", fits ? Mark::Quiet : Mark::Fail)),
        hidden("problems", std::move(problems)), hidden("expectedPath", JsonValue::string(q.expected_path)),
        hidden("actualPath", JsonValue::string(q.actual_path)),
        hidden("divergencePath", JsonValue::string(q.divergence_path))};
    auto character = [](std::string_view label, const std::string& c) {
      std::vector<Span> shown = spans(std::string(label) + " ");
      for (Span& span : visible(c)) shown.push_back(std::move(span));
      return shown;
    };
    row(s, "", "dialect").cells = {
        cell("encoding", JsonValue::string(q.encoding), visible(q.encoding)),
        cell("delimiter", JsonValue::string(q.delimiter), character("delimiter", q.delimiter)),
        cell("quoteChar", JsonValue::string(q.quote), character("quote", q.quote)),
        cell("escapeChar", string(q.escape), q.escape ? character("escape", *q.escape) : spans("no escape")),
        cell("hasHeader", JsonValue::boolean(q.has_header), spans(q.has_header ? "header" : "no header")),
        cell("nullValue", JsonValue::string(q.null_value),
             q.null_value.empty() ? spans("null value (empty)") : character("null value", q.null_value)),
        counted("exampleLimit", "example limit", q.example_limit)};
    if (!q.key_columns) return;
    JsonValue names = JsonValue::array();
    std::string joined;
    for (const std::string& name : *q.key_columns) {
      names.push(JsonValue::string(name));
      joined.append(joined.empty() ? "" : ", ").append(name);
    }
    row(s, "", "keys").cells = {
        cell("keyColumns", std::move(names), visible("by " + joined, o_.value_width)),
        cell("keyOrder", string(q.key_order), spans("order " + q.key_order.value_or("ANY"))),
        cell("duplicateKeys", string(q.duplicate_keys), spans("duplicates " + q.duplicate_keys.value_or("REJECT"))),
        hidden("sortMemoryBytes", number(q.sort_memory_bytes)), hidden("sortDirectory", string(q.sort_directory))};
  }

  void files() {
    Section& s = section(Layout::Fields, "files", "Files", "");
    s.shown = !r_.identical() || s_.request;
    auto file = [&](std::string side, std::uint64_t bytes, const std::string& digest, const std::string* path) {
      std::string size = detail::human_bytes(bytes);
      if (bytes >= 1000) size.append(" (").append(grouped(bytes)).append(" bytes)");
      Row& r = row(s, side, side);
      r.cells = {cell("bytes", JsonValue::number(bytes), spans(size)),
                 cell("sha256", JsonValue::string(digest), spans("sha256 " + short_digest(digest, o_.full_digests)))};
      if (path) r.cells.push_back(cell("path", JsonValue::string(*path), visible(*path)));
    };
    file("expected", r_.expected_bytes, r_.expected_sha256, s_.request ? &s_.request->expected_path : nullptr);
    file("actual", r_.actual_bytes, r_.actual_sha256, s_.request ? &s_.request->actual_path : nullptr);
  }

  void exclusions() {
    Section& s = section(Layout::Table, "exclusions", "Exclusions", "exclusions");
    s.columns = {"expected", "actual", "reason", "approved by", "reference"};
    s.kinds.assign(5, ColumnKind::Text);
    auto name = [&](const std::optional<std::string>& n) {
      return n ? visible(*n, name_width()) : spans("-", Mark::Quiet);
    };
    for (const Exclusion& x : s_.request->exclusions) {
      row(s, "", "").cells = {cell("expected", string(x.expected), name(x.expected)),
                              cell("actual", string(x.actual), name(x.actual)),
                              cell("reason", JsonValue::string(x.reason), visible(x.reason, o_.value_width * 3)),
                              cell("approvedBy", JsonValue::string(x.approved_by), visible(x.approved_by, name_width())),
                              cell("approvalReference", JsonValue::string(x.reference), visible(x.reference, name_width()))};
    }
    s.shown = !s.rows.empty();
  }

  void counts() {
    Section& s = section(Layout::Fields, "counts", "Counts", "");
    s.shown = !r_.identical();
    row(s, "rows", "rows").cells = {counted("expected", "expected", r_.expected_rows), counted("actual", "actual", r_.actual_rows),
                                    counted("compared", "compared", r_.compared_rows), counted("missing", "missing", r_.missing_rows),
                                    counted("additional", "additional", r_.additional_rows)};
    const std::uint64_t cells = r_.cells_compared.value_or(0);
    const std::uint64_t divergent = rep_.by_type[static_cast<std::size_t>(DivergenceType::Cell)];
    row(s, "cells", "cells").cells = {
        counted("compared", "compared", r_.cells_compared),
        counted("divergent", "divergent", divergent, cells > 0 ? " (" + detail::percent(divergent, cells) + ")" : ""),
        counted("excluded", "excluded", r_.excluded_cells)};
    Row& types = row(s, "byType", "by type");
    for (DivergenceType type : kTypes) {
      types.cells.push_back(counted(std::string(type_name(type)), type_name(type), rep_.by_type[static_cast<std::size_t>(type)]));
    }
    if (r_.keys) {
      const KeyPairing& k = *r_.keys;
      row(s, "keys", "keys").cells = {counted("divergent", "with divergences", rep_.divergent_keys),
                                      counted("missing", "with missing records", rep_.missing_keys),
                                      counted("additional", "with additional records", rep_.additional_keys)};
      JsonValue names = JsonValue::array();
      std::string joined;
      for (const ColumnPair& p : k.key_columns) {
        names.push(JsonValue::string(p.expected));
        joined.append(joined.empty() ? "" : ", ").append(detail::pair_label(p.expected, p.actual));
      }
      auto sorted = [](std::string side, std::optional<bool> v) {
        return spans(side + (!v ? " not read" : *v ? " already sorted" : " sorted by the engine"));
      };
      row(s, "pairing", "pairing").cells = {
          cell("keyColumns", std::move(names), visible("by " + joined, o_.value_width)),
          cell("keyOrder", JsonValue::string(k.key_order), spans("order " + k.key_order)),
          cell("duplicateKeys", JsonValue::string(k.duplicate_keys), spans("duplicates " + k.duplicate_keys)),
          cell("expectedSorted", k.expected_sorted ? JsonValue::boolean(*k.expected_sorted) : JsonValue(),
               sorted("expected", k.expected_sorted)),
          cell("actualSorted", k.actual_sorted ? JsonValue::boolean(*k.actual_sorted) : JsonValue(),
               sorted("actual", k.actual_sorted))};
    }
    JsonValue problems = JsonValue::array();
    for (const std::string& p : s_.problems) problems.push(JsonValue::string(p));
    const MisfitCount& malformed = rep_.misfits[static_cast<std::size_t>(Misfit::Malformed)];
    const MisfitCount& unknown = rep_.misfits[static_cast<std::size_t>(Misfit::UnknownPair)];
    const bool read = rep_.read;
    Row& report = row(s, "report", "report");
    report.cells = {
        read ? cell("lines", JsonValue::number(rep_.lines), spans(detail::plural(rep_.lines, "line", "lines")))
             : cell("lines", JsonValue(), spans("not read: the files are byte-identical", Mark::Quiet)),
        read ? cell("bytes", JsonValue::number(rep_.bytes), spans(detail::human_bytes(rep_.bytes))) : hidden("bytes", {}),
        cell("complete", JsonValue::boolean(s_.problems.empty()),
             spans(!read ? "" : s_.problems.empty() ? "fits the result" : "does not fit the result",
                   s_.problems.empty() ? Mark::Quiet : Mark::Fail)),
        cell("path", JsonValue::string(s_.report_path), read ? visible(s_.report_path) : std::vector<Span>{}),
        hidden("read", JsonValue::boolean(read)), hidden("cutLastLine", JsonValue::boolean(rep_.cut_bytes > 0)),
        hidden("malformedLines", JsonValue::number(malformed.lines)),
        hidden("unknownColumnLines", JsonValue::number(unknown.lines)),
        hidden("examplesMatch", read && !r_.examples.empty()
                                    ? JsonValue::boolean(rep_.misfits[static_cast<std::size_t>(Misfit::Example)].lines == 0 &&
                                                         rep_.lines >= r_.examples.size())
                                    : JsonValue()),
        hidden("problems", std::move(problems))};
  }

  std::vector<Span> column_name(const std::string& expected, const std::string& actual) const {
    return visible(detail::pair_label(expected, actual), name_width());
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
    Section& shown = section(Layout::Table, "by-column", "By column", "");
    shown.in_json = false;
    shown.shown = !order.empty();
    shown.columns = {"column", "count", "share", "first", "last"};
    shown.kinds = {ColumnKind::Text, ColumnKind::Number, ColumnKind::Number, ColumnKind::Number, ColumnKind::Number};
    for (std::size_t k = 0; k < order.size() && k < o_.column_rows; ++k) {
      const ColumnPair& pair = r_.column_pairs[order[k]];
      const ColumnCount& c = rep_.by_column[order[k]];
      Row& r = row(shown, "", detail::pair_label(pair.expected, pair.actual));
      r.bar = static_cast<double>(c.count) / static_cast<double>(rep_.by_column[order[0]].count);
      r.cells = {text(column_name(pair.expected, pair.actual)), text(grouped(c.count)),
                 text(detail::percent(c.count, compared)), text(grouped(c.first_record)), text(grouped(c.last_record))};
    }
    if (order.size() > o_.column_rows) {
      shown.footnote = "… " + detail::plural(order.size() - o_.column_rows, "more column", "more columns") + " with divergences";
    }

    Section& all = section(Layout::Table, "columns", "Columns", "byColumn");
    all.shown = false;
    for (std::size_t i = 0; i < r_.column_pairs.size(); ++i) {
      const ColumnPair& pair = r_.column_pairs[i];
      const ColumnCount& c = rep_.by_column.size() > i ? rep_.by_column[i] : ColumnCount{};
      auto seen = [&](std::uint64_t record) { return c.count > 0 ? JsonValue::number(record) : JsonValue(); };
      row(all, "", "").cells = {
          hidden("column", JsonValue::string(pair.expected)), hidden("actualColumn", JsonValue::string(pair.actual)),
          hidden("expectedIndex", JsonValue::number(pair.expected_index)),
          hidden("actualIndex", JsonValue::number(pair.actual_index)), hidden("count", JsonValue::number(c.count)),
          hidden("share", compared > 0 ? JsonValue::floating(static_cast<double>(c.count) / static_cast<double>(compared))
                                       : JsonValue()),
          hidden("firstRecord", seen(c.first_record)), hidden("lastRecord", seen(c.last_record))};
    }
  }

  std::vector<Span> value(const std::optional<KeptValue>& v, const std::optional<KeptValue>& other, Mark mark,
                          std::string_view absent) const {
    if (!v) return spans(std::string(absent), Mark::Quiet);
    if (v->text.empty() && !v->cut_before && !v->cut_after) return spans("(empty)", Mark::Quiet);
    return detail::show(*v, other ? &*other : nullptr, o_.value_width, mark);
  }

  void examples() {
    const bool keyed = r_.keys.has_value();
    const bool notes = std::ranges::any_of(rep_.examples, [](const Example& e) { return e.likeness != Likeness::None; });
    Section& s = section(Layout::Table, "examples",
                         "Examples: the first " + grouped(s_.per_kind) + " of each type and column, " +
                             grouped(rep_.examples.size()) + " of " + detail::plural(rep_.lines, "divergence", "divergences"),
                         "first");
    s.shown = !rep_.examples.empty();
    s.columns = keyed ? std::vector<std::string>{"key", "records", "type", "column", "expected", "actual"}
                      : std::vector<std::string>{"record", "type", "column", "expected", "actual"};
    using K = ColumnKind;
    s.kinds = keyed ? std::vector<K>{K::Data, K::Number, K::Text, K::Text, K::Data, K::Data}
                    : std::vector<K>{K::Number, K::Text, K::Text, K::Data, K::Data};
    if (notes) s.columns.push_back("note"), s.kinds.push_back(K::Text);
    for (const Example& e : rep_.examples) {
      const bool cell_line = e.type == DivergenceType::Cell;
      auto shortened = [](const std::optional<KeptValue>& v) { return v && (v->cut_before || v->cut_after); };
      auto kept = [](const std::optional<KeptValue>& v) { return v ? JsonValue::string(v->text) : JsonValue(); };
      Row& r = row(s, "", "");
      if (keyed) {
        auto side = [](std::optional<std::uint64_t> n) { return n ? grouped(*n) : "-"; };
        r.cells = {cell("key", string(e.key), visible(e.key.value_or(""), name_width())),
                   cell("expectedRecord", number(e.expected_record),
                        spans(side(e.expected_record) + " / " + side(e.actual_record))),
                   hidden("actualRecord", number(e.actual_record))};
      }
      r.cells.push_back(cell("record", JsonValue::number(e.record), keyed ? std::vector<Span>{} : spans(grouped(e.record))));
      if (keyed) r.cells.back().shown = false;
      r.cells.push_back(cell("type", JsonValue::string(std::string(type_name(e.type))), spans(std::string(type_name(e.type)))));
      r.cells.push_back(cell("column", cell_line ? JsonValue::string(e.column) : JsonValue(),
                             cell_line ? column_name(e.column, e.actual_column) : std::vector<Span>{}));
      std::vector<Span> expected, actual;
      switch (e.type) {
        case DivergenceType::Cell:
          expected = value(e.expected, e.actual, Mark::Removed, "(no field)");
          actual = value(e.actual, e.expected, Mark::Added, "(no field)");
          break;
        case DivergenceType::RowWidth:
          expected = spans(detail::plural(e.expected_values, "value", "values") + " for " + grouped(e.expected_columns) + " columns");
          actual = spans(detail::plural(e.actual_values, "value", "values") + " for " + grouped(e.actual_columns) + " columns");
          break;
        case DivergenceType::MissingRow:
        case DivergenceType::AdditionalRow:
          expected = value(e.expected, std::nullopt, Mark::None, "(no record)");
          actual = value(e.actual, std::nullopt, Mark::None, "(no record)");
          break;
      }
      r.cells.push_back(cell("expected", kept(e.expected), std::move(expected)));
      r.cells.push_back(cell("actual", kept(e.actual), std::move(actual)));
      const std::string_view note = likeness_note(e.likeness);
      r.cells.push_back(cell("note", note.empty() ? JsonValue() : JsonValue::string(std::string(note)), spans(std::string(note))));
      r.cells.back().shown = notes;
      r.cells.push_back(hidden("actualColumn", cell_line ? JsonValue::string(e.actual_column) : JsonValue()));
      r.cells.push_back(hidden("shortened", JsonValue::boolean(shortened(e.expected) || shortened(e.actual))));
      r.cells.push_back(hidden("line", JsonValue::number(e.line)));
      if (e.type == DivergenceType::RowWidth) {
        r.cells.push_back(hidden("expectedValues", JsonValue::number(e.expected_values)));
        r.cells.push_back(hidden("expectedColumns", JsonValue::number(e.expected_columns)));
        r.cells.push_back(hidden("actualValues", JsonValue::number(e.actual_values)));
        r.cells.push_back(hidden("actualColumns", JsonValue::number(e.actual_columns)));
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
