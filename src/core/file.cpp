// The POSIX file calls of the engine: retried when interrupted, failures as system error texts.
#include "core/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tessamer {
namespace {

// Calls `call` until a signal no longer interrupts it.
template <class Call>
auto retry_interrupted(Call call) {
  for (;;) {
    auto rc = call();
    if (rc >= 0 || errno != EINTR) return rc;
  }
}

IoResult<struct stat> stat_c_path(const std::string& c_path) {
  struct stat st {};
  if (retry_interrupted([&] { return ::stat(c_path.c_str(), &st); }) != 0) {
    return std::unexpected(IoError{system_error_text(errno)});
  }
  return st;
}

// After mkdir failed with `mkdir_error`: success when a directory stands at the path anyway
// (made by someone else, or by an earlier run), else the error that really stopped it. When mkdir
// found an entry, that is what a look at the entry says (a dangling or looping symbolic link,
// a parent that cannot be searched); a plain file in the way keeps mkdir's "File exists".
IoResult<void> directory_after_mkdir(const std::string& c_path, int mkdir_error) {
  auto st = stat_c_path(c_path);
  if (st && S_ISDIR(st->st_mode)) return {};
  if (!st && mkdir_error == EEXIST) return std::unexpected(st.error());
  return std::unexpected(IoError{system_error_text(mkdir_error)});
}

int make_directory_call(const std::string& c_path) {
  return retry_interrupted([&] { return ::mkdir(c_path.c_str(), 0777); });
}

[[nodiscard]] IoResult<void> make_directory(std::string_view path) {
  TESSAMER_ASSIGN_OR_RETURN(const std::string c_path, path_to_c_string(path));
  if (make_directory_call(c_path) == 0) return {};
  return directory_after_mkdir(c_path, errno);
}

// The last '/'-separated component of `rest` at or after `body_start`, and how many bytes
// (component plus its separator) it takes from the end.
std::pair<std::string_view, std::size_t> last_component(std::string_view rest, std::size_t body_start) {
  std::string_view body = rest.substr(body_start);
  std::size_t separator = body.rfind('/');
  if (separator == std::string_view::npos) return {body, body.size()};
  std::string_view component = body.substr(separator + 1);
  return {component, component.size() + 1};
}

bool is_skipped_component(std::string_view component) { return component.empty() || component == "."; }

}  // namespace

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

IoResult<void> UniqueFd::close() {
  int fd = release();
  if (fd < 0 || ::close(fd) == 0 || errno == EINTR) return {};
  return std::unexpected(IoError{system_error_text(errno)});
}

FileState file_state(const struct stat& status) {
  return FileState{FileIdentity{status.st_dev, status.st_ino}, static_cast<mode_t>(status.st_mode & S_IFMT),
                   status.st_size, status.st_mtim, status.st_ctim};
}

IoResult<std::string> path_to_c_string(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return std::unexpected(IoError{std::string(kNulInPathText)});
  return std::string(path);
}

IoResult<UniqueFd> open_file(std::string_view path, int flags, mode_t mode) {
  TESSAMER_ASSIGN_OR_RETURN(const std::string c_path, path_to_c_string(path));
  for (;;) {
    int fd = ::open(c_path.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0) return UniqueFd(fd);
    if (errno != EINTR) return std::unexpected(IoError{system_error_text(errno)});
  }
}

IoResult<UniqueFd> open_file_without_waiting(std::string_view path, int flags, mode_t mode) {
  TESSAMER_ASSIGN_OR_RETURN(UniqueFd fd, open_file(path, flags | O_NONBLOCK, mode));
  int status = ::fcntl(fd.get(), F_GETFL);
  if (status < 0 || ::fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) != 0) {
    return std::unexpected(IoError{system_error_text(errno)});
  }
  return fd;
}

