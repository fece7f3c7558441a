// Whole runs through the built binary: result documents, divergence reports, the fast path.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "support/request.h"

namespace tessamer::testing {
namespace {

using namespace std::string_literals;

class CompareCli : public ::testing::Test {
 protected:
  Request with_files(const std::string& expected, const std::string& actual) {
    return request_for_files(dir_, expected, actual);
  }
  // Runs a request that must end with a result document and returns it.
  std::string result(const Request& request) {
    RunResult run = run_request(dir_, request);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_FALSE(run.out.empty());
    EXPECT_EQ(run.out.back(), '\n');
    return without_timings(run.out);
  }
  std::string report(const Request& request) { return read_file(request.divergence_path); }
  TempDir dir_;
};

const std::string kEngine = R"({"name":"tessamer","target":"x86_64-unknown-linux-gnu","version":"0.1.0"})";

// Report lines in the channel of the result or error document would make it two documents or
// more where callers parse one: a report path that is standard output or error (here pipes) is
// refused, whatever the spelling.
TEST_F(CompareCli, ReportIntoTheDocumentChannelsIsRefused) {
  for (const char* path : {"/dev/stdout", "/dev/stderr", "/proc/self/fd/1", "/proc/self/fd/2", "/dev/fd/1"}) {
    SCOPED_TRACE(path);
    Request request = with_files("id,v\n1,a\n", "id,v\n1,b\n");
    request.divergence_path = path;
    RunResult run = run_request(dir_, request);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "{\"code\":\"INVALID_NATIVE_REQUEST\",\"message\":\"divergencePath must not name standard output or "
              "standard error\"}\n");
  }
}

TEST_F(CompareCli, ReportIntoStandardOutputAsAFileIsRefusedButNotIntoTheNullDevice) {
  // Standard output redirected to a regular file: a report there would go into the document.
  const std::string out = dir_.file("out.json");
  Request request = with_files("id,v\n1,a\n", "id,v\n1,b\n");
  request.divergence_path = out;
  RunOptions options;
  options.stdout_mode = StdoutMode::File;
  options.stdout_path = out;
  RunResult run = run_request(dir_, request, options);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err,
            "{\"code\":\"INVALID_NATIVE_REQUEST\",\"message\":\"divergencePath must not name standard output or "
            "standard error\"}\n");
  EXPECT_EQ(read_file(out), "");
  // Both on the null device: nothing is kept of either, so nothing is mixed.
  request.divergence_path = "/dev/null";
  options.stdout_path = "/dev/null";
  run = run_request(dir_, request, options);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
}

TEST_F(CompareCli, FailWithOneCellIsTheWholeDocument) {
  Request request = with_files("id,name\n1,a\n2,b\n", "id,name\n1,a\n2,c\n");
  std::string document = result(request);
  std::string cell = R"({"actual":"c","actualColumn":"name","actualIndex":1,"column":"name","expected":"b",)"
                     R"("expectedColumn":"name","expectedIndex":1,"record":2,"type":"CELL"})";
  EXPECT_EQ(document, "{\"actualBytes\":16,\"actualSha256\":\"" + file_sha256(request.actual_path) +
                          "\",\"cellsCompared\":4,\"columnPairs\":[{\"actual\":\"id\",\"actualIndex\":0,\"expected\":\"id\","
                          "\"expectedIndex\":0},{\"actual\":\"name\",\"actualIndex\":1,\"expected\":\"name\","
                          "\"expectedIndex\":1}],\"columnsCompared\":2,\"comparisonMode\":\"quor-csv-stream\","
                          "\"divergenceExamples\":[" + cell + "],\"divergences\":1,\"durationMs\":0,\"engine\":" + kEngine +
                          ",\"excludedCells\":0,\"expectedBytes\":16,\"expectedSha256\":\"" +
                          file_sha256(request.expected_path) +
                          "\",\"headers\":{\"actual\":[\"id\",\"name\"],\"expected\":[\"id\",\"name\"]},"
                          "\"rows\":{\"actual\":2,\"additional\":0,\"compared\":2,\"expected\":2,\"missing\":0},"
                          "\"status\":\"FAIL\",\"throughputBytesPerSecond\":0}\n");
  EXPECT_EQ(report(request), cell + "\n");
}

