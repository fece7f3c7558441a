// Key order between two key fields, and the run file descriptor.
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "sort/sort.h"

namespace sort {

int compare_fields(KeyField a, KeyField b) {
  if (!a.present || !b.present) return static_cast<int>(a.present) - static_cast<int>(b.present);
  std::size_t common = std::min(a.bytes.size(), b.bytes.size());
  // memcmp compares as unsigned char, which is what key order needs; a plain char comparison
  // would be signed on x86-64 and put every byte from 0x80 up below "a".
  if (common > 0) {
    if (int order = std::memcmp(a.bytes.data(), b.bytes.data(), common); order != 0) return order < 0 ? -1 : 1;
  }
  if (a.bytes.size() == b.bytes.size()) return 0;
  return a.bytes.size() < b.bytes.size() ? -1 : 1;
}

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
