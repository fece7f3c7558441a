#include "compare/report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "compare/temp_files.h"

namespace tessamer {
namespace {

using compare_testing::compact;
using compare_testing::read_file;
using compare_testing::TempDir;

constexpr std::size_t kCapacity = ReportBuffer::kCapacity;

JsonValue line(const std::string& value) {
  JsonValue record = JsonValue::object();
  record.set("v", JsonValue::string(value));
  return record;
}

std::uint64_t file_size(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : ~std::uint64_t{0};
}

DivergenceReportWriter open_ok(const std::string& path, std::uint64_t limit = 10) {
  auto writer = open_divergence_report(path, limit, {});
  EXPECT_TRUE(writer.has_value()) << (writer ? "" : writer.error().message);
  return std::move(*writer);
}

TEST(CompareReport, CreatesMissingDirectoriesAndTruncatesAnExistingFile) {
  TempDir dir;
  const std::string path = dir.file("a/b/./c//r.jsonl");
  {
    DivergenceReportWriter writer = open_ok(path);
    ASSERT_TRUE(record_divergence(writer, line("first")));
    ASSERT_TRUE(finish_divergence_report(std::move(writer)));
  }
  EXPECT_EQ(read_file(path), "{\"v\":\"first\"}\n");
  // Directories existing already are no error, and a second run replaces the old lines.
  DivergenceReportWriter writer = open_ok(path);
  EXPECT_EQ(file_size(path), 0u);
  auto summary = finish_divergence_report(std::move(writer));
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->count, 0u);
  EXPECT_EQ(read_file(path), "");
}

TEST(CompareReport, OpenFailures) {
  TempDir dir;
  dir.write("plain", "x");
  ASSERT_EQ(::mkdir(dir.file("existing").c_str(), 0777), 0);
  ASSERT_EQ(::symlink(dir.file("nowhere").c_str(), dir.file("dangling").c_str()), 0);
  struct Case {
    const char* name;
    std::string path;
    const char* message;
  };
  const Case cases[] = {
      {"directory", dir.file("existing"), "cannot create divergence report: Is a directory (os error 21)"},
      {"file in the directory part", dir.file("plain/sub/r.jsonl"),
       "cannot create divergence report directory: Not a directory (os error 20)"},
      {"file as the directory", dir.file("plain/r.jsonl"),
       "cannot create divergence report directory: File exists (os error 17)"},
      // mkdir finds the link, but what stops it is the missing target.
      {"dangling symbolic link as the directory", dir.file("dangling/r.jsonl"),
       "cannot create divergence report directory: No such file or directory (os error 2)"},
      {"NUL in the directory part", dir.file(std::string("d\0x/r.jsonl", 11)),
       "cannot create divergence report directory: file name contained an unexpected NUL byte"},
      {"NUL in the file name", dir.file(std::string("r\0.jsonl", 8)),
       "cannot create divergence report: file name contained an unexpected NUL byte"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto writer = open_divergence_report(c.path, 1, {});
    ASSERT_FALSE(writer.has_value());
    EXPECT_EQ(writer.error(), (EngineError{ErrorCode::NativeIoError, c.message}));
  }
  EXPECT_EQ(read_file(dir.file("plain")), "x");
}

TEST(CompareReport, RefusesToNameADataset) {
  TempDir dir;
  const std::string expected = dir.write("expected.csv", "id\n1\n");
  const std::string actual = dir.write("actual.csv", "id\n2\n");
  ASSERT_EQ(::link(actual.c_str(), dir.file("hard").c_str()), 0);
  ASSERT_EQ(::symlink(expected.c_str(), dir.file("soft").c_str()), 0);
  UniqueFd expected_fd(::open(expected.c_str(), O_RDONLY));
  UniqueFd actual_fd(::open(actual.c_str(), O_RDONLY));
  const FileIdentity datasets[] = {*file_identity(expected_fd.get()), *file_identity(actual_fd.get())};

  for (const std::string& path : {expected, dir.path() + "/./actual.csv", dir.file("hard"), dir.file("soft")}) {
    SCOPED_TRACE(path);
    auto writer = open_divergence_report(path, 1, datasets);
    ASSERT_FALSE(writer.has_value());
    EXPECT_EQ(writer.error(), (EngineError{ErrorCode::InvalidNativeRequest,
                                           "divergencePath must not name the expected or actual dataset"}));
  }
  EXPECT_EQ(read_file(expected), "id\n1\n");
  EXPECT_EQ(read_file(actual), "id\n2\n");
  EXPECT_TRUE(open_divergence_report(dir.file("other.jsonl"), 1, datasets).has_value());
}

TEST(CompareReport, ExampleLimitKeepsTheFirstRecords) {
  TempDir dir;
  for (std::uint64_t limit : {0u, 2u}) {
    SCOPED_TRACE("limit " + std::to_string(limit));
    DivergenceReportWriter writer = open_ok(dir.file("r.jsonl"), limit);
    for (const char* value : {"one", "two", "three"}) ASSERT_TRUE(record_divergence(writer, line(value)));
    auto summary = finish_divergence_report(std::move(writer));
    ASSERT_TRUE(summary);
    EXPECT_EQ(summary->count, 3u);
    std::vector<JsonValue> kept;
    if (limit == 2) kept = {JsonValue::raw("{\"v\":\"one\"}"), JsonValue::raw("{\"v\":\"two\"}")};
    EXPECT_EQ(summary->examples, kept);
    EXPECT_EQ(read_file(dir.file("r.jsonl")), "{\"v\":\"one\"}\n{\"v\":\"two\"}\n{\"v\":\"three\"}\n");
  }
}

// A kept example is the line as written, also when the line crosses a write-out of the buffer
// or is longer than the buffer itself.
TEST(CompareReport, ExamplesAreTheLinesAcrossWriteOuts) {
  TempDir dir;
  DivergenceReportWriter writer = open_ok(dir.file("r.jsonl"), 3);
  const std::vector<std::string> values = {std::string(ReportBuffer::kCapacity - 20, 'a'), "b\n\"c",
                                           std::string(2 * ReportBuffer::kCapacity, 'd')};
  for (const std::string& value : values) ASSERT_TRUE(record_divergence(writer, line(value)));
  auto summary = finish_divergence_report(std::move(writer));
  ASSERT_TRUE(summary);
  std::string lines;
  for (const JsonValue& example : summary->examples) lines += example.as_raw() + "\n";
  EXPECT_EQ(lines, read_file(dir.file("r.jsonl")));
}

TEST(CompareReport, BufferRules) {
  TempDir dir;
  const std::string path = dir.file("r.jsonl");
  DivergenceReportWriter writer = open_ok(path);
  const std::string first = compact(line("small")) + "\n";
  ASSERT_TRUE(record_divergence(writer, line("small")));
  EXPECT_EQ(file_size(path), 0u) << "a line is not written out on its own";

  // A piece shorter than the capacity but larger than the free room: the buffer goes out first.
  const std::string near_full(kCapacity - 10, 'n');
  ASSERT_TRUE(record_divergence(writer, line(near_full)));
  EXPECT_EQ(file_size(path), first.size() + std::string("{\"v\":\"").size());

  // A piece of the capacity or more goes straight to the file after the buffer.
  const std::string huge(kCapacity + 5, 'h');
  const std::string second = compact(line(near_full)) + "\n";
  ASSERT_TRUE(record_divergence(writer, line(huge)));
  EXPECT_EQ(file_size(path), first.size() + second.size() + std::string("{\"v\":\"").size() + huge.size());

  auto summary = finish_divergence_report(std::move(writer));
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->count, 3u);
  EXPECT_EQ(read_file(path), first + second + compact(line(huge)) + "\n");
}

TEST(CompareReport, ReleasedWithoutFinishingKeepsTheLines) {
  TempDir dir;
  const std::string path = dir.file("r.jsonl");
  {
    DivergenceReportWriter writer = open_ok(path);
    ASSERT_TRUE(record_divergence(writer, line("kept")));
    DivergenceReportWriter moved = std::move(writer);  // the moved-from writer writes nothing
  }
  EXPECT_EQ(read_file(path), "{\"v\":\"kept\"}\n");
}

TEST(CompareReport, FullDeviceIsAnError) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  {
    SCOPED_TRACE("small lines fail when the buffer is written out");
    DivergenceReportWriter writer = open_ok("/dev/full");
    ASSERT_TRUE(record_divergence(writer, line("x")));
    auto summary = finish_divergence_report(std::move(writer));
    ASSERT_FALSE(summary);
    EXPECT_EQ(summary.error(), (EngineError{ErrorCode::NativeIoError,
                                            "cannot flush divergence report: No space left on device (os error 28)"}));
  }
  {
    SCOPED_TRACE("a line larger than the buffer fails while it is recorded");
    DivergenceReportWriter writer = open_ok("/dev/full");
    auto recorded = record_divergence(writer, line(std::string(kCapacity, 'x')));
    ASSERT_FALSE(recorded);
    EXPECT_EQ(recorded.error(), (EngineError{ErrorCode::NativeReportError, "No space left on device (os error 28)"}));
    EXPECT_EQ(writer.count(), 0u);
  }
}

