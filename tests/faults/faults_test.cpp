// Hostile systems and hostile paths, through the built binary: whatever goes wrong, the engine
// answers with one error document, exit status 2, and leaves the datasets as they were.
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
