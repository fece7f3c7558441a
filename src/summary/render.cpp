// The renderers: the view as terminal text, as a JSON document, as an HTML page and as JUnit XML.
#include <algorithm>
#include <cstdio>
#include <utility>

#include "core/utf8.h"
#include "summary/detail.h"
#include "summary/summary.h"

namespace tessamer::summary {
namespace {

using Layout = Section::Layout;

bool marks_difference(Mark mark) { return mark == Mark::Removed || mark == Mark::Added; }

// Spans as terminal text: in colour, or with the differing spans in brackets.
std::string terminal(const std::vector<Span>& spans, bool colour) {
  static constexpr std::string_view kCodes[] = {"", "\x1b[1;4;31m", "\x1b[1;4;32m", "\x1b[2m", "\x1b[1;32m", "\x1b[1;31m", "\x1b[1;33m"};
  std::string out;
  for (const Span& span : spans) {
    const std::string_view code = colour ? kCodes[static_cast<std::size_t>(span.mark)] : "";
    const bool brackets = !colour && marks_difference(span.mark);
    out.append(code).append(brackets ? "[" : "").append(span.text).append(brackets ? "]" : "").append(code.empty() ? "" : "\x1b[0m");
  }
  return out;
}
std::string plain(const std::vector<Span>& spans) { return terminal(spans, false); }

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
  std::vector<std::vector<std::vector<Span>>> rows(1);
  for (const std::string& column : s.columns) rows[0].push_back({Span{column, Mark::Quiet}});
  for (const Row& row : s.rows) {
    rows.emplace_back();
    for (const Cell* cell : shown_cells(row)) rows.back().push_back(cell->spans);
  }
  std::vector<std::size_t> widths(s.columns.size(), 0);
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) widths[i] = std::max(widths[i], width(row[i], colour));
  }
  for (const auto& row : rows) {
    std::string line = " ";
    for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) {
      const std::string pad(widths[i] - width(row[i], colour), ' ');
      const bool right = s.kinds[i] == ColumnKind::Number;
      line.append(" ").append(right ? pad : "").append(terminal(row[i], colour)).append(right ? "" : pad).append(" ");
    }
    while (line.back() == ' ') line.pop_back();
    out.append(line).push_back('\n');
  }
  if (!s.footnote.empty()) out.append("  ").append(s.footnote).push_back('\n');
}

