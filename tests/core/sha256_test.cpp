#include "core/sha256.h"

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace tessamer {
namespace {

constexpr Sha256::Isa kIsas[] = {Sha256::Isa::openssl, Sha256::Isa::sha_ni};

std::string isa_name(Sha256::Isa isa) { return isa == Sha256::Isa::openssl ? "openssl" : "sha_ni"; }

std::vector<Sha256::Isa> runnable() {
  std::vector<Sha256::Isa> out;
  for (const Sha256::Isa isa : kIsas) {
    if (Sha256::runs(isa)) out.push_back(isa);
  }
  return out;
}

// OpenSSL's own digest of the same bytes.
std::string reference(const unsigned char* data, std::size_t size) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  if (EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr) != 1) return "EVP_Digest failed";
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0xF];
  }
  return text;
}

std::string digest_of(const std::string& data, Sha256::Isa isa = Sha256::fastest()) {
  Sha256 hasher(isa);
  hasher.update(data.data(), data.size());
  return hasher.finish();
}

std::vector<unsigned char> random_bytes(std::mt19937_64& rng, std::size_t size) {
  std::vector<unsigned char> out(size);
  for (unsigned char& c : out) c = static_cast<unsigned char>(rng());
  return out;
}

std::size_t below(std::mt19937_64& rng, std::size_t n) { return n == 0 ? 0 : rng() % n; }

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
      {"896 bits",
       "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopq"
       "rstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {"million a", std::string(1'000'000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Sha256::Isa isa : runnable()) {
    for (const Case& c : cases) {
      SCOPED_TRACE(isa_name(isa) + ": " + c.name);
      EXPECT_EQ(digest_of(c.input, isa), c.digest);
    }
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
  EXPECT_EQ(hasher.size(), 3u);
  EXPECT_EQ(hasher.finish(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// Every length up to a few blocks past the padding boundaries, split at random and started at
// every alignment, against OpenSSL.
TEST(Sha256, RandomSplitsMatchOpenSsl) {
  std::mt19937_64 rng(20240613);
  for (const Sha256::Isa isa : runnable()) {
    SCOPED_TRACE(isa_name(isa));
    for (int round = 0; round < 1500; ++round) {
      const std::size_t size = round < 300 ? static_cast<std::size_t>(round) : below(rng, 10'001);
      const std::vector<unsigned char> buffer = random_bytes(rng, size + 64);
      const unsigned char* data = buffer.data() + below(rng, 64);
      Sha256 hasher(isa);
      for (std::size_t at = 0; at < size;) {
        const std::size_t piece = std::min(size - at, below(rng, 3) == 0 ? below(rng, 8) : below(rng, 300));
        hasher.update(data + at, piece);
        at += piece;
      }
      ASSERT_EQ(hasher.size(), size);
      ASSERT_EQ(hasher.finish(), reference(data, size)) << "size " << size;
    }
  }
}

// Two messages of different lengths fed side by side as a streaming comparison does: each side
// starts with its own partial block, every call offers spans of different lengths and consumes
// the shorter, and the longer message ends on one lane.
TEST(Sha256, PairMatchesOpenSslForBothMessages) {
  std::mt19937_64 rng(7);
  const std::vector<Sha256::Isa> isas = runnable();
  for (const Sha256::Isa first_isa : isas) {
    for (const Sha256::Isa second_isa : isas) {
      SCOPED_TRACE(isa_name(first_isa) + " with " + isa_name(second_isa));
      for (int round = 0; round < 600; ++round) {
        std::size_t size[2];
        std::vector<unsigned char> buffer[2];
        const unsigned char* data[2];
        std::size_t at[2];
        for (int side = 0; side < 2; ++side) {
          size[side] = below(rng, 10'001);
          buffer[side] = random_bytes(rng, size[side] + 64);
          data[side] = buffer[side].data() + below(rng, 64);
          at[side] = std::min(size[side], below(rng, 200));
        }
        Sha256 first(first_isa);
        Sha256 second(second_isa);
        first.update(data[0], at[0]);
        second.update(data[1], at[1]);
        while (at[0] < size[0] && at[1] < size[1]) {
          const std::size_t offer[2] = {std::min(size[0] - at[0], below(rng, 2000)),
                                        std::min(size[1] - at[1], below(rng, 2000))};
          const std::size_t taken = update_pair(first, data[0] + at[0], offer[0], second, data[1] + at[1], offer[1]);
          ASSERT_EQ(taken, std::min(offer[0], offer[1]));
          at[0] += taken;
          at[1] += taken;
        }
        first.update(data[0] + at[0], size[0] - at[0]);
        second.update(data[1] + at[1], size[1] - at[1]);
        ASSERT_EQ(first.finish(), reference(data[0], size[0])) << "sizes " << size[0] << ", " << size[1];
        ASSERT_EQ(second.finish(), reference(data[1], size[1])) << "sizes " << size[0] << ", " << size[1];
      }
    }
  }
}

// A copy carries on from the prefix it was made at: one prefix, hashed once, then two endings.
TEST(Sha256, CopyContinuesFromTheSamePrefix) {
  const std::string prefix(1000, 'p');
  for (const Sha256::Isa isa : runnable()) {
    SCOPED_TRACE(isa_name(isa));
    Sha256 hasher(isa);
    hasher.update(prefix.data(), prefix.size());
    Sha256 fork = hasher;
    hasher.update("one", 3);
    fork.update("other", 5);
    EXPECT_EQ(hasher.finish(), digest_of(prefix + "one"));
    EXPECT_EQ(fork.finish(), digest_of(prefix + "other"));
  }
}

}  // namespace
}  // namespace tessamer
