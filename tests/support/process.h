// Runs the built engine as a child process and captures what it prints.
#pragma once

#include <sys/resource.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tessamer::testing {

struct RunResult {
  int status = -1;  // exit status, or -1 when the process did not exit normally
  std::string out;
  std::string err;
};

// File: the child's stdout is `stdout_path`, opened for writing (created and emptied when it is
// a regular file), so that a run can see its stdout as a file or as the null device.
enum class StdoutMode { Capture, BrokenPipe, DevFull, Closed, File };

struct RunOptions {
  std::string cwd;  // empty: the test's working directory
  StdoutMode stdout_mode = StdoutMode::Capture;
  std::string stdout_path;  // for StdoutMode::File
  bool close_stderr = false;
  bool unprivileged = false;  // run as uid/gid 65534 (only possible when the tests run as root)
  std::optional<rlim_t> file_size_limit;      // RLIMIT_FSIZE of the child, in bytes
  std::optional<rlim_t> address_space_limit;  // RLIMIT_AS of the child, in bytes
  std::optional<rlim_t> open_files_limit;     // RLIMIT_NOFILE of the child
};

// Whether `unprivileged` runs can be made here: the tests run as root and setpriv exists. When
// they do not run as root, permissions bind anyway and runs need no change of user.
bool can_drop_privileges();

// Whether the engine runs under TESSAMER_TEST_WRAPPER. A wrapper such as valgrind opens files of
// its own, so a descriptor the test closes may not stay closed for the engine.
bool engine_is_wrapped();

// Runs `program` (looked up in PATH when it has no slash) with `args` (argv[0] included) and
// waits for it.
RunResult run_process(const std::string& program, const std::vector<std::string>& args, const RunOptions& options = {});

// Runs `body` in a forked child of this test program, under `options` (cwd, limits, user; output
// captured, whatever stdout_mode says), and gives what it printed on the two descriptors it is
// handed and its return value as the exit status. For in-process runs that need what only a child
// can have: limits, another user, a definition of a system call the test program replaces.
RunResult run_in_child(const std::function<int(int out_fd, int err_fd)>& body, const RunOptions& options = {});

// Runs the engine binary of this build with the given arguments after the program name. When the
// environment variable TESSAMER_TEST_WRAPPER is set (e.g. "valgrind --error-exitcode=99"), its
// words go before the binary.
RunResult run_tessamer(const std::vector<std::string>& args, const RunOptions& options = {});

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path()/name
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Writes `content` to path()/name and returns that path.
  std::string write(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

std::string read_file(const std::string& path);

// When the environment variable TESSAMER_DOCUMENT_SAMPLE names a directory, keeps a copy of a
// document the engine produced there, under <kind>/ (result, error, report or request), for the
// schema check to validate. Does nothing otherwise.
void sample_document(const std::string& kind, const std::string& content);
// Samples the divergence report at `path` (relative to `cwd` when that is given): its whole lines
// within the first 64 KiB, which is sample enough of a scale test's long report.
void sample_report(const std::string& path, const std::string& cwd);

}  // namespace tessamer::testing
