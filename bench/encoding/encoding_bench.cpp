// UTF-8 decode throughput on long fields: prints MB/s for ASCII, accented Latin, CJK and emoji text.
//   encoding_bench [field bytes, default 1 MiB]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "encoding/encoding.h"

namespace {

// Repeats `unit` up to `size` bytes without splitting a character.
std::string field(std::string_view unit, std::size_t size) {
  std::string s;
  s.reserve(size + unit.size());
  while (s.size() + unit.size() <= size) s += unit;
  return s;
}

int measure(const char* label, encoding::Encoding utf8, const std::string& input) {
  using Clock = std::chrono::steady_clock;
  std::string out;
  std::size_t bytes = 0;
  const auto start = Clock::now();
  auto elapsed = Clock::duration::zero();
  while (elapsed < std::chrono::milliseconds(500)) {
    out.clear();
    if (!encoding::decode(utf8, input, out) || out.size() != input.size()) {
      std::fprintf(stderr, "encoding_bench: %s did not decode to itself\n", label);
      return 1;
    }
    bytes += input.size();
    elapsed = Clock::now() - start;
  }
  const double seconds = std::chrono::duration<double>(elapsed).count();
  std::printf("%-28s %8.0f MB/s  (%zu-byte field)\n", label, static_cast<double>(bytes) / seconds / 1e6, input.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t size = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : std::size_t{1} << 20;
  const auto utf8 = encoding::for_label("utf-8");
  if (!utf8 || size == 0) {
    std::fprintf(stderr, "usage: encoding_bench [field bytes > 0]\n");
    return 2;
  }
  const std::string_view ascii = "The quick brown fox jumps over the lazy dog; ";
  const std::string_view latin = "Se\xC3\xB1or Garc\xC3\xAD\x61, caf\xC3\xA9 cr\xC3\xA8me; ";
  const std::string_view cjk = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xA8\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4";
  const std::string_view emoji = "ok \xF0\x9F\x98\x80 ";
  int failures = 0;
  failures += measure("UTF-8 decode, ASCII", *utf8, field(ascii, size));
  failures += measure("UTF-8 decode, accented Latin", *utf8, field(latin, size));
  failures += measure("UTF-8 decode, CJK", *utf8, field(cjk, size));
  failures += measure("UTF-8 decode, emoji", *utf8, field(emoji, size));
  return failures == 0 ? 0 : 1;
}
