// Hostile systems and hostile paths, through the built binary: whatever goes wrong, the engine
// answers with one error document, exit status 2, and leaves the datasets as they were.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "support/request.h"

namespace tessamer::testing {
namespace {

namespace fs = std::filesystem;

std::string error_document(const std::string& code, const std::string& message) {
  return "{\"code\":\"" + code + "\",\"message\":\"" + message + "\"}\n";
}

class Faults : public ::testing::Test {
 protected:
  TempDir dir_;  // first: the request's files live in it
  Request request_ = request_for_files(dir_, "id,v\n1,a\n", "id,v\n1,b\n");

  void expect_error(const Request& request, const std::string& code, const std::string& message,
                    const RunOptions& options = {}) {
    RunResult run = run_request(dir_, request, options);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, error_document(code, message));
  }
};

TEST_F(Faults, OutputStreamsThatFail) {
  struct Case {
    const char* name;
    StdoutMode mode;
    std::string message;
  };
  const Case cases[] = {
      {"reader gone", StdoutMode::BrokenPipe, "Broken pipe (os error 32)"},
      {"device full", StdoutMode::DevFull, "No space left on device (os error 28)"},
      {"closed", StdoutMode::Closed, "Bad file descriptor (os error 9)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.mode == StdoutMode::Closed && engine_is_wrapped()) continue;
    RunOptions options;
    options.stdout_mode = c.mode;
    RunResult run = run_request(dir_, request_, options);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, error_document("NATIVE_REPORT_ERROR", c.message));
  }
  if (engine_is_wrapped()) return;
  // With standard error closed the error document is lost, but the status still says failure.
  RunOptions no_stderr;
  no_stderr.close_stderr = true;
  Request bad = request_;
  bad.delimiter = ";;";
  EXPECT_EQ(run_request(dir_, bad, no_stderr).status, 2);
  no_stderr.stdout_mode = StdoutMode::Closed;
  EXPECT_EQ(run_request(dir_, request_, no_stderr).status, 2);
}

TEST_F(Faults, DatasetsThatAreNotRegularFiles) {
  ::mkfifo(dir_.file("fifo").c_str(), 0600);
  fs::create_symlink(dir_.file("nowhere.csv"), dir_.file("dangling"));
  fs::create_symlink(dir_.file("loop2"), dir_.file("loop1"));
  fs::create_symlink(dir_.file("loop1"), dir_.file("loop2"));
  const std::pair<const char*, std::string> paths[] = {
      {"directory", dir_.path()},
      {"fifo", dir_.file("fifo")},
      {"dangling symlink", dir_.file("dangling")},
      {"symlink loop", dir_.file("loop1")},
      {"character device", "/dev/null"},
  };
  for (const auto& [name, path] : paths) {
    SCOPED_TRACE(name);
    Request expected = request_;
    expected.expected_path = path;
    expect_error(expected, "INVALID_GOLDEN_DATASET", "expectedPath must be a regular file");
    Request actual = request_;
    actual.actual_path = path;
    expect_error(actual, "INVALID_GOLDEN_DATASET", "actualPath must be a regular file");
  }
}

TEST_F(Faults, ReportPathNamingADatasetIsRefusedAndTheDataKept) {
  fs::create_hard_link(request_.expected_path, dir_.file("hard.csv"));
  fs::create_symlink(request_.actual_path, dir_.file("soft.csv"));
  const std::pair<const char*, std::string> paths[] = {
      {"the expected file", request_.expected_path},
      {"a hard link to it", dir_.file("hard.csv")},
      {"a symlink to the actual file", dir_.file("soft.csv")},
      {"a path with extra components", dir_.path() + "//./a.csv"},
  };
  const std::string expected_digest = file_sha256(request_.expected_path);
  const std::string actual_digest = file_sha256(request_.actual_path);
  for (const auto& [name, path] : paths) {
    SCOPED_TRACE(name);
    Request request = request_;
    request.divergence_path = path;
    expect_error(request, "INVALID_NATIVE_REQUEST", "divergencePath must not name the expected or actual dataset");
    EXPECT_EQ(file_sha256(request_.expected_path), expected_digest);
    EXPECT_EQ(file_sha256(request_.actual_path), actual_digest);
  }
}

// Whether a read lease can be taken on `path` here (the file's owner or CAP_LEASE, a file system
// with leases).
bool leases_granted(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const bool granted = fd >= 0 && ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
  if (granted) (void)::fcntl(fd, F_SETLEASE, F_UNLCK);
  if (fd >= 0) ::close(fd);
  return granted;
}

// Another process that can write a dataset without moving its times (through a shared writable
// mapping, or a descriptor open for writing) could make a verdict about bytes the file never held:
// the run refuses to start, before a report exists, wherever a read lease can be asked for.
TEST_F(Faults, DatasetOpenForWritingElsewhereIsRefused) {
  struct Case {
    const char* name;
    bool expected_side;
    bool tmpfs;
    bool mapping;  // a shared writable mapping whose descriptor is closed; else an O_RDWR descriptor
  };
  const Case cases[] = {
      {"expected, descriptor", true, false, false}, {"actual, descriptor", false, false, false},
      {"expected, mapping", true, false, true},     {"actual, mapping", false, false, true},
      {"expected, tmpfs mapping", true, true, true}, {"actual, tmpfs descriptor", false, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Request request = request_;
    std::string& target = c.expected_side ? request.expected_path : request.actual_path;
    if (c.tmpfs) {
      if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
      const std::string moved = "/dev/shm/tessamer-lease-" + std::to_string(::getpid()) + ".csv";
      fs::copy_file(target, moved, fs::copy_options::overwrite_existing);
      target = moved;
    }
    if (!leases_granted(target)) GTEST_SKIP() << "read leases refused on " << target;
    int fd = ::open(target.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    void* mapping = MAP_FAILED;
    if (c.mapping) {
      mapping = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      ASSERT_NE(mapping, MAP_FAILED);
      ::close(fd);
      fd = -1;
    }
    request.divergence_path = dir_.file("report.jsonl");
    expect_error(request, "NATIVE_IO_ERROR",
                 std::string(c.expected_side ? "expected" : "actual") + " CSV is open for writing by another process");
    EXPECT_FALSE(fs::exists(request.divergence_path));
    if (mapping != MAP_FAILED) ::munmap(mapping, 4096);
    if (fd >= 0) ::close(fd);
    if (c.tmpfs) fs::remove(target);
  }
}

// A report path that cannot be written right now, or names the request itself: refused at once,
// before anything is truncated, and the file keeps what it held.
TEST_F(Faults, ReportPathsRefusedAtOnce) {
  ::mkfifo(dir_.file("fifo").c_str(), 0600);
  const std::string request_path = dir_.file("request.json");
  fs::create_hard_link(dir_.write("request.json", "{}"), dir_.file("request-link.json"));
  fs::create_symlink(request_path, dir_.file("request-symlink.json"));
  const std::string locked = dir_.write("locked.jsonl", "earlier report\n");
  const int holder = ::open(locked.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);  // another run writing this report
  struct Case {
    const char* name;
    std::string path, code, message;
  };
  const std::string not_the_request = "divergencePath must not name the request file";
  const Case cases[] = {
      {"FIFO without a reader", dir_.file("fifo"), "NATIVE_IO_ERROR",
       "cannot create divergence report: No such device or address (os error 6)"},
      {"report locked by another run", locked, "NATIVE_IO_ERROR",
       "cannot create divergence report: Resource temporarily unavailable (os error 11)"},
      {"the request file", request_path, "INVALID_NATIVE_REQUEST", not_the_request},
      {"the request file, spelled otherwise", dir_.path() + "/.//request.json", "INVALID_NATIVE_REQUEST", not_the_request},
      {"a hard link to the request file", dir_.file("request-link.json"), "INVALID_NATIVE_REQUEST", not_the_request},
      {"a symlink to the request file", dir_.file("request-symlink.json"), "INVALID_NATIVE_REQUEST", not_the_request},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Request request = request_;
    request.divergence_path = c.path;
    expect_error(request, c.code, c.message);
    EXPECT_EQ(read_file(request_path), request.to_json());
  }
  EXPECT_EQ(read_file(locked), "earlier report\n");
  ::close(holder);
}

// A FIFO with a reader takes the report like any file, with blocking writes.
TEST_F(Faults, ReportIntoAFifoWithAReader) {
  const std::string fifo = dir_.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  Request request = request_;
  request.divergence_path = fifo;
  RunResult run = run_request(dir_, request);
  EXPECT_EQ(run.status, 0) << run.err;
  char buffer[4096];
  const ssize_t n = ::read(reader, buffer, sizeof buffer);
  ::close(reader);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)).find("{\"actual\":\"b\""), 0u);
}

