// SHA-256 over a stream of bytes, computed by OpenSSL (which uses the CPU's SHA instructions).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

// Declared by OpenSSL; kept opaque here so that users of this header need no OpenSSL headers.
struct evp_md_ctx_st;

namespace tessamer {

// Move-only owner of one digest computation. A moved-from hasher must not be used again.
// OpenSSL fails here only when it cannot allocate; that aborts the process, like any other
// allocation failure in the engine.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // Adds `size` bytes at `data` (may be null when size is 0).
  void update(const void* data, std::size_t size);

  // The digest of everything added since construction or the previous finish(), as 64
  // lowercase hex characters. The hasher then starts over with no input.
  std::string finish();

 private:
  struct FreeContext {
    void operator()(evp_md_ctx_st* context) const;
  };
  std::unique_ptr<evp_md_ctx_st, FreeContext> context_;
};

}  // namespace tessamer
