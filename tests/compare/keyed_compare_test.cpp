// Keyed comparisons give one report however each side reaches key order: read as it stands when
// sorted, sorted in memory, or sorted in runs of two records merged two at a time.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "compare/compare.h"
#include "compare/temp_files.h"
#include "input/input.h"

namespace tessamer {
namespace {

using compare_testing::read_file;
using compare_testing::TempDir;

struct Way {
  const char* name;
  KeyOrder order;
  std::uint64_t budget;
};
const Way kWays[] = {
    {"sorted", KeyOrder::Sorted, 0},
    {"any order", KeyOrder::Any, 64u << 20},
    // Below what a request may ask for: half of it holds two of these records, so every few
    // records make a run and runs merge two at a time over several passes.
    {"any order, tiny budget", KeyOrder::Any, 330},
};

constexpr DuplicateKeys kReject = DuplicateKeys::Reject;
constexpr DuplicateKeys kByOccurrence = DuplicateKeys::PairByOccurrence;

struct Case {
  const char* name;
  std::string expected, actual;
  bool sorted;  // both sides in key order, so the sorted way applies too
  DuplicateKeys duplicates;
  std::vector<std::size_t> keys;  // key columns, as indexes of the columns "id" and "v"
  // When the outcome is given, what every way must give: the report, and the outcome as summary()
  // spells it.
  std::string report;
  std::string outcome;
};

// The outcome of a run in one line: the error, or the counts of a finished run.
std::string summary(const Result<ComparisonOutcome>& outcome) {
  if (!outcome) return "error: " + outcome.error().message;
  const ComparisonTotals& t = outcome->totals;
  const KeyedTotals& k = *outcome->keyed;
  return "rows " + std::to_string(t.expected_rows) + "/" + std::to_string(t.actual_rows) + "/" +
         std::to_string(t.compared_rows) + "/" + std::to_string(t.missing_rows) + "/" +
         std::to_string(t.additional_rows) + " sorted " + std::to_string(k.expected_sorted) + "/" +
         std::to_string(k.actual_sorted) + " repeated " + std::to_string(k.expected_repeated_keys) + "/" +
         std::to_string(k.actual_repeated_keys) + " divergences " + std::to_string(outcome->divergences);
}

// The 60 records of key k, values 0 to 59, after or before a record of a higher key: only the
// side where it comes first is sorted.
std::string repeats(const std::string& changed_value, bool higher_first) {
  std::string text = higher_first ? "id,v\nz,0\n" : "id,v\n";
  for (int i = 0; i < 60; ++i) text += "k," + (i == 20 ? changed_value : std::to_string(i)) + "\n";
  return higher_first ? text : text + "z,0\n";
}

// `count` records with two-digit ids in a scattered order (`step` prime to `count`), some left out
// and some values changed.
std::string scattered(int count, int step, int skip_every, int change_every) {
  std::string text = "id,v\n";
  for (int j = 0; j < count; ++j) {
    const int i = j * step % count;
    if (skip_every != 0 && i % skip_every == 3) continue;
    text += std::to_string(10 + i) + "," + (change_every != 0 && i % change_every == 0 ? "changed" : "v") + "\n";
  }
  return text;
}

// Runs case `c` one way: the outcome as summary() spells it, and the report.
std::pair<std::string, std::string> run(const Case& c, const Way& way) {
  TempDir dir;
  dir.write("expected.csv", c.expected);
  dir.write("actual.csv", c.actual);
  ValidationRequest request;
  request.expected_path = dir.file("expected.csv");
  request.actual_path = dir.file("actual.csv");
  request.divergence_path = dir.file("out/d.jsonl");
  request.encoding = "utf-8";
  request.delimiter = ",";
  request.quote_char = "\"";
  request.has_header = true;
  request.example_limit = 10;
  auto dialect = resolve_dialect(request);
  if (!dialect) return {"no dialect", ""};
  const std::vector<std::string> expected_names = c.keys == std::vector<std::size_t>{1}
                                                      ? std::vector<std::string>{"v", "id"}
                                                      : std::vector<std::string>{"id", "v"};
  ColumnPlan plan;
  for (std::size_t i = 0; i < 2; ++i) plan.pairs.push_back({expected_names[i], expected_names[i], i, i});
  for (std::size_t key : c.keys) plan.keys.push_back(plan.pairs[key]);
  DatasetFile expected(DatasetSide::Expected, request.expected_path);
  DatasetFile actual(DatasetSide::Actual, request.actual_path);
  ComparisonSettings settings = comparison_settings(request, std::nullopt);
  settings.key_order = way.order;
  settings.duplicate_keys = c.duplicates;
  settings.sort_memory_bytes = way.budget;
  const std::string outcome =
      summary(compare_datasets({expected, actual, *dialect, expected_names, expected_names, plan, settings}));
  return {outcome, read_file(request.divergence_path)};
}

TEST(KeyedCompare, EveryWayGivesOneReport) {
  const std::string kK1Expected = "id,v\nk1,10\nk2,20\nk3,30\nk4,40\n";
  const std::string kK1Actual = "id,v\nk1,10\nk15,15\nk2,20\nk3,31\n";
  const Case cases[] = {
      {"insert and delete", kK1Expected, kK1Actual, true, kReject, {0}, "", ""},
      {"both sides out of order", "id,v\nk3,30\nk1,10\nk2,20\n", "id,v\nk2,20\nk3,30\nk1,11\n", false, kReject, {0}, "", ""},
      {"a repeat rejected", "id,v\nk1,a\nk2,b\nk2,c\n", "id,v\nk1,a\nk2,b\n", true, kReject, {0}, "", ""},
      {"repeats paired by occurrence", "id,v\nk1,a\nk2,x\nk2,y\nk2,z\n", "id,v\nk2,x\nk2,q\nk1,a\n", false,
       kByOccurrence, {0}, "", ""},
      {"a tuple key", "id,v\nab,c\n", "id,v\na,bc\n", true, kReject, {0, 1}, "", ""},
      {"raw bytes", "id,v\n\"\",e\n01,x\na ,y\n", "id,v\n,e\n1,x\na,y\n", true, kReject, {0}, "", ""},
      {"bytes from 0x80 up", "id,v\nz,1\n\xc3\xa9,2\n", "id,v\nz,1\n\xc3\xa9,3\n", true, kReject, {0}, "", ""},
      {"a header-only side", "id,v\nk2,2\nk1,1\n", "id,v\n", false, kReject, {0}, "", ""},
      {"records too short for the key", "v,id\nx\ny,\"\"\n", "v,id\ny,\"\"\nx\n", false, kReject, {1}, "", ""},
      {"a repeat on one side, disorder on the other", "id,v\nk2,b\nk1,a\n", "id,v\nk1,a\nk1,a\n", false, kReject, {0}, "", ""},
      {"repeats spread over runs, paired in file order",
       "id,v\nk,1\na,0\nk,2\nb,0\nk,3\nk,4\nc,0\nk,5\n", "id,v\nc,0\nk,1\nk,2\nb,0\nk,X\na,0\nk,4\n", false,
       kByOccurrence, {0},
       R"({"actual":"X","actualColumn":"v","actualIndex":1,"actualRecord":5,"column":"v","expected":"3","expectedColumn":"v","expectedIndex":1,"expectedRecord":5,"key":["k"],"record":5,"type":"CELL"})"
       "\n"
       R"({"actualRecord":null,"expected":["k","5"],"expectedRecord":8,"key":["k"],"record":8,"type":"MISSING_ROW"})"
       "\n",
       "rows 8/7/7/1/0 sorted 0/0 repeated 4/3 divergences 2"},
      {"sixty repeats of one key, paired in file order", repeats("20", true), repeats("changed", false), false,
       kByOccurrence, {0},
       R"({"actual":"changed","actualColumn":"v","actualIndex":1,"actualRecord":21,"column":"v","expected":"20","expectedColumn":"v","expectedIndex":1,"expectedRecord":22,"key":["k"],"record":22,"type":"CELL"})"
       "\n",
       "rows 61/61/61/0/0 sorted 0/1 repeated 59/59 divergences 1"},
      // Sorted by the first bytes of its first key field as numbers, each byte unsigned.
      {"a short key with a byte from 0x80 up, sorted", "id,v\nz,1\nb,1\na\x80,2\n", "id,v\na\x80,2\nb,1\nz,1\n",
       false, kReject, {0}, "", "rows 3/3/3/0/0 sorted 0/1 repeated 0/0 divergences 0"},
      {"a repeat in a later run", "id,v\nz,1\nk,1\nb,1\nc,1\ne,1\nk,2\na,1\n", "id,v\na,1\nb,1\nc,1\ne,1\nk,1\nz,1\n",
       false, kReject, {0}, "",
       R"(error: expected CSV has duplicate key ["k"] at records 2 and 6)"},
      {"a larger shuffle", scattered(89, 17, 7, 11), scattered(89, 23, 13, 0), false, kReject, {0}, "", ""},
  };
  for (const Case& c : cases) {
    std::string first_report, first_outcome;
    for (const Way& way : kWays) {
      SCOPED_TRACE(std::string(c.name) + ", " + way.name);
      if (way.order == KeyOrder::Sorted && !c.sorted) continue;
      const auto [outcome, report] = run(c, way);
      if (!c.outcome.empty()) {
        EXPECT_EQ(report, c.report);
        EXPECT_EQ(outcome, c.outcome);
      }
      if (first_outcome.empty()) {
        first_report = report;
        first_outcome = outcome;
      } else {
        EXPECT_EQ(report, first_report);
        // SORTED runs find both sides in order, as ANY runs do on sorted files.
        EXPECT_EQ(outcome, first_outcome);
      }
    }
  }
}

// Files that are the same bytes up to their last record: after the first pair, the records up to
// there are passed over as equal runs, their keys split from the bytes, quoted or not.
std::string same_but_last(const std::string& records, const std::string& last) { return "id,v\n" + records + last; }

TEST(KeyedCompare, KeysOfEqualRunsAreCheckedAsReadOnes) {
  const std::string kQuoted = "a,1\n\"b\"\"\",1\n\"b\"\"c\",1\n\"b\"x,\"1,\"\"\"\n\"c\",1\nd,1\n";
  const std::string kRepeat = "a,1\n\"b\"x,1\nbx,2\nc,1\n";
  const Case cases[] = {
      {"quoted keys in order", same_but_last(kQuoted, "z,1\n"), same_but_last(kQuoted, "z,2\n"), true, kReject, {0},
       R"({"actual":"2","actualColumn":"v","actualIndex":1,"actualRecord":7,"column":"v","expected":"1","expectedColumn":"v","expectedIndex":1,"expectedRecord":7,"key":["z"],"record":7,"type":"CELL"})"
       "\n",
       "rows 7/7/7/0/0 sorted 1/1 repeated 0/0 divergences 1"},
      {"a repeat written two ways, rejected", same_but_last(kRepeat, "z,1\n"), same_but_last(kRepeat, "z,2\n"), true,
       kReject, {0}, "", R"(error: expected CSV has duplicate key ["bx"] at records 2 and 3)"},
      {"a repeat written two ways, paired", same_but_last(kRepeat, "z,1\n"), same_but_last(kRepeat, "z,2\n"), true,
       kByOccurrence, {0},
       R"({"actual":"2","actualColumn":"v","actualIndex":1,"actualRecord":5,"column":"v","expected":"1","expectedColumn":"v","expectedIndex":1,"expectedRecord":5,"key":["z"],"record":5,"type":"CELL"})"
       "\n",
       "rows 5/5/5/0/0 sorted 1/1 repeated 1/1 divergences 1"},
      {"a tuple key of quoted fields", same_but_last("\"a\",\"b\"\n\"a\",\"c\"\"\"\n\"a\"\"\",\"a\"\n", "b,1\n"),
       same_but_last("\"a\",\"b\"\n\"a\",\"c\"\"\"\n\"a\"\"\",\"a\"\n", "b,2\n"), true, kReject, {0, 1},
       R"({"actualRecord":null,"expected":["b","1"],"expectedRecord":4,"key":["b","1"],"record":4,"type":"MISSING_ROW"})"
       "\n"
       R"({"actual":["b","2"],"actualRecord":4,"expectedRecord":null,"key":["b","2"],"record":4,"type":"ADDITIONAL_ROW"})"
       "\n",
       "rows 4/4/3/1/1 sorted 1/1 repeated 0/0 divergences 2"},
  };
  for (const Case& c : cases) {
    for (const Way& way : kWays) {
      SCOPED_TRACE(std::string(c.name) + ", " + way.name);
      const auto [outcome, report] = run(c, way);
      EXPECT_EQ(report, c.report);
      EXPECT_EQ(outcome, c.outcome);
    }
  }
  // Under SORTED a key that goes down inside such a run, or at its first record, ends the run as
  // it would had the record been read.
  const Case disorder[] = {
      {"inside the run", same_but_last("a,1\n\"c\"\"\",1\nb,1\n", "z,1\n"),
       same_but_last("a,1\n\"c\"\"\",1\nb,1\n", "z,2\n"), true, kReject, {0}, "",
       R"(error: expected CSV is not sorted by keyColumns: record 3 has key ["b"] after key ["c\""])"},
      {"at the run's first record", same_but_last("b,1\na,1\nc,1\n", "z,1\n"),
       same_but_last("b,1\na,1\nc,1\n", "z,2\n"), true, kReject, {0}, "",
       R"(error: expected CSV is not sorted by keyColumns: record 2 has key ["a"] after key ["b"])"},
  };
  // Under ANY phase A finds both sides out of order there, and sorts them.
  for (const Case& c : disorder) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(run(c, kWays[0]).first, c.outcome);
    EXPECT_EQ(run(c, kWays[1]).first, "rows 4/4/4/0/0 sorted 0/0 repeated 0/0 divergences 1");
    EXPECT_EQ(run(c, kWays[2]).first, "rows 4/4/4/0/0 sorted 0/0 repeated 0/0 divergences 1");
  }
}

}  // namespace
}  // namespace tessamer
