// What every fuzz target needs: a check that stops the run, loudly, when an invariant breaks.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz {

// The input bytes in a form a person can paste back into a test: printable ASCII as it stands,
// everything else as \xNN. Long inputs are cut, the fuzzer keeps the whole crashing file anyway.
inline std::string printable(std::string_view bytes, std::size_t limit = 400) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  if (bytes.size() > limit) out += "...";
  return out;
}

// Set by a target to print what its input turned into (the request, the files) when a check fails.
inline void (*describe_input)() = nullptr;

// Prints what broke and aborts; libFuzzer then saves the input and prints the stack.
[[noreturn]] inline void fail(std::string_view what) {
  std::fprintf(stderr, "invariant broken: %.*s\n", static_cast<int>(what.size()), what.data());
  if (describe_input) describe_input();
  std::abort();
}

// For checks whose message costs nothing to build; build costly ones only after the test fails.
inline void require(bool condition, std::string_view what) {
  if (!condition) fail(what);
}

}  // namespace fuzz
