#include "sort/sort.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <optional>
#include <random>
#include <utility>
#include <string>
#include <vector>

#include "core/run_file.h"
#include "support/process.h"

// Counts allocations while a test asks for it, to show that the merge allocates nothing per record.
namespace {
bool g_counting = false;
std::size_t g_allocations = 0;
}  // namespace

void* operator new(std::size_t n) {
  if (g_counting) ++g_allocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

using namespace std::string_literals;

namespace {

using Fields = std::vector<std::string>;

struct TestRecord {
  std::uint64_t number;
  Fields fields;
  friend bool operator==(const TestRecord&, const TestRecord&) = default;
};

void PrintTo(const TestRecord& r, std::ostream* os) {
  *os << "#" << r.number << " [";
  for (const std::string& f : r.fields) *os << testing::PrintToString(f) << " ";
  *os << "]";
}

// The order the sort must produce, from the exported comparator.
std::vector<TestRecord> reference_sort(std::vector<TestRecord> records, const std::vector<std::size_t>& columns) {
  std::sort(records.begin(), records.end(), [&](const TestRecord& a, const TestRecord& b) {
    int order = sort::compare_keys(sort::RecordKey(a.fields, columns), sort::RecordKey(b.fields, columns));
    return order != 0 ? order < 0 : a.number < b.number;
  });
  return records;
}

std::vector<std::string> sort_files_in(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name.rfind(".tessamer-sort-", 0) == 0) names.push_back(name);
  }
  ::closedir(d);
  return names;
}

std::size_t open_descriptors() {
  std::size_t n = 0;
  DIR* d = ::opendir("/proc/self/fd");
  while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
  ::closedir(d);
  return n - 1;  // the directory's own descriptor
}

// Run files in `dir` made by the engine's creator; counts how many were asked for.
struct Factory {
  std::string dir;
  std::size_t created = 0;
  sort::RunFileFactory make() {
    return [this]() -> std::expected<sort::RunFile, std::string> {
      ++created;
      auto fd = tessamer::create_run_file(dir);
      if (!fd) return std::unexpected(fd.error().text);
      return sort::RunFile(fd->release());
    };
  }
};

struct Budget {
  const char* name;
  std::uint64_t memory_bytes;
  std::size_t max_run_records;
  std::size_t max_fan_in;
};

// Runs of 3 records merged 2 at a time: every record set of a few records spills and merges in
// several levels. A 2 KiB budget also makes a long record larger than the whole budget.
constexpr Budget kTiny{"tiny", 2048, 3, 2};
constexpr Budget kNormal{"normal", 1 << 20, 0, 0};

sort::Options options_for(const Budget& budget, std::vector<std::size_t> columns, Factory& factory) {
  sort::Options options;
  options.memory_bytes = budget.memory_bytes;
  options.key_columns = std::move(columns);
  options.create_run_file = factory.make();
  options.max_run_records = budget.max_run_records;
  options.max_fan_in = budget.max_fan_in;
  return options;
}

// With `as_text`, each record's fields are handed over as views into one text, a comma between
// each two, as a record's fields stand in its line.
void add_all(sort::Sorter& sorter, const std::vector<TestRecord>& records, bool as_text = false) {
  std::string text;
  std::vector<std::string_view> views;
  for (const TestRecord& r : records) {
    text.clear();
    for (const std::string& f : r.fields) text.append(f).push_back(',');
    views.clear();
    for (std::size_t at = 0; const std::string& f : r.fields) {
      views.push_back(std::string_view(text).substr(at, f.size()));
      at += f.size() + 1;
    }
    auto added = as_text ? sorter.add(r.number, views) : sorter.add_record(r.number, r.fields);
    ASSERT_TRUE(added) << added.error().text;
  }
}

