// SHA-256: the compression by libcrypto or by the SHA extensions, one stream or two interleaved.
#include "core/sha256.h"

// On CPUs without the SHA extensions, libcrypto's block function does the work, reached through
// its low-level SHA-256 calls, which OpenSSL 3 marks deprecated in favour of EVP. EVP is no use
// here: in a static engine it drags in the provider machinery (dlopen, name lookup) for what is
// only a block function to this file.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tessamer {
namespace {

constexpr std::uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// Compresses `blocks` 64-byte blocks at `data` into `state` with OpenSSL, which picks its own
// code for the CPU. Whole blocks given to a context with an empty buffer go straight to the
// block function in one call, and leave nothing buffered: the chaining value is all there is.
void compress_openssl(std::uint32_t* state, const unsigned char* data, std::size_t blocks) {
  if (blocks == 0) return;
  static_assert(sizeof(SHA_LONG) == sizeof(std::uint32_t));
  SHA256_CTX context;
  SHA256_Init(&context);  // cannot fail
  std::memcpy(context.h, state, sizeof context.h);
  SHA256_Update(&context, data, 64 * blocks);
  std::memcpy(state, context.h, sizeof context.h);
}

#if defined(__x86_64__)

alignas(16) constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// One message in the SHA extensions' register layout: words A,B,E,F and C,D,G,H (A and C in the
// top lanes), plus the current four groups of message schedule words.
struct Lane {
  __m128i abef;
  __m128i cdgh;
  __m128i w[4];
};

[[gnu::target("sha,sse4.1"), gnu::always_inline]] inline void load_lane(Lane& lane, const std::uint32_t* state) {
  const __m128i cdab = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
  lane.abef = _mm_alignr_epi8(cdab, efgh, 8);
  lane.cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
}

[[gnu::target("sha,sse4.1"), gnu::always_inline]] inline void store_lane(const Lane& lane, std::uint32_t* state) {
  const __m128i feba = _mm_shuffle_epi32(lane.abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(lane.cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

// Rounds 4*G to 4*G+3 of the block at `data`, and the message schedule work that belongs there:
// w[G % 4] holds schedule words 4*G..4*G+3 on entry; the group three ahead is started here and the
// next group completed.
template <int G>
[[gnu::target("sha,sse4.1"), gnu::always_inline]] inline void round_group(Lane& lane, const unsigned char* data,
                                                                         __m128i byte_swap) {
  __m128i* const w = lane.w;
  if constexpr (G < 4) {
    w[G] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * G)), byte_swap);
  }
  const __m128i wk = _mm_add_epi32(w[G % 4], _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 4 * G)));
  lane.cdgh = _mm_sha256rnds2_epu32(lane.cdgh, lane.abef, wk);
  if constexpr (G >= 3 && G <= 14) {
    __m128i& next = w[(G + 1) % 4];
    next = _mm_add_epi32(next, _mm_alignr_epi8(w[G % 4], w[(G + 3) % 4], 4));
    next = _mm_sha256msg2_epu32(next, w[G % 4]);
  }
  lane.abef = _mm_sha256rnds2_epu32(lane.abef, lane.cdgh, _mm_shuffle_epi32(wk, 0x0E));
  if constexpr (G >= 1 && G <= 12) w[(G + 3) % 4] = _mm_sha256msg1_epu32(w[(G + 3) % 4], w[G % 4]);
}

template <int... G>
[[gnu::target("sha,sse4.1"), gnu::always_inline]] inline void block_rounds(Lane& lane, const unsigned char* data,
                                                                          __m128i byte_swap,
                                                                          std::integer_sequence<int, G...>) {
  (round_group<G>(lane, data, byte_swap), ...);
}

// The two messages' groups alternate, so each lane's round instructions run while the other
// lane's wait for their results.
template <int... G>
[[gnu::target("sha,sse4.1"), gnu::always_inline]] inline void block_rounds(Lane& first, const unsigned char* first_data,
                                                                          Lane& second,
                                                                          const unsigned char* second_data,
                                                                          __m128i byte_swap,
                                                                          std::integer_sequence<int, G...>) {
  ((round_group<G>(first, first_data, byte_swap), round_group<G>(second, second_data, byte_swap)), ...);
}

[[gnu::target("sha,sse4.1"), gnu::always_inline]] inline __m128i byte_swap_mask() {
  return _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
}

[[gnu::target("sha,sse4.1")]] void compress_sha_ni(std::uint32_t* state, const unsigned char* data,
                                                   std::size_t blocks) {
  const __m128i byte_swap = byte_swap_mask();
  Lane lane;
  load_lane(lane, state);
  for (; blocks != 0; --blocks, data += 64) {
    const __m128i abef = lane.abef;
    const __m128i cdgh = lane.cdgh;
    block_rounds(lane, data, byte_swap, std::make_integer_sequence<int, 16>{});
    lane.abef = _mm_add_epi32(lane.abef, abef);
    lane.cdgh = _mm_add_epi32(lane.cdgh, cdgh);
  }
  store_lane(lane, state);
}

