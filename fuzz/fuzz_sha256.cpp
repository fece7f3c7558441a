// SHA-256: for two messages fed in pieces the fuzzer chooses, one lane at a time and two lanes at
// once, on every code path this CPU runs (and with the two hashers on different paths), the
// digests are OpenSSL's digests of the same bytes; a copy taken midway finishes the same way.
//
// Input: [0..1] length of the first message (little-endian, reduced to what there is),
//        [2] number of script bytes k (mod 64), then k script bytes, then the two messages.
// Script bytes are piece sizes: below 128 as they stand, from 128 up (b - 128) * 37. The first two
// are each side's one-lane prefix, the following pairs are the lengths offered to update_pair;
// when the script ends the rest is offered whole.
#include <openssl/evp.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/sha256.h"
#include "fuzz_support.h"

namespace {

using tessamer::Sha256;

constexpr Sha256::Isa kIsas[] = {Sha256::Isa::openssl, Sha256::Isa::sha_ni};

std::string reference(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  fuzz::require(EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) == 1, "EVP_Digest");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0xF];
  }
  return text;
}

const char* name(Sha256::Isa isa) { return isa == Sha256::Isa::openssl ? "openssl" : "sha_ni"; }

std::size_t piece(unsigned char b) { return b < 128 ? b : (std::size_t{b} - 128) * 37; }

struct Side {
  std::string_view bytes;
  std::size_t at = 0;
  std::string_view rest(std::size_t most) const { return bytes.substr(at, most); }
};

void check(const std::string& got, const std::string& want, const char* what, Sha256::Isa first, Sha256::Isa second) {
  if (got == want) return;
  fuzz::fail(std::string(what) + " digest " + got + ", OpenSSL " + want + " (paths " + name(first) + ", " +
             name(second) + ")");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t script_size = std::min<std::size_t>(data[2] % 64, size - 3);
  const std::string_view script = input.substr(3, script_size);
  const std::string_view messages = input.substr(3 + script_size);
  const std::size_t first_size = (data[0] | std::size_t{data[1]} << 8) % (messages.size() + 1);
  const std::string_view first_message = messages.substr(0, first_size);
  const std::string_view second_message = messages.substr(first_size);
  const std::string want_first = reference(first_message);
  const std::string want_second = reference(second_message);

  for (const Sha256::Isa first_isa : kIsas) {
    if (!Sha256::runs(first_isa)) continue;

    // One lane, in the script's pieces.
    Sha256 single(first_isa);
    Side side{first_message};
    for (const char b : script) {
      const std::string_view p = side.rest(piece(static_cast<unsigned char>(b)));
      single.update(p.data(), p.size());
      side.at += p.size();
    }
    const std::string_view rest = side.rest(first_size);
    single.update(rest.data(), rest.size());
    check(single.finish(), want_first, "one-lane", first_isa, first_isa);

    for (const Sha256::Isa second_isa : kIsas) {
      if (!Sha256::runs(second_isa)) continue;
      Sha256 hasher[2] = {Sha256(first_isa), Sha256(second_isa)};
      Side sides[2] = {{first_message}, {second_message}};
      std::size_t s = 0;
      for (int i = 0; i < 2 && s < script.size(); ++i, ++s) {
        const std::string_view p = sides[i].rest(piece(static_cast<unsigned char>(script[s])));
        hasher[i].update(p.data(), p.size());
        sides[i].at += p.size();
      }
      for (; s + 1 < script.size(); s += 2) {
        const std::string_view a = sides[0].rest(piece(static_cast<unsigned char>(script[s])));
        const std::string_view b = sides[1].rest(piece(static_cast<unsigned char>(script[s + 1])));
        const std::size_t taken = tessamer::update_pair(hasher[0], a.data(), a.size(), hasher[1], b.data(), b.size());
        fuzz::require(taken == std::min(a.size(), b.size()), "update_pair consumed other than the shorter span");
        sides[0].at += taken;
        sides[1].at += taken;
      }
      const std::string_view a = sides[0].rest(first_message.size());
      const std::string_view b = sides[1].rest(second_message.size());
      const std::size_t taken = tessamer::update_pair(hasher[0], a.data(), a.size(), hasher[1], b.data(), b.size());
      Sha256 fork = hasher[0];
      hasher[0].update(a.data() + taken, a.size() - taken);
      fork.update(a.data() + taken, a.size() - taken);
      hasher[1].update(b.data() + taken, b.size() - taken);
      check(hasher[0].finish(), want_first, "two-lane first", first_isa, second_isa);
      check(hasher[1].finish(), want_second, "two-lane second", first_isa, second_isa);
      check(fork.finish(), want_first, "copied", first_isa, second_isa);
    }
  }
  return 0;
}