std::vector<TestRecord> drain(sort::Sorter& sorter) {
  std::vector<TestRecord> out;
  for (;;) {
    auto next = sorter.next();
    EXPECT_TRUE(next) << next.error().text;
    if (!next || *next == nullptr) break;
    const sort::Record& r = **next;
    TestRecord copy{r.number(), {}};
    for (std::size_t i = 0; i < r.size(); ++i) copy.fields.emplace_back(r[i]);
    out.push_back(std::move(copy));
  }
  return out;
}

// Numbered records from the fields, numbered 1, 2, ... in order.
std::vector<TestRecord> numbered(std::vector<Fields> rows) {
  std::vector<TestRecord> out;
  for (std::size_t i = 0; i < rows.size(); ++i) out.push_back({i + 1, std::move(rows[i])});
  return out;
}

std::vector<TestRecord> random_records(std::size_t n, std::size_t distinct, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<Fields> rows;
  for (std::size_t i = 0; i < n; ++i) {
    std::string key = std::to_string(rng() % distinct);
    // Some keys share a 16-byte start and differ later, some are short, some hold high bytes.
    switch (rng() % 4) {
      case 0: key = "0123456789abcdef" + key; break;
      case 1: key = "0123456789abcdef" + key + "\x80"s; break;
      case 2: key.push_back('\0'); break;
      default: break;
    }
    rows.push_back({key, std::string(rng() % 40, 'v'), std::to_string(i)});
  }
  return numbered(std::move(rows));
}

// Keys of 0 to 12 bytes from four bytes (a zero and a high one among them), many repeated, some
// records without the key field: keys differing in few enough bits to be packed.
std::vector<TestRecord> short_key_records(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<Fields> rows;
  for (std::size_t i = 0; i < n; ++i) {
    if (rng() % 10 == 0) {
      rows.push_back({});
      continue;
    }
    std::string key;
    for (std::size_t size = rng() % 13; key.size() < size;) key.push_back("01\xb0\x00"[rng() % 4]);
    rows.push_back({key, std::to_string(i)});
  }
  return numbered(std::move(rows));
}

// Groups of keys that share their first d bytes, for every d up to past the 16 bytes the index
// holds, so that an in-memory sort splits large groups at every one of those bytes.
std::vector<TestRecord> keys_splitting_at_every_byte() {
  std::mt19937 rng(7);
  std::vector<Fields> rows;
  for (std::size_t shared = 0; shared <= 18; ++shared) {
    for (int i = 0; i < 60; ++i) {
      std::string key(shared, 'P');
      key.push_back(static_cast<char>("AP\x00\xf0"[rng() % 4]));
      for (std::size_t tail = rng() % 4; tail > 0; --tail) key.push_back(rng() % 2 ? 'z' : '\0');
      rows.push_back({key, std::to_string(i)});
    }
  }
  return numbered(std::move(rows));
}

TEST(KeyOrder, FieldsInAscendingOrder) {
  // Each is lower than every later one.
  // Fields of 8 to 16 bytes differ in their first eight bytes or only in their last ones.
  const std::optional<std::string> ascending[] = {std::nullopt,
                                                  ""s,
                                                  "\x00"s,
                                                  "a"s,
                                                  "aaaaaaaa"s,
                                                  "aaaaaaaa\x00"s,
                                                  "aaaaaaaaaaaaaaaa"s,
                                                  "aaaaaaaaaaaaaaa\x80"s,
                                                  "aaaaaaa\x80"s,
                                                  "ab"s,
                                                  "b"s,
                                                  "\x80"s,
                                                  "\x80\x80\x80\x80\x80\x80\x80\x80\x80"s,
                                                  "\xc3\xa9"s /* é */,
                                                  "\xff"s};
  auto field = [](const std::optional<std::string>& f) {
    return f ? sort::KeyField{*f, true} : sort::KeyField{};
  };
  for (std::size_t i = 0; i < std::size(ascending); ++i) {
    for (std::size_t j = 0; j < std::size(ascending); ++j) {
      SCOPED_TRACE("fields " + std::to_string(i) + " and " + std::to_string(j));
      int order = sort::compare_fields(field(ascending[i]), field(ascending[j]));
      EXPECT_EQ(order < 0, i < j);
      EXPECT_EQ(order == 0, i == j);
      EXPECT_EQ(order > 0, i > j);
    }
  }
}

