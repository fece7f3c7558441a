// Report lines written from rows of field views: keyed lines, and rows that no CSV reader made.
#include "compare/lines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compare/temp_files.h"

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

}  // namespace
}  // namespace tessamer