// ASCII text as UTF-16 code units.
std::string u16le(std::string_view ascii) {
  std::string out;
  for (char c : ascii) out += std::string{c, '\0'};
  return out;
}
std::string u16be(std::string_view ascii) {
  std::string out;
  for (char c : ascii) out += std::string{'\0', c};
  return out;
}

std::string cell(const std::string& expected, const std::string& actual, int record = 1) {
  return R"({"actual":)" + actual + R"(,"actualColumn":"name","actualIndex":1,"column":"name","expected":)" + expected +
         R"(,"expectedColumn":"name","expectedIndex":1,"record":)" + std::to_string(record) + R"(,"type":"CELL"})" +
         "\n";
}

// Encodings whose characters can hold a delimiter, quote or escape byte: such a byte counts only
// where a character starts, and the rest of the run is as under any other encoding.
TEST_F(CompareCli, CharactersThatHoldDialectBytes) {
  struct Case {
    const char* name;
    std::string encoding, delimiter;
    std::optional<std::string> escape;
    std::string expected, actual;
    std::string status;  // or the error message
    std::string report;
  };
  const std::string bom = "\xFF\xFE";
  const std::string header = u16le("id,name\r\n");
  const Case cases[] = {
      {"utf-16le changed cell, BOM on one side", "UTF-16LE", ",", {}, bom + header + u16le("1,x\r\n"),
       u16le("id,name\n1,") + "\xE9\x00"s + u16le("\n"), "FAIL", cell(R"("x")", "\"\xC3\xA9\"")},
      {"utf-16le quoted delimiter, doubled quote, line break", "UTF-16LE", ",", {},
       header + u16le("1,\"a,\"\"b\r\nc\"\r\n"), u16le("id,name\n1,\"a,\"\"b\r\nc\"\n"), "PASS", ""},
      {"utf-16le escape", "UTF-16LE", ",", "\\", header + u16le("1,\"a\\\"b\"\r\n"), header + u16le("1,\"a\"\"b\"\r\n"),
       "PASS", ""},
      {"utf-16le short row", "UTF-16LE", ",", {}, header + u16le("1,x\r\n"), header + u16le("1\r\n"), "FAIL",
       R"({"actualColumns":2,"actualValues":1,"expectedColumns":2,"expectedValues":2,"record":1,"type":"ROW_WIDTH"})"
       "\n" + cell(R"("x")", "null")},
      {"utf-16le lone surrogate in a reported cell", "UTF-16LE", ",", {}, header + u16le("1,") + "\x00\xD8"s,
       header + u16le("1,x"), "CSV contains bytes invalid for encoding UTF-16LE", ""},
      {"utf-16le odd last byte", "UTF-16LE", ",", {}, header + u16le("1,x") + "A", header + u16le("1,x"),
       "CSV contains bytes invalid for encoding UTF-16LE", ""},
      {"utf-16le byte-identical", "UTF-16LE", ",", {}, bom + header + u16le("1,x\r\n"), bom + header + u16le("1,x\r\n"),
       "PASS", ""},
      {"shift_jis trail byte is the escape", "Shift_JIS", ",", "\\", "id,name\n1,\"\x95\x5C\x41\"\n",
       "id,name\n1,\"\x95\x41\"\n", "FAIL", cell("\"\xE8\xA1\xA8\x41\"", "\"\xE6\x9F\x8A\"")},
      {"shift_jis trail byte is the delimiter", "Shift_JIS", "|", {}, "id|name\n1|\x83\x7C\n", "id|name\r\n1|\x83\x7C\r\n",
       "PASS", ""},
      {"shift_jis malformed byte in a reported cell", "Shift_JIS", ",", {}, "id,name\n1,x\n", "id,name\n1,\xA0\n",
       "CSV contains bytes invalid for encoding Shift_JIS", ""},
      {"big5 trail byte is the escape", "Big5", ",", "\\", "id,name\n1,\"\xA5\x5C\"\n", "id,name\n1,x\n", "FAIL",
       cell("\"\xE5\x8A\x9F\"", R"("x")")},
      {"utf-16be, BOM on one side", "UTF-16BE", ",", {}, "\xFE\xFF" + u16be("id,name\n1,x\n"),
       u16be("id,name\r\n1,x\r\n"), "PASS", ""},
      {"gb18030 trail byte is the delimiter", "gb18030", "|", {}, "id|name\n1|\x81\x7C\n", "id|name\n1|x\n", "FAIL",
       cell("\"\xE4\xBA\x85\"", R"("x")")},
      {"euc-kr trail given back, then not decodable", "EUC-KR", "|", {}, "id|name\n1|\x81\x7C\n", "id|name\n1|x\n",
       "CSV contains bytes invalid for encoding EUC-KR", ""},
      {"iso-2022-jp delimiter byte in double-byte mode", "ISO-2022-JP", ",", {}, "id,name\n1,\x1B$B\x30\x2C\x1B(B\n",
       "id,name\r\n1,\x1B$B\x30\x2C\x1B(B\r\n", "PASS", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Request request = with_files(c.expected, c.actual);
    request.encoding = c.encoding;
    request.delimiter = c.delimiter;
    request.escape_char = c.escape;
    RunResult run = run_request(dir_, request);
    if (c.status == "PASS" || c.status == "FAIL") {
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(member(run.out, "status"), "\"" + c.status + "\"");
      EXPECT_EQ(member(run.out, "columnsCompared"), "2");
      if (c.status == "FAIL") {
        EXPECT_EQ(report(request), c.report);
      }
    } else {
      EXPECT_EQ(run.status, 2);
      EXPECT_EQ(run.err, R"({"code":"INVALID_GOLDEN_DATASET","message":")" + c.status + "\"}\n");
    }
  }
}

