// Run files: O_TMPFILE in the sort location, or a name removed before the first byte is written.
#include "core/run_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace tessamer {
namespace {

bool g_forced_named = false;

constexpr std::string_view kNamePattern = ".tessamer-sort-XXXXXX";

// The file systems that cannot make unnamed files answer O_TMPFILE with one of these.
bool lacks_unnamed_files(int errnum) { return errnum == EOPNOTSUPP || errnum == EISDIR || errnum == EINVAL; }

IoResult<UniqueFd> create_named_then_unlink(std::string_view location) {
  std::string path;
  if (!location.empty()) path.append(location).append("/");
  path.append(kNamePattern);
  auto c_path = path_to_c_string(path);
  if (!c_path) return std::unexpected(c_path.error());
  int raw = ::mkostemp(c_path->data(), O_CLOEXEC);
  if (raw < 0) return std::unexpected(IoError{system_error_text(errno)});
  UniqueFd fd(raw);
  // Remove the name before anything is written, so that only the descriptor holds the file.
  if (::unlink(c_path->c_str()) != 0) {
    int errnum = errno;
    fd.reset();
    return std::unexpected(IoError{system_error_text(errnum)});
  }
  return fd;
}

}  // namespace

void force_named_run_files(bool forced) { g_forced_named = forced; }

IoResult<UniqueFd> create_run_file(std::string_view location) {
  if (g_forced_named) return create_named_then_unlink(location);
  auto c_path = path_to_c_string(location.empty() ? std::string_view(".") : location);
  if (!c_path) return std::unexpected(c_path.error());
  for (;;) {
    int fd = ::open(c_path->c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return UniqueFd(fd);
    if (errno == EINTR) continue;
    if (lacks_unnamed_files(errno)) return create_named_then_unlink(location);
    return std::unexpected(IoError{system_error_text(errno)});
  }
}

}  // namespace tessamer
