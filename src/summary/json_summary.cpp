// The summary as one JSON document, for tools that want the aggregation without the report.
#include "summary/detail.h"
#include "summary/summary.h"

namespace tessamer::summary {
namespace {

JsonValue optional_number(const std::optional<std::uint64_t>& n) { return n ? JsonValue::number(*n) : JsonValue(); }

JsonValue kept(const std::optional<KeptValue>& value) {
  return value ? JsonValue::string(value->text) : JsonValue();
}

bool shortened(const std::optional<KeptValue>& value) { return value && (value->cut_before || value->cut_after); }

JsonValue file(std::uint64_t bytes, const std::string& digest) {
  JsonValue f = JsonValue::object();
  f.set("bytes", JsonValue::number(bytes));
  f.set("sha256", JsonValue::string(digest));
  return f;
}

}  // namespace

JsonValue summary_json(const Summary& summary) {
  const RunResult& r = summary.result;
  const ReportSummary& rep = summary.report;
  JsonValue doc = JsonValue::object();
  doc.set("status", JsonValue::string(r.status));
  doc.set("identical", JsonValue::boolean(r.identical()));
  doc.set("divergences", JsonValue::number(r.divergences));
  doc.set("expected", file(r.expected_bytes, r.expected_sha256));
  doc.set("actual", file(r.actual_bytes, r.actual_sha256));

  JsonValue rows = JsonValue::object();
  rows.set("expected", optional_number(r.expected_rows));
  rows.set("actual", optional_number(r.actual_rows));
  rows.set("compared", optional_number(r.compared_rows));
  rows.set("missing", JsonValue::number(r.missing_rows));
  rows.set("additional", JsonValue::number(r.additional_rows));
  doc.set("rows", std::move(rows));

  JsonValue cells = JsonValue::object();
  cells.set("compared", optional_number(r.cells_compared));
  cells.set("divergent", JsonValue::number(rep.by_type[static_cast<std::size_t>(DivergenceType::Cell)]));
  cells.set("excluded", JsonValue::number(r.excluded_cells));
  doc.set("cells", std::move(cells));

  JsonValue by_type = JsonValue::object();
  for (DivergenceType type : kTypes) {
    by_type.set(std::string(type_name(type)), JsonValue::number(rep.by_type[static_cast<std::size_t>(type)]));
  }
  doc.set("byType", std::move(by_type));

  JsonValue by_column = JsonValue::array();
  for (std::size_t i = 0; i < r.column_pairs.size(); ++i) {
    const ColumnPair& pair = r.column_pairs[i];
    ColumnCount count = i < rep.by_column.size() ? rep.by_column[i] : ColumnCount{};
    JsonValue c = JsonValue::object();
    c.set("column", JsonValue::string(pair.expected));
    c.set("actualColumn", JsonValue::string(pair.actual));
    c.set("expectedIndex", JsonValue::number(pair.expected_index));
    c.set("actualIndex", JsonValue::number(pair.actual_index));
    c.set("count", JsonValue::number(count.count));
    const std::uint64_t compared = r.compared_rows.value_or(0);
    c.set("share", compared > 0 ? JsonValue::floating(static_cast<double>(count.count) / static_cast<double>(compared))
                                : JsonValue());
    c.set("firstRecord", count.count > 0 ? JsonValue::number(count.first_record) : JsonValue());
    c.set("lastRecord", count.count > 0 ? JsonValue::number(count.last_record) : JsonValue());
    by_column.push(std::move(c));
  }
  doc.set("byColumn", std::move(by_column));

  JsonValue report = JsonValue::object();
  report.set("read", JsonValue::boolean(rep.read));
  report.set("complete", JsonValue::boolean(summary.complete()));
  report.set("lines", rep.read ? JsonValue::number(rep.lines) : JsonValue());
  report.set("bytes", rep.read ? JsonValue::number(rep.bytes) : JsonValue());
  report.set("cutLastLine", JsonValue::boolean(rep.cut_bytes > 0));
  report.set("malformedLines", JsonValue::number(rep.malformed_lines));
  report.set("unknownColumnLines", JsonValue::number(rep.unknown_column_cells));
  report.set("examplesMatch", rep.read && !r.examples.empty()
                                  ? JsonValue::boolean(rep.mismatched_examples == 0 && rep.lines >= r.examples.size())
                                  : JsonValue());
  JsonValue problems = JsonValue::array();
  for (const std::string& problem : summary.problems) problems.push(JsonValue::string(problem));
  report.set("problems", std::move(problems));
  doc.set("report", std::move(report));

  JsonValue first = JsonValue::array();
  for (const Divergence& d : rep.first) {
    JsonValue entry = JsonValue::object();
    entry.set("type", JsonValue::string(std::string(type_name(d.type))));
    entry.set("record", JsonValue::number(d.record));
    entry.set("column", d.type == DivergenceType::Cell ? JsonValue::string(d.column) : JsonValue());
    entry.set("actualColumn", d.type == DivergenceType::Cell ? JsonValue::string(d.actual_column) : JsonValue());
    entry.set("expected", kept(d.expected));
    entry.set("actual", kept(d.actual));
    entry.set("shortened", JsonValue::boolean(shortened(d.expected) || shortened(d.actual)));
    if (d.type == DivergenceType::RowWidth) {
      entry.set("expectedValues", JsonValue::number(d.expected_values));
      entry.set("expectedColumns", JsonValue::number(d.expected_columns));
      entry.set("actualValues", JsonValue::number(d.actual_values));
      entry.set("actualColumns", JsonValue::number(d.actual_columns));
    }
    first.push(std::move(entry));
  }
  doc.set("first", std::move(first));
  doc.set("firstLimit", JsonValue::number(summary.first_limit));
  return doc;
}

}  // namespace tessamer::summary
