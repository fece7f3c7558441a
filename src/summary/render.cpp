// The renderers: the view as terminal text, as a JSON document and as an HTML page; JUnit XML.
#include <algorithm>
#include <cstdio>

#include "core/utf8.h"
#include "summary/detail.h"
#include "summary/summary.h"

namespace tessamer::summary {
namespace {

using Layout = Section::Layout;
using detail::append_markup;
using detail::grouped;

bool marks_difference(Mark mark) { return mark == Mark::Removed || mark == Mark::Added; }

// Spans as terminal text: in colour, or with the differing spans in brackets.
std::string terminal(const std::vector<Span>& spans, bool colour) {
  static constexpr std::string_view kCodes[] = {"", "\x1b[1;4;31m", "\x1b[1;4;32m", "\x1b[2m",
                                                "\x1b[1;32m", "\x1b[1;31m", "\x1b[1;33m"};
  std::string out;
  for (const Span& span : spans) {
    const std::string_view code = kCodes[static_cast<std::size_t>(span.mark)];
    if (colour && !code.empty()) {
      out.append(code).append(span.text).append("\x1b[0m");
    } else if (!colour && marks_difference(span.mark)) {
      out.append("[").append(span.text).append("]");
    } else {
      out.append(span.text);
    }
  }
  return out;
}

std::size_t width(const std::vector<Span>& spans, bool colour) {
  std::size_t w = 0;
  for (const Span& span : spans) w += detail::display_width(span.text) + (!colour && marks_difference(span.mark) ? 2 : 0);
  return w;
}

bool empty(const std::vector<Span>& spans) {
  return std::ranges::all_of(spans, [](const Span& s) { return s.text.empty(); });
}

std::vector<const Cell*> shown_cells(const Row& row) {
  std::vector<const Cell*> cells;
  for (const Cell& cell : row.cells) {
    if (cell.shown) cells.push_back(&cell);
  }
  return cells;
}

void text_table(std::string& out, const Section& s, bool colour) {
  std::vector<std::vector<std::vector<Span>>> rows;
  std::vector<std::vector<Span>> heading;
  for (const std::string& column : s.columns) heading.push_back({Span{column, Mark::Quiet}});
  rows.push_back(std::move(heading));
  for (const Row& row : s.rows) {
    std::vector<std::vector<Span>> cells;
    for (const Cell* cell : shown_cells(row)) cells.push_back(cell->spans);
    rows.push_back(std::move(cells));
  }
  std::vector<std::size_t> widths(s.columns.size(), 0);
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) widths[i] = std::max(widths[i], width(row[i], colour));
  }
  for (const auto& row : rows) {
    std::string line = "  ";
    for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) {
      const std::size_t pad = widths[i] - width(row[i], colour);
      const bool right = s.kinds[i] == ColumnKind::Number;
      if (i > 0) line.append("  ");
      if (right) line.append(pad, ' ');
      line.append(terminal(row[i], colour));
      if (!right) line.append(pad, ' ');
    }
    while (line.back() == ' ') line.pop_back();
    out.append(line).push_back('\n');
  }
  if (!s.footnote.empty()) out.append("  ").append(s.footnote).push_back('\n');
}