// The report's own string writer must give exactly the bytes of the JSON writer.
TEST(CompareReport, JsonStringMatchesTheJsonWriter) {
  std::string every_byte;
  for (int b = 0; b < 256; ++b) every_byte.push_back(static_cast<char>(b));
  std::string long_text;
  for (int i = 0; i < 5000; ++i) long_text += (i % 37 == 0) ? "\"\n\\" : (i % 11 == 0 ? "é日🎉" : "abcdefghijklmnopq");
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"empty", ""},
      {"plain", "plain text"},
      {"escapes", "q\"b\\s/\b\f\n\r\t\x01\x1f\x7f"},
      {"escape at block ends", std::string(15, 'a') + "\"" + std::string(15, 'b') + "\n" + std::string(16, 'c')},
      {"non-ASCII", "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x8e\x89 \xe2\x80\xa8"},
      {"every byte", every_byte},
      {"long", long_text},
      {"longer than the buffer", std::string(kCapacity + 3, 'z')},
      {"longer than the buffer, escaped", std::string(kCapacity, 'z') + "\n"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string expected = compact(JsonValue::string(c.text));

    // Once with room to spare and once with the buffer nearly full.
    for (std::size_t filler : {std::size_t{0}, kCapacity - 7}) {
      SCOPED_TRACE("filler " + std::to_string(filler));
      const std::string path = dir.file("s");
      auto fd = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ASSERT_TRUE(fd);
      ReportBuffer buffer(std::move(*fd));
      ASSERT_TRUE(buffer.write(std::string(filler, '.')));
      ASSERT_TRUE(buffer.write_json_string(c.text));
      ASSERT_TRUE(buffer.flush());
      EXPECT_EQ(read_file(path), std::string(filler, '.') + expected);
    }
  }
}

// Each byte value at each place of texts around the 8- and 16-byte steps of the scans.
TEST(CompareReport, EveryByteAnywhereIsFoundOrPassed) {
  TempDir dir;
  const std::string path = dir.file("s");
  auto fd = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_TRUE(fd);
  ReportBuffer buffer(std::move(*fd));
  std::string expected;
  for (std::size_t size : {1, 2, 7, 8, 9, 15, 16, 17, 23, 24, 25, 40}) {
    for (std::size_t at = 0; at < size; ++at) {
      for (int b = 0; b < 256; ++b) {
        std::string text(size, 'a');
        text[at] = static_cast<char>(b);
        const bool plain = b >= 0x20 && b < 0x80 && b != '"' && b != '\\';
        ASSERT_EQ(is_plain_ascii(text), plain) << "size " << size << ", byte " << b << " at " << at;
        ASSERT_TRUE(buffer.write_json_string(text));
        expected += compact(JsonValue::string(text));
      }
    }
  }
  ASSERT_TRUE(buffer.flush());
  EXPECT_EQ(read_file(path), expected);
}

}  // namespace
}  // namespace tessamer
