#include "core/sha256.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tessamer {
namespace {

std::string digest_of(const std::string& data) {
  Sha256 hasher;
  hasher.update(data.data(), data.size());
  return hasher.finish();
}

TEST(Sha256, StandardVectors) {
  struct Case {
    const char* name;
    std::string input;
    const char* digest;
  };
  const Case cases[] = {
      {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"million a", std::string(1'000'000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(digest_of(c.input), c.digest);
  }
}

TEST(Sha256, OddChunksGiveTheOneShotDigest) {
  std::string data(3'000'017, '\0');
  std::uint32_t state = 12345;
  for (char& c : data) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  const std::string whole = digest_of(data);

  for (std::size_t chunk : {1u, 3u, 63u, 64u, 65u, 4099u, 1'048'577u}) {
    SCOPED_TRACE("chunk " + std::to_string(chunk));
    Sha256 hasher;
    for (std::size_t at = 0; at < data.size(); at += chunk) {
      hasher.update(data.data() + at, std::min(chunk, data.size() - at));
    }
    hasher.update(nullptr, 0);
    EXPECT_EQ(hasher.finish(), whole);
  }
}

TEST(Sha256, FinishStartsOver) {
  Sha256 hasher;
  hasher.update("xyz", 3);
  (void)hasher.finish();
  hasher.update("abc", 3);
  EXPECT_EQ(hasher.finish(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace tessamer
