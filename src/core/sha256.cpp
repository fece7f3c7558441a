#include "core/sha256.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>

namespace tessamer {
namespace {

// Only an allocation failure makes these calls fail; the engine has no recovery from that.
[[noreturn]] void digest_failure(const char* what) {
  std::fprintf(stderr, "tessamer: %s failed\n", what);
  std::abort();
}

// SHA-256 from libcrypto's default provider (the CPU's SHA instructions where there are any),
// fetched once. OpenSSL is started without its configuration file: the engine reads none.
const EVP_MD* sha256_method() {
  struct Method {
    Method() {
      if (OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) != 1) digest_failure("OPENSSL_init_crypto");
      md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
      if (md == nullptr) digest_failure("EVP_MD_fetch");
    }
    ~Method() { EVP_MD_free(md); }
    EVP_MD* md = nullptr;
  };
  static const Method method;
  return method.md;
}

void start_digest(EVP_MD_CTX* context) {
  if (EVP_DigestInit_ex(context, sha256_method(), nullptr) != 1) digest_failure("EVP_DigestInit_ex");
}

}  // namespace

void Sha256::FreeContext::operator()(evp_md_ctx_st* context) const { EVP_MD_CTX_free(context); }

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  if (!context_) digest_failure("EVP_MD_CTX_new");
  start_digest(context_.get());
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(const void* data, std::size_t size) {
  if (size == 0) return;
  if (EVP_DigestUpdate(context_.get(), data, size) != 1) digest_failure("EVP_DigestUpdate");
}

std::string Sha256::finish() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context_.get(), digest, &length) != 1) digest_failure("EVP_DigestFinal_ex");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text(2 * static_cast<std::size_t>(length), '\0');
  for (unsigned int i = 0; i < length; ++i) {
    text[2 * i] = kHex[digest[i] >> 4];
    text[2 * i + 1] = kHex[digest[i] & 0xF];
  }
  start_digest(context_.get());
  return text;
}

}  // namespace tessamer
