// Whole keyed runs through the built binary: records paired by key, in both key orders.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/request.h"

namespace tessamer::testing {
namespace {

// The base request of every case, in the directory that holds e.csv and a.csv, with `members`
// added; a member of the base that `members` gives too is left out.
std::string base_request(const std::string& members, bool with_key = true) {
  const std::vector<std::pair<std::string, std::string>> base = {
      {"schemaVersion", "1"},        {"expectedPath", "\"e.csv\""},   {"actualPath", "\"a.csv\""},
      {"divergencePath", "\"out/d.jsonl\""}, {"encoding", "\"utf-8\""}, {"delimiter", "\",\""},
      {"quoteChar", "\"\\\"\""},   {"hasHeader", "true"},       {"nullValue", "\"\""},
      {"exampleLimit", "10"},        {"keyColumns", "[\"id\"]"}};
  std::string request = "{";
  for (const auto& [key, value] : base) {
    if (key == "keyColumns" && !with_key) continue;
    if (members.find("\"" + key + "\":") != std::string::npos) continue;
    request += "\"" + key + "\":" + value + ",";
  }
  request += members;
  if (request.back() == ',') request.pop_back();
  return request + "}";
}

std::string rows(int actual, int additional, int compared, int expected, int missing) {
  return "{\"actual\":" + std::to_string(actual) + ",\"additional\":" + std::to_string(additional) +
         ",\"compared\":" + std::to_string(compared) + ",\"expected\":" + std::to_string(expected) +
         ",\"missing\":" + std::to_string(missing) + "}";
}

const std::string kIdKey = R"([{"actual":"id","actualIndex":0,"expected":"id","expectedIndex":0}])";

struct Pairing {
  bool expected_sorted = true;
  bool actual_sorted = true;
  std::string duplicates = "REJECT";
  std::string keys = kIdKey;
  int repeated_expected = 0;
  int repeated_actual = 0;
};

// keyPairing of a streaming run; `sorted_mode` fixes keyOrder and sortMemoryBytes.
std::string pairing(const Pairing& p, bool sorted_mode, const std::string& budget = "67108864") {
  auto flag = [](bool b) { return b ? std::string("true") : std::string("false"); };
  return "{\"actualSorted\":" + flag(p.actual_sorted) + ",\"duplicateKeys\":\"" + p.duplicates +
         "\",\"expectedSorted\":" + flag(p.expected_sorted) + ",\"keyColumns\":" + p.keys + ",\"keyOrder\":\"" +
         (sorted_mode ? "SORTED" : "ANY") + "\",\"repeatedKeyRecords\":{\"actual\":" +
         std::to_string(p.repeated_actual) + ",\"expected\":" + std::to_string(p.repeated_expected) +
         "},\"sortMemoryBytes\":" + (sorted_mode ? std::string("null") : budget) + "}";
}

struct Case {
  const char* name;
  std::string expected, actual;
  std::string members;  // added to the base request
  bool with_key = true;
  // A finished run:
  std::string status, divergences, rows;
  Pairing pairing;
  // An error run: its whole document (then the fields above are unused).
  std::string error;
  std::string report;  // the report's whole content, after either kind of run
};

class KeyedCli : public ::testing::Test {
 protected:
  RunResult run(const Case& c) {
    std::filesystem::remove_all(dir_.file("out"));
    dir_.write("e.csv", c.expected);
    dir_.write("a.csv", c.actual);
    dir_.write("request.json", base_request(c.members, c.with_key));
    RunOptions options;
    options.cwd = dir_.path();
    return run_tessamer({"--request", dir_.file("request.json")}, options);
  }

