// The dataset stream: what it counts and hashes, however the two sides' reads interleave.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "compare/temp_files.h"
#include "core/sha256.h"
#include "csv/csv.h"
#include "input/input.h"

namespace tessamer {
namespace {

using compare_testing::TempDir;

std::string sha256_of(std::string_view bytes) {
  Sha256 hasher;
  hasher.update(bytes.data(), bytes.size());
  return hasher.finish();
}

// Several reads of the stream's 1 MiB source, records of varying length, a quoted field that a
// read cuts now and then.
std::string big_file(char tag, int records) {
  std::string text = "id,text\n";
  for (int i = 0; i < records; ++i) {
    text += std::to_string(i) + "," + (i % 7 == 0 ? "\"q," : "") + std::string(static_cast<std::size_t>(i % 31), tag) +
            (i % 7 == 0 ? "\"" : "") + "\n";
  }
  return text;
}

CsvDialect utf8_dialect() {
  ValidationRequest request;
  request.encoding = "utf-8";
  // Characters, not one-character strings: g++ 12 inlines those assignments here into a false
  // -Wrestrict warning.
  request.delimiter = ',';
  request.quote_char = '"';
  auto dialect = resolve_dialect(request);
  EXPECT_TRUE(dialect);
  return *dialect;
}

// Reads a stream to its end; the number of data records.
std::uint64_t drain(DatasetStream& stream) {
  std::uint64_t records = 0;
  for (;;) {
    auto more = stream.next();
    EXPECT_TRUE(more) << more.error().message;
    if (!more || !*more) return records;
    ++records;
  }
}

TEST(DatasetStream, CountsAndDigestsWholeFiles) {
  enum class Order { in_step, expected_first, actual_first };
  struct Case {
    const char* name;
    std::string expected;
    std::string actual;
    std::size_t prefix;  // bytes both files start with that the digests already hold
    Order order;
    bool header;
  };
  const std::string big_e = big_file('e', 120'000);
  const std::string big_a = big_file('a', 90'000);
  const std::string shared = big_file('s', 60'000);
  const Case cases[] = {
      {"in step", big_e, big_a, 0, Order::in_step, true},
      {"one side after the other", big_e, big_a, 0, Order::expected_first, true},
      {"the other side first", big_e, big_a, 0, Order::actual_first, true},
      {"a prefix spanning reads", shared + "x\n" + big_e, shared + "y\n" + big_a, shared.size(), Order::in_step, true},
      {"a prefix, one side after the other", shared + "1\n", shared + "12\n", shared.size() + 1, Order::actual_first,
       true},
      {"the prefix is the whole shorter file", shared, shared + "9\n", shared.size(), Order::in_step, false},
      {"a BOM is counted and hashed", "\xef\xbb\xbf" "a\n1\n", "a\n1\n", 0, Order::in_step, true},
      {"empty files", "", "", 0, Order::in_step, true},
  };
  const CsvDialect dialect = utf8_dialect();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string expected_path = dir.write("e.csv", c.expected), actual_path = dir.write("a.csv", c.actual);
    DatasetFile expected_file(DatasetSide::Expected, expected_path);
    DatasetFile actual_file(DatasetSide::Actual, actual_path);
    DigestedPrefix prefix;
    prefix.digest.update(c.expected.data(), c.prefix);
    prefix.size = c.prefix;
    PairedDigests digests(prefix);
    auto expected = DatasetStream::open(expected_file, dialect, &digests);
    auto actual = DatasetStream::open(actual_file, dialect, &digests);
    ASSERT_TRUE(expected && actual);
    if (c.header) {
      ASSERT_TRUE(expected->read_header());
      ASSERT_TRUE(actual->read_header());
    }
    switch (c.order) {
      case Order::in_step:
        for (bool e = true, a = true; e || a;) {
          if (e) e = expected->next().value_or(false);
          if (a) a = actual->next().value_or(false);
        }
        break;
      case Order::expected_first:
        drain(*expected);
        drain(*actual);
        break;
      case Order::actual_first:
        drain(*actual);
        drain(*expected);
        break;
    }
    auto expected_end = expected->finish();
    auto actual_end = actual->finish();
    ASSERT_TRUE(expected_end && actual_end);
    EXPECT_EQ(expected_end->bytes, c.expected.size());
    EXPECT_EQ(actual_end->bytes, c.actual.size());
    EXPECT_EQ(expected_end->sha256, sha256_of(c.expected));
    EXPECT_EQ(actual_end->sha256, sha256_of(c.actual));
    // A second finish gives the same again.
    auto again = expected->finish();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->sha256, expected_end->sha256);
  }
}

TEST(DatasetStream, RereadWithoutDigest) {
  TempDir dir;
  const std::string text = big_file('r', 50'000);
  const std::string path = dir.write("a.csv", text);
  DatasetFile file(DatasetSide::Actual, path);
  const CsvDialect dialect = utf8_dialect();
  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass == 0 ? "first open" : "reopened");
    auto stream = DatasetStream::open(file, dialect);
    ASSERT_TRUE(stream);
    ASSERT_TRUE(stream->read_header().value_or(false));
    EXPECT_EQ(stream->record().fields().size(), 2u);
    EXPECT_EQ(drain(*stream), 50'000u);
    auto end = stream->finish();
    ASSERT_TRUE(end);
    EXPECT_EQ(end->bytes, text.size());
    EXPECT_EQ(end->sha256, "");
  }
}

TEST(DatasetStream, Failures) {
  TempDir dir;
  const CsvDialect dialect = utf8_dialect();
  // DatasetFile keeps a view of its path.
  const std::string none_path = dir.file("none.csv"), folder_path = dir.file("folder"), changing_path = dir.file("c.csv");
  DatasetFile missing(DatasetSide::Expected, none_path);
  auto none = DatasetStream::open(missing, dialect);
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error(),
            (EngineError{ErrorCode::NativeIoError, "cannot open expected CSV: No such file or directory (os error 2)"}));

  ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0777), 0);
  DatasetFile folder(DatasetSide::Actual, folder_path);
  auto unreadable = DatasetStream::open(folder, dialect);
  ASSERT_TRUE(unreadable);
  EXPECT_EQ(unreadable->read_header().error(),
            (EngineError{ErrorCode::InvalidGoldenDataset, "cannot parse actual header: Is a directory (os error 21)"}));