TEST(KeyOrder, KeysFieldByField) {
  struct Case {
    const char* name;
    std::vector<std::string> a;
    std::vector<std::string> b;
    std::vector<std::size_t> columns;
    int order;  // of a against b
  };
  const Case cases[] = {
      {"never a joined string", {"a", "bc"}, {"ab", "c"}, {0, 1}, -1},
      {"first field decides", {"a", "z"}, {"b", "a"}, {0, 1}, -1},
      {"second field on a tie", {"a", "a"}, {"a", "b"}, {0, 1}, -1},
      {"key columns in key order, not record order", {"b", "a"}, {"a", "b"}, {1, 0}, -1},
      {"a record too short has an absent field, below empty", {"a"}, {"a", ""}, {0, 1}, -1},
      {"both absent are equal", {"a"}, {"a"}, {0, 1}, 0},
      {"a non-key column does not count", {"k", "1"}, {"k", "2"}, {0}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sort::RecordKey a(c.a, c.columns);
    sort::RecordKey b(c.b, c.columns);
    EXPECT_EQ(sort::compare_keys(a, b), c.order);
    EXPECT_EQ(sort::compare_keys(b, a), -c.order);
    EXPECT_EQ(sort::compare_keys(a, a), 0);

    // A copy of a key compares as the key itself, after the record is gone and the copy was reused.
    sort::KeyCopy copy;
    copy.assign(sort::RecordKey(std::vector<std::string>{"some", "longer", "key", "first"}, c.columns));
    {
      std::vector<std::string> gone = c.a;
      copy.assign(sort::RecordKey(gone, c.columns));
    }
    EXPECT_EQ(sort::compare_keys(copy, a), 0);
    EXPECT_EQ(sort::compare_keys(copy, b), c.order);
  }
}

TEST(Sorter, SortsAsTheKeyOrderDoes) {
  struct Case {
    const char* name;
    std::vector<TestRecord> records;
    std::vector<std::size_t> columns = {0};
  };
  std::vector<Case> cases;
  cases.push_back({"empty input", {}});
  cases.push_back({"one record", numbered({{"k", "v"}})});
  cases.push_back({"one record without the key field", numbered({{}})});
  cases.push_back({"duplicates across run boundaries",
                   numbered({{"b", "1"}, {"a", "2"}, {"b", "3"}, {"b", "4"}, {"a", "5"}, {"b", "6"}, {"c", "7"},
                             {"b", "8"}, {"a", "9"}, {"b", "10"}})});
  cases.push_back({"numbers against the order of input",
                   {{9, {"x", "a"}}, {7, {"x", "b"}}, {8, {"x", "c"}}, {3, {"w", "d"}}, {5, {"x", "e"}}, {1, {"x", "f"}}}});
  cases.push_back({"a record larger than the budget",
                   numbered({{"m", "1"}, {"b", std::string(5000, 'L')}, {"a", "2"}, {"z", "3"}, {"b", "4"},
                             {"c", std::string(9000, 'M')}, {"b", "5"}})});
  cases.push_back({"absent, empty, zero and high bytes",
                   numbered({{"\xc3\xa9", "1"}, {}, {"", "2"}, {"\x80", "3"}, {"\x00"s, "4"}, {"a", "5"}, {}, {"ab", "6"},
                             {""}, {"b", "7"}, {"a\x00"s}, {"\x7f", "8"}})});
  cases.push_back({"long keys equal in their first 16 bytes",
                   numbered({{"0123456789abcdefZ"}, {"0123456789abcdef"}, {"0123456789abcdef\x00"s},
                             {"0123456789abcdeZ"}, {"0123456789abcdefZZ"}, {"0123456789abcdefA"}, {"0123456789abcdef"},
                             {"0123456789abcdef" + std::string(100, 'x')}, {"0123456789abcde"}})});
  cases.push_back({"two key columns, the second absent in short records",
                   numbered({{"2", "x", "a"}, {"1", "y"}, {"1", "y", "b"}, {"2", "x"}, {"1", "y", ""}, {"3"}, {"2", "w", "c"}}),
                   {1, 2}});
  cases.push_back({"a key column after the others", numbered({{"a", "3"}, {"b", "1"}, {"c", "2"}, {"d", "1"}}), {1}});
  cases.push_back({"already sorted", numbered({{"a"}, {"b"}, {"c"}, {"d"}, {"e"}, {"f"}, {"g"}})});
  cases.push_back({"reverse order", numbered({{"g"}, {"f"}, {"e"}, {"d"}, {"c"}, {"b"}, {"a"}})});
  cases.push_back({"many records, many merge levels", random_records(3000, 500, 1)});
  cases.push_back({"keys splitting at every byte of the index", keys_splitting_at_every_byte()});
  // Enough records with keys of at most 16 bytes for the sort that packs the bits keys differ in;
  // numbered against their order, the same records go through the general sort.
  std::vector<TestRecord> short_keys = short_key_records(400, 5);
  cases.push_back({"short keys, repeated and absent", short_keys});
  for (std::size_t i = 0; i < short_keys.size(); ++i) short_keys[i].number = short_keys.size() - i;
  cases.push_back({"short keys numbered against their order", short_keys});

  tessamer::testing::TempDir dir;
  for (const Budget& budget : {kTiny, kNormal}) {
    for (const Case& c : cases) {
      for (const bool as_text : {false, true}) {
        SCOPED_TRACE(std::string(c.name) + ", " + budget.name + " budget" + (as_text ? ", fields in one text" : ""));
        Factory factory{dir.path()};
        sort::Sorter sorter(options_for(budget, c.columns, factory));
        add_all(sorter, c.records, as_text);
        auto finished = sorter.finish();
        ASSERT_TRUE(finished) << finished.error().text;
        EXPECT_EQ(drain(sorter), reference_sort(c.records, c.columns));
        EXPECT_EQ(sorter.stats().records, c.records.size());
        EXPECT_LE(factory.created, 2u);
        EXPECT_EQ(sorter.stats().run_files, factory.created);
        // The last run holds more than three records only when nothing spilled.
        if (budget.max_run_records != 0 && c.records.size() > 3) {
          EXPECT_GT(sorter.stats().runs_written, 1u);
        }
        // A normal budget holds a few records in memory: no run file at all.
        if (budget.max_run_records == 0 && c.records.size() < 100) {
          EXPECT_EQ(factory.created, 0u);
        }
      }
    }
  }
  EXPECT_TRUE(sort_files_in(dir.path()).empty());
}

TEST(Sorter, MergesInSeveralPassesWithinTwoFiles) {
  tessamer::testing::TempDir dir;
  Factory factory{dir.path()};
  std::vector<TestRecord> records = random_records(1000, 100000, 2);
  std::size_t before = open_descriptors();
  {
    sort::Sorter sorter(options_for(kTiny, {0}, factory));
    add_all(sorter, records);
    EXPECT_LE(open_descriptors(), before + 1);  // run formation writes to one file
    ASSERT_TRUE(sorter.finish());
    EXPECT_LE(open_descriptors(), before + 2);
    const sort::Stats& stats = sorter.stats();
    EXPECT_EQ(stats.runs_written, 334u);  // 1000 records, 3 a run
    EXPECT_EQ(stats.fan_in, 2u);
    EXPECT_EQ(stats.merge_passes, 8u);  // 334 → 167 → 84 → 42 → 21 → 11 → 6 → 3 → 2
    EXPECT_EQ(stats.final_runs, 2u);
    EXPECT_EQ(stats.run_files, 2u);
    EXPECT_EQ(drain(sorter), reference_sort(records, {0}));
    EXPECT_LE(open_descriptors(), before + 2);
  }
  EXPECT_EQ(open_descriptors(), before);
  EXPECT_EQ(factory.created, 2u);
}

TEST(Sorter, BudgetSetsRunsAndFanIn) {
  // About 100-byte records with a 12-byte key: under a 512 KiB budget every run fits in it, and
  // the 64 readers with their buffers too.
  std::vector<TestRecord> records;
  std::mt19937 rng(3);
  for (std::size_t i = 0; i < 20000; ++i) {
    char key[16];
    std::snprintf(key, sizeof key, "%012u", static_cast<unsigned>(rng() % 1000000000));
    records.push_back({i + 1, {key, std::string(30, 'a'), std::string(25, 'b'), std::string(20, 'c')}});
  }
  tessamer::testing::TempDir dir;
  Factory factory{dir.path()};
  sort::Options options = options_for(kNormal, {0}, factory);
  options.memory_bytes = 512 << 10;
  sort::Sorter sorter(std::move(options));
  add_all(sorter, records);
  ASSERT_TRUE(sorter.finish());
  const sort::Stats& stats = sorter.stats();
  EXPECT_EQ(stats.fan_in, 64u);
  EXPECT_GE(stats.runs_written, 4u);
  EXPECT_LE(stats.runs_written, 8u);
  EXPECT_EQ(stats.merge_passes, 0u);
  // The runs take about the room of the records: each field's size byte stands for its delimiter.
  const std::uint64_t field_bytes = records.size() * (12 + 30 + 25 + 20 + 4);
  EXPECT_LE(stats.bytes_written, field_bytes + 8 * records.size());
  EXPECT_EQ(drain(sorter), reference_sort(records, {0}));
}

TEST(Sorter, NextAllocatesNothingPerRecord) {
  tessamer::testing::TempDir dir;
  std::vector<TestRecord> records = random_records(2000, 100000, 4);
  for (const Budget& budget : {kTiny, kNormal}) {
    SCOPED_TRACE(budget.name);
    Factory factory{dir.path()};
    sort::Sorter sorter(options_for(budget, {0}, factory));
    add_all(sorter, records);
    ASSERT_TRUE(sorter.finish());
    std::size_t given = 0;
    for (;; ++given) {
      // By the 100th record every reader has met a record as long as any of its later ones.
      if (given == 100) {
        g_allocations = 0;
        g_counting = true;
      }
      auto next = sorter.next();
      ASSERT_TRUE(next);
      if (*next == nullptr) break;
    }
    g_counting = false;
    EXPECT_EQ(given, records.size());
    EXPECT_EQ(g_allocations, 0u);
  }
}

// Sets the file-size limit for the test's duration, with SIGXFSZ ignored so that the write fails
// with EFBIG instead of killing the process.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, previous_);
  }

 private:
  rlimit saved_{};
  sighandler_t previous_ = SIG_DFL;
};