constexpr std::string_view kStyle = R"(
*{box-sizing:border-box}
body{font:15px/1.45 system-ui,-apple-system,"Segoe UI",sans-serif;margin:0 auto;max-width:75rem;padding:1rem;color:#1d2430;background:#fff}
h1{font-size:1.45rem;margin:.4rem 0}h2{font-size:1.1rem;margin:1.6rem 0 .4rem}
h1,p,td,th,li{overflow-wrap:break-word}td.v,.fields td{overflow-wrap:anywhere}
nav ol{display:flex;flex-wrap:wrap;gap:.2rem 1.1rem;list-style:none;padding:0;margin:.6rem 0}
.pass,.fail,.warn{display:inline-block;padding:.05rem .55rem;border-radius:.3rem;color:#fff;margin-right:.4rem}
.pass{background:#1e8449}.fail{background:#c0392b}.warn{background:#b9770e}
.problem{background:#fdecea;border-left:4px solid #c0392b;padding:.5rem .8rem;margin:.5rem 0}
table{border-collapse:collapse;width:100%}
th,td{padding:.25rem .6rem;border-bottom:1px solid #e3e6ea;text-align:left;vertical-align:top}
th{font-weight:600;color:#555;background:#f6f7f9}
.n{text-align:right;font-variant-numeric:tabular-nums;white-space:nowrap}
.v{font-family:ui-monospace,"DejaVu Sans Mono",monospace;font-size:13px;white-space:pre-wrap}
table.fields th{width:7rem;white-space:nowrap}.item{display:inline-block;margin-right:1.2rem}
td.bar{width:25%;min-width:3rem}td.bar svg{display:block;width:100%;height:.8rem}td.bar rect{fill:#c0392b}
mark.del{background:#f5b7b1;color:#78281f}mark.ins{background:#abebc6;color:#145a32}.quiet{color:#666}
@media (max-width:40rem){
table.rows thead{display:none}table.rows tr{display:block;border-bottom:1px solid #c8ccd2;padding:.3rem 0}
table.rows td{display:grid;grid-template-columns:6.5rem minmax(0,1fr);gap:.6rem;border:0;padding:.1rem .2rem;text-align:left;white-space:normal;overflow-wrap:anywhere}
table.rows td::before{content:attr(data-label);color:#666;font-family:system-ui,sans-serif;font-size:13px}
table.rows td.v{white-space:pre-wrap}td.bar{width:auto}table.fields th{width:5rem}
}
)";

// Text for the page with a break opportunity inside every run of 24 characters that has none,
// so that a long name or value wraps instead of widening its table.
void append_breakable(std::string& out, std::string_view text) {
  std::size_t run = 0, from = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (utf8::is_continuation(c)) continue;
    if (c == ' ' || c == '-' || c == '/' || c == ',') {
      run = 0;
    } else if (++run > 24) {
      append_markup(out, text.substr(from, i - from));
      out.append("<wbr>");
      from = i;
      run = 1;
    }
  }
  append_markup(out, text.substr(from));
}

void html_spans(std::string& out, const std::vector<Span>& spans) {
  static constexpr std::string_view kOpen[] = {"", "<mark class=\"del\">", "<mark class=\"ins\">", "<span class=\"quiet\">",
                                               "<span class=\"pass\">", "<span class=\"fail\">", "<span class=\"warn\">"};
  for (const Span& span : spans) {
    const std::string_view open = kOpen[static_cast<std::size_t>(span.mark)];
    out.append(open);
    append_breakable(out, span.text);
    if (!open.empty()) out.append(marks_difference(span.mark) ? "</mark>" : "</span>");
  }
}

std::string plain(const std::vector<Span>& spans) { return terminal(spans, false); }

void html_table(std::string& out, const Section& s) {
  static constexpr std::string_view kClass[] = {"", " class=\"n\"", " class=\"v\""};
  const bool bars = std::ranges::any_of(s.rows, [](const Row& r) { return r.bar.has_value(); });
  out.append("<table class=\"rows\">\n<thead><tr>");
  for (std::size_t i = 0; i < s.columns.size(); ++i) {
    out.append(s.kinds[i] == ColumnKind::Number ? "<th class=\"n\"" : "<th").append(" scope=\"col\">");
    append_markup(out, s.columns[i]);
    out.append("</th>");
  }
  out.append(bars ? "<th>chart</th>" : "").append("</tr></thead>\n<tbody>\n");
  for (const Row& row : s.rows) {
    out.append("<tr>");
    const std::vector<const Cell*> cells = shown_cells(row);
    for (std::size_t i = 0; i < cells.size() && i < s.columns.size(); ++i) {
      out.append("<td").append(kClass[static_cast<std::size_t>(s.kinds[i])]).append(" data-label=\"");
      append_markup(out, s.columns[i]);
      // One element inside, so that a cell stacked under its label stays one piece.
      out.append("\"><span>");
      html_spans(out, cells[i]->spans);
      out.append("</span></td>");
    }
    if (row.bar) {
      char width[32];
      std::snprintf(width, sizeof width, "%.1f", std::max(*row.bar * 100, 0.5));
      out.append("<td class=\"bar\" data-label=\"chart\"><svg viewBox=\"0 0 100 10\" preserveAspectRatio=\"none\" role=\"img\" "
                 "aria-label=\"");
      const std::string title = row.label + ": " + (cells.size() > 1 ? plain(cells[1]->spans) : "");
      append_markup(out, title);
      out.append("\"><rect width=\"").append(width).append("\" height=\"10\"><title>");
      append_markup(out, title);
      out.append("</title></rect></svg></td>");
    }
    out.append("</tr>\n");
  }
  out.append("</tbody>\n</table>\n");
}

// One example as a line of a JUnit failure: where it is, and what differs.
std::string example_text(const Summary& s, const Example& e) {
  const ViewOptions wide{120, 0, true};
  std::string out = e.key ? "key " + plain(detail::visible(*e.key, 80)) : "record " + grouped(e.record);
  if (e.key) {
    auto side = [](std::optional<std::uint64_t> n) { return n ? grouped(*n) : std::string("-"); };
    out.append(" (records ").append(side(e.expected_record)).append(" / ").append(side(e.actual_record)).append(")");
  }
  auto value = [&](const std::optional<KeptValue>& v, const std::optional<KeptValue>& other, Mark mark) {
    return v ? "\"" + plain(detail::show(*v, other ? &*other : nullptr, wide.value_width, mark)) + "\"" : std::string("none");
  };
  switch (e.type) {
    case DivergenceType::Cell:
      if (!s.result.keys) out.append(" ").append(plain(detail::visible(detail::pair_label(e.column, e.actual_column), 60)));
      out.append(": expected ").append(value(e.expected, e.actual, Mark::Removed));
      out.append(", actual ").append(value(e.actual, e.expected, Mark::Added));
      break;
    case DivergenceType::RowWidth:
      out.append(": ").append(grouped(e.expected_values)).append(" expected values for ").append(grouped(e.expected_columns));
      out.append(" columns, ").append(grouped(e.actual_values)).append(" actual values for ").append(grouped(e.actual_columns)).append(" columns");
      break;
    case DivergenceType::MissingRow: out.append(": missing ").append(value(e.expected, std::nullopt, Mark::None)); break;
    case DivergenceType::AdditionalRow: out.append(": additional ").append(value(e.actual, std::nullopt, Mark::None)); break;
  }
  if (e.likeness == Likeness::Whitespace) out.append(" (only white space differs)");
  if (e.likeness == Likeness::Case) out.append(" (only case differs)");
  if (e.likeness == Likeness::WhitespaceAndCase) out.append(" (only white space and case differ)");
  return out;
}

}  // namespace

std::string render_text(const View& view, bool colour) {
  std::size_t label_width = 0;
  for (const Section& s : view.sections) {
    if (s.shown && s.layout == Layout::Fields) {
      for (const Row& row : s.rows) label_width = std::max(label_width, detail::display_width(row.label));
    }
  }
  std::string out;
  Layout previous = Layout::Headline;
  for (const Section& s : view.sections) {
    if (!s.shown) continue;
    if (s.layout == Layout::Table || (s.layout == Layout::Fields && previous != Layout::Fields)) out.push_back('\n');
    if (s.layout == Layout::Table) out.append(terminal({Span{s.title, Mark::None}}, false)).push_back('\n');
    previous = s.layout;
    if (s.layout == Layout::Table) {
      text_table(out, s, colour);
      continue;
    }
    for (const Row& row : s.rows) {
      std::string line;
      if (s.layout == Layout::Notes) line.append(terminal({Span{row.label, Mark::Fail}}, colour)).append("  ");
      if (s.layout == Layout::Fields) line.append(row.label).append(label_width - detail::display_width(row.label) + 2, ' ');
      bool first = true;
      for (const Cell* cell : shown_cells(row)) {
        if (empty(cell->spans)) continue;
        if (!first) line.append("  ");
        first = false;
        line.append(terminal(cell->spans, colour));
      }
      out.append(line).push_back('\n');
    }
  }
  return out;
}

JsonValue render_json(const View& view) {
  JsonValue doc = JsonValue::object();
  auto members = [](const Row& row, JsonValue& into) {
    for (const Cell& cell : row.cells) {
      if (!cell.key.empty()) into.set(cell.key, cell.json);
    }
  };
  for (const Section& s : view.sections) {
    if (!s.in_json) continue;
    if (s.layout == Layout::Table) {
      JsonValue list = JsonValue::array();
      for (const Row& row : s.rows) members(row, list.push(JsonValue::object()));
      doc.set(s.json_key, std::move(list));
      continue;
    }
    JsonValue group = JsonValue::object();
    JsonValue& into = s.json_key.empty() ? doc : group;
    for (const Row& row : s.rows) {
      if (row.key.empty()) {
        members(row, into);
      } else {
        members(row, into.set(row.key, JsonValue::object()));
      }
    }
    if (!s.json_key.empty()) doc.set(s.json_key, std::move(group));
  }
  return doc;
}

std::string render_html(const View& view) {
  std::string out;
  out.append("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n");
  out.append("<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">\n");
  out.append("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>tessamer summary");
  for (const Section& s : view.sections) {
    if (s.layout == Layout::Headline && !s.rows.empty() && !s.rows[0].cells.empty()) {
      out.append(": ");
      append_markup(out, plain(s.rows[0].cells[0].spans));
    }
  }
  out.append("</title>\n<style>").append(kStyle).append("</style>\n</head>\n<body>\n");
  bool nav = false;
  for (const Section& s : view.sections) {
    if (!s.shown) continue;
    if (!nav && (s.layout == Layout::Fields || s.layout == Layout::Table)) {
      nav = true;
      out.append("<nav aria-label=\"sections\"><ol>");
      for (const Section& t : view.sections) {
        if (!t.shown || t.layout == Layout::Headline || t.layout == Layout::Notes) continue;
        out.append("<li><a href=\"#").append(t.id).append("\">");
        append_markup(out, t.title);
        out.append("</a></li>");
      }
      out.append("</ol></nav>\n");
    }
    switch (s.layout) {
      case Layout::Headline:
        out.append("<header>\n<h1>");
        for (const Row& row : s.rows) {
          for (const Cell* cell : shown_cells(row)) html_spans(out, cell->spans), out.push_back(' ');
        }
        out.append("</h1>\n</header>\n");
        break;
      case Layout::Notes:
        for (const Row& row : s.rows) {
          out.append("<p class=\"problem\" role=\"alert\"><strong>");
          append_markup(out, row.label);
          out.append("</strong> ");
          for (const Cell* cell : shown_cells(row)) html_spans(out, cell->spans);
          out.append("</p>\n");
        }
        break;
      case Layout::Fields:
      case Layout::Table:
        out.append("<section id=\"").append(s.id).append("\">\n<h2>");
        append_markup(out, s.title);
        out.append("</h2>\n");
        if (s.layout == Layout::Table) {
          html_table(out, s);
        } else {
          out.append("<table class=\"fields\">\n");
          for (const Row& row : s.rows) {
            out.append("<tr><th scope=\"row\">");
            append_markup(out, row.label);
            out.append("</th><td>");
            for (const Cell* cell : shown_cells(row)) {
              if (empty(cell->spans)) continue;
              out.append("<span class=\"item\">");
              html_spans(out, cell->spans);
              out.append("</span> ");
            }
            out.append("</td></tr>\n");
          }
          out.append("</table>\n");
        }
        if (!s.footnote.empty()) {
          out.append("<p class=\"quiet\">");
          append_markup(out, s.footnote);
          out.append("</p>\n");
        }
        out.append("</section>\n");
        break;
    }
  }
  out.append("</body>\n</html>\n");
  return out;
}

std::string render_junit(const Summary& s) {
  const RunResult& r = s.result;
  const ReportScan& rep = s.report;
  struct Case {
    std::string classname, name;
    std::string outcome;  // "failure", "error", "skipped", or empty: passed
    std::string type, message, text;
  };
  std::vector<Case> cases;
  auto examples_of = [&](auto&& wanted) {
    std::string text;
    for (const Example& e : rep.examples) {
      if (wanted(e)) text.append(example_text(s, e)).push_back('\n');
    }
    return text;
  };
  const std::uint64_t compared = r.compared_rows.value_or(0);
  for (std::size_t i = 0; i < r.column_pairs.size(); ++i) {
    const ColumnPair& pair = r.column_pairs[i];
    Case c{"tessamer.columns", detail::pair_label(pair.expected, pair.actual), "", "", "", ""};
    const std::uint64_t n = i < rep.by_column.size() ? rep.by_column[i].count : 0;
    if (n > 0) {
      c.outcome = "failure";
      c.type = std::string(formats::kCell);
      c.message = detail::plural(n, "cell differs", "cells differ") + " of " + grouped(compared) + " compared";
      if (compared > 0) c.message += " (" + detail::percent(n, compared) + ")";
      c.text = examples_of([&](const Example& e) {
        return e.type == DivergenceType::Cell && e.column == pair.expected && e.actual_column == pair.actual;
      });
    }
    cases.push_back(std::move(c));
  }
  const auto& t = rep.by_type;
  const std::uint64_t missing = t[static_cast<std::size_t>(DivergenceType::MissingRow)],
                      additional = t[static_cast<std::size_t>(DivergenceType::AdditionalRow)],
                      widths = t[static_cast<std::size_t>(DivergenceType::RowWidth)];
  Case rows{"tessamer.rows", "row counts", "", "", "", ""};
  if (missing + additional + widths > 0) {
    rows.outcome = "failure";
    rows.type = "ROWS";
    rows.message = detail::plural(missing, "missing record", "missing records") + ", " +
                   detail::plural(additional, "additional record", "additional records") + ", " +
                   detail::plural(widths, "record", "records") + " of another width than the header";
    rows.text = examples_of([](const Example& e) { return e.type != DivergenceType::Cell; });
  }
  cases.push_back(std::move(rows));
  if (s.request) {
    for (const Exclusion& x : s.request->exclusions) {
      const std::string name = x.expected && x.actual ? detail::pair_label(*x.expected, *x.actual)
                                                      : x.expected ? *x.expected + " (expected)" : x.actual.value_or("") + " (actual)";
      cases.push_back({"tessamer.exclusions", name, "skipped", "",
                       "excluded: " + x.reason + " (approved by " + x.approved_by + ", " + x.reference + ")",
                       "reason: " + x.reason + "\napprovedBy: " + x.approved_by + "\napprovalReference: " + x.reference + "\n"});
    }
  } else if (r.excluded_cells > 0) {
    cases.push_back({"tessamer.exclusions", "excluded columns", "skipped", "",
                     detail::plural(r.excluded_cells, "cell", "cells") + " excluded (their approvals are in the request)", ""});
  }
  auto trouble = [&](std::string name, const std::vector<std::string>& problems, bool checked) {
    if (!checked) return;
    Case c{"tessamer.trust", std::move(name), "", "", "", ""};
    if (!problems.empty()) {
      c.outcome = "error";
      c.type = "UNTRUSTED";
      c.message = problems.front();
      for (const std::string& p : problems) c.text.append(p).push_back('\n');
    }
    cases.push_back(std::move(c));
  };
  trouble("the report is this run's whole report", s.problems, rep.read);
  trouble("the request is this run's", s.request_problems, s.request.has_value());

  std::size_t failures = 0, errors = 0, skipped = 0;
  for (const Case& c : cases) {
    failures += c.outcome == "failure";
    errors += c.outcome == "error";
    skipped += c.outcome == "skipped";
  }
  char time[32];
  std::snprintf(time, sizeof time, "%.3f", static_cast<double>(r.duration_ms) / 1000.0);
  std::string suite = "tessamer";
  if (s.request) suite += ": " + s.request->expected_path + " against " + s.request->actual_path;
  std::string counts = "\" tests=\"" + std::to_string(cases.size()) + "\" failures=\"" + std::to_string(failures) +
                       "\" errors=\"" + std::to_string(errors) + "\" skipped=\"" + std::to_string(skipped) +
                       "\" time=\"" + time + "\"";
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"tessamer" + counts + ">\n";
  out.append("<testsuite name=\"");
  append_markup(out, suite);
  out.append(counts).append(">\n<properties>\n");
  auto property = [&](std::string_view name, std::string_view value) {
    out.append("<property name=\"").append(name).append("\" value=\"");
    append_markup(out, value);
    out.append("\"/>\n");
  };
  property("status", r.status);
  property("comparisonMode", r.comparison_mode);
  property("divergences", std::to_string(r.divergences));
  property("expectedSha256", r.expected_sha256);
  property("actualSha256", r.actual_sha256);
  property("expectedBytes", std::to_string(r.expected_bytes));
  property("actualBytes", std::to_string(r.actual_bytes));
  if (s.request) {
    property("request", s.request->path);
    property("expectedPath", s.request->expected_path);
    property("actualPath", s.request->actual_path);
    property("encoding", s.request->encoding);
  }
  out.append("</properties>\n");
  for (const Case& c : cases) {
    out.append("<testcase classname=\"").append(c.classname).append("\" name=\"");
    append_markup(out, c.name);
    out.append("\" time=\"0\"");
    if (c.outcome.empty()) {
      out.append("/>\n");
      continue;
    }
    out.append(">\n<").append(c.outcome).append(" message=\"");
    append_markup(out, c.message);
    out.append("\"");
    if (!c.type.empty()) out.append(" type=\"").append(c.type).append("\"");
    out.append(">");
    // Line ends stay line ends in the text of an element.
    for (std::size_t at = 0; at < c.text.size();) {
      const std::size_t end = std::min(c.text.find('\n', at), c.text.size());
      append_markup(out, std::string_view(c.text).substr(at, end - at));
      if (end < c.text.size()) out.push_back('\n');
      at = end + 1;
    }
    out.append("</").append(c.outcome).append(">\n</testcase>\n");
  }
  out.append("</testsuite>\n</testsuites>\n");
  return out;
}

}  // namespace tessamer::summary