  // A writer that opens the file under the stream breaks its read lease where one was granted
  // (opening without blocking starts the break without waiting it out); where none was, what it
  // writes changes the file's state. Either way the stream finds the file changed, and stays so.
  dir.write("c.csv", "a\n1\n");
  DatasetFile changing(DatasetSide::Expected, changing_path);
  auto stream = DatasetStream::open(changing, dialect);
  ASSERT_TRUE(stream);
  EXPECT_EQ(drain(*stream), 2u);
  const int writer = ::open(changing_path.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK);
  const bool leased = writer < 0 && errno == EWOULDBLOCK;
  ASSERT_TRUE(writer >= 0 || leased) << std::strerror(errno);
  if (writer >= 0) {
    EXPECT_EQ(::write(writer, "2\n", 2), 2);
    ::close(writer);
  }
  const EngineError changed{ErrorCode::NativeIoError, "expected CSV changed while being read"};
  EXPECT_EQ(stream->finish().error(), changed);
  EXPECT_EQ(stream->finish().error(), changed);
  // A broken lease is let go as soon as it is seen: a writer now opens without waiting.
  if (leased) {
    const int late = ::open(changing_path.c_str(), O_WRONLY | O_NONBLOCK);
    EXPECT_GE(late, 0) << std::strerror(errno);
    if (late >= 0) ::close(late);
  }
}

}  // namespace
}  // namespace tessamer