IoResult<std::size_t> read_some(int fd, void* buffer, std::size_t size) {
  for (;;) {
    ssize_t n = ::read(fd, buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return std::unexpected(IoError{system_error_text(errno)});
  }
}

IoResult<std::size_t> read_full(int fd, void* buffer, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t filled = 0;
  while (filled < size) {
    TESSAMER_ASSIGN_OR_RETURN(const std::size_t n, read_some(fd, bytes + filled, size - filled));
    if (n == 0) break;
    filled += n;
  }
  return filled;
}

IoResult<void> write_all(int fd, const void* data, std::size_t size, std::string_view zero_write_text) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, bytes, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError{system_error_text(errno)});
    }
    if (n == 0) return std::unexpected(IoError{std::string(zero_write_text)});
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

IoResult<FileContent> read_whole_file_and_identity(std::string_view path) {
  TESSAMER_ASSIGN_OR_RETURN(const UniqueFd fd, open_file(path, O_RDONLY));
  TESSAMER_ASSIGN_OR_RETURN(const struct stat st, stat_fd(fd.get()));
  FileContent content{{}, FileIdentity{st.st_dev, st.st_ino}};
  if (S_ISREG(st.st_mode) && st.st_size > 0) content.bytes.reserve(static_cast<std::size_t>(st.st_size));
  char chunk[64 * 1024];
  for (;;) {
    TESSAMER_ASSIGN_OR_RETURN(const std::size_t n, read_some(fd.get(), chunk, sizeof chunk));
    if (n == 0) return content;
    content.bytes.append(chunk, n);
  }
}

IoResult<std::string> read_whole_file(std::string_view path) {
  TESSAMER_ASSIGN_OR_RETURN(FileContent content, read_whole_file_and_identity(path));
  return std::move(content.bytes);
}

IoResult<struct stat> stat_path(std::string_view path) {
  TESSAMER_ASSIGN_OR_RETURN(const std::string c_path, path_to_c_string(path));
  return stat_c_path(c_path);
}

IoResult<struct stat> stat_fd(int fd) {
  struct stat st {};
  if (retry_interrupted([&] { return ::fstat(fd, &st); }) != 0) return std::unexpected(IoError{system_error_text(errno)});
  return st;
}

IoResult<void> lock_exclusive_now(int fd) {
  if (retry_interrupted([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
    return std::unexpected(IoError{system_error_text(errno)});
  }
  return {};
}

IoResult<void> truncate_fd(int fd, off_t length) {
  if (retry_interrupted([&] { return ::ftruncate(fd, length); }) != 0) {
    return std::unexpected(IoError{system_error_text(errno)});
  }
  return {};
}

IoResult<FileIdentity> file_identity(int fd) {
  TESSAMER_ASSIGN_OR_RETURN(const struct stat st, stat_fd(fd));
  return FileIdentity{st.st_dev, st.st_ino};
}

std::optional<std::string_view> parent_path(std::string_view path) {
  const bool has_root = !path.empty() && path.front() == '/';
  // A leading "." (alone or before a separator) is a component of its own; later ones are not.
  const bool leading_dot = !has_root && !path.empty() && path.front() == '.' && (path.size() == 1 || path[1] == '/');
  const std::size_t body_start = (has_root || leading_dot) ? 1 : 0;

  std::string_view rest = path;
  while (rest.size() > body_start) {
    auto [component, taken] = last_component(rest, body_start);
    rest.remove_suffix(taken);
    if (is_skipped_component(component)) continue;
    // A name or "..": its parent is what precedes it, less trailing separators and "." parts.
    while (rest.size() > body_start) {
      auto [before, before_taken] = last_component(rest, body_start);
      if (!is_skipped_component(before)) break;
      rest.remove_suffix(before_taken);
    }
    return rest;
  }
  // Only the root or the leading "." is left. The root has no parent; "." has the empty one.
  if (leading_dot) return path.substr(0, 0);
  return std::nullopt;
}

IoResult<void> create_directories(std::string_view path) {
  if (path.empty()) return {};
  TESSAMER_ASSIGN_OR_RETURN(const std::string c_path, path_to_c_string(path));
  if (make_directory_call(c_path) == 0) return {};
  int error = errno;
  if (error != ENOENT) return directory_after_mkdir(c_path, error);
  auto parent = parent_path(path);
  if (!parent) return std::unexpected(IoError{"failed to create whole tree"});
  TESSAMER_TRY(create_directories(*parent));
  return make_directory(path);
}

}  // namespace tessamer