  void check(const Case& c) {
    SCOPED_TRACE(c.name);
    RunResult result = run(c);
    const bool sorted_mode = c.members.find(R"("keyOrder":"SORTED")") != std::string::npos;
    if (!c.error.empty()) {
      EXPECT_EQ(result.status, 2);
      EXPECT_EQ(result.out, "");
      EXPECT_EQ(result.err, c.error + "\n");
    } else {
      ASSERT_EQ(result.status, 0) << result.err;
      EXPECT_EQ(member(result.out, "status"), "\"" + c.status + "\"");
      EXPECT_EQ(member(result.out, "divergences"), c.divergences);
      EXPECT_EQ(member(result.out, "rows"), c.rows);
      EXPECT_EQ(member(result.out, "comparisonMode"), "\"quor-csv-stream\"");
      std::string budget = "67108864";
      if (auto at = c.members.find("\"sortMemoryBytes\":"); at != std::string::npos) {
        budget = member("{" + c.members + "}", "sortMemoryBytes");
      }
      EXPECT_EQ(member(result.out, "keyPairing"), pairing(c.pairing, sorted_mode, budget));
    }
    EXPECT_EQ(read_file(dir_.file("out/d.jsonl")), c.report);
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path() + "/out")) {
      EXPECT_NE(entry.path().filename().string().rfind(".tessamer-sort-", 0), 0u) << entry.path();
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      EXPECT_NE(entry.path().filename().string().rfind(".tessamer-sort-", 0), 0u) << entry.path();
    }
  }

  TempDir dir_;
};

const std::string kK1Expected = "id,v\nk1,10\nk2,20\nk3,30\nk4,40\n";
const std::string kK1Actual = "id,v\nk1,10\nk15,15\nk2,20\nk3,31\n";
const std::string kK1Report =
    R"({"actual":["k15","15"],"actualRecord":2,"expectedRecord":null,"key":["k15"],"record":2,"type":"ADDITIONAL_ROW"})"
    "\n"
    R"({"actual":"31","actualColumn":"v","actualIndex":1,"actualRecord":4,"column":"v","expected":"30","expectedColumn":"v","expectedIndex":1,"expectedRecord":3,"key":["k3"],"record":3,"type":"CELL"})"
    "\n"
    R"({"actualRecord":null,"expected":["k4","40"],"expectedRecord":4,"key":["k4"],"record":4,"type":"MISSING_ROW"})"
    "\n";

std::string error(const std::string& code, const std::string& message) {
  return "{\"code\":\"" + code + "\",\"message\":\"" + message + "\"}";
}

