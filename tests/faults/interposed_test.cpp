// The file system misbehaving under a run, in process: this test program defines read, write and
// close itself, so the engine's calls reach these definitions first. They pass every call on to
// the system unchanged, except for the one file or descriptor a test points them at: a dataset
// that another writer changes after its n-th read, reads that return less than asked, a report
// whose close fails, standard output that takes all but the last byte. Read leases are refused.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include "engine/engine.h"
#include "support/request.h"

namespace {

struct Inode {
  dev_t device;
  ino_t inode;
};

std::optional<Inode> inode_of_fd(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::nullopt;
  return Inode{st.st_dev, st.st_ino};
}

bool same(const std::optional<Inode>& a, const std::optional<Inode>& b) {
  return a && b && a->device == b->device && a->inode == b->inode;
}

// What the definitions below do besides passing a call on; all off between tests.
struct Interposed {
  std::optional<Inode> read_file;       // the file whose reads are counted and cut short
  int reads = 0;                        // of read_file so far
  int change_after = 0;                 // run `change` once read_file has been read this often
  std::function<void()> change;
  std::size_t read_cap = 0;             // when not 0, reads of read_file return at most this
  std::optional<Inode> failing_close;   // closing this file reports EIO (the descriptor is gone)
  int short_write_fd = -1;              // writes all but the last byte, then fails with EIO
  bool short_write_done = false;
} interposed;

}  // namespace

extern "C" ssize_t read(int fd, void* buffer, size_t size) {
  const bool counted = interposed.read_file && same(inode_of_fd(fd), interposed.read_file);
  if (counted && interposed.read_cap != 0 && size > interposed.read_cap) size = interposed.read_cap;
  ssize_t n = ::syscall(SYS_read, fd, buffer, size);
  if (counted && ++interposed.reads == interposed.change_after && interposed.change) interposed.change();
  return n;
}

extern "C" ssize_t write(int fd, const void* data, size_t size) {
  if (fd == interposed.short_write_fd && size > 0) {
    if (interposed.short_write_done) {
      errno = EIO;
      return -1;
    }
    interposed.short_write_done = true;
    if (size > 1) --size;
  }
  return ::syscall(SYS_write, fd, data, size);
}

// The writers here run inside the reads, in the run's own thread: a lease on the file would hold
// each of them back until the kernel gave up on it. These tests are about the checks that remain
// where no lease is granted, so leases are refused as by a file system without them.
extern "C" int fcntl(int fd, int command, ...) {
  va_list arguments;
  va_start(arguments, command);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  if (command == F_SETLEASE) {
    errno = EINVAL;
    return -1;
  }
  return static_cast<int>(::syscall(SYS_fcntl, fd, command, argument));
}

extern "C" int close(int fd) {
  const bool fail = interposed.failing_close && same(inode_of_fd(fd), interposed.failing_close);
  int rc = static_cast<int>(::syscall(SYS_close, fd));
  if (fail && rc == 0) {
    errno = EIO;
    return -1;
  }
  return rc;
}

namespace tessamer::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMiB = std::size_t{1} << 20;

// About `bytes` of CSV rows under the header id,v.
std::string rows(std::size_t bytes, char value) {
  std::string text = "id,v\n";
  for (std::size_t i = 0; text.size() < bytes; ++i) text += std::to_string(i) + "," + std::string(40, value) + "\n";
  return text;
}

void put(const std::string& path, std::size_t offset, char byte) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_EQ(::pwrite(fd, &byte, 1, static_cast<off_t>(offset)), 1);
  ::close(fd);
}

// Times in the past, so that a change in the same clock tick as the file's creation still moves
// them.
void age(const std::string& path) {
  const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
}

std::optional<Inode> inode_of(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return Inode{st.st_dev, st.st_ino};
}

class Interposition : public ::testing::Test {
 protected:
  void TearDown() override { interposed = Interposed{}; }

  // Runs the engine in this process on `request`; standard output and error go to files.
  RunResult run(const Request& request) {
    const std::string request_path = dir_.write("request.json", request.to_json());
    const std::string out_path = dir_.file("stdout"), err_path = dir_.file("stderr");
    int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (cut_stdout_) interposed.short_write_fd = out;
    RunResult result;
    result.status = run_engine({"tessamer", "--request", request_path}, out, err);
    interposed = Interposed{};
    ::close(out);
    ::close(err);
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
  }

  TempDir dir_;
  bool cut_stdout_ = false;  // standard output takes all of the result but its last byte
};

enum class Path { Identical, Streaming };
enum class Change { Rewrite, Append, Truncate, RenameOver, FifoOver };