TEST_F(CompareCli, DivergenceKinds) {
  struct Case {
    const char* name;
    std::string expected, actual;
    bool has_header;
    std::string report;
    std::string rows;
  };
  const Case cases[] = {
      {"surplus actual records", "id\n1\n", "id\n1\n2\n3\n", true,
       "{\"actual\":[\"2\"],\"record\":2,\"type\":\"ADDITIONAL_ROW\"}\n{\"actual\":[\"3\"],\"record\":3,\"type\":\"ADDITIONAL_ROW\"}\n",
       R"({"actual":3,"additional":2,"compared":1,"expected":1,"missing":0})"},
      {"actual without data records", "id,n\n1,x\n2,y\n", "id,n\n", true,
       "{\"expected\":[\"1\",\"x\"],\"record\":1,\"type\":\"MISSING_ROW\"}\n{\"expected\":[\"2\",\"y\"],\"record\":2,\"type\":"
       "\"MISSING_ROW\"}\n",
       R"({"actual":0,"additional":0,"compared":0,"expected":2,"missing":2})"},
      {"short expected record", "a,b,c\n1\n", "a,b,c\n1,2,3\n", true,
       "{\"actualColumns\":3,\"actualValues\":3,\"expectedColumns\":3,\"expectedValues\":1,\"record\":1,\"type\":\"ROW_WIDTH\"}\n"
       "{\"actual\":\"2\",\"actualColumn\":\"b\",\"actualIndex\":1,\"column\":\"b\",\"expected\":null,\"expectedColumn\":\"b\","
       "\"expectedIndex\":1,\"record\":1,\"type\":\"CELL\"}\n"
       "{\"actual\":\"3\",\"actualColumn\":\"c\",\"actualIndex\":2,\"column\":\"c\",\"expected\":null,\"expectedColumn\":\"c\","
       "\"expectedIndex\":2,\"record\":1,\"type\":\"CELL\"}\n",
       R"({"actual":1,"additional":0,"compared":1,"expected":1,"missing":0})"},
      {"both records short: no cell beyond both", "a,b\n1\n", "a,b\n1\n", false,
       "{\"actualColumns\":2,\"actualValues\":1,\"expectedColumns\":2,\"expectedValues\":1,\"record\":2,\"type\":\"ROW_WIDTH\"}\n",
       R"({"actual":2,"additional":0,"compared":2,"expected":2,"missing":0})"},
      {"empty against absent", "a,b\n1,\n", "a,b\n1\n", true,
       "{\"actualColumns\":2,\"actualValues\":1,\"expectedColumns\":2,\"expectedValues\":2,\"record\":1,\"type\":\"ROW_WIDTH\"}\n"
       "{\"actual\":null,\"actualColumn\":\"b\",\"actualIndex\":1,\"column\":\"b\",\"expected\":\"\",\"expectedColumn\":\"b\","
       "\"expectedIndex\":1,\"record\":1,\"type\":\"CELL\"}\n",
       R"({"actual":1,"additional":0,"compared":1,"expected":1,"missing":0})"},
      {"quoted equals unquoted, leading space differs", "a,b\n\"x\",y\n", "a,b\nx, y\n", true,
       "{\"actual\":\" y\",\"actualColumn\":\"b\",\"actualIndex\":1,\"column\":\"b\",\"expected\":\"y\",\"expectedColumn\":\"b\","
       "\"expectedIndex\":1,\"record\":1,\"type\":\"CELL\"}\n",
       R"({"actual":1,"additional":0,"compared":1,"expected":1,"missing":0})"},
      {"quoted field spanning lines counts as one record", "a\n\"x\ny\"\nz\n", "a\n\"x\ny\"\nw\n", true,
       "{\"actual\":\"w\",\"actualColumn\":\"a\",\"actualIndex\":0,\"column\":\"a\",\"expected\":\"z\",\"expectedColumn\":\"a\","
       "\"expectedIndex\":0,\"record\":2,\"type\":\"CELL\"}\n",
       R"({"actual":2,"additional":0,"compared":2,"expected":2,"missing":0})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Request request = with_files(c.expected, c.actual);
    request.has_header = c.has_header;
    if (!c.has_header) {
      request.expected_columns = {"a", "b"};
      request.actual_columns = {"a", "b"};
    }
    std::string document = result(request);
    EXPECT_EQ(report(request), c.report);
    EXPECT_EQ(member(document, "rows"), c.rows);
    EXPECT_EQ(member(document, "status"), "\"FAIL\"");
  }
}

TEST_F(CompareCli, EqualContentInDifferentBytesPasses) {
  struct Case {
    const char* name;
    std::string expected, actual;
  };
  const Case cases[] = {
      {"quoting", "id,name\n1,\"a\"\n", "id,name\n1,a\n"},
      {"line ends", "id,name\r\n1,a\r\n", "id,name\n1,a"},
      {"BOM on one side", "\xef\xbb\xbfid,name\n1,a\n", "id,name\n1,a\n"},
      {"column order", "id,name\n1,a\n", "name,id\na,1\n"},
      {"only headers in another order", "a,b\n", "b,a\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Request request = with_files(c.expected, c.actual);
    std::string document = result(request);
    EXPECT_EQ(member(document, "status"), "\"PASS\"");
    EXPECT_EQ(member(document, "comparisonMode"), "\"quor-csv-stream\"");
    EXPECT_EQ(member(document, "divergences"), "0");
    EXPECT_EQ(member(document, "expectedBytes"), std::to_string(c.expected.size()));
    EXPECT_EQ(member(document, "actualBytes"), std::to_string(c.actual.size()));
    EXPECT_EQ(member(document, "expectedSha256"), "\"" + file_sha256(request.expected_path) + "\"");
    EXPECT_EQ(member(document, "actualSha256"), "\"" + file_sha256(request.actual_path) + "\"");
    EXPECT_EQ(report(request), "");
  }
}

TEST_F(CompareCli, ExclusionsAndExcludedCells) {
  std::string expected = "id,x\n";
  std::string actual = "id,x\n";
  for (int i = 0; i < 10; ++i) expected += std::to_string(i) + ",e\n";
  for (int i = 0; i < 10; ++i) actual += std::to_string(i) + ",a\n";
  actual += "10,a\n11,a\n";
  Request request = with_files(expected, actual);
  request.excluded_columns = {Exclusion{"x", "x"}};
  std::string document = result(request);
  EXPECT_EQ(member(document, "excludedCells"), "22");
  EXPECT_EQ(member(document, "divergences"), "2");
  EXPECT_EQ(member(document, "status"), "\"FAIL\"");

  Request same = with_files("id,x\n1,e\n", "id,x,y\n1,a,b\n");
  same.excluded_columns = {Exclusion{"x", "x"}, Exclusion{std::nullopt, "y"}};
  document = result(same);
  EXPECT_EQ(member(document, "status"), "\"PASS_WITH_EXCLUSIONS\"");
  EXPECT_EQ(member(document, "excludedCells"), "3");
  EXPECT_EQ(member(document, "cellsCompared"), "1");
}

TEST_F(CompareCli, ExampleLimits) {
  for (std::uint64_t limit : {0u, 2u}) {
    SCOPED_TRACE(limit);
    Request request = with_files("a\n1\n2\n3\n4\n5\n", "a\n6\n7\n8\n9\n0\n");
    request.example_limit = limit;
    std::string document = result(request);
    std::string lines = report(request);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 5);
    EXPECT_EQ(member(document, "divergences"), "5");
    std::string examples = "[";
    std::size_t at = 0;
    for (std::uint64_t i = 0; i < limit; ++i) {
      std::size_t end = lines.find('\n', at);
      examples.append(i ? "," : "").append(lines, at, end - at);
      at = end + 1;
    }
    EXPECT_EQ(member(document, "divergenceExamples"), examples + "]");
  }
}

TEST_F(CompareCli, InvalidBytesFailOnlyWhereTheyAreReported) {
  // In an equal cell and in an unplanned column the bytes are never decoded.
  Request request = with_files("a,b\n\xff,1\n", "a,b\n\xff,1\n\n");
  EXPECT_EQ(member(result(request), "status"), "\"PASS\"");

  request = with_files("a\n1\n\xfe\n3\n", "a\n2\n\xff\n4\n");
  RunResult run = run_request(dir_, request);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "{\"code\":\"INVALID_GOLDEN_DATASET\",\"message\":\"CSV contains bytes invalid for encoding UTF-8\"}\n");
  EXPECT_EQ(report(request), "{\"actual\":\"2\",\"actualColumn\":\"a\",\"actualIndex\":0,\"column\":\"a\",\"expected\":\"1\","
                             "\"expectedColumn\":\"a\",\"expectedIndex\":0,\"record\":1,\"type\":\"CELL\"}\n");
}