TEST_F(KeyedCli, PairsByKey) {
  const std::string sorted = R"("keyOrder":"SORTED")";
  const std::vector<Case> cases = {
      {"insert and delete, sorted", kK1Expected, kK1Actual, sorted, true, "FAIL", "3", rows(4, 1, 3, 4, 1), {}, "",
       kK1Report},
      {"insert and delete, any order", kK1Expected, kK1Actual, "", true, "FAIL", "3", rows(4, 1, 3, 4, 1), {}, "",
       kK1Report},
      {"unsorted input sorted by the engine", "id,v\nk3,30\nk1,10\nk2,20\n", "id,v\nk2,20\nk3,30\nk1,11\n", "", true,
       "FAIL", "1", rows(3, 0, 3, 3, 0), {.expected_sorted = false, .actual_sorted = false}, "",
       R"({"actual":"11","actualColumn":"v","actualIndex":1,"actualRecord":3,"column":"v","expected":"10","expectedColumn":"v","expectedIndex":1,"expectedRecord":2,"key":["k1"],"record":2,"type":"CELL"})"
       "\n"},
      {"unsorted input refused when said sorted", "id,v\nk3,30\nk1,10\nk2,20\n", "id,v\nk2,20\nk3,30\nk1,11\n", sorted,
       true, "", "", "", {},
       error("INVALID_GOLDEN_DATASET",
             R"(expected CSV is not sorted by keyColumns: record 2 has key [\"k1\"] after key [\"k3\"])"),
       R"({"actual":["k2","20"],"actualRecord":1,"expectedRecord":null,"key":["k2"],"record":1,"type":"ADDITIONAL_ROW"})"
       "\n"},
      {"duplicates rejected", "id,v\nk1,a\nk2,b\nk2,c\n", "id,v\nk1,a\nk2,b\n", "", true, "", "", "", {},
       error("INVALID_GOLDEN_DATASET", R"(expected CSV has duplicate key [\"k2\"] at records 2 and 3)"), ""},
      {"duplicates paired by occurrence", "id,v\nk1,a\nk2,x\nk2,y\nk2,z\n", "id,v\nk2,x\nk2,q\nk1,a\n",
       R"("duplicateKeys":"PAIR_BY_OCCURRENCE")", true, "FAIL", "2", rows(3, 0, 3, 4, 1),
       {.actual_sorted = false, .duplicates = "PAIR_BY_OCCURRENCE", .repeated_expected = 2, .repeated_actual = 1}, "",
       R"({"actual":"q","actualColumn":"v","actualIndex":1,"actualRecord":2,"column":"v","expected":"y","expectedColumn":"v","expectedIndex":1,"expectedRecord":3,"key":["k2"],"record":3,"type":"CELL"})"
       "\n"
       R"({"actualRecord":null,"expected":["k2","z"],"expectedRecord":4,"key":["k2"],"record":4,"type":"MISSING_ROW"})"
       "\n"},
      {"a key repeated on both sides reported on the expected side", "id,v\nk1,a\nk2,x\nk2,y\nk2,z\n",
       "id,v\nk2,x\nk2,q\nk1,a\n", "", true, "", "", "", {},
       error("INVALID_GOLDEN_DATASET", R"(expected CSV has duplicate key [\"k2\"] at records 2 and 3)"), ""},
      {"tuples compared field by field", "a,b,v\nab,c,1\n", "a,b,v\na,bc,1\n", R"("keyColumns":["a","b"])", false,
       "FAIL", "2", rows(1, 1, 0, 1, 1),
       {.keys = R"([{"actual":"a","actualIndex":0,"expected":"a","expectedIndex":0},{"actual":"b","actualIndex":1,"expected":"b","expectedIndex":1}])"},
       "",
       R"({"actual":["a","bc","1"],"actualRecord":1,"expectedRecord":null,"key":["a","bc"],"record":1,"type":"ADDITIONAL_ROW"})"
       "\n"
       R"({"actualRecord":null,"expected":["ab","c","1"],"expectedRecord":1,"key":["ab","c"],"record":1,"type":"MISSING_ROW"})"
       "\n"},
      {"raw bytes, no trimming or numbers", "id,v\n\"\",e\n01,x\na ,y\n", "id,v\n,e\n1,x\na,y\n", sorted, true, "FAIL",
       "4", rows(3, 2, 1, 3, 2), {}, "",
       R"({"actualRecord":null,"expected":["01","x"],"expectedRecord":2,"key":["01"],"record":2,"type":"MISSING_ROW"})"
       "\n"
       R"({"actual":["1","x"],"actualRecord":2,"expectedRecord":null,"key":["1"],"record":2,"type":"ADDITIONAL_ROW"})"
       "\n"
       R"({"actual":["a","y"],"actualRecord":3,"expectedRecord":null,"key":["a"],"record":3,"type":"ADDITIONAL_ROW"})"
       "\n"
       R"({"actualRecord":null,"expected":["a ","y"],"expectedRecord":3,"key":["a "],"record":3,"type":"MISSING_ROW"})"
       "\n"},
      {"unsigned byte order", "id,v\nz,1\n\xc3\xa9,2\n", "id,v\nz,1\n\xc3\xa9,3\n", sorted, true, "FAIL", "1",
       rows(2, 0, 2, 2, 0), {}, "",
       "{\"actual\":\"3\",\"actualColumn\":\"v\",\"actualIndex\":1,\"actualRecord\":2,\"column\":\"v\",\"expected\":\"2\","
       "\"expectedColumn\":\"v\",\"expectedIndex\":1,\"expectedRecord\":2,\"key\":[\"\xc3\xa9\"],\"record\":2,\"type\":"
       "\"CELL\"}\n"},
      {"quoted keys with a delimiter and a line break", "id,v\n\"a,b\",1\n\"c\nd\",2\ne,5\n",
       "id,v\n\"a,b\",1\n\"c\nd\",3\n\"e\",6\n", sorted, true, "FAIL", "2", rows(3, 0, 3, 3, 0), {}, "",
       R"({"actual":"3","actualColumn":"v","actualIndex":1,"actualRecord":2,"column":"v","expected":"2","expectedColumn":"v","expectedIndex":1,"expectedRecord":2,"key":["c\nd"],"record":2,"type":"CELL"})"
       "\n"
       R"({"actual":"6","actualColumn":"v","actualIndex":1,"actualRecord":3,"column":"v","expected":"5","expectedColumn":"v","expectedIndex":1,"expectedRecord":3,"key":["e"],"record":3,"type":"CELL"})"
       "\n"},
      {"windows-1252 keys in byte order", "id;v\r\n\x80\x31;a\r\n\xfc\x31;b\r\n", "id;v\r\n\x80\x31;a\r\n\xfc\x31;c\r\n",
       R"("encoding":"windows-1252","delimiter":";","keyOrder":"SORTED")", true, "FAIL", "1", rows(2, 0, 2, 2, 0), {}, "",
       "{\"actual\":\"c\",\"actualColumn\":\"v\",\"actualIndex\":1,\"actualRecord\":2,\"column\":\"v\",\"expected\":\"b\","
       "\"expectedColumn\":\"v\",\"expectedIndex\":1,\"expectedRecord\":2,\"key\":[\"\xc3\xbc" "1\"],\"record\":2,"
       "\"type\":\"CELL\"}\n"},
      {"renamed key column", "id,v\nk1,1\nk2,2\n", "value,key\n1,k1\n3,k2\n",
       R"("keyOrder":"SORTED","columns":[{"expected":"id","actual":"key"},{"expected":"v","actual":"value"}])", true,
       "FAIL", "1", rows(2, 0, 2, 2, 0),
       {.keys = R"([{"actual":"key","actualIndex":1,"expected":"id","expectedIndex":0}])"}, "",
       R"({"actual":"3","actualColumn":"value","actualIndex":0,"actualRecord":2,"column":"v","expected":"2","expectedColumn":"v","expectedIndex":1,"expectedRecord":2,"key":["k2"],"record":2,"type":"CELL"})"
       "\n"},
      {"header-only actual, unsorted expected", "id,v\nk2,2\nk1,1\n", "id,v\n", "", true, "FAIL", "2",
       rows(0, 0, 0, 2, 2), {.expected_sorted = false}, "",
       R"({"actualRecord":null,"expected":["k1","1"],"expectedRecord":2,"key":["k1"],"record":2,"type":"MISSING_ROW"})"
       "\n"
       R"({"actualRecord":null,"expected":["k2","2"],"expectedRecord":1,"key":["k2"],"record":1,"type":"MISSING_ROW"})"
       "\n"},
      {"a record too short for its key", "v,k\nx\ny,\"\"\n", "v,k\ny,\"\"\nx\n", R"("keyColumns":["k"])", false, "FAIL",
       "1", rows(2, 0, 2, 2, 0),
       {.actual_sorted = false, .keys = R"([{"actual":"k","actualIndex":1,"expected":"k","expectedIndex":1}])"}, "",
       R"({"actualColumns":2,"actualRecord":2,"actualValues":1,"expectedColumns":2,"expectedRecord":1,"expectedValues":1,"key":[null],"record":1,"type":"ROW_WIDTH"})"
       "\n"},
      {"a record too short for its key, said sorted", "v,k\nx\ny,\"\"\n", "v,k\ny,\"\"\nx\n",
       R"("keyColumns":["k"],"keyOrder":"SORTED")", false, "", "", "", {},
       error("INVALID_GOLDEN_DATASET",
             R"(actual CSV is not sorted by keyColumns: record 2 has key [null] after key [\"\"])"),
       R"({"actualRecord":null,"expected":["x"],"expectedRecord":1,"key":[null],"record":1,"type":"MISSING_ROW"})"
       "\n"},
      {"an empty key cell is a key", "id,v\n\"\",1\nk,2\n", "id,v\n,1\nk,2\n", sorted, true, "PASS", "0",
       rows(2, 0, 2, 2, 0), {}, "", ""},
      {"no header", "k3,30\nk1,10\n", "k1,10\nk2,20\nk3,33\n",
       R"("hasHeader":false,"expectedColumns":["id","v"],"actualColumns":["id","v"])", true, "FAIL", "2",
       rows(3, 1, 2, 2, 0), {.expected_sorted = false}, "",
       R"({"actual":["k2","20"],"actualRecord":2,"expectedRecord":null,"key":["k2"],"record":2,"type":"ADDITIONAL_ROW"})"
       "\n"
       R"({"actual":"33","actualColumn":"v","actualIndex":1,"actualRecord":3,"column":"v","expected":"30","expectedColumn":"v","expectedIndex":1,"expectedRecord":1,"key":["k3"],"record":1,"type":"CELL"})"
       "\n"},
      {"the error follows the merge's reading order", "id,v\nk2,b\nk1,a\n", "id,v\nk1,a\nk1,a\n", sorted, true, "", "",
       "", {}, error("INVALID_GOLDEN_DATASET", R"(actual CSV has duplicate key [\"k1\"] at records 1 and 2)"),
       R"({"actual":["k1","a"],"actualRecord":1,"expectedRecord":null,"key":["k1"],"record":1,"type":"ADDITIONAL_ROW"})"
       "\n"},
  };
  for (const Case& c : cases) check(c);
}