constexpr std::string_view kStyle = R"(
*{box-sizing:border-box}h1{font-size:1.45rem;margin:.4rem 0}h2{font-size:1.1rem;margin:1.6rem 0 .4rem}
body{font:15px/1.45 system-ui,-apple-system,"Segoe UI",sans-serif;margin:0 auto;max-width:75rem;padding:1rem;color:#1d2430}
h1,p,td,th,li{overflow-wrap:break-word}td.v,.fields td{overflow-wrap:anywhere}.quiet{color:#666}
nav ol{display:flex;flex-wrap:wrap;gap:.2rem 1.1rem;list-style:none;padding:0;margin:.6rem 0}
.pass,.fail,.warn{display:inline-block;padding:.05rem .55rem;border-radius:.3rem;color:#fff;margin-right:.4rem}
.pass{background:#1e8449}.fail{background:#c0392b}.warn{background:#b9770e}
.problem{background:#fdecea;border-left:4px solid #c0392b;padding:.5rem .8rem;margin:.5rem 0}
table{border-collapse:collapse;width:100%}th{font-weight:600;color:#555;background:#f6f7f9}
th,td{padding:.25rem .6rem;border-bottom:1px solid #e3e6ea;text-align:left;vertical-align:top}
.n{text-align:right;font-variant-numeric:tabular-nums;white-space:nowrap}
.v{font-family:ui-monospace,"DejaVu Sans Mono",monospace;font-size:13px;white-space:pre-wrap}
table.fields th{width:7rem;white-space:nowrap}.item{display:inline-block;margin-right:1.2rem}
td.bar{width:25%;min-width:3rem}td.bar svg{display:block;width:100%;height:.8rem}td.bar rect{fill:#c0392b}
mark.del{background:#f5b7b1;color:#78281f}mark.ins{background:#abebc6;color:#145a32}
@media (max-width:40rem){table.rows thead{display:none}table.rows tr{display:block;border-bottom:1px solid #c8ccd2;padding:.3rem 0}
table.rows td{display:grid;grid-template-columns:6.5rem minmax(0,1fr);gap:.6rem;border:0;padding:.1rem .2rem;text-align:left;
white-space:normal;overflow-wrap:anywhere}table.rows td.v{white-space:pre-wrap}td.bar{width:auto}table.fields th{width:5rem}
table.rows td::before{content:attr(data-label);color:#666;font-family:system-ui,sans-serif;font-size:13px}}
)";

// Markup in the making: tags as written, and every text through the one escaping.
struct Markup {
  std::string out;
  Markup& raw(std::string_view s) {
    out.append(s);
    return *this;
  }
  Markup& text(std::string_view s) {
    detail::append_markup(out, s);
    return *this;
  }
  // Text with a break opportunity inside every run of 24 characters that has none, so that a
  // long name or value wraps instead of widening its table.
  Markup& breakable(std::string_view s) {
    std::size_t run = 0, from = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
      const auto c = static_cast<unsigned char>(s[i]);
      if (utf8::is_continuation(c)) continue;
      if (c == ' ' || c == '-' || c == '/' || c == ',') {
        run = 0;
      } else if (++run > 24) {
        text(s.substr(from, i - from)).raw("<wbr>");
        from = i;
        run = 1;
      }
    }
    return text(s.substr(from));
  }
  Markup& spans(const std::vector<Span>& spans) {
    static constexpr std::string_view kOpen[] = {"", "<mark class=\"del\">", "<mark class=\"ins\">", "<span class=\"quiet\">",
                                                 "<span class=\"pass\">", "<span class=\"fail\">", "<span class=\"warn\">"};
    for (const Span& span : spans) {
      const std::string_view open = kOpen[static_cast<std::size_t>(span.mark)];
      raw(open).breakable(span.text).raw(open.empty() ? "" : marks_difference(span.mark) ? "</mark>" : "</span>");
    }
    return *this;
  }
};

void html_table(Markup& m, const Section& s) {
  static constexpr std::string_view kClass[] = {"", " class=\"n\"", " class=\"v\""};
  const bool bars = std::ranges::any_of(s.rows, [](const Row& r) { return r.bar.has_value(); });
  m.raw("<table class=\"rows\">\n<thead><tr>");
  for (std::size_t i = 0; i < s.columns.size(); ++i) {
    m.raw(s.kinds[i] == ColumnKind::Number ? "<th class=\"n\"" : "<th").raw(" scope=\"col\">").text(s.columns[i]).raw("</th>");
  }
  m.raw(bars ? "<th>chart</th>" : "").raw("</tr></thead>\n<tbody>\n");
  for (const Row& row : s.rows) {
    m.raw("<tr>");
    const std::vector<const Cell*> cells = shown_cells(row);
    for (std::size_t i = 0; i < cells.size() && i < s.columns.size(); ++i) {
      // One element inside, so that a cell stacked under its label stays one piece.
      m.raw("<td").raw(kClass[static_cast<std::size_t>(s.kinds[i])]).raw(" data-label=\"").text(s.columns[i]);
      m.raw("\"><span>").spans(cells[i]->spans).raw("</span></td>");
    }
    if (row.bar) {
      char width[32];
      std::snprintf(width, sizeof width, "%.1f", std::max(*row.bar * 100, 0.5));
      const std::string title = row.label + ": " + (cells.size() > 1 ? plain(cells[1]->spans) : "");
      m.raw("<td class=\"bar\" data-label=\"chart\"><svg viewBox=\"0 0 100 10\" preserveAspectRatio=\"none\" role=\"img\" aria-label=\"");
      m.text(title).raw("\"><rect width=\"").raw(width).raw("\" height=\"10\"><title>").text(title).raw("</title></rect></svg></td>");
    }
    m.raw("</tr>\n");
  }
  m.raw("</tbody>\n</table>\n");
}

}  // namespace

std::string render_text(const View& view, bool colour) {
  std::size_t label_width = 0;
  for (const Section& s : view.sections) {
    if (!s.shown || s.layout != Layout::Fields) continue;
    for (const Row& row : s.rows) label_width = std::max(label_width, detail::display_width(row.label));
  }
  std::string out;
  Layout previous = Layout::Headline;
  for (const Section& s : view.sections) {
    if (!s.shown) continue;
    if (s.layout == Layout::Table || (s.layout == Layout::Fields && previous != Layout::Fields)) out.push_back('\n');
    previous = s.layout;
    if (s.layout == Layout::Table) {
      text_table(out.append(s.title).append("\n"), s, colour);
      continue;
    }
    for (const Row& row : s.rows) {
      std::string line;
      if (s.layout == Layout::Notes) line.append(terminal({Span{row.label, Mark::Fail}}, colour)).append("  ");
      if (s.layout == Layout::Fields) line.append(row.label).append(label_width - detail::display_width(row.label) + 2, ' ');
      for (const Cell* cell : shown_cells(row)) {
        if (!empty(cell->spans)) line.append(line.empty() || line.back() == ' ' ? "" : "  ").append(terminal(cell->spans, colour));
      }
      out.append(line).push_back('\n');
    }
  }
  return out;
}

JsonValue render_json(const View& view) {
  JsonValue doc = JsonValue::object();
  auto members = [](const Row& row, JsonValue& into) -> JsonValue& {
    for (const Cell& cell : row.cells) {
      if (!cell.key.empty()) into.set(cell.key, cell.json);
    }
    return into;
  };
  for (const Section& s : view.sections) {
    if (!s.in_json) continue;
    JsonValue group = s.layout == Layout::Table ? JsonValue::array() : JsonValue::object();
    JsonValue& into = s.json_key.empty() ? doc : group;
    for (const Row& row : s.rows) {
      if (s.layout == Layout::Table) {
        members(row, into.push(JsonValue::object()));
      } else {
        members(row, row.key.empty() ? into : into.set(row.key, JsonValue::object()));
      }
    }
    if (!s.json_key.empty()) doc.set(s.json_key, std::move(group));
  }
  return doc;
}

std::string render_html(const View& view) {
  Markup m;
  m.raw("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n");
  m.raw("<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">\n");
  m.raw("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>tessamer summary: ");
  m.text(plain(view.sections.front().rows.front().cells.front().spans)).raw("</title>\n<style>").raw(kStyle);
  m.raw("</style>\n</head>\n<body>\n");
  // The table of contents lists the sections with a heading, and goes before the first of them.
  auto listed = [](const Section& s) { return s.shown && (s.layout == Layout::Fields || s.layout == Layout::Table); };
  Markup nav;
  nav.raw("<nav aria-label=\"sections\"><ol>");
  for (const Section& s : view.sections) {
    if (listed(s)) nav.raw("<li><a href=\"#").raw(s.id).raw("\">").text(s.title).raw("</a></li>");
  }
  nav.raw("</ol></nav>\n");
  for (const Section& s : view.sections) {
    if (!s.shown) continue;
    if (listed(s)) m.raw(std::exchange(nav.out, {}));
    if (s.layout == Layout::Headline) {
      m.raw("<header>\n<h1>");
      for (const Cell* cell : shown_cells(s.rows.front())) m.spans(cell->spans).raw(" ");
      m.raw("</h1>\n</header>\n");
      continue;
    }
    if (s.layout == Layout::Notes) {
      for (const Row& row : s.rows) {
        m.raw("<p class=\"problem\" role=\"alert\"><strong>").text(row.label).raw("</strong> ");
        for (const Cell* cell : shown_cells(row)) m.spans(cell->spans);
        m.raw("</p>\n");
      }
      continue;
    }
    m.raw("<section id=\"").raw(s.id).raw("\">\n<h2>").text(s.title).raw("</h2>\n");
    if (s.layout == Layout::Table) {
      html_table(m, s);
    } else {
      m.raw("<table class=\"fields\">\n");
      for (const Row& row : s.rows) {
        m.raw("<tr><th scope=\"row\">").text(row.label).raw("</th><td>");
        for (const Cell* cell : shown_cells(row)) {
          if (!empty(cell->spans)) m.raw("<span class=\"item\">").spans(cell->spans).raw("</span> ");
        }
        m.raw("</td></tr>\n");
      }
      m.raw("</table>\n");
    }
    if (!s.footnote.empty()) m.raw("<p class=\"quiet\">").text(s.footnote).raw("</p>\n");
    m.raw("</section>\n");
  }
  return m.raw("</body>\n</html>\n").out;
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
  // The examples as the view shows them, one line each.
  const View view = build_view(s, {120, 0, true});
  const Section& examples = *std::ranges::find(view.sections, "examples", &Section::id);
  // The section has a row for each example, in order.
  auto lines_of = [&](auto wanted) {
    std::string text;
    for (std::size_t k = 0; k < rep.examples.size(); ++k) {
      if (!wanted(rep.examples[k])) continue;
      const std::vector<const Cell*> cells = shown_cells(examples.rows[k]);
      for (std::size_t i = 0; i < cells.size(); ++i) {
        if (!empty(cells[i]->spans)) text.append(i == 0 ? "" : ", ").append(examples.columns[i] + " " + plain(cells[i]->spans));
      }
      text.push_back('\n');
    }
    return text;
  };
  const std::uint64_t compared = r.compared_rows.value_or(0);
  for (std::size_t i = 0; i < r.column_pairs.size(); ++i) {
    const ColumnPair& pair = r.column_pairs[i];
    const std::uint64_t n = i < rep.by_column.size() ? rep.by_column[i].count : 0;
    Case& c = cases.emplace_back(Case{"tessamer.columns", detail::pair_label(pair.expected, pair.actual), "", "", "", ""});
    if (n == 0) continue;
    c.outcome = "failure";
    c.type = std::string(formats::kCell);
    c.message = detail::plural(n, "cell differs", "cells differ") + " of " + detail::grouped(compared) + " compared" +
                (compared > 0 ? " (" + detail::percent(n, compared) + ")" : "");
    c.text = lines_of([&](const Example& e) {
      return e.type == DivergenceType::Cell && e.column == pair.expected && e.actual_column == pair.actual;
    });
  }
  auto count = [&](DivergenceType t) { return rep.by_type[static_cast<std::size_t>(t)]; };
  const std::uint64_t missing = count(DivergenceType::MissingRow), additional = count(DivergenceType::AdditionalRow),
                      widths = count(DivergenceType::RowWidth);
  Case& rows = cases.emplace_back(Case{"tessamer.rows", "row counts", "", "", "", ""});
  if (missing + additional + widths > 0) {
    rows = {rows.classname, rows.name, "failure", "ROWS",
            detail::plural(missing, "missing record", "missing records") + ", " +
                detail::plural(additional, "additional record", "additional records") + ", " +
                detail::plural(widths, "record", "records") + " of another width than the header",
            lines_of([](const Example& e) { return e.type != DivergenceType::Cell; })};
  }
  for (const Exclusion& x : s.request ? s.request->exclusions : std::vector<Exclusion>{}) {
    const std::string name = x.expected && x.actual ? detail::pair_label(*x.expected, *x.actual)
                             : x.expected          ? *x.expected + " (expected)"
                                                   : x.actual.value_or("") + " (actual)";
    cases.push_back({"tessamer.exclusions", name, "skipped", "",
                     "excluded: " + x.reason + " (approved by " + x.approved_by + ", " + x.reference + ")",
                     "reason: " + x.reason + "\napprovedBy: " + x.approved_by + "\napprovalReference: " + x.reference + "\n"});
  }
  if (!s.request && r.excluded_cells > 0) {
    cases.push_back({"tessamer.exclusions", "excluded columns", "skipped", "",
                     detail::plural(r.excluded_cells, "cell", "cells") + " excluded (their approvals are in the request)", ""});
  }
  auto trust = [&](std::string name, const std::vector<std::string>& problems) {
    Case& c = cases.emplace_back(Case{"tessamer.trust", std::move(name), "", "", "", ""});
    if (problems.empty()) return;
    c = {c.classname, c.name, "error", "UNTRUSTED", problems.front(), ""};
    for (const std::string& p : problems) c.text.append(p).push_back('\n');
  };
  if (rep.read) trust("the report is this run's whole report", s.problems);
  if (s.request) trust("the request is this run's", s.request_problems);

  auto outcomes = [&](std::string_view outcome) {
    return std::to_string(std::ranges::count_if(cases, [&](const Case& c) { return c.outcome == outcome; }));
  };
  char time[32];
  std::snprintf(time, sizeof time, "%.3f", static_cast<double>(r.duration_ms) / 1000.0);
  const std::string counts = "\" tests=\"" + std::to_string(cases.size()) + "\" failures=\"" + outcomes("failure") +
                             "\" errors=\"" + outcomes("error") + "\" skipped=\"" + outcomes("skipped") + "\" time=\"" + time + "\"";
  Markup m;
  m.raw("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"tessamer").raw(counts).raw(">\n<testsuite name=\"tessamer");
  if (s.request) m.text(": " + s.request->expected_path + " against " + s.request->actual_path);
  m.raw(counts).raw(">\n<properties>\n");
  std::vector<std::pair<std::string_view, std::string>> properties = {
      {"status", r.status}, {"comparisonMode", r.comparison_mode}, {"divergences", std::to_string(r.divergences)},
      {"expectedSha256", r.expected_sha256}, {"actualSha256", r.actual_sha256},
      {"expectedBytes", std::to_string(r.expected_bytes)}, {"actualBytes", std::to_string(r.actual_bytes)}};
  if (s.request) {
    properties.insert(properties.end(), {{"request", s.request->path}, {"expectedPath", s.request->expected_path},
                                         {"actualPath", s.request->actual_path}, {"encoding", s.request->encoding}});
  }
  for (const auto& [name, value] : properties) m.raw("<property name=\"").raw(name).raw("\" value=\"").text(value).raw("\"/>\n");
  m.raw("</properties>\n");
  for (const Case& c : cases) {
    m.raw("<testcase classname=\"").raw(c.classname).raw("\" name=\"").text(c.name).raw("\" time=\"0\"");
    if (c.outcome.empty()) {
      m.raw("/>\n");
      continue;
    }
    m.raw(">\n<").raw(c.outcome).raw(" message=\"").text(c.message).raw("\"");
    if (!c.type.empty()) m.raw(" type=\"").raw(c.type).raw("\"");
    m.raw(">");
    // Line ends stay line ends in the text of an element.
    for (std::size_t at = 0; at < c.text.size();) {
      const std::size_t end = std::min(c.text.find('\n', at), c.text.size());
      m.text(std::string_view(c.text).substr(at, end - at)).raw(end < c.text.size() ? "\n" : "");
      at = end + 1;
    }
    m.raw("</").raw(c.outcome).raw(">\n</testcase>\n");
  }
  return m.raw("</testsuite>\n</testsuites>\n").out;
}

}  // namespace tessamer::summary