TEST_F(CompareCli, ReportFileAndDirectory) {
  Request request = with_files("a\n1\n", "a\n2\n");
  request.divergence_path = dir_.file("x/y/z/d.jsonl");
  result(request);
  EXPECT_EQ(report(request),
            "{\"actual\":\"2\",\"actualColumn\":\"a\",\"actualIndex\":0,\"column\":\"a\",\"expected\":\"1\","
            "\"expectedColumn\":\"a\",\"expectedIndex\":0,\"record\":1,\"type\":\"CELL\"}\n");

  // An existing report is truncated; a bare file name lands in the working directory.
  dir_.write("old.jsonl", std::string(1000, 'x'));
  request.divergence_path = "old.jsonl";
  RunOptions in_dir;
  in_dir.cwd = dir_.path();
  RunResult run = run_request(dir_, request, in_dir);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(read_file(dir_.file("old.jsonl")), read_file(dir_.file("x/y/z/d.jsonl")));

  struct Case {
    const char* name;
    std::string path;
    std::string code, message;
  };
  dir_.write("file", "");
  const Case cases[] = {
      {"directory", dir_.path(), "NATIVE_IO_ERROR", "cannot create divergence report: Is a directory (os error 21)"},
      {"file in the way", dir_.file("file/d.jsonl"), "NATIVE_IO_ERROR",
       "cannot create divergence report directory: File exists (os error 17)"},
      {"NUL in the name", dir_.file(std::string("d\0.jsonl", 8)), "NATIVE_IO_ERROR",
       "cannot create divergence report: file name contained an unexpected NUL byte"},
      {"NUL in the directory", dir_.file(std::string("s\0b/d.jsonl", 11)), "NATIVE_IO_ERROR",
       "cannot create divergence report directory: file name contained an unexpected NUL byte"},
      {"full disk", "/dev/full", "NATIVE_IO_ERROR", "cannot flush divergence report: No space left on device (os error 28)"},
      {"the expected dataset", request.expected_path, "INVALID_NATIVE_REQUEST",
       "divergencePath must not name the expected or actual dataset"},
      {"another path to the actual dataset", dir_.path() + "/./a.csv", "INVALID_NATIVE_REQUEST",
       "divergencePath must not name the expected or actual dataset"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string expected_before = read_file(request.expected_path);
    std::string actual_before = read_file(request.actual_path);
    request.divergence_path = c.path;
    run = run_request(dir_, request);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "{\"code\":\"" + c.code + "\",\"message\":\"" + c.message + "\"}\n");
    EXPECT_EQ(read_file(request.expected_path), expected_before);
    EXPECT_EQ(read_file(request.actual_path), actual_before);
  }

  request.divergence_path = "/dev/null";
  EXPECT_EQ(member(result(request), "divergences"), "1");
}

