// The summary as one self-contained HTML page: inline style, inline SVG, no scripts.
#include <algorithm>
#include <numeric>

#include "summary/detail.h"
#include "summary/summary.h"

namespace tessamer::summary {
namespace {

using detail::grouped;

constexpr std::size_t kChartBars = 30;
constexpr std::size_t kTableColumns = 200;
constexpr std::size_t kValueWidth = 120;

void escape(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '&': out.append("&amp;"); break;
      case '<': out.append("&lt;"); break;
      case '>': out.append("&gt;"); break;
      case '"': out.append("&quot;"); break;
      case '\'': out.append("&#39;"); break;
      default: out.push_back(c);
    }
  }
}

std::string esc(std::string_view text) {
  std::string out;
  escape(out, text);
  return out;
}

// Shown text with its differing pieces in <mark class="...">.
std::string marked(const detail::Shown& shown, std::string_view mark_class) {
  std::string out;
  for (const detail::Piece& piece : shown.pieces) {
    if (piece.differs && !mark_class.empty()) {
      out.append("<mark class=\"").append(mark_class).append("\">");
      escape(out, piece.text);
      out.append("</mark>");
    } else {
      escape(out, piece.text);
    }
  }
  return out;
}

std::string plain_shown(std::string_view text, std::size_t width) {
  return marked(detail::show(KeptValue{std::string(text)}, nullptr, width), {});
}

std::string value_html(const std::optional<KeptValue>& value, const std::optional<KeptValue>& other,
                       std::string_view mark_class, std::string_view absent) {
  if (!value) return "<span class=\"absent\">" + std::string(absent) + "</span>";
  if (value->text.empty() && !value->cut_before && !value->cut_after) return "<span class=\"absent\">(empty)</span>";
  return marked(detail::show(*value, other ? &*other : nullptr, kValueWidth), mark_class);
}

std::string label(const ColumnPair& pair) {
  return pair.expected == pair.actual ? pair.expected : pair.expected + " → " + pair.actual;
}

std::string plural(std::uint64_t n, std::string_view one, std::string_view many) {
  return grouped(n) + " " + std::string(n == 1 ? one : many);
}