// Limits of the process end in an error document, never in a killed or aborted process.
TEST_F(Faults, FileSizeLimitEndsInAnErrorDocument) {
  // Enough divergences that the report passes the size limit while the run writes it.
  std::string expected = "id,v\n", actual = "id,v\n";
  for (int i = 0; i < 20000; ++i) {
    expected += std::to_string(i) + ",a\n";
    actual += std::to_string(i) + ",b\n";
  }
  Request many = request_for_files(dir_, expected, actual);
  RunOptions small_files;
  small_files.file_size_limit = 10000;
  expect_error(many, "NATIVE_REPORT_ERROR", "File too large (os error 27)", small_files);
  EXPECT_EQ(fs::file_size(many.divergence_path), 10000u);
}


TEST_F(Faults, OutOfMemoryEndsInAnErrorDocument) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reserves more address space than any limit leaves";
#else
  if (engine_is_wrapped()) GTEST_SKIP() << "a wrapper needs address space of its own";
  // One record larger than the whole address space the run may use.
  Request huge = request_for_files(dir_, "id,v\n1,a\n", "id,v\n1," + std::string(160u << 20, 'x') + "\n");
  RunOptions small_memory;
  small_memory.address_space_limit = rlim_t{120} << 20;
  expect_error(huge, "NATIVE_IO_ERROR", "out of memory", small_memory);