TEST(Sorter, FailuresGiveTheirKindAndText) {
  tessamer::testing::TempDir dir;
  auto in = [](std::string location) -> sort::RunFileFactory {
    return [location]() -> std::expected<sort::RunFile, std::string> {
      auto fd = tessamer::create_run_file(location);
      if (!fd) return std::unexpected(fd.error().text);
      return sort::RunFile(fd->release());
    };
  };
  // The first run file in the directory, the second on a full disk: a merge pass fails.
  auto second_full = [&]() -> sort::RunFileFactory {
    return [first = true, dir = dir.path()]() mutable -> std::expected<sort::RunFile, std::string> {
      if (!std::exchange(first, false)) return sort::RunFile(::open("/dev/full", O_RDWR | O_CLOEXEC));
      auto fd = tessamer::create_run_file(dir);
      if (!fd) return std::unexpected(fd.error().text);
      return sort::RunFile(fd->release());
    };
  };
  const std::vector<TestRecord> many = random_records(200, 1000, 5);
  const std::vector<TestRecord> huge = numbered({{"k", std::string(10000, 'h')}});
  const sort::Error too_large{sort::Error::Kind::write, "File too large (os error 27)"};
  const sort::Error disk_full{sort::Error::Kind::write, "No space left on device (os error 28)"};
  const sort::Error no_location{sort::Error::Kind::create, "No such file or directory (os error 2)"};
  struct Case {
    const char* name;
    bool named;         // the named fallback of the run files forced
    rlim_t size_limit;  // RLIMIT_FSIZE while sorting, 0 for none
    sort::RunFileFactory factory;
    const std::vector<TestRecord>& records;
    sort::Error error;
  };
  const Case cases[] = {
      {"file-size limit", false, 64, in(dir.path()), many, too_large},
      {"file-size limit, named", true, 64, in(dir.path()), many, too_large},
      {"file-size limit on a record larger than the budget", false, 64, in(dir.path()), huge, too_large},
      {"file-size limit on a record larger than the budget, named", true, 64, in(dir.path()), huge, too_large},
      {"disk full in a merge pass", false, 0, second_full(), many, disk_full},
      {"no such sort location", false, 0, in(dir.file("missing")), many, no_location},
      {"no such sort location, named", true, 0, in(dir.file("missing")), many, no_location},
      {"the factory's own text", false, 0,
       [] { return std::expected<sort::RunFile, std::string>(std::unexpected("no room")); }, many,
       {sort::Error::Kind::create, "no room"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tessamer::force_named_run_files(c.named);
    std::optional<sort::Error> error;
    {
      std::optional<FileSizeLimit> limit;
      if (c.size_limit != 0) limit.emplace(c.size_limit);
      Factory unused;
      sort::Options options = options_for(kTiny, {0}, unused);
      options.create_run_file = c.factory;
      sort::Sorter sorter(std::move(options));
      for (const TestRecord& r : c.records) {
        if (auto added = sorter.add_record(r.number, r.fields); !added) {
          error = added.error();
          break;
        }
      }
      if (!error) {
        if (auto finished = sorter.finish(); !finished) error = finished.error();
      }
    }
    tessamer::force_named_run_files(false);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind, c.error.kind);
    EXPECT_EQ(error->text, c.error.text);
    EXPECT_TRUE(sort_files_in(dir.path()).empty());
  }
}

TEST(Sorter, ShortRunFileIsAReadFailure) {
  tessamer::testing::TempDir dir;
  std::vector<int> handed_out;
  sort::Options options;
  options.memory_bytes = kTiny.memory_bytes;
  options.key_columns = {0};
  options.max_run_records = 3;
  options.max_fan_in = 64;
  options.create_run_file = [&]() -> std::expected<sort::RunFile, std::string> {
    auto fd = tessamer::create_run_file(dir.path());
    if (!fd) return std::unexpected(fd.error().text);
    handed_out.push_back(::dup(fd->get()));
    return sort::RunFile(fd->release());
  };
  sort::Sorter sorter(std::move(options));
  add_all(sorter, random_records(30, 100, 6));
  ASSERT_TRUE(sorter.finish());
  ASSERT_EQ(handed_out.size(), 1u);
  // Something cut the run file behind the sorter's back.
  ASSERT_EQ(::ftruncate(handed_out[0], 40), 0);
  std::optional<sort::Error> error;
  for (;;) {
    auto next = sorter.next();
    if (!next) {
      error = next.error();
      break;
    }
    if (*next == nullptr) break;
  }
  for (int fd : handed_out) ::close(fd);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->kind, sort::Error::Kind::read);
  EXPECT_EQ(error->text, "failed to fill whole buffer");
}

}  // namespace
