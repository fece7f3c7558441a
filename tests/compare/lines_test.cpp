// Report lines written from rows of field views: keyed lines, and rows that no CSV reader made.
#include "compare/lines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compare/compare.h"
#include "compare/temp_files.h"
#include "input/input.h"

namespace tessamer {
namespace {

using compare_testing::read_file;
using compare_testing::TempDir;
using Views = std::vector<std::string_view>;
using Key = std::vector<std::optional<std::string_view>>;

ColumnPlan plan_of(const std::vector<std::string>& names) {
  ColumnPlan plan;
  for (std::size_t i = 0; i < names.size(); ++i) plan.pairs.push_back({names[i], names[i], i, i});
  return plan;
}

// One line of each kind through a writer over a fresh report; the report's bytes, or the error.
struct Written {
  Result<void> status;
  std::string report;
};

template <class WriteLine>
Written write_one(const std::string& label, std::uint64_t example_limit, const ColumnPlan& plan, WriteLine&& write) {
  TempDir dir;
  const std::string path = dir.file("r.jsonl");
  Written written;
  {
    auto report = open_divergence_report(path, example_limit, {});
    EXPECT_TRUE(report);
    LineWriter lines(*encoding::for_label(label), 2, 2, plan, *report);
    written.status = write(lines);
    EXPECT_TRUE(finish_divergence_report(std::move(*report)));
  }
  written.report = read_file(path);
  return written;
}

TEST(LineWriter, KeyedLines) {
  enum class Kind { cell, row_width, missing, additional };
  struct Case {
    const char* name;
    Kind kind;
    Key key;
    std::optional<std::uint64_t> expected_record, actual_record;
    std::uint64_t record;
    std::string line;  // without its line end
    const char* encoding = "utf-8";
  };
  const Case cases[] = {
      {"cell", Kind::cell, {"k3"}, 3, 4, 3,
       R"({"actual":"31","actualColumn":"v","actualIndex":1,"actualRecord":4,"column":"v","expected":"30","expectedColumn":"v","expectedIndex":1,"expectedRecord":3,"key":["k3"],"record":3,"type":"CELL"})"},
      {"row width, absent key", Kind::row_width, {std::nullopt}, 1, 2, 1,
       R"({"actualColumns":2,"actualRecord":2,"actualValues":1,"expectedColumns":2,"expectedRecord":1,"expectedValues":1,"key":[null],"record":1,"type":"ROW_WIDTH"})"},
      {"missing row", Kind::missing, {"k4"}, 4, std::nullopt, 4,
       R"({"actualRecord":null,"expected":["k4","40"],"expectedRecord":4,"key":["k4"],"record":4,"type":"MISSING_ROW"})"},
      {"additional row", Kind::additional, {"k15"}, std::nullopt, 2, 2,
       R"({"actual":["k15","15"],"actualRecord":2,"expectedRecord":null,"key":["k15"],"record":2,"type":"ADDITIONAL_ROW"})"},
      {"a key of two fields that need escaping", Kind::cell, {"a\"b", "", "\xc3\xa9\n"}, 7, 9, 7,
       "{\"actual\":\"31\",\"actualColumn\":\"v\",\"actualIndex\":1,\"actualRecord\":9,\"column\":\"v\",\"expected\":\"30\","
       "\"expectedColumn\":\"v\",\"expectedIndex\":1,\"expectedRecord\":7,\"key\":[\"a\\\"b\",\"\",\"\xc3\xa9\\n\"],"
       "\"record\":7,\"type\":\"CELL\"}"},
      {"a key decoded from another encoding", Kind::cell, {"\xe9"}, 1, 1, 1,
       "{\"actual\":\"31\",\"actualColumn\":\"v\",\"actualIndex\":1,\"actualRecord\":1,\"column\":\"v\",\"expected\":\"30\","
       "\"expectedColumn\":\"v\",\"expectedIndex\":1,\"expectedRecord\":1,\"key\":[\"\xc3\xa9\"],\"record\":1,"
       "\"type\":\"CELL\"}",
       "windows-1252"},
  };
  const ColumnPlan plan = plan_of({"k", "v"});
  // Lines kept as examples and lines that are not are written by different paths.
  for (const std::uint64_t limit : {0, 10}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + ", exampleLimit " + std::to_string(limit));
      const KeyContext key{c.key, c.expected_record, c.actual_record};
      const LineContext at{c.record, &key};
      Written written = write_one(c.encoding, limit, plan, [&](LineWriter& lines) -> Result<void> {
        switch (c.kind) {
          case Kind::cell:
            return lines.cell(1, "30", "31", at);
          case Kind::row_width:
            return lines.row_width(1, 1, at);
          case Kind::missing:
            return lines.missing_row(Views{"k4", "40"}, at);
          case Kind::additional:
            return lines.additional_row(Views{"k15", "15"}, at);
        }
        return {};
      });
      ASSERT_TRUE(written.status) << written.status.error().message;
      EXPECT_EQ(written.report, c.line + "\n");
    }
  }
}