// ANY needs a place for run files: next to a regular report, or the sortDirectory.
TEST_F(KeyedCli, ReportToADeviceNeedsASortDirectory) {
  dir_.write("e.csv", kK1Expected);
  dir_.write("a.csv", kK1Actual);
  RunOptions options;
  options.cwd = dir_.path();
  struct Case {
    const char* name;
    std::string members;
    int status;
    std::string err;
  } cases[] = {
      {"any order", R"("divergencePath":"/dev/null")", 2,
       error("INVALID_NATIVE_REQUEST",
             "sortDirectory is required when keyOrder is ANY and divergencePath is not a regular file") +
           "\n"},
      {"sorted", R"("divergencePath":"/dev/null","keyOrder":"SORTED")", 0, ""},
      {"any order with a sort directory", R"("divergencePath":"/dev/null","sortDirectory":".")", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string request = base_request(c.members);
    dir_.write("request.json", request);
    RunResult result = run_tessamer({"--request", dir_.file("request.json")}, options);
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_EQ(result.err, c.err);
    if (c.status == 0) {
      EXPECT_EQ(member(result.out, "divergences"), "3");
    }
  }
}

// Identical files are settled without reading a key: duplicates and disorder pass.
TEST_F(KeyedCli, IdenticalFilesTakeTheFastPath) {
  const std::string content = "id,v\nk2,a\nk1,b\nk1,c\n";
  dir_.write("e.csv", content);
  dir_.write("a.csv", content);
  std::filesystem::create_directories(dir_.file("out"));
  dir_.write("out/d.jsonl", "old\n");
  dir_.write("request.json", base_request(R"("keyOrder":"SORTED")"));
  RunOptions options;
  options.cwd = dir_.path();
  RunResult result = run_tessamer({"--request", dir_.file("request.json")}, options);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(member(result.out, "comparisonMode"), "\"quor-binary\"");
  EXPECT_EQ(member(result.out, "status"), "\"PASS\"");
  EXPECT_EQ(member(result.out, "keyPairing"),
            R"({"actualSorted":null,"duplicateKeys":"REJECT","expectedSorted":null,"keyColumns":)" + kIdKey +
                R"(,"keyOrder":"SORTED","repeatedKeyRecords":{"actual":null,"expected":null},"sortMemoryBytes":null})");
  EXPECT_EQ(read_file(dir_.file("out/d.jsonl")), "old\n");
}

// A positional run has no keyed member anywhere.
TEST_F(KeyedCli, PositionalRunsHaveNoKeyedMembers) {
  Case c{"positional", kK1Expected, kK1Actual, "", false, "", "", "", {}, "", ""};
  RunResult result = run(c);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(member(result.out, "keyPairing"), "<absent>");
  EXPECT_EQ(member(result.out, "rows"), rows(4, 0, 4, 4, 0));
  const std::string report = read_file(dir_.file("out/d.jsonl"));
  EXPECT_EQ(report.find("\"key\""), std::string::npos);
  EXPECT_EQ(report.rfind(R"({"actual":"k15","actualColumn":"id","actualIndex":0,"column":"id","expected":"k2",)"
                         R"("expectedColumn":"id","expectedIndex":0,"record":2,"type":"CELL"})",
                         0),
            0u);
}

}  // namespace
}  // namespace tessamer::testing

