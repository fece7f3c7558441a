// Hashes two generated buffers held in memory with every SHA-256 path this CPU runs, one lane and
// two lanes, and with OpenSSL (EVP and the one-shot call) as the baseline, and prints GB/s over
// the bytes of both buffers.
//
// usage: sha256_bench [megabytes per buffer=256] [runs=5]
// The data is the same on every run and machine: a fixed-seed generator, no files.
#include <openssl/evp.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "core/sha256.h"

namespace {

using tessamer::Sha256;

// The engine feeds its hashers from 1 MiB read buffers.
constexpr std::size_t kChunk = 1 << 20;

std::vector<unsigned char> generate(std::size_t bytes, std::uint64_t seed) {
  std::vector<unsigned char> out(bytes);
  std::uint64_t state = seed;
  for (unsigned char& c : out) {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    c = static_cast<unsigned char>((state * 2685821657736338717ULL) >> 56);
  }
  return out;
}

double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string hex(const unsigned char* digest, unsigned length) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0xF];
  }
  return text;
}

struct Digests {
  std::string first;
  std::string second;
};

Digests one_lane(Sha256::Isa isa, const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
  Digests out;
  for (const auto* buffer : {&a, &b}) {
    Sha256 hasher(isa);
    for (std::size_t at = 0; at < buffer->size(); at += kChunk) {
      hasher.update(buffer->data() + at, std::min(kChunk, buffer->size() - at));
    }
    (buffer == &a ? out.first : out.second) = hasher.finish();
  }
  return out;
}

Digests two_lanes(Sha256::Isa isa, const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
  Sha256 first(isa);
  Sha256 second(isa);
  for (std::size_t at = 0; at < a.size(); at += kChunk) {
    const std::size_t n = std::min(kChunk, a.size() - at);
    tessamer::update_pair(first, a.data() + at, n, second, b.data() + at, n);
  }
  second.update(b.data() + a.size(), b.size() - a.size());  // one lane for what only one side has
  return {first.finish(), second.finish()};
}

Digests evp(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
  Digests out;
  EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  for (const auto* buffer : {&a, &b}) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_DigestInit_ex(context, md, nullptr);
    for (std::size_t at = 0; at < buffer->size(); at += kChunk) {
      EVP_DigestUpdate(context, buffer->data() + at, std::min(kChunk, buffer->size() - at));
    }
    EVP_DigestFinal_ex(context, digest, &length);
    (buffer == &a ? out.first : out.second) = hex(digest, length);
  }
  EVP_MD_CTX_free(context);
  EVP_MD_free(md);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  if (megabytes == 0 || runs <= 0) {
    std::fprintf(stderr, "usage: sha256_bench [megabytes per buffer=256] [runs=5]\n");
    return 2;
  }
  // Different lengths by a few bytes, so the partial blocks of the two lanes differ.
  const auto a = generate(megabytes << 20, 1);
  const auto b = generate((megabytes << 20) + 37, 2);
  const double bytes = static_cast<double>(a.size() + b.size());

  struct Path {
    std::string name;
    std::function<Digests()> run;
  };
  std::vector<Path> paths;
  paths.push_back({"OpenSSL EVP", [&] { return evp(a, b); }});
  for (const auto isa : {Sha256::Isa::openssl, Sha256::Isa::sha_ni}) {
    if (!Sha256::runs(isa)) continue;
    const std::string name = isa == Sha256::Isa::openssl ? "openssl" : "sha_ni";
    paths.push_back({"Sha256 " + name + " one lane", [&a, &b, isa] { return one_lane(isa, a, b); }});
    paths.push_back({"Sha256 " + name + " update_pair", [&a, &b, isa] { return two_lanes(isa, a, b); }});
  }

  std::printf("two buffers of %zu and %zu bytes, %d runs, GB/s over both (median / best of wall, thread CPU)\n",
              a.size(), b.size(), runs);
  const Digests reference = evp(a, b);
  // Alternating the paths within each round spreads the machine's other load over all of them.
  std::vector<std::vector<double>> wall(paths.size()), cpu(paths.size());
  for (int r = 0; r < runs; ++r) {
    for (std::size_t p = 0; p < paths.size(); ++p) {
      const double cpu_start = thread_seconds();
      const auto start = std::chrono::steady_clock::now();
      const Digests got = paths[p].run();
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
      const double cpu_took = thread_seconds() - cpu_start;
      if (got.first != reference.first || got.second != reference.second) {
        std::fprintf(stderr, "sha256_bench: %s gives a wrong digest\n", paths[p].name.c_str());
        return 1;
      }
      wall[p].push_back(bytes / took.count() / 1e9);
      cpu[p].push_back(bytes / cpu_took / 1e9);
    }
  }
  for (std::size_t p = 0; p < paths.size(); ++p) {
    std::printf("%-30s wall %5.2f / %5.2f   cpu %5.2f / %5.2f\n", paths[p].name.c_str(), median(wall[p]),
                *std::max_element(wall[p].begin(), wall[p].end()), median(cpu[p]),
                *std::max_element(cpu[p].begin(), cpu[p].end()));
  }
  return 0;
}
