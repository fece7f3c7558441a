// Keyed comparisons give one report however each side reaches key order: read as it stands when
// sorted, sorted in memory, or sorted in runs of two records merged two at a time.
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
    ASSERT_TRUE(dialect);
    const std::vector<std::string> expected_names = c.keys == std::vector<std::size_t>{1}
                                                        ? std::vector<std::string>{"v", "id"}
                                                        : std::vector<std::string>{"id", "v"};
    ColumnPlan plan;
    for (std::size_t i = 0; i < 2; ++i) plan.pairs.push_back({expected_names[i], expected_names[i], i, i});
    for (std::size_t key : c.keys) plan.keys.push_back(plan.pairs[key]);

    std::string first_report, first_outcome;
    for (const Way& way : kWays) {
      SCOPED_TRACE(std::string(c.name) + ", " + way.name);
      if (way.order == KeyOrder::Sorted && !c.sorted) continue;
      DatasetFile expected(DatasetSide::Expected, request.expected_path);
      DatasetFile actual(DatasetSide::Actual, request.actual_path);
      ComparisonSettings settings = comparison_settings(request, std::nullopt);
      settings.key_order = way.order;
      settings.duplicate_keys = c.duplicates;
      settings.sort_memory_bytes = way.budget;
      const std::string outcome =
          summary(compare_datasets({expected, actual, *dialect, expected_names, expected_names, plan, settings}));
      const std::string report = read_file(request.divergence_path);
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

}  // namespace
}  // namespace tessamer
