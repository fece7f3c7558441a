// The lines of the divergence report, each type spelled once, written from rows of field views.
//
// Internal to the comparison. A pairing decides which records meet; the writer turns what they
// show into lines: the compact JSON text write_compact_json gives (keys in sorted order, no
// spaces), straight into the report's buffer. A line of a keyed run is the same line with three
// more members (the key and both record numbers), in their sorted places.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "compare/report.h"
#include "core/error.h"
#include "encoding/encoding.h"
#include "plan/plan.h"

namespace tessamer {

// The fields of one record, in order; views valid as long as the record they come from.
using Fields = std::span<const std::string_view>;

// One record as a pairing hands it on: its fields and, when known, the bytes it stood as in the
// input. Two rows read with one dialect whose bytes are equal have equal fields.
struct Row {
  Fields fields;
  std::optional<std::string_view> raw;
};

// What the lines of a keyed run add: the key the lines are filed under and the record number of
// each side, absent where the line is about one side's record alone.
struct KeyContext {
  // One entry per key column, in key order: the field's bytes, or nullopt when the record is too
  // short to have it. Decoded only when a line is written.
  std::span<const std::optional<std::string_view>> key;
  std::optional<std::uint64_t> expected_record;  // absent on ADDITIONAL_ROW
  std::optional<std::uint64_t> actual_record;    // absent on MISSING_ROW
};

// Where a line stands: its "record" number, and in a keyed run the key context.
struct LineContext {
  std::uint64_t record = 0;
  const KeyContext* key = nullptr;  // null in a positional run
};

// Writes report lines. Fields are decoded with the dataset encoding into reused buffers, and every
// field a line needs (the key's first, left to right, then the values) is decoded before any of
// the line is written, so that a decoding failure leaves no partial line. Fields are never looked
// at otherwise: bytes invalid for the encoding fail a run only where a line shows them.
class LineWriter {
 public:
  // `expected_columns` and `actual_columns` are the widths of the two headers.
  LineWriter(encoding::Encoding encoding, std::size_t expected_columns, std::size_t actual_columns,
             const ColumnPlan& plan, DivergenceReportWriter& report);
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // CELL: the fields of plan pair `pair` differ; nullopt for a field the record is too short to
  // have. REQUIRES: pair < plan.pairs.size(), and not both fields absent.
  [[nodiscard]] Result<void> cell(std::size_t pair, std::optional<std::string_view> expected,
                                  std::optional<std::string_view> actual, const LineContext& at);

  // ROW_WIDTH: a record of a pair has another width than its header.
  [[nodiscard]] Result<void> row_width(std::size_t expected_values, std::size_t actual_values, const LineContext& at);

  // MISSING_ROW: an expected record no actual record meets, with all its fields.
  [[nodiscard]] Result<void> missing_row(Fields expected, const LineContext& at);

  // ADDITIONAL_ROW: an actual record no expected record meets, with all its fields.
  [[nodiscard]] Result<void> additional_row(Fields actual, const LineContext& at);

 private:
  // The texts of a CELL line that depend only on the column pair, prepared once.
  struct PairText {
    std::string actual_side;    // ,"actualColumn":...,"actualIndex":N
    std::string column;         // ,"column":...
    std::string expected_side;  // ,"expectedColumn":...,"expectedIndex":N
    // Joined as a positional line has them, with no keyed member between.
    std::string between_values;  // actual_side, column, ,"expected":
    std::string after_values;    // expected_side, ,"record":
  };

  [[nodiscard]] Result<void> whole_row(Fields row, bool expected_side, const LineContext& at);
  [[nodiscard]] Result<void> decode_key(const KeyContext& key);
  [[nodiscard]] Result<void> decode(std::optional<std::string_view> field, std::string& out);
  bool cell_in_place(const PairText& text, std::optional<std::string_view> expected,
                     std::optional<std::string_view> actual, const LineContext& at);

  encoding::Encoding encoding_;
  const bool utf8_;  // the text of a field is its bytes, once they are valid UTF-8
  std::size_t expected_columns_;
  std::size_t actual_columns_;
  DivergenceReportWriter& report_;
  std::vector<PairText> pair_text_;  // per pair of the plan
  std::string key_text_;             // the decoded key of the line being written, as a JSON array
  std::string expected_text_;
  std::string actual_text_;
  std::string row_text_;               // every decoded field of a row, back to back
  std::vector<std::size_t> row_ends_;  // end of each field in row_text_
};

// The lines of compared record pairs under a plan: ROW_WIDTH when either record's width is not its
// header's, then one CELL line per planned pair whose fields differ, in plan order. An absent field
// equals an absent one and differs from every present one, the empty field included.
class PairComparer {
 public:
  PairComparer(std::size_t expected_columns, std::size_t actual_columns, const ColumnPlan& plan, LineWriter& lines);

  [[nodiscard]] Result<void> compare(const Row& expected, const Row& actual, const LineContext& at);

  // Whether every pair of the plan compares a column with the column at the same index: records of
  // the headers' widths that are the same bytes then show no divergence at all.
  bool compares_same_positions() const { return same_positions_; }

 private:
  template <bool kFullWidth>
  [[nodiscard]] Result<void> cells(Fields expected, Fields actual, const LineContext& at);

  std::size_t expected_columns_;
  std::size_t actual_columns_;
  LineWriter& lines_;
  std::vector<std::pair<std::size_t, std::size_t>> indexes_;  // per pair: expected and actual index
  bool same_positions_;
};

}  // namespace tessamer