constexpr std::string_view kStyle = R"(
body{font:15px/1.45 system-ui,-apple-system,"Segoe UI",sans-serif;margin:2rem auto;max-width:72rem;padding:0 1rem;color:#1d2430;background:#fff}
h1{font-size:1.6rem;margin:0 0 .25rem}h2{font-size:1.1rem;margin:1.8rem 0 .5rem}
.status{display:inline-block;padding:.1rem .6rem;border-radius:.3rem;color:#fff;margin-right:.5rem}
.status.FAIL{background:#c0392b}.status.PASS{background:#1e8449}.status.PASS_WITH_EXCLUSIONS{background:#b9770e}
.problem{background:#fdecea;border-left:4px solid #c0392b;padding:.5rem .8rem;margin:.5rem 0}
table{border-collapse:collapse;margin:.3rem 0}th,td{padding:.25rem .7rem;border-bottom:1px solid #e3e6ea;text-align:left;vertical-align:top}
th{font-weight:600;color:#555;background:#f6f7f9}td.n,th.n{text-align:right;font-variant-numeric:tabular-nums}
td.v{font-family:ui-monospace,"DejaVu Sans Mono",monospace;font-size:13px;white-space:pre-wrap;word-break:break-all;max-width:30rem}
mark.del{background:#f5b7b1;color:#78281f}mark.ins{background:#abebc6;color:#145a32}
.absent{color:#888;font-style:italic}.muted{color:#666}
svg.chart text{font-size:12px;fill:#1d2430}svg.chart rect.bar{fill:#c0392b}
)";

}  // namespace

std::string render_html(const Summary& summary) {
  const RunResult& r = summary.result;
  const ReportSummary& rep = summary.report;
  std::string out;
  out.reserve(16384);
  out.append("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n");
  out.append("<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">\n");
  out.append("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n");
  out.append("<title>tessamer summary: ").append(esc(r.status)).append("</title>\n<style>").append(kStyle);
  out.append("</style>\n</head>\n<body>\n<header>\n<h1><span class=\"status ").append(esc(r.status)).append("\">");
  out.append(esc(r.status)).append("</span>");
  if (r.identical()) {
    out.append("the files are byte-identical");
  } else if (r.divergences > 0) {
    out.append(esc(plural(r.divergences, "divergence", "divergences")));
  } else {
    out.append("no divergences");
  }
  out.append("</h1>\n</header>\n");
  for (const std::string& problem : summary.problems) {
    out.append("<p class=\"problem\" role=\"alert\"><strong>Incomplete report:</strong> ").append(esc(problem)).append("</p>\n");
  }

  out.append("<h2>Files</h2>\n<table id=\"files\">\n<tr><th></th><th class=\"n\">size</th><th class=\"n\">bytes</th><th>SHA-256</th></tr>\n");
  auto file_row = [&](std::string_view side, std::uint64_t bytes, const std::string& digest) {
    out.append("<tr><th>").append(side).append("</th><td class=\"n\">").append(detail::human_bytes(bytes));
    out.append("</td><td class=\"n\">").append(grouped(bytes)).append("</td><td class=\"v\">").append(esc(digest));
    out.append("</td></tr>\n");
  };
  file_row("expected", r.expected_bytes, r.expected_sha256);
  file_row("actual", r.actual_bytes, r.actual_sha256);
  out.append("</table>\n");

  if (!r.identical()) {
    const std::uint64_t cells = r.cells_compared.value_or(0);
    const std::uint64_t divergent = rep.by_type[static_cast<std::size_t>(DivergenceType::Cell)];
    out.append("<h2>Counts</h2>\n<table id=\"counts\">\n<tr><th>rows</th><td>expected ");
    out.append(grouped(r.expected_rows.value_or(0))).append(", actual ").append(grouped(r.actual_rows.value_or(0)));
    out.append(", compared ").append(grouped(r.compared_rows.value_or(0))).append(", missing ");
    out.append(grouped(r.missing_rows)).append(", additional ").append(grouped(r.additional_rows)).append("</td></tr>\n");
    out.append("<tr><th>cells</th><td>compared ").append(grouped(cells)).append(", divergent ").append(grouped(divergent));
    if (cells > 0) out.append(" (").append(detail::percent(divergent, cells)).append(")");
    out.append(", excluded ").append(grouped(r.excluded_cells)).append("</td></tr>\n</table>\n");
  }

  if (rep.lines > 0) {
    out.append("<h2>By type</h2>\n<table id=\"by-type\">\n<tr><th>type</th><th class=\"n\">count</th></tr>\n");
    for (DivergenceType type : kTypes) {
      out.append("<tr><td>").append(type_name(type)).append("</td><td class=\"n\">");
      out.append(grouped(rep.by_type[static_cast<std::size_t>(type)])).append("</td></tr>\n");
    }
    out.append("</table>\n");
  }

  const std::vector<std::size_t> order = detail::columns_by_count(rep);
  if (!order.empty()) {
    const std::uint64_t compared = r.compared_rows.value_or(0);
    out.append("<h2>By column</h2>\n");
    const std::size_t bars = std::min(order.size(), kChartBars);
    const double top = static_cast<double>(rep.by_column[order[0]].count);
    constexpr int kLabel = 190, kBar = 460, kRow = 24;
    const int height = static_cast<int>(bars) * kRow + 8;
    out.append("<svg class=\"chart\" id=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" width=\"760\" height=\"");
    out.append(std::to_string(height)).append("\" viewBox=\"0 0 760 ").append(std::to_string(height));
    out.append("\" role=\"img\" aria-label=\"divergences by column\">\n");
    for (std::size_t k = 0; k < bars; ++k) {
      const ColumnCount& c = rep.by_column[order[k]];
      const int y = static_cast<int>(k) * kRow + 4;
      int width = static_cast<int>(static_cast<double>(c.count) / top * kBar);
      width = std::max(width, 1);
      std::string name = label(r.column_pairs[order[k]]);
      out.append("<g><text x=\"").append(std::to_string(kLabel - 8)).append("\" y=\"").append(std::to_string(y + 15));
      out.append("\" text-anchor=\"end\">").append(plain_shown(name, 26)).append("</text>");
      out.append("<rect class=\"bar\" x=\"").append(std::to_string(kLabel)).append("\" y=\"").append(std::to_string(y));
      out.append("\" width=\"").append(std::to_string(width)).append("\" height=\"18\"><title>");
      out.append(esc(name)).append(": ").append(grouped(c.count)).append("</title></rect>");
      out.append("<text x=\"").append(std::to_string(kLabel + width + 6)).append("\" y=\"").append(std::to_string(y + 15));
      out.append("\">").append(grouped(c.count)).append("</text></g>\n");
    }
    out.append("</svg>\n");
    if (order.size() > bars) {
      out.append("<p class=\"muted\">The chart shows the ").append(std::to_string(bars)).append(" columns with the most divergences of ");
      out.append(grouped(order.size())).append(".</p>\n");
    }
    out.append("<table id=\"by-column\">\n<tr><th>column</th><th class=\"n\">count</th><th class=\"n\">share</th><th class=\"n\">first record</th><th class=\"n\">last record</th></tr>\n");
    for (std::size_t k = 0; k < order.size() && k < kTableColumns; ++k) {
      const ColumnCount& c = rep.by_column[order[k]];
      out.append("<tr><td>").append(plain_shown(label(r.column_pairs[order[k]]), 60)).append("</td><td class=\"n\">");
      out.append(grouped(c.count)).append("</td><td class=\"n\">").append(detail::percent(c.count, compared));
      out.append("</td><td class=\"n\">").append(grouped(c.first_record)).append("</td><td class=\"n\">");
      out.append(grouped(c.last_record)).append("</td></tr>\n");
    }
    out.append("</table>\n");
  }

  if (!rep.first.empty()) {
    out.append("<h2>First ").append(grouped(rep.first.size())).append(" of ").append(esc(plural(rep.lines, "divergence", "divergences")));
    out.append("</h2>\n<table id=\"divergences\">\n<thead><tr><th class=\"n\">record</th><th>type</th><th>column</th><th>expected</th>");
    out.append("<th>actual</th></tr></thead>\n<tbody>\n");
    for (const Divergence& d : rep.first) {
      out.append("<tr><td class=\"n\">").append(grouped(d.record)).append("</td><td>").append(type_name(d.type));
      out.append("</td><td>");
      std::string expected, actual;
      switch (d.type) {
        case DivergenceType::Cell:
          out.append(plain_shown(label(ColumnPair{d.column, d.actual_column, 0, 0}), 60));
          expected = value_html(d.expected, d.actual, "del", "(no field)");
          actual = value_html(d.actual, d.expected, "ins", "(no field)");
          break;
        case DivergenceType::RowWidth:
          expected = esc(plural(d.expected_values, "value", "values") + " for " + grouped(d.expected_columns) + " columns");
          actual = esc(plural(d.actual_values, "value", "values") + " for " + grouped(d.actual_columns) + " columns");
          break;
        case DivergenceType::MissingRow:
        case DivergenceType::AdditionalRow:
          expected = value_html(d.expected, std::nullopt, {}, "(no record)");
          actual = value_html(d.actual, std::nullopt, {}, "(no record)");
          break;
      }
      out.append("</td><td class=\"v\">").append(expected).append("</td><td class=\"v\">").append(actual);
      out.append("</td></tr>\n");
    }
    out.append("</tbody>\n</table>\n");
  }
  out.append("</body>\n</html>\n");
  return out;
}

}  // namespace tessamer::summary
