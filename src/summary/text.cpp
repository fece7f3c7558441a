// The terminal summary.
#include <algorithm>
#include <numeric>

#include "summary/detail.h"
#include "summary/summary.h"

namespace tessamer::summary {
namespace {

using detail::grouped;
using detail::Piece;
using detail::Shown;

constexpr std::size_t kValueWidth = 32;
constexpr std::size_t kColumnWidth = 24;
constexpr std::size_t kColumnRows = 20;

struct Style {
  bool on = false;
  std::string_view code(std::string_view ansi) const { return on ? ansi : std::string_view(); }
  std::string_view reset() const { return on ? "\x1b[0m" : ""; }
  std::string wrap(std::string_view text, std::string_view ansi) const {
    return std::string(code(ansi)).append(text).append(reset());
  }
};

constexpr std::string_view kBold = "\x1b[1m";
constexpr std::string_view kDim = "\x1b[2m";
constexpr std::string_view kFail = "\x1b[1;31m";
constexpr std::string_view kPass = "\x1b[1;32m";
constexpr std::string_view kWarn = "\x1b[1;33m";
constexpr std::string_view kRemoved = "\x1b[1;4;31m";
constexpr std::string_view kAdded = "\x1b[1;4;32m";

// A table cell: its pieces, the colour of its differing pieces (or of the whole cell), its width.
struct Cell {
  Shown shown;
  std::string_view colour;  // for differing pieces
  std::string_view whole;   // for the whole cell
};

Cell plain(std::string text, std::string_view whole = {}) {
  Cell cell;
  cell.shown.width = detail::display_width(text);
  cell.shown.pieces.push_back(Piece{std::move(text), false});
  cell.whole = whole;
  return cell;
}

// Rows of cells, columns padded to their widest cell; `right` columns are aligned right.
void render_table(std::string& out, const Style& style, const std::vector<std::vector<Cell>>& rows,
                  const std::vector<bool>& right, std::string_view indent = "  ") {
  std::vector<std::size_t> widths(right.size(), 0);
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].shown.width);
  }
  for (const auto& row : rows) {
    std::string line(indent);
    for (std::size_t i = 0; i < row.size(); ++i) {
      const Cell& cell = row[i];
      std::size_t pad = widths[i] - cell.shown.width;
      if (i > 0) line.append("  ");
      if (right[i]) line.append(pad, ' ');
      line.append(style.code(cell.whole));
      for (const Piece& piece : cell.shown.pieces) {
        if (piece.differs && !cell.colour.empty() && style.on) {
          line.append(cell.colour).append(piece.text).append(style.reset()).append(style.code(cell.whole));
        } else {
          line.append(piece.text);
        }
      }
      if (!cell.whole.empty()) line.append(style.reset());
      if (!right[i] && i + 1 < row.size()) line.append(pad, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out.append(line).push_back('\n');
  }
}

std::string short_digest(const std::string& digest) { return digest.size() > 12 ? digest.substr(0, 12) + "…" : digest; }

std::string plural(std::uint64_t n, std::string_view one, std::string_view many) {
  return grouped(n) + " " + std::string(n == 1 ? one : many);
}

std::string_view status_colour(const std::string& status) {
  if (status == "FAIL") return kFail;
  if (status == "PASS") return kPass;
  return kWarn;
}

Cell column_label(const ColumnPair& pair) {
  std::string label = pair.expected == pair.actual ? pair.expected : pair.expected + " → " + pair.actual;
  Cell cell;
  cell.shown = detail::show(KeptValue{label}, nullptr, kColumnWidth);
  return cell;
}

Cell value_cell(const std::optional<KeptValue>& value, const std::optional<KeptValue>& other,
                std::string_view colour, std::string_view absent) {
  if (!value) return plain(std::string(absent), kDim);
  if (value->text.empty() && !value->cut_before && !value->cut_after) return plain("(empty)", kDim);
  Cell cell;
  cell.shown = detail::show(*value, other ? &*other : nullptr, kValueWidth);
  cell.colour = colour;
  return cell;
}

}  // namespace