TEST_F(CompareCli, ByteIdenticalFastPath) {
  std::string content = "id,name\n1,a\n2,b\n";
  Request request = with_files(content, content);
  dir_.write("out/d.jsonl", "old report\n");
  std::string document = result(request);
  std::string digest = "\"" + file_sha256(request.expected_path) + "\"";
  EXPECT_EQ(document, "{\"actualBytes\":16,\"actualSha256\":" + digest +
                          ",\"cellsCompared\":null,\"columnPairs\":[{\"actual\":\"id\",\"actualIndex\":0,\"expected\":\"id\","
                          "\"expectedIndex\":0},{\"actual\":\"name\",\"actualIndex\":1,\"expected\":\"name\","
                          "\"expectedIndex\":1}],\"columnsCompared\":2,\"comparisonMode\":\"quor-binary\","
                          "\"divergenceExamples\":[],\"divergences\":0,\"durationMs\":0,\"engine\":" + kEngine +
                          ",\"excludedCells\":0,\"expectedBytes\":16,\"expectedSha256\":" + digest +
                          ",\"headers\":{\"actual\":[\"id\",\"name\"],\"expected\":[\"id\",\"name\"]},"
                          "\"rows\":{\"actual\":null,\"additional\":0,\"compared\":null,\"expected\":null,\"missing\":0},"
                          "\"status\":\"PASS\",\"throughputBytesPerSecond\":0}\n");
  EXPECT_EQ(report(request), "old report\n") << "the fast path leaves the report alone";

  // The same files compare by streaming when the request asks for more than a plain comparison.
  struct Variant {
    const char* name;
    void (*change)(Request&);
  };
  const Variant variants[] = {
      {"no header",
       [](Request& r) {
         r.has_header = false;
         r.expected_columns = r.actual_columns = {"id", "name"};
       }},
      {"one exclusion", [](Request& r) { r.excluded_columns = {Exclusion{"name", "name"}}; }},
      {"mappings", [](Request& r) { r.columns = {{"id", "id"}, {"name", "name"}}; }},
  };
  for (const Variant& v : variants) {
    SCOPED_TRACE(v.name);
    Request streaming = request;
    v.change(streaming);
    std::string streamed = result(streaming);
    EXPECT_EQ(member(streamed, "comparisonMode"), "\"quor-csv-stream\"");
    EXPECT_EQ(member(streamed, "expectedSha256"), digest);
    EXPECT_EQ(member(streamed, "actualBytes"), "16");
    EXPECT_EQ(report(streaming), "");
  }
}