TEST(LineWriter, AKeyThatDoesNotDecodeWritesNothingOfItsLine) {
  const ColumnPlan plan = plan_of({"k", "v"});
  const Key key_fields{"ok", "\xff"};
  const KeyContext key{key_fields, 1, 1};
  for (const std::uint64_t limit : {0, 10}) {
    SCOPED_TRACE("exampleLimit " + std::to_string(limit));
    Written written = write_one("utf-8", limit, plan, [&](LineWriter& lines) { return lines.cell(1, "a", "b", {1, &key}); });
    ASSERT_FALSE(written.status);
    EXPECT_EQ(written.status.error(),
              (EngineError{ErrorCode::InvalidGoldenDataset, "CSV contains bytes invalid for encoding UTF-8"}));
    EXPECT_EQ(written.report, "");
  }
}

// Rows that no CSV reader made (as a sort's runs give them back: fields only, no raw bytes) get
// the lines the comparison writes for the same records read from files.
TEST(PairComparer, RowsOfViewsGetTheLinesOfReadRecords) {
  struct Case {
    const char* name;
    std::vector<Views> expected;  // data records; the header is "a,b"
    std::vector<Views> actual;
  };
  const Case cases[] = {
      {"equal", {{"1", "2"}, {"3", "4"}}, {{"1", "2"}, {"3", "4"}}},
      {"cells differ", {{"1", "2"}, {"x", ""}}, {{"1", "9"}, {"y", "z"}}},
      {"ragged", {{"1"}, {"1", "2", "3"}, {"5", "6"}}, {{"1", "2"}, {"1", "2"}, {"5"}}},
      {"narrow on both sides", {{"1"}}, {{"1"}}},
      {"expected longer", {{"1", "2"}, {"3", "4"}}, {{"1", "2"}}},
      {"actual longer", {{"1", "2"}}, {{"1", "2"}, {"5", "6"}, {"7"}}},
  };
  auto csv_of = [](const std::vector<Views>& records) {
    std::string text = "a,b\n";
    for (const Views& record : records) {
      for (std::size_t i = 0; i < record.size(); ++i) text.append(i > 0 ? "," : "").append(record[i]);
      text += "\n";
    }
    return text;
  };
  const ColumnPlan plan = plan_of({"a", "b"});
  for (const std::uint64_t limit : {0, 10}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + ", exampleLimit " + std::to_string(limit));
      TempDir dir;
      ValidationRequest request;
      request.encoding = "utf-8";
      request.delimiter = ",";
      request.quote_char = "\"";
      const auto dialect = resolve_dialect(request);
      ASSERT_TRUE(dialect);
      const std::string expected_path = dir.write("e.csv", csv_of(c.expected));
      const std::string actual_path = dir.write("a.csv", csv_of(c.actual));
      const std::string read_path = dir.file("read.jsonl");
      DatasetFile expected_file(DatasetSide::Expected, expected_path);
      DatasetFile actual_file(DatasetSide::Actual, actual_path);
      const std::vector<std::string> names = {"a", "b"};
      ComparisonSettings settings;
      settings.divergence_path = read_path;
      settings.example_limit = limit;
      auto read = compare_datasets({expected_file, actual_file, *dialect, names, names, plan, settings});
      ASSERT_TRUE(read) << read.error().message;

      Written written = write_one("utf-8", limit, plan, [&](LineWriter& lines) -> Result<void> {
        PairComparer pairs(2, 2, plan, lines);
        const std::size_t both = std::min(c.expected.size(), c.actual.size());
        for (std::size_t i = 0; i < both; ++i) {
          TESSAMER_TRY(pairs.compare(Row{c.expected[i], std::nullopt}, Row{c.actual[i], std::nullopt}, {i + 1}));
        }
        for (std::size_t i = both; i < c.expected.size(); ++i) TESSAMER_TRY(lines.missing_row(c.expected[i], {i + 1}));
        for (std::size_t i = both; i < c.actual.size(); ++i) TESSAMER_TRY(lines.additional_row(c.actual[i], {i + 1}));
        return {};
      });
      ASSERT_TRUE(written.status);
      EXPECT_EQ(written.report, read_file(read_path));
    }
  }
}

}  // namespace
}  // namespace tessamer