std::string render_text(const Summary& summary, bool colour) {
  const Style style{colour};
  const RunResult& r = summary.result;
  const ReportSummary& rep = summary.report;
  std::string out;
  std::string status = style.wrap(r.status, status_colour(r.status));

  if (r.identical()) {
    out.append(status).append("  the files are byte-identical (").append(detail::human_bytes(r.expected_bytes));
    out.append(", sha256 ").append(short_digest(r.expected_sha256)).append(")\n");
    return out;
  }

  out.append(status).append("  ");
  if (r.divergences > 0) {
    out.append(plural(r.divergences, "divergence", "divergences"));
  } else if (r.excluded_cells > 0) {
    out.append("no divergences outside ").append(plural(r.excluded_cells, "excluded cell", "excluded cells"));
  } else {
    out.append("no divergences");
  }
  out.push_back('\n');
  for (const std::string& problem : summary.problems) {
    out.append(style.wrap("INCOMPLETE REPORT", kFail)).append("  ").append(problem).push_back('\n');
  }
  out.push_back('\n');

  auto file_line = [&](std::uint64_t bytes, const std::string& digest) {
    std::string line = detail::human_bytes(bytes);
    if (bytes >= 1000) line.append(" (").append(grouped(bytes)).append(" bytes)");
    line.append("  sha256 ").append(short_digest(digest));
    return line;
  };
  out.append(style.wrap("expected", kBold)).append("  ").append(file_line(r.expected_bytes, r.expected_sha256)).push_back('\n');
  out.append(style.wrap("actual", kBold)).append("    ").append(file_line(r.actual_bytes, r.actual_sha256)).push_back('\n');
  out.append(style.wrap("rows", kBold)).append("      expected ").append(grouped(r.expected_rows.value_or(0)));
  out.append("  actual ").append(grouped(r.actual_rows.value_or(0)));
  out.append("  compared ").append(grouped(r.compared_rows.value_or(0)));
  out.append("  missing ").append(grouped(r.missing_rows));
  out.append("  additional ").append(grouped(r.additional_rows)).push_back('\n');
  const std::uint64_t cells = r.cells_compared.value_or(0);
  const std::uint64_t divergent = rep.by_type[static_cast<std::size_t>(DivergenceType::Cell)];
  out.append(style.wrap("cells", kBold)).append("     compared ").append(grouped(cells));
  out.append("  divergent ").append(grouped(divergent));
  if (cells > 0) out.append(" (").append(detail::percent(divergent, cells)).append(")");
  out.append("  excluded ").append(grouped(r.excluded_cells)).push_back('\n');

  if (rep.lines == 0) return out;

  out.append("\n").append(style.wrap("by type", kBold)).push_back('\n');
  std::vector<std::vector<Cell>> type_rows;
  for (DivergenceType type : kTypes) {
    type_rows.push_back({plain(std::string(type_name(type))), plain(grouped(rep.by_type[static_cast<std::size_t>(type)]))});
  }
  render_table(out, style, type_rows, {false, true});

  // Columns with divergences, most first.
  const std::vector<std::size_t> order = detail::columns_by_count(rep);
  if (!order.empty()) {
    out.append("\n").append(style.wrap("by column", kBold)).push_back('\n');
    std::vector<std::vector<Cell>> rows;
    rows.push_back({plain("column", kDim), plain("count", kDim), plain("share", kDim), plain("first", kDim),
                    plain("last", kDim)});
    const std::uint64_t compared = r.compared_rows.value_or(0);
    for (std::size_t k = 0; k < order.size() && k < kColumnRows; ++k) {
      const ColumnCount& c = rep.by_column[order[k]];
      rows.push_back({column_label(r.column_pairs[order[k]]), plain(grouped(c.count)),
                      plain(detail::percent(c.count, compared)), plain(grouped(c.first_record)),
                      plain(grouped(c.last_record))});
    }
    render_table(out, style, rows, {false, true, true, true, true});
    if (order.size() > kColumnRows) {
      out.append("  … ").append(plural(order.size() - kColumnRows, "more column", "more columns")).append(" with divergences\n");
    }
  }

  if (!rep.first.empty()) {
    out.append("\n").append(style.wrap("first " + grouped(rep.first.size()) + " of " + plural(rep.lines, "divergence", "divergences"), kBold)).push_back('\n');
    std::vector<std::vector<Cell>> rows;
    rows.push_back({plain("record", kDim), plain("type", kDim), plain("column", kDim), plain("expected", kDim),
                    plain("actual", kDim)});
    for (const Divergence& d : rep.first) {
      std::vector<Cell> row{plain(grouped(d.record)), plain(std::string(type_name(d.type)))};
      switch (d.type) {
        case DivergenceType::Cell:
          row.push_back(column_label(ColumnPair{d.column, d.actual_column, 0, 0}));
          row.push_back(value_cell(d.expected, d.actual, kRemoved, "(no field)"));
          row.push_back(value_cell(d.actual, d.expected, kAdded, "(no field)"));
          break;
        case DivergenceType::RowWidth:
          row.push_back(plain(""));
          row.push_back(plain(plural(d.expected_values, "value", "values") + " for " + grouped(d.expected_columns) + " columns"));
          row.push_back(plain(plural(d.actual_values, "value", "values") + " for " + grouped(d.actual_columns) + " columns"));
          break;
        case DivergenceType::MissingRow:
        case DivergenceType::AdditionalRow:
          row.push_back(plain(""));
          row.push_back(value_cell(d.expected, std::nullopt, {}, "(no record)"));
          row.push_back(value_cell(d.actual, std::nullopt, {}, "(no record)"));
          break;
      }
      rows.push_back(std::move(row));
    }
    render_table(out, style, rows, {true, false, false, false, false});
  }
  return out;
}

}  // namespace tessamer::summary
