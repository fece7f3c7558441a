// Random input through every decoder (the Debug build runs this under the sanitizers).
#include <random>
#include <vector>

#include "encoding/encoding.h"
#include "encoding/test_support.h"

namespace {

using encoding_test::is_valid_utf8;

// Raw bytes that steer the decoders into their states: escapes and designators, lead bytes of every
// multi-byte encoding, gb18030 digits, surrogate halves.
constexpr unsigned char kInteresting[] = {0x1B, 0x24, 0x28, 0x40, 0x42, 0x49, 0x4A, 0x0E, 0x0F, 0x21,
                                          0x30, 0x39, 0x5C, 0x7E, 0x80, 0x81, 0x84, 0x8E, 0x8F, 0x90,
                                          0xA1, 0xD8, 0xDC, 0xE3, 0xED, 0xF0, 0xF4, 0xFE, 0xFF, 0x00};

// A random code point from the blocks the legacy encodings cover, and some they do not.
char32_t random_code_point(std::mt19937& rng) {
  constexpr char32_t kBlocks[][2] = {{0x20, 0x7E},      {0xA0, 0x24F},    {0x370, 0x4FF},   {0x2000, 0x22FF},
                                     {0x2460, 0x27BF},  {0x3000, 0x30FF}, {0x4E00, 0x9FFF}, {0xAC00, 0xD7A3},
                                     {0xE000, 0xE8FF},  {0xF780, 0xF7FF}, {0xFF01, 0xFFEF}, {0x20000, 0x2FFFF},
                                     {0x1F600, 0x1F64F}};
  const auto& block = kBlocks[rng() % std::size(kBlocks)];
  return static_cast<char32_t>(block[0] + rng() % (block[1] - block[0] + 1));
}

// Mostly well-formed input for `e` (so that long inputs decode too), with a share of raw bytes
// that changes from input to input.
std::string random_input(std::mt19937& rng, encoding::Encoding e) {
  std::uniform_int_distribution<int> length(0, 40);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(kInteresting) - 1);
  constexpr unsigned kRawPercent[] = {0, 2, 10, 50, 100};
  const unsigned raw_percent = kRawPercent[rng() % std::size(kRawPercent)];
  std::string s;
  for (int n = length(rng); n > 0; --n) {
    if (rng() % 100 < raw_percent) {
      s += static_cast<char>(rng() % 2 ? rng() % 256 : kInteresting[pick(rng)]);
    } else {
      s += encoding::encode(e, encoding_test::utf8(random_code_point(rng))).bytes;
    }
  }
  return s;
}

TEST(EncodingFuzz, DecodersFailOrGiveValidUtf8) {
  std::mt19937 rng(20240611);
  for (const encoding::Encoding e : encoding::all_encodings()) {
    SCOPED_TRACE(std::string(encoding::name(e)));
    int successes = 0;
    for (int i = 0; i < 2000; ++i) {
      const std::string input = random_input(rng, e);
      SCOPED_TRACE(testing::PrintToString(input));
      // An exact-size heap copy with no terminator after it, so that the sanitizers see any read
      // past the end.
      const std::vector<char> exact(input.begin(), input.end());
      const std::string_view bytes(exact.data(), exact.size());
      std::string out = "prefix";
      const bool ok = encoding::decode(e, bytes, out);
      ASSERT_EQ(out.compare(0, 6, "prefix"), 0);  // appends, never replaces
      if (encoding::name(e) == "UTF-8") {
        ASSERT_EQ(ok, is_valid_utf8(bytes));  // an oracle written apart from the decoder
      }
      const std::string replaced = encoding::detail::decode_replacing(e, bytes);
      ASSERT_TRUE(is_valid_utf8(replaced));
      if (!ok) {
        ASSERT_NE(replaced.find("\xEF\xBF\xBD"), std::string::npos);
        continue;
      }
      ++successes;
      ASSERT_TRUE(is_valid_utf8(out));
      ASSERT_EQ(out.substr(6), replaced);  // both modes agree on well-formed input
    }
    if (encoding::name(e) != "replacement") {
      EXPECT_GT(successes, 300);
    }
  }
}

// Text a decoder produced and its encoder can write decodes back to the same text.
TEST(EncodingFuzz, EncodedDecodedTextDecodesBack) {
  std::mt19937 rng(7);
  for (const encoding::Encoding e : encoding::all_encodings()) {
    const std::string_view name = encoding::name(e);
    // UTF-16 and replacement encode as UTF-8, so their output is not theirs to decode.
    if (name == "UTF-16LE" || name == "UTF-16BE" || name == "replacement") continue;
    SCOPED_TRACE(std::string(name));
    int round_trips = 0;
    for (int i = 0; i < 1000; ++i) {
      std::string text;
      if (!encoding::decode(e, random_input(rng, e), text)) continue;
      // ISO-2022-JP writes halfwidth katakana as fullwidth: a different text by design.
      if (name == "ISO-2022-JP" && text.find("\xEF\xBD") != std::string::npos) continue;
      if (name == "ISO-2022-JP" && text.find("\xEF\xBE") != std::string::npos) continue;
      const auto encoded = encoding::encode(e, text);
      if (encoded.unmappable) continue;
      SCOPED_TRACE(testing::PrintToString(text));
      EXPECT_EQ(encoding_test::decoded(e, encoded.bytes), text);
      ++round_trips;
    }
    EXPECT_GT(round_trips, 100);
  }
}

}  // namespace
