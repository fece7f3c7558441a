#include "core/file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tessamer {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

IoResult<std::string> path_to_c_string(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return std::unexpected(IoError{std::string(kNulInPathText)});
  return std::string(path);
}

IoResult<UniqueFd> open_file(std::string_view path, int flags, mode_t mode) {
  auto c_path = path_to_c_string(path);
  if (!c_path) return std::unexpected(c_path.error());
  for (;;) {
    int fd = ::open(c_path->c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0) return UniqueFd(fd);
    if (errno != EINTR) return std::unexpected(IoError{system_error_text(errno)});
  }
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
    auto n = read_some(fd, bytes + filled, size - filled);
    if (!n) return std::unexpected(n.error());
    if (*n == 0) break;
    filled += *n;
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

IoResult<std::string> read_whole_file(std::string_view path) {
  auto fd = open_file(path, O_RDONLY);
  if (!fd) return std::unexpected(fd.error());
  std::string content;
  struct stat st {};
  if (::fstat(fd->get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    content.reserve(static_cast<std::size_t>(st.st_size));
  }
  char chunk[64 * 1024];
  for (;;) {
    auto n = read_some(fd->get(), chunk, sizeof chunk);
    if (!n) return std::unexpected(n.error());
    if (*n == 0) return content;
    content.append(chunk, *n);
  }
}

IoResult<struct stat> stat_path(std::string_view path) {
  auto c_path = path_to_c_string(path);
  if (!c_path) return std::unexpected(c_path.error());
  struct stat st {};
  if (::stat(c_path->c_str(), &st) != 0) return std::unexpected(IoError{system_error_text(errno)});
  return st;
}

}  // namespace tessamer
