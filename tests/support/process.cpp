#include "support/process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tessamer::testing {
namespace {

void drain(int out_fd, int err_fd, std::string& out, std::string& err) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  int open_count = (out_fd >= 0) + (err_fd >= 0);
  char buffer[65536];
  while (open_count > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? out : err).append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
}

const char* sample_root() {
  const char* root = std::getenv("TESSAMER_DOCUMENT_SAMPLE");
  return root != nullptr && *root != '\0' ? root : nullptr;
}

// `path` as the engine sees it when it runs in `cwd`.
std::string in_dir(const std::string& cwd, const std::string& path) {
  return cwd.empty() || path.empty() || path[0] == '/' ? path : cwd + "/" + path;
}

}  // namespace

namespace {

// In a child before it runs: its directory and its limits; false when one cannot be set.
bool set_up_child(const RunOptions& options) {
  if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) return false;
  const std::pair<int, const std::optional<rlim_t>&> limits[] = {{RLIMIT_FSIZE, options.file_size_limit},
                                                                 {RLIMIT_AS, options.address_space_limit},
                                                                 {RLIMIT_NOFILE, options.open_files_limit}};
  for (const auto& [resource, limit] : limits) {
    if (!limit) continue;
    const rlimit value{*limit, *limit};
    if (::setrlimit(resource, &value) != 0) return false;
  }
  return true;
}

RunResult wait_for(pid_t pid, int out_pipe[2], int err_pipe[2]) {
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  RunResult result;
  drain(out_pipe[0], err_pipe[0], result.out, result.err);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// Forks with both output pipes made; the child sets itself up, then runs `child` with the write
// ends of the pipes (it must not return), and the parent collects what the child printed.
template <class Child>
RunResult fork_and_wait(const RunOptions& options, Child&& child) {
  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    if (!set_up_child(options)) ::_exit(127);
    child(out_pipe[1], err_pipe[1]);
    ::_exit(127);
  }
  return wait_for(pid, out_pipe, err_pipe);
}

}  // namespace

RunResult run_process(const std::string& program, const std::vector<std::string>& args, const RunOptions& options) {
  return fork_and_wait(options, [&](int out_fd, int err_fd) {
    switch (options.stdout_mode) {
      case StdoutMode::Capture: ::dup2(out_fd, 1); break;
      case StdoutMode::BrokenPipe: {
        int gone[2];
        if (::pipe(gone) != 0) ::_exit(127);
        ::close(gone[0]);
        ::dup2(gone[1], 1);
        ::close(gone[1]);
        break;
      }
      case StdoutMode::DevFull:
      case StdoutMode::File: {
        const char* path = options.stdout_mode == StdoutMode::DevFull ? "/dev/full" : options.stdout_path.c_str();
        const int file = ::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (file < 0) ::_exit(127);
        ::dup2(file, 1);
        ::close(file);
        break;
      }
      case StdoutMode::Closed: ::close(1); break;
    }
    if (options.close_stderr) {
      ::close(2);
    } else {
      ::dup2(err_fd, 2);
    }
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execvp(program.c_str(), argv.data());
  });
}

RunResult run_in_child(const std::function<int(int out_fd, int err_fd)>& body, const RunOptions& options) {
  return fork_and_wait(options, [&](int out_fd, int err_fd) {
    // Groups first: once the user is dropped, they can no longer be changed.
    if (options.unprivileged && ::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      ::_exit(127);
    }
    ::_exit(body(out_fd, err_fd));
  });
}

bool engine_is_wrapped() {
  const char* wrapper = std::getenv("TESSAMER_TEST_WRAPPER");
  return wrapper != nullptr && *wrapper != '\0';
}

bool can_drop_privileges() { return ::geteuid() == 0 && ::access("/usr/bin/setpriv", X_OK) == 0; }

RunResult run_tessamer(const std::vector<std::string>& args, const RunOptions& options) {
  std::vector<std::string> argv;
  if (options.unprivileged && ::geteuid() == 0) {
    argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  }
  if (engine_is_wrapped()) {
    std::istringstream words(std::getenv("TESSAMER_TEST_WRAPPER"));
    for (std::string word; words >> word;) argv.push_back(word);
  }
  argv.push_back(TESSAMER_BINARY);
  argv.insert(argv.end(), args.begin(), args.end());
  RunResult result = run_process(argv.front(), argv, options);
  // Only complete runs are sampled: a document cut short by a closed or full stdout is no document.
  if (sample_root() != nullptr && options.stdout_mode == StdoutMode::Capture) {
    if (result.status == 0 && !result.out.empty()) {
      sample_document("result", result.out);
      if (args.size() == 2 && args[0] == "--request") sample_document("request", read_file(in_dir(options.cwd, args[1])));
    }
    if (result.status == 2 && !options.close_stderr && !result.err.empty()) sample_document("error", result.err);
  }
  return result;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tessamer-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may leave directories without permissions behind; give them back before removing.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
    }
  }
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& content) const {
  std::string full = file(name);
  std::filesystem::create_directories(std::filesystem::path(full).parent_path());
  std::ofstream stream(full, std::ios::binary | std::ios::trunc);
  stream << content;
  return full;
}

std::string read_file(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  std::stringstream content;
  content << stream.rdbuf();
  return content.str();
}

void sample_document(const std::string& kind, const std::string& content) {
  const char* root = sample_root();
  if (root == nullptr) return;
  static std::atomic<unsigned> counter{0};
  std::filesystem::path dir = std::filesystem::path(root) / kind;
  std::error_code ignored;
  std::filesystem::create_directories(dir, ignored);
  std::string name = std::to_string(::getpid()) + "-" + std::to_string(counter++) + (kind == "report" ? ".jsonl" : ".json");
  std::ofstream(dir / name, std::ios::binary | std::ios::trunc) << content;
}

void sample_report(const std::string& path, const std::string& cwd) {
  if (sample_root() == nullptr) return;
  // Only a regular file: opening a FIFO report would wait for a writer that never comes.
  std::error_code ignored;
  if (!std::filesystem::is_regular_file(in_dir(cwd, path), ignored)) return;
  std::string lines(65536, '\0');
  std::ifstream stream(in_dir(cwd, path), std::ios::binary);
  stream.read(lines.data(), static_cast<std::streamsize>(lines.size()));
  lines.resize(static_cast<std::size_t>(stream.gcount()));
  lines.resize(lines.rfind('\n') + 1);  // npos + 1 == 0: nothing when no line is whole
  if (!lines.empty()) sample_document("report", lines);
}

}  // namespace tessamer::testing