namespace tessamer::testing {
namespace {

// Long runs of records the two files hold as the same bytes are passed over whole; their keys
// are checked all the same, with the numbers of each side.
TEST_F(KeyedCli, RunsOfEqualRecordsAreCheckedToo) {
  auto records = [](int from, int to) {
    std::string text;
    for (int i = from; i < to; ++i) {
      text.append("k").append(std::to_string(100000 + i)).append(",value-").append(std::to_string(i)).append("\n");
    }
    return text;
  };
  const std::string head = "id,v\nk000,first\n";
  const std::string actual_head = "id,v\nk000,other\nk001,added\n";
  struct Run {
    const char* name;
    std::string middle;  // placed after records 0..1999 on both sides
    std::string members;
    std::string error;   // empty: the run finishes
    std::string repeated;
    std::string sorted = "true";  // both sides, as the run found them
    bool shifted = true;          // actual holds one more record near its start
  } runs[] = {
      {"a repeat inside a run", "k101999,again\n", R"("keyOrder":"SORTED")",
       error("INVALID_GOLDEN_DATASET", R"(expected CSV has duplicate key [\"k101999\"] at records 2001 and 2002)"), ""},
      {"a key going down inside a run", "k100005,back\n", R"("keyOrder":"SORTED")",
       error("INVALID_GOLDEN_DATASET",
             R"(expected CSV is not sorted by keyColumns: record 2002 has key [\"k100005\"] after key [\"k101999\"])"),
       ""},
      {"a repeat paired by occurrence", "k101999,again\n",
       R"("keyOrder":"SORTED","duplicateKeys":"PAIR_BY_OCCURRENCE")", "", R"({"actual":1,"expected":1})"},
      {"a repeat read again after sorting", "k101999,again\n", R"("duplicateKeys":"PAIR_BY_OCCURRENCE")", "",
       R"({"actual":1,"expected":1})"},
      {"a key going down inside a run, sorted by the engine", "k100005,back\n", "",
       error("INVALID_GOLDEN_DATASET", R"(expected CSV has duplicate key [\"k100005\"] at records 7 and 2002)"), ""},
      {"a key going down inside a run, paired by occurrence", "k100005,back\n",
       R"("duplicateKeys":"PAIR_BY_OCCURRENCE")", "", R"({"actual":1,"expected":1})", "false"},
      {"a key going down inside a run read alike on both sides", "k100005,back\n",
       R"("duplicateKeys":"PAIR_BY_OCCURRENCE")", "", R"({"actual":1,"expected":1})", "false", false},
  };
  RunOptions options;
  options.cwd = dir_.path();
  for (const Run& run : runs) {
    SCOPED_TRACE(run.name);
    std::filesystem::remove_all(dir_.file("out"));
    const std::string tail = records(2000, 4000);
    dir_.write("e.csv", head + records(0, 2000) + run.middle + tail);
    dir_.write("a.csv", (run.shifted ? actual_head : "id,v\nk000,other\n") + records(0, 2000) + run.middle + tail);
    dir_.write("request.json", base_request(run.members));
    RunResult result = run_tessamer({"--request", dir_.file("request.json")}, options);
    if (!run.error.empty()) {
      EXPECT_EQ(result.err, run.error + "\n");
      continue;
    }
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(member(result.out, "rows"), run.shifted ? rows(4003, 1, 4002, 4002, 0) : rows(4002, 0, 4002, 4002, 0));
    EXPECT_EQ(member(member(result.out, "keyPairing"), "repeatedKeyRecords"), run.repeated);
    EXPECT_EQ(member(member(result.out, "keyPairing"), "expectedSorted"), run.sorted);
    EXPECT_EQ(member(member(result.out, "keyPairing"), "actualSorted"), run.sorted);
    EXPECT_EQ(member(result.out, "divergences"), run.shifted ? "2" : "1");
  }
}

}  // namespace
}  // namespace tessamer::testing