// One writer changes a dataset while the run reads it; whatever the moment, the run never
// answers with a verdict about bytes that did not exist together.
TEST_F(Interposition, DatasetChangedDuringTheRun) {
  struct Case {
    const char* name;
    Path path;
    bool expected_side;
    int after_read;  // 1: after the header was read; 2: after the first MiB of the comparison
    Change change;
  };
  const Case cases[] = {
      {"identical path, rewritten to match behind the reader", Path::Identical, false, 2, Change::Rewrite},
      {"identical path, appended to", Path::Identical, false, 2, Change::Append},
      {"identical path, truncated", Path::Identical, false, 2, Change::Truncate},
      {"identical path, renamed over after the header", Path::Identical, false, 1, Change::RenameOver},
      {"identical path, renamed over while read", Path::Identical, true, 2, Change::RenameOver},
      {"identical path, a FIFO renamed over", Path::Identical, false, 1, Change::FifoOver},
      {"streaming, rewritten", Path::Streaming, true, 2, Change::Rewrite},
      {"streaming, appended to", Path::Streaming, false, 2, Change::Append},
      {"streaming, truncated", Path::Streaming, false, 2, Change::Truncate},
      {"streaming, renamed over after the header", Path::Streaming, false, 1, Change::RenameOver},
      {"streaming, renamed over while read", Path::Streaming, false, 2, Change::RenameOver},
      {"streaming, a FIFO renamed over", Path::Streaming, true, 1, Change::FifoOver},
  };
  const std::string content = rows(3 * kMiB, 'a');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The changed file differs from the other one 2.5 MiB in, where the reader has not been yet;
    // a rewrite puts that right and changes a byte already read.
    std::string changed_content = content;
    changed_content[changed_content.rfind(',', 5 * kMiB / 2) + 1] = 'b';
    Request request = request_for_files(dir_, c.expected_side ? changed_content : content,
                                        c.expected_side ? content : changed_content);
    if (c.path == Path::Streaming) request.columns = {{"id", "id"}, {"v", "v"}};
    const std::string target = c.expected_side ? request.expected_path : request.actual_path;
    age(request.expected_path);
    age(request.actual_path);
    interposed.read_file = inode_of(target);
    interposed.change_after = c.after_read;
    interposed.change = [&, change = c.change] {
      switch (change) {
        case Change::Rewrite:
          put(target, 100, 'z');
          put(target, content.rfind(',', 5 * kMiB / 2) + 1, 'a');
          break;
        case Change::Append: std::ofstream(target, std::ios::app) << "999999,x\n"; break;
        case Change::Truncate: fs::resize_file(target, 3 * kMiB / 2); break;
        case Change::RenameOver: fs::rename(dir_.write("new.csv", content), target); break;
        case Change::FifoOver:
          ASSERT_EQ(::mkfifo(dir_.file("fifo").c_str(), 0600), 0);
          fs::rename(dir_.file("fifo"), target);
          break;
      }
    };
    RunResult result = run(request);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, std::string("{\"code\":\"NATIVE_IO_ERROR\",\"message\":\"") +
                              (c.expected_side ? "expected" : "actual") + " CSV changed while being read\"}\n");
    fs::remove(target);
  }
}

// Reads may return less than asked; that is not the end of a file, nor a difference.
TEST_F(Interposition, ShortReads) {
  const std::string content = rows(3 * kMiB, 'a');
  for (Path path : {Path::Identical, Path::Streaming}) {
    SCOPED_TRACE(path == Path::Identical ? "identical" : "streaming");
    Request request = request_for_files(dir_, content, content);
    if (path == Path::Streaming) request.columns = {{"id", "id"}, {"v", "v"}};
    interposed.read_file = inode_of(request.actual_path);
    interposed.read_cap = 1000;
    RunResult result = run(request);
    EXPECT_EQ(result.status, 0) << result.err;
    const std::string mode = path == Path::Identical ? "quor-binary" : "quor-csv-stream";
    EXPECT_NE(result.out.find("\"comparisonMode\":\"" + mode + "\""), std::string::npos);
    EXPECT_NE(result.out.find("\"actualBytes\":" + std::to_string(content.size()) + ","), std::string::npos);
    EXPECT_NE(result.out.find("\"status\":\"PASS\""), std::string::npos);
  }
}

// Writes that fail only at the end: the run must not end as if they had succeeded.
TEST_F(Interposition, FailuresAtTheLastStep) {
  Request request = request_for_files(dir_, "id,v\n1,a\n", "id,v\n1,b\n");
  dir_.write("out/d.jsonl", "");
  interposed.failing_close = inode_of(request.divergence_path);
  RunResult closed = run(request);
  EXPECT_EQ(closed.status, 2);
  EXPECT_EQ(closed.out, "");
  EXPECT_EQ(closed.err,
            "{\"code\":\"NATIVE_IO_ERROR\",\"message\":\"cannot close divergence report: Input/output error (os error 5)\"}\n");

  // The document reached standard output, its newline did not.
  cut_stdout_ = true;
  RunResult cut = run(request);
  EXPECT_EQ(cut.status, 2);
  ASSERT_FALSE(cut.out.empty());
  EXPECT_EQ(cut.out.back(), '}');
  EXPECT_EQ(cut.err, "{\"code\":\"NATIVE_REPORT_ERROR\",\"message\":\"Input/output error (os error 5)\"}\n");
}

}  // namespace
}  // namespace tessamer::testing