TEST_F(CompareCli, FastPathChunksAndDifferences) {
  const std::size_t mib = std::size_t{1} << 20;
  auto make = [](std::size_t size) {
    std::string text = "id,value\n";
    for (std::size_t i = 0; text.size() < size; ++i) text += std::to_string(i) + ",v" + std::to_string(i * 7) + "\n";
    text.resize(size - 1);
    text += "\n";
    return text;
  };
  struct Case {
    const char* name;
    std::string expected, actual;
    std::string mode;
    std::string encoding = "utf-8";
  };
  // A digit near `at` changed to another digit: the same size, different bytes.
  auto change_digit = [](std::string text, std::size_t at) {
    at = text.find_first_of("0123456789", at);
    text[at] = text[at] == '1' ? '2' : '1';
    return text;
  };
  auto utf16le = [](const std::string& ascii) {
    std::string units;
    for (char c : ascii) units.append({c, '\0'});
    return units;
  };
  std::string exact = make(2 * mib);
  std::string longer = make(3 * mib + 12345);
  const std::string wide = utf16le(make(mib + 777));
  // Digests of the streaming pass are computed two files at a time and carry on from the bytes
  // the check for identical files already hashed: each shape must still give the files' digests.
  const Case cases[] = {
      {"multiple of the chunk size", exact, exact, "\"quor-binary\""},
      {"short last chunk", longer, longer, "\"quor-binary\""},
      {"one byte differs in the last chunk", longer, change_digit(longer, longer.size() - 9), "\"quor-csv-stream\""},
      {"one byte differs in the first chunk", longer, change_digit(longer, 100), "\"quor-csv-stream\""},
      {"sizes differ by a chunk and more", make(2 * mib + 4321), longer, "\"quor-csv-stream\""},
      {"UTF-16, one unit differs after a chunk", wide, change_digit(wide, mib + 3), "\"quor-csv-stream\"",
       "utf-16le"},
      {"CR LF against LF", "id\r\n1\r\n", "id\n1\n", "\"quor-csv-stream\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Request request = with_files(c.expected, c.actual);
    request.encoding = c.encoding;
    std::string document = result(request);
    EXPECT_EQ(member(document, "comparisonMode"), c.mode);
    EXPECT_EQ(member(document, "expectedBytes"), std::to_string(c.expected.size()));
    EXPECT_EQ(member(document, "actualBytes"), std::to_string(c.actual.size()));
    EXPECT_EQ(member(document, "expectedSha256"), "\"" + file_sha256(request.expected_path) + "\"");
    EXPECT_EQ(member(document, "actualSha256"), "\"" + file_sha256(request.actual_path) + "\"");
  }

  Request same_file = with_files("id\n1\n", "");
  same_file.actual_path = same_file.expected_path;
  EXPECT_EQ(member(result(same_file), "comparisonMode"), "\"quor-binary\"");
}

}  // namespace
}  // namespace tessamer::testing
