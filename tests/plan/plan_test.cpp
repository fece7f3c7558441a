#include "plan/plan.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

namespace tessamer {

void PrintTo(const ColumnPair& pair, std::ostream* out) {
  *out << "(" << pair.expected << ", " << pair.actual << ", " << pair.expected_index << ", "
       << pair.actual_index << ")";
}

namespace {

using Names = std::vector<std::string>;
using Pairs = std::vector<ColumnPair>;

constexpr const char* kApproval = "excluded columns require reason, approvedBy, and approvalReference";
constexpr const char* kCoverage = "mappings and exclusions must cover every column exactly once";
constexpr const char* kNothing = "at least one column must be compared";

ExcludedColumn exclude(std::optional<std::string> expected, std::optional<std::string> actual,
                       std::string reason = "legacy column", std::string approved_by = "qa lead",
                       std::string approval_reference = "TICKET-1") {
  return ExcludedColumn{std::move(expected), std::move(actual), std::move(reason), std::move(approved_by),
                        std::move(approval_reference)};
}

struct Case {
  const char* name;
  Names expected;
  Names actual;
  std::vector<ColumnMapping> columns;
  std::vector<ExcludedColumn> exclusions;
  std::variant<Pairs, std::string> outcome;  // the plan, or the error message
};

void check(const Case& c) {
  SCOPED_TRACE(c.name);
  const Result<ColumnPlan> plan = build_column_plan(c.expected, c.actual, c.columns, c.exclusions);
  if (const auto* pairs = std::get_if<Pairs>(&c.outcome)) {
    ASSERT_TRUE(plan.has_value()) << plan.error().message;
    EXPECT_EQ(plan->pairs, *pairs);
  } else {
    ASSERT_FALSE(plan.has_value());
    EXPECT_EQ(plan.error().code, ErrorCode::InvalidGoldenDataset);
    EXPECT_EQ(plan.error().message, std::get<std::string>(c.outcome));
  }
}

TEST(ColumnPlan, PairsByNameWithExclusions) {
  const std::vector<Case> cases = {
      {"same order", {"id", "name"}, {"id", "name"}, {}, {}, Pairs{{"id", "id", 0, 0}, {"name", "name", 1, 1}}},
      {"actual reordered follows expected order",
       {"id", "name"}, {"name", "id"}, {}, {}, Pairs{{"id", "id", 0, 1}, {"name", "name", 1, 0}}},
      {"expected-only exclusion leaves the actual column over",
       {"a", "b"}, {"a", "b"}, {}, {exclude("b", std::nullopt)},
       std::string(R"(column sets differ; missing=[], additional=["b"])")},
      {"both sides excluded in two records",
       {"a", "b"}, {"a", "b"}, {}, {exclude("b", std::nullopt), exclude(std::nullopt, "b")},
       Pairs{{"a", "a", 0, 0}}},
      {"one record excludes two different names",
       {"a", "b"}, {"c", "a"}, {}, {exclude("b", "c")}, Pairs{{"a", "a", 0, 1}}},
      {"column sets differ",
       {"id", "name", "amount"}, {"id", "amount", "total"}, {}, {},
       std::string(R"(column sets differ; missing=["name"], additional=["total"])")},
      {"names differ only in case",
       {"id", "Name"}, {"id", "name"}, {}, {},
       std::string(R"(column sets differ; missing=["Name"], additional=["name"])")},
      {"byte order mark is part of the name",
       {"id"}, {"\xEF\xBB\xBFid"}, {}, {},
       std::string(R"(column sets differ; missing=["id"], additional=["\u{feff}id"])")},
      {"lists sorted byte-wise, prefix first, names quoted",
       {"zeta", "b", "\xC3\xA9", "ab", "a", "same"}, {"same", "q\"x", "B"}, {}, {},
       std::string("column sets differ; missing=[\"a\", \"ab\", \"b\", \"zeta\", \"\xC3\xA9\"], "
                   "additional=[\"B\", \"q\\\"x\"]")},
      {"excluded columns do not count as missing or additional",
       {"a", "gone", "b"}, {"b", "new", "a"}, {}, {exclude("gone", "new")},
       Pairs{{"a", "a", 0, 2}, {"b", "b", 2, 0}}},
      {"everything excluded", {"a"}, {"b"}, {}, {exclude("a", std::nullopt), exclude(std::nullopt, "b")},
       std::string(kNothing)},
      {"everything excluded by name", {"a", "b"}, {"b", "a"}, {}, {exclude("a", "a"), exclude("b", "b")},
       std::string(kNothing)},
      {"both headers empty", {}, {}, {}, {}, std::string(kNothing)},
      {"expected header empty", {}, {"x"}, {}, {},
       std::string(R"(column sets differ; missing=[], additional=["x"])")},
  };
  for (const Case& c : cases) check(c);
}

TEST(ColumnPlan, RejectsBadExclusions) {
  const std::string missing_zz = "excluded expected column 'zz' is missing or duplicated";
  const std::vector<Case> cases = {
      {"expected name absent", {"a", "b"}, {"a", "b"}, {}, {exclude("zz", std::nullopt)}, missing_zz},
      {"actual name absent", {"a", "b"}, {"a", "b"}, {}, {exclude(std::nullopt, "zz")},
       std::string("excluded actual column 'zz' is missing or duplicated")},
      {"expected name present only in actual", {"a"}, {"a", "zz"}, {}, {exclude("zz", std::nullopt)}, missing_zz},
      {"name matched exactly: no case folding", {"a", "b"}, {"a", "b"}, {}, {exclude("B", std::nullopt)},
       std::string("excluded expected column 'B' is missing or duplicated")},
      {"name matched exactly: no trimming", {"a", "b"}, {"a", "b"}, {}, {exclude(" b", std::nullopt)},
       std::string("excluded expected column ' b' is missing or duplicated")},
      {"name inserted raw, unquoted", {"a"}, {"a"}, {}, {exclude(std::nullopt, "it's \"x\"")},
       std::string("excluded actual column 'it's \"x\"' is missing or duplicated")},
      // The third record's empty reason would be reported if the second were accepted.
      {"same expected column excluded twice fails on the second",
       {"a", "b"}, {"a", "b"}, {},
       {exclude("b", std::nullopt), exclude("b", std::nullopt), exclude("a", std::nullopt, "")},
       std::string("excluded expected column 'b' is missing or duplicated")},
      {"same actual column excluded twice", {"a", "b"}, {"a", "b"}, {},
       {exclude("a", "b"), exclude("b", "b")}, std::string("excluded actual column 'b' is missing or duplicated")},
      {"expected side judged before actual side", {"a"}, {"a"}, {}, {exclude("x", "y")},
       std::string("excluded expected column 'x' is missing or duplicated")},
      {"records judged in request order", {"a"}, {"a"}, {},
       {exclude("zz", std::nullopt), exclude("a", std::nullopt, " ")}, missing_zz},
      {"no column named", {"a"}, {"a"}, {}, {exclude(std::nullopt, std::nullopt)},
       std::string("an exclusion must name expected and/or actual")},
      {"no column named and no reason", {"a"}, {"a"}, {}, {exclude(std::nullopt, std::nullopt, "")},
       std::string(kApproval)},
  };
  for (const Case& c : cases) check(c);
}

TEST(ColumnPlan, ApprovalTextsNeedANonWhiteSpaceCharacter) {
  struct Text {
    const char* name;
    std::string text;
    bool accepted;
  };
  const std::vector<Text> texts = {
      {"empty", "", false},
      {"ascii spaces", "   ", false},
      {"tabs and line ends", "\t\r\n\v\f ", false},
      {"ideographic space", "\xE3\x80\x80", false},
      {"no-break space and next line", "\xC2\xA0\xC2\x85", false},
      {"line and paragraph separators", "\xE2\x80\xA8\xE2\x80\xA9", false},
      {"one letter among spaces", " \xE3\x80\x80x\t", true},
      {"non-ascii letter", "\xC3\xA9", true},
      {"zero width space is not white space", "\xE2\x80\x8B", true},
      {"invalid byte is not white space", " \xFF ", true},
      {"truncated sequence after space", " \xE3\x80", true},
  };
  const Names header = {"a", "b"};
  for (const Text& t : texts) {
    for (int field = 0; field < 3; ++field) {
      SCOPED_TRACE(std::string(t.name) + ", field " + std::to_string(field));
      ExcludedColumn exclusion = exclude("b", "b");
      (field == 0 ? exclusion.reason : field == 1 ? exclusion.approved_by : exclusion.approval_reference) = t.text;
      const Result<ColumnPlan> plan = build_column_plan(header, header, {}, {exclusion});
      if (t.accepted) {
        ASSERT_TRUE(plan.has_value()) << plan.error().message;
        EXPECT_EQ(plan->pairs, (Pairs{{"a", "a", 0, 0}}));
      } else {
        ASSERT_FALSE(plan.has_value());
        EXPECT_EQ(plan.error().message, kApproval);
      }
    }
  }
}

TEST(ColumnPlan, PairsByMappings) {
  const std::vector<Case> cases = {
      {"mapping order kept", {"id", "name"}, {"key", "label"}, {{"id", "key"}, {"name", "label"}}, {},
       Pairs{{"id", "key", 0, 0}, {"name", "label", 1, 1}}},
      {"reversed mapping order", {"id", "name"}, {"key", "label"}, {{"name", "label"}, {"id", "key"}}, {},
       Pairs{{"name", "label", 1, 1}, {"id", "key", 0, 0}}},
      {"crossed names", {"a", "b"}, {"b", "a"}, {{"a", "b"}, {"b", "a"}}, {},
       Pairs{{"a", "b", 0, 0}, {"b", "a", 1, 1}}},
      {"mappings with exclusions", {"a", "b", "c"}, {"x", "y", "z"}, {{"b", "y"}, {"a", "x"}},
       {exclude("c", std::nullopt), exclude(std::nullopt, "z")}, Pairs{{"b", "y", 1, 1}, {"a", "x", 0, 0}}},
      {"mappings make no name comparison", {"id"}, {"ID"}, {{"id", "ID"}}, {}, Pairs{{"id", "ID", 0, 0}}},
      {"expected column left out", {"a", "b"}, {"x", "y"}, {{"a", "x"}}, {}, std::string(kCoverage)},
      {"actual column left out", {"a"}, {"x", "y"}, {{"a", "x"}}, {}, std::string(kCoverage)},
      {"expected column mapped twice", {"a", "b"}, {"x", "y"}, {{"a", "x"}, {"a", "y"}}, {},
       std::string(kCoverage)},
      {"actual column mapped twice", {"a", "b"}, {"x", "y"}, {{"a", "x"}, {"b", "x"}}, {},
       std::string(kCoverage)},
      {"same mapping twice", {"a"}, {"x"}, {{"a", "x"}, {"a", "x"}}, {}, std::string(kCoverage)},
      {"excluded expected column mapped", {"a", "b"}, {"x"}, {{"a", "x"}, {"b", "x"}},
       {exclude("b", std::nullopt)}, std::string(kCoverage)},
      {"excluded actual column mapped", {"a"}, {"x", "y"}, {{"a", "y"}}, {exclude(std::nullopt, "y")},
       std::string(kCoverage)},
      {"absent expected column mapped", {"a"}, {"x"}, {{"a", "x"}, {"zz", "x"}}, {}, std::string(kCoverage)},
      {"absent actual column mapped instead of a real one", {"a"}, {"x"}, {{"a", "X"}}, {},
       std::string(kCoverage)},
      {"mappings while every column is excluded", {"a"}, {"x"}, {{"a", "x"}}, {exclude("a", "x")},
       std::string(kCoverage)},
  };
  for (const Case& c : cases) check(c);
}

// Key columns are expected names resolved through the finished plan; their failures come after
// every other failure of the plan.
TEST(ColumnPlan, KeyColumns) {
  struct KeyCase {
    const char* name;
    Names expected;
    Names actual;
    std::vector<ColumnMapping> columns;
    std::vector<ExcludedColumn> exclusions;
    std::optional<Names> keys;
    std::variant<Pairs, std::string> outcome;  // the plan's keys, or the error message
  };
  const std::vector<KeyCase> cases = {
      {"positional run: no keys", {"id", "v"}, {"id", "v"}, {}, {}, std::nullopt, Pairs{}},
      {"by name", {"id", "v"}, {"id", "v"}, {}, {}, Names{"id"}, Pairs{{"id", "id", 0, 0}}},
      {"keyColumns order, actual positions through the plan", {"id", "v", "w"}, {"w", "v", "id"}, {}, {},
       Names{"w", "id"}, Pairs{{"w", "w", 2, 0}, {"id", "id", 0, 2}}},
      {"renamed key column", {"id", "v"}, {"value", "key"}, {{"id", "key"}, {"v", "value"}}, {}, Names{"id"},
       Pairs{{"id", "key", 0, 1}}},
      {"the actual name of a renamed column is no key name", {"id", "v"}, {"value", "key"},
       {{"id", "key"}, {"v", "value"}}, {}, Names{"key"}, std::string("key column 'key' is not an expected column")},
      {"headerless names, renamed", {"id", "v"}, {"ID", "v"}, {{"id", "ID"}, {"v", "v"}}, {}, Names{"id"},
       Pairs{{"id", "ID", 0, 0}}},
      {"headerless names, the actual spelling refused", {"id", "v"}, {"ID", "v"}, {{"id", "ID"}, {"v", "v"}}, {},
       Names{"ID"}, std::string("key column 'ID' is not an expected column")},
      {"unknown name", {"id", "v"}, {"id", "v"}, {}, {}, Names{"zz"}, std::string("key column 'zz' is not an expected column")},
      {"names matched exactly: no case folding", {"id", "v"}, {"id", "v"}, {}, {}, Names{"Id"},
       std::string("key column 'Id' is not an expected column")},
      {"the empty name", {"id", "v"}, {"id", "v"}, {}, {}, Names{""}, std::string("key column '' is not an expected column")},
      {"a name of the actual header only", {"id"}, {"id", "x"}, {}, {exclude(std::nullopt, "x")}, Names{"x"},
       std::string("key column 'x' is not an expected column")},
      {"excluded on both sides", {"id", "v"}, {"id", "v"}, {}, {exclude("v", "v")}, Names{"v"},
       std::string("key column 'v' is excluded")},
      {"excluded on the expected side, with mappings", {"id", "v", "w"}, {"id", "v"}, {{"id", "id"}, {"v", "v"}},
       {exclude("w", std::nullopt)}, Names{"id", "w"}, std::string("key column 'w' is excluded")},
      {"the name inserted raw", {"id"}, {"id"}, {}, {}, Names{"it's \"x\""},
       std::string("key column 'it's \"x\"' is not an expected column")},
      {"the first bad name in request order: unknown", {"id", "v"}, {"id", "v"}, {}, {exclude("v", "v")},
       Names{"id", "zz", "v"}, std::string("key column 'zz' is not an expected column")},
      {"the first bad name in request order: excluded", {"id", "v"}, {"id", "v"}, {}, {exclude("v", "v")},
       Names{"v", "zz"}, std::string("key column 'v' is excluded")},
      {"a bad mapping before a bad key", {"id", "v"}, {"id", "v"}, {{"id", "id"}}, {}, Names{"zz"},
       std::string(kCoverage)},
      {"differing column sets before a bad key", {"id", "v"}, {"id", "w"}, {}, {}, Names{"zz"},
       std::string(R"(column sets differ; missing=["v"], additional=["w"])")},
      {"nothing to compare before an excluded key", {"a"}, {"a"}, {}, {exclude("a", "a")}, Names{"a"},
       std::string(kNothing)},
  };
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Result<ColumnPlan> plan = build_column_plan(c.expected, c.actual, c.columns, c.exclusions, c.keys);
    if (const auto* keys = std::get_if<Pairs>(&c.outcome)) {
      ASSERT_TRUE(plan.has_value()) << plan.error().message;
      EXPECT_EQ(plan->keys, *keys);
      // Keys never change which columns are compared.
      const Result<ColumnPlan> positional = build_column_plan(c.expected, c.actual, c.columns, c.exclusions);
      ASSERT_TRUE(positional.has_value());
      EXPECT_EQ(plan->pairs, positional->pairs);
    } else {
      ASSERT_FALSE(plan.has_value());
      EXPECT_EQ(plan.error().code, ErrorCode::InvalidGoldenDataset);
      EXPECT_EQ(plan.error().message, std::get<std::string>(c.outcome));
    }
  }
}

// Large headers go through hash lookups only; a quadratic pass would take minutes here.
TEST(ColumnPlan, WideHeaders) {
  constexpr std::uint64_t kWidth = 50'000;
  Names expected;
  Names actual;
  Names renamed;
  for (std::uint64_t i = 0; i < kWidth; ++i) {
    expected.push_back("column_" + std::to_string(i));
    actual.push_back("column_" + std::to_string(kWidth - 1 - i));
    renamed.push_back("field_" + std::to_string(i));
  }

  {
    SCOPED_TRACE("by name");
    const Result<ColumnPlan> plan = build_column_plan(expected, actual, {}, {exclude("column_7", "column_7")});
    ASSERT_TRUE(plan.has_value()) << plan.error().message;
    ASSERT_EQ(plan->pairs.size(), kWidth - 1);
    EXPECT_EQ(plan->pairs.front(), (ColumnPair{"column_0", "column_0", 0, kWidth - 1}));
    EXPECT_EQ(plan->pairs[7], (ColumnPair{"column_8", "column_8", 8, kWidth - 9}));
  }
  {
    SCOPED_TRACE("by mappings, reversed");
    std::vector<ColumnMapping> mappings;
    for (std::uint64_t i = kWidth; i-- > 0;) mappings.push_back({expected[i], renamed[i]});
    const Result<ColumnPlan> plan = build_column_plan(expected, renamed, mappings, {});
    ASSERT_TRUE(plan.has_value()) << plan.error().message;
    ASSERT_EQ(plan->pairs.size(), kWidth);
    EXPECT_EQ(plan->pairs.front(), (ColumnPair{"column_49999", "field_49999", kWidth - 1, kWidth - 1}));
    EXPECT_EQ(plan->pairs.back(), (ColumnPair{"column_0", "field_0", 0, 0}));
  }
  {
    SCOPED_TRACE("every column a key, in reverse");
    const Names keys(expected.rbegin(), expected.rend());
    const Result<ColumnPlan> plan = build_column_plan(expected, actual, {}, {}, keys);
    ASSERT_TRUE(plan.has_value()) << plan.error().message;
    ASSERT_EQ(plan->keys.size(), kWidth);
    EXPECT_EQ(plan->keys.front(), (ColumnPair{"column_49999", "column_49999", kWidth - 1, 0}));
    EXPECT_EQ(plan->keys.back(), (ColumnPair{"column_0", "column_0", 0, kWidth - 1}));
  }
  {
    SCOPED_TRACE("sets differ");
    const Result<ColumnPlan> plan = build_column_plan(expected, renamed, {}, {});
    ASSERT_FALSE(plan.has_value());
    const std::string& message = plan.error().message;
    EXPECT_TRUE(message.starts_with(R"(column sets differ; missing=["column_0", "column_1", "column_10", )"))
        << message.substr(0, 200);
    EXPECT_TRUE(message.ends_with(R"("field_9998", "field_9999"])")) << message.substr(message.size() - 200);
  }
}

}  // namespace
}  // namespace tessamer
