// Thin RAII and errno-preserving wrappers over the POSIX file calls the engine makes.
//
// Paths are byte strings used exactly as given; one holding a NUL byte never reaches the
// system and fails with kNulInPathText. Every failure carries the system error text. Calls that a
// signal can interrupt are repeated, so EINTR never reaches a caller.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"

namespace tessamer {

// Owns one file descriptor and closes it exactly once.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the held descriptor, if any; a failure to close is not reported.
  void reset(int fd = -1);
  // Closes the held descriptor and reports a failure, which is where write errors held back by
  // network file systems and quotas show up. EINTR counts as closed: Linux has released the
  // descriptor by then, and closing it again could close someone else's.
  [[nodiscard]] IoResult<void> close();

 private:
  int fd_ = -1;
};

// Which file an open descriptor refers to, whatever path or link reached it.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// What a later look at a file must find again for the file to count as unchanged: the same file,
// of the same type and size, with the same modification and change times.
struct FileState {
  FileIdentity identity;
  mode_t type = 0;  // the S_IFMT bits
  off_t size = 0;
  timespec modified{};
  timespec changed{};

  friend bool operator==(const FileState& a, const FileState& b) {
    return a.identity == b.identity && a.type == b.type && a.size == b.size &&
           a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec &&
           a.changed.tv_sec == b.changed.tv_sec && a.changed.tv_nsec == b.changed.tv_nsec;
  }
};

// The state recorded in a status.
FileState file_state(const struct stat& status);

// The path as a NUL-terminated string, or the NUL-byte error when the path holds one.
[[nodiscard]] IoResult<std::string> path_to_c_string(std::string_view path);

// open(2) with O_CLOEXEC added; EINTR is retried.
[[nodiscard]] IoResult<UniqueFd> open_file(std::string_view path, int flags, mode_t mode = 0);

// open(2) that never waits for the other end of a FIFO: the file is opened with O_NONBLOCK, which
// is then cleared, so reads and writes block as usual. A FIFO opened for writing without a
// reader fails with ENXIO instead of waiting for one.
[[nodiscard]] IoResult<UniqueFd> open_file_without_waiting(std::string_view path, int flags, mode_t mode = 0);

// One read(2) call (repeated only when interrupted): the number of bytes read, 0 at the end.
[[nodiscard]] IoResult<std::size_t> read_some(int fd, void* buffer, std::size_t size);

// Reads as many bytes as fit, stopping early only at the end of the file: a short read is never
// taken for the end.
[[nodiscard]] IoResult<std::size_t> read_full(int fd, void* buffer, std::size_t size);

// Writes all bytes, repeating short and interrupted writes. A write that reports 0 bytes is an
// error with `zero_write_text`.
[[nodiscard]] IoResult<void> write_all(int fd, const void* data, std::size_t size, std::string_view zero_write_text);

// The whole content of the file at `path`.
[[nodiscard]] IoResult<std::string> read_whole_file(std::string_view path);

struct FileContent {
  std::string bytes;
  FileIdentity identity;  // of the file the bytes were read from
};

// The whole content of the file at `path`, and which file that was.
[[nodiscard]] IoResult<FileContent> read_whole_file_and_identity(std::string_view path);

// stat(2), following symbolic links.
[[nodiscard]] IoResult<struct stat> stat_path(std::string_view path);

// fstat(2) of `fd`.
[[nodiscard]] IoResult<struct stat> stat_fd(int fd);

// An exclusive advisory lock (flock) on the file open at `fd`, without waiting: EWOULDBLOCK when
// another open file holds one. Held until every descriptor of that open file is closed.
[[nodiscard]] IoResult<void> lock_exclusive_now(int fd);

// ftruncate(2).
[[nodiscard]] IoResult<void> truncate_fd(int fd, off_t length);

// The identity of the file open at `fd`.
[[nodiscard]] IoResult<FileIdentity> file_identity(int fd);

// The parent of `path` the way path components define it: the path without its last component
// and without the separators and "." components before that. Empty components and "." after the
// first are not components; the last component must be a name, "." or "..". Examples:
// "r.jsonl" -> "", "out/sub/r.jsonl" -> "out/sub", "/r.jsonl" -> "/", "a/./b" -> "a",
// "a//" -> "", "./a" -> ".", "" and "/" -> none. The result is a view into `path`.
[[nodiscard]] std::optional<std::string_view> parent_path(std::string_view path);

// mkdir -p with mode 0777 (umask applies): an existing directory, or one created meanwhile by
// someone else, is no error.
[[nodiscard]] IoResult<void> create_directories(std::string_view path);

}  // namespace tessamer