[[gnu::target("sha,sse4.1")]] void compress_sha_ni_pair(std::uint32_t* first_state, const unsigned char* first_data,
                                                        std::uint32_t* second_state,
                                                        const unsigned char* second_data, std::size_t blocks) {
  const __m128i byte_swap = byte_swap_mask();
  Lane first;
  Lane second;
  load_lane(first, first_state);
  load_lane(second, second_state);
  for (; blocks != 0; --blocks, first_data += 64, second_data += 64) {
    const __m128i first_abef = first.abef;
    const __m128i first_cdgh = first.cdgh;
    const __m128i second_abef = second.abef;
    const __m128i second_cdgh = second.cdgh;
    block_rounds(first, first_data, second, second_data, byte_swap, std::make_integer_sequence<int, 16>{});
    first.abef = _mm_add_epi32(first.abef, first_abef);
    first.cdgh = _mm_add_epi32(first.cdgh, first_cdgh);
    second.abef = _mm_add_epi32(second.abef, second_abef);
    second.cdgh = _mm_add_epi32(second.cdgh, second_cdgh);
  }
  store_lane(first, first_state);
  store_lane(second, second_state);
}

#endif  // __x86_64__

void compress(Sha256::Isa isa, std::uint32_t* state, const unsigned char* data, std::size_t blocks) {
  switch (isa) {
    case Sha256::Isa::openssl:
      compress_openssl(state, data, blocks);
      return;
    case Sha256::Isa::sha_ni:
#if defined(__x86_64__)
      compress_sha_ni(state, data, blocks);
      return;
#else
      break;
#endif
  }
  std::abort();  // a hasher is only built for a path that runs
}

}  // namespace

bool Sha256::runs(Isa isa) {
  switch (isa) {
    case Isa::openssl:
      return true;
    case Isa::sha_ni:
#if defined(__x86_64__)
      return __builtin_cpu_supports("sha") && __builtin_cpu_supports("sse4.1");
#else
      return false;
#endif
  }
  return false;
}

Sha256::Isa Sha256::fastest() { return runs(Isa::sha_ni) ? Isa::sha_ni : Isa::openssl; }

Sha256::Sha256() : Sha256(fastest()) {}

Sha256::Sha256(Isa isa) : isa_(isa) {
  assert(runs(isa) && "a hasher only uses a code path this CPU runs");
  restart();
}

void Sha256::restart() {
  std::memcpy(state_, kInitialState, sizeof state_);
  size_ = 0;
}

std::size_t Sha256::top_up(const unsigned char* data, std::size_t size) {
  const std::size_t held = size_ % 64;
  if (held == 0) return 0;
  const std::size_t taken = std::min(size, 64 - held);
  std::memcpy(block_ + held, data, taken);
  size_ += taken;
  if (held + taken == 64) compress(isa_, state_, block_, 1);
  return taken;
}

void Sha256::keep_tail(const unsigned char* data, std::size_t size) {
  // Whole blocks of `data` are compressed, the rest is kept.
  assert(size_ % 64 == 0 && "the partial block was topped up first");
  const std::size_t whole = size / 64;
  compress(isa_, state_, data, whole);
  std::memcpy(block_, data + 64 * whole, size % 64);
  size_ += size;
}

void Sha256::update(const void* data, std::size_t size) {
  if (size == 0) return;
  const auto* bytes = static_cast<const unsigned char*>(data);
  const std::size_t taken = top_up(bytes, size);
  if (taken == size) return;
  keep_tail(bytes + taken, size - taken);
}

std::string Sha256::finish() {
  std::size_t held = size_ % 64;
  block_[held++] = 0x80;
  if (held > 56) {
    std::memset(block_ + held, 0, 64 - held);
    compress(isa_, state_, block_, 1);
    held = 0;
  }
  std::memset(block_ + held, 0, 56 - held);
  const std::uint64_t bits = size_ * 8;
  for (int i = 0; i < 8; ++i) block_[56 + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
  compress(isa_, state_, block_, 1);

  static constexpr char kHex[] = "0123456789abcdef";
  std::string text(64, '\0');
  for (int i = 0; i < 64; ++i) text[i] = kHex[(state_[i / 8] >> (28 - 4 * (i % 8))) & 0xF];
  restart();
  return text;
}

std::size_t update_pair(Sha256& first, const void* first_data, std::size_t first_size, Sha256& second,
                        const void* second_data, std::size_t second_size) {
  assert(&first != &second && "two messages, one hasher each");
  const std::size_t size = std::min(first_size, second_size);
#if defined(__x86_64__)
  if (size != 0 && first.isa_ == Sha256::Isa::sha_ni && second.isa_ == Sha256::Isa::sha_ni) {
    // Each side first completes its own partial block, so the two block streams may start at
    // different offsets; they are compressed together as far as both have whole blocks.
    const auto* a = static_cast<const unsigned char*>(first_data);
    const auto* b = static_cast<const unsigned char*>(second_data);
    const std::size_t a_taken = first.top_up(a, size);
    const std::size_t b_taken = second.top_up(b, size);
    const std::size_t a_rest = size - a_taken;
    const std::size_t b_rest = size - b_taken;
    const std::size_t together = std::min(a_rest / 64, b_rest / 64);
    compress_sha_ni_pair(first.state_, a + a_taken, second.state_, b + b_taken, together);
    first.size_ += 64 * together;
    second.size_ += 64 * together;
    if (a_rest != 0) first.keep_tail(a + a_taken + 64 * together, a_rest - 64 * together);
    if (b_rest != 0) second.keep_tail(b + b_taken + 64 * together, b_rest - 64 * together);
    return size;
  }
#endif
  first.update(first_data, size);
  second.update(second_data, size);
  return size;
}

}  // namespace tessamer
