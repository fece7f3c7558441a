// The run file descriptor.
#include <unistd.h>

#include <utility>

#include "sort/sort.h"

namespace sort {

RunFile& RunFile::operator=(RunFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

RunFile::~RunFile() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace sort