#endif
}

// Permissions do not bind root, so these runs drop to an unprivileged user.
class PermissionFaults : public Faults {
 protected:
  void SetUp() override {
    if (::geteuid() == 0 && !can_drop_privileges()) GTEST_SKIP() << "running as root without setpriv: permissions cannot be tested";
    fs::permissions(dir_.path(), fs::perms::all);
    fs::create_directories(dir_.file("out"));
    fs::permissions(dir_.file("out"), fs::perms::all);
    options_.unprivileged = true;
  }
  RunOptions options_;
};

TEST_F(PermissionFaults, UnreadableAndUnwritablePlaces) {
  const std::string denied = "Permission denied (os error 13)";
  // A file nobody may read, and a directory nobody may search or write.
  std::string secret = dir_.write("secret.csv", "id\n1\n");
  fs::permissions(secret, fs::perms::none);
  fs::create_directories(dir_.file("closed"));
  dir_.write("closed/e.csv", "id\n1\n");
  fs::permissions(dir_.file("closed"), fs::perms::owner_all);
  fs::create_directories(dir_.file("readonly"));
  fs::permissions(dir_.file("readonly"), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                             fs::perms::others_read | fs::perms::others_exec);

  struct Case {
    const char* name;
    void (*change)(Request&, const TempDir&, const std::string&);
    std::string code, message;
  };
  const Case cases[] = {
      {"unreadable expected file", [](Request& r, const TempDir&, const std::string& s) { r.expected_path = s; },
       "NATIVE_IO_ERROR", "cannot open expected CSV: " + denied},
      {"unreadable actual file", [](Request& r, const TempDir&, const std::string& s) { r.actual_path = s; },
       "NATIVE_IO_ERROR", "cannot open actual CSV: " + denied},
      {"dataset in an unsearchable directory",
       [](Request& r, const TempDir& d, const std::string&) { r.expected_path = d.file("closed/e.csv"); },
       "INVALID_GOLDEN_DATASET", "expectedPath must be a regular file"},
      {"report in a read-only directory",
       [](Request& r, const TempDir& d, const std::string&) { r.divergence_path = d.file("readonly/d.jsonl"); },
       "NATIVE_IO_ERROR", "cannot create divergence report: " + denied},
      {"report directory under a read-only one",
       [](Request& r, const TempDir& d, const std::string&) { r.divergence_path = d.file("readonly/sub/d.jsonl"); },
       "NATIVE_IO_ERROR", "cannot create divergence report directory: " + denied},
      {"report directory under an unsearchable one",
       [](Request& r, const TempDir& d, const std::string&) { r.divergence_path = d.file("closed/sub/d.jsonl"); },
       "NATIVE_IO_ERROR", "cannot create divergence report directory: " + denied},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Request request = request_;
    c.change(request, dir_, secret);
    expect_error(request, c.code, c.message, options_);
  }

  // The request file itself.
  std::string request_path = dir_.write("request.json", request_.to_json());
  fs::permissions(request_path, fs::perms::none);
  RunResult run = run_tessamer({"--request", request_path}, options_);
  EXPECT_EQ(run.err, error_document("NATIVE_IO_ERROR", "cannot read native validation request: " + denied));
}

}  // namespace
}  // namespace tessamer::testing
