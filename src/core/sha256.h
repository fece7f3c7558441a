// SHA-256 over a stream of bytes, and over two independent streams at once.
//
// A hasher is a small plain value (no heap, no library handle): copying one forks the digest, so
// a later stage can carry on from the state of a prefix instead of hashing the prefix again.
//
// One SHA-NI stream is bound by the latency of the round instruction, not by its throughput.
// update_pair() therefore runs the rounds of two messages interleaved in one loop, which nearly
// doubles the bytes hashed per second when both sides of a comparison need digests anyway.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tessamer {

class Sha256 {
 public:
  // The compression code paths, one per instruction set; a hasher uses the fastest this CPU runs.
  // Named so that tests cover each of them.
  enum class Isa : std::uint8_t {
    openssl,  // libcrypto's block function: any CPU
    sha_ni,   // the SHA extensions (x86-64)
  };

  // Whether this build and CPU run `isa`.
  [[nodiscard]] static bool runs(Isa isa);

  // The path a default-constructed hasher uses.
  [[nodiscard]] static Isa fastest();

  // A hasher with no input, using fastest().
  Sha256();

  // A hasher with no input, using `isa`. REQUIRES: runs(isa).
  explicit Sha256(Isa isa);

  // Copies carry on independently from the same input.
  Sha256(const Sha256&) = default;
  Sha256& operator=(const Sha256&) = default;

  // Adds `size` bytes at `data` (may be null when size is 0).
  void update(const void* data, std::size_t size);

  // The digest of everything added since construction or the previous finish(), as 64
  // lowercase hex characters. The hasher then starts over with no input.
  [[nodiscard]] std::string finish();

  // Bytes added since construction or the previous finish().
  [[nodiscard]] std::uint64_t size() const { return size_; }

  [[nodiscard]] Isa isa() const { return isa_; }

 private:
  friend std::size_t update_pair(Sha256& first, const void* first_data, std::size_t first_size, Sha256& second,
                                 const void* second_data, std::size_t second_size);

  void restart();
  // Fills the partial block from `data`; compresses it when it becomes whole. Returns the bytes
  // taken (all of `size` when the block stays partial).
  std::size_t top_up(const unsigned char* data, std::size_t size);
  void keep_tail(const unsigned char* data, std::size_t size);

  std::uint32_t state_[8];
  std::uint64_t size_;
  unsigned char block_[64] = {};  // the first size_ % 64 bytes are input not yet compressed
  Isa isa_;
};

// Adds the first n = min(first_size, second_size) bytes at `first_data` to `first` and the first
// n bytes at `second_data` to `second`, and returns n. Same digests as first.update(first_data, n)
// and second.update(second_data, n); when both hashers use the SHA extensions the two messages
// are compressed together, whatever each one already holds in its partial block.
// REQUIRES: `first` and `second` are different objects.
std::size_t update_pair(Sha256& first, const void* first_data, std::size_t first_size, Sha256& second,
                        const void* second_data, std::size_t second_size);

}  // namespace tessamer
