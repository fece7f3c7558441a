#include "core/bytes.h"

#include <gtest/gtest.h>

#include <string>

namespace tessamer {
namespace {

// Every length across the in-place steps (0-3, 4-7, 8-16, 17-32) and past them, with one byte
// changed at every place: the comparison sees it, and a copy writes exactly the run.
TEST(Bytes, EveryLengthEveryPlace) {
  for (std::size_t n = 0; n <= 40; ++n) {
    std::string a(n, 'x');
    for (std::size_t i = 0; i < n; ++i) a[i] = static_cast<char>('a' + i % 26);
    const std::string b = a;
    EXPECT_TRUE(same_bytes(a.data(), b.data(), n)) << n;
    for (std::size_t at = 0; at < n; ++at) {
      std::string changed = a;
      changed[at] ^= 0x40;
      EXPECT_FALSE(same_bytes(a.data(), changed.data(), n)) << "length " << n << ", at " << at;
    }
    std::string target(n + 2, '.'), want(1, '.');
    copy_bytes(target.data() + 1, a.data(), n);
    want.append(a).append(1, '.');
    EXPECT_EQ(target, want);
  }
}

}  // namespace
}  // namespace tessamer
