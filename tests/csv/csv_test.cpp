// Tests of the byte CSV reader: every dialect, chunking and character structure against plain reference readers.
#include "csv/csv.h"

#include <gtest/gtest.h>

#include "csv/internal.h"

#include "encoding/encoding.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <vector>

// Counts allocations while a test asks for it, to show that reading allocates nothing per record.
namespace {
bool g_counting = false;
std::size_t g_allocations = 0;
}  // namespace

void* operator new(std::size_t n) {
  if (g_counting) ++g_allocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
// Kept out of line: once inlined next to a new-expression, GCC takes the free() for a mismatch.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

using namespace std::string_literals;

namespace {

using Rows = std::vector<std::vector<std::string>>;

// Hands out the input at most `chunk` bytes per read, then fails with `error` if one is given.
class TestSource : public csv::ByteSource {
 public:
  TestSource(std::string data, std::size_t chunk, std::string error = {})
      : data_(std::move(data)), chunk_(chunk), error_(std::move(error)) {}
  std::expected<std::size_t, csv::ReadError> read(unsigned char* dst, std::size_t capacity) override {
    const std::size_t n = std::min({capacity, chunk_, data_.size() - at_});
    if (n == 0 && !error_.empty()) return std::unexpected(csv::ReadError{error_});
    std::memcpy(dst, data_.data() + at_, n);
    at_ += n;
    return n;
  }

 private:
  std::string data_;
  std::size_t chunk_;
  std::string error_;
  std::size_t at_ = 0;
};

Rows read_all(const std::string& input, const csv::Dialect& d, std::size_t buffer, std::size_t chunk) {
  TestSource source(input, chunk);
  csv::Reader reader(source, d, buffer);
  csv::Record record;
  Rows rows;
  for (;;) {
    auto more = reader.next(record);
    EXPECT_TRUE(more.has_value());
    if (!more || !*more) break;
    auto& row = rows.emplace_back();
    for (std::size_t i = 0; i < record.size(); ++i) row.emplace_back(record[i]);
  }
  EXPECT_EQ(reader.next(record), false) << "exhausted must stay exhausted";
  return rows;
}

// Every way the bytes can be cut: tiny and odd reads, short source reads, everything at once.
void expect_all_chunkings(const std::string& input, const csv::Dialect& d, const Rows& want) {
  for (std::size_t buffer : {1, 2, 3, 7, 64, 1 << 20}) {
    for (std::size_t chunk : {1, 3, 7, 1 << 30}) {
      SCOPED_TRACE("buffer " + std::to_string(buffer) + ", chunk " + std::to_string(chunk));
      EXPECT_EQ(read_all(input, d, buffer, chunk), want);
    }
  }
}

// Deliberately plain byte-at-a-time reader, the yardstick for the fast one.
Rows reference_read(const std::string& in, const csv::Dialect& d) {
  Rows rows;
  std::size_t i = 0;
  if (d.skip_utf8_bom && in.starts_with("\xEF\xBB\xBF")) i = 3;
  auto at_end = [&] { return i >= in.size(); };
  auto line_end = [](unsigned char c) { return c == '\r' || c == '\n'; };
  for (;;) {
    while (!at_end() && line_end(in[i])) ++i;
    if (at_end()) return rows;
    auto& row = rows.emplace_back();
    for (bool record_open = true; record_open;) {
      std::string field;
      bool quoted = !at_end() && static_cast<unsigned char>(in[i]) == d.quote;
      if (quoted) ++i;
      for (;;) {
        if (at_end()) { record_open = false; break; }
        const unsigned char c = in[i++];
        if (quoted) {
          if (c == d.quote) {
            if (!at_end() && static_cast<unsigned char>(in[i]) == d.quote) { field += in[i++]; continue; }
            quoted = false;
            if (at_end()) { record_open = false; break; }
            const unsigned char n = in[i];
            if (n == d.delimiter) { ++i; break; }
            if (line_end(n)) { ++i; record_open = false; break; }
            field += in[i++];
          } else if (d.escape && c == *d.escape) {
            if (!at_end()) field += in[i++];
          } else {
            field += static_cast<char>(c);
          }
        } else if (c == d.delimiter) {
          break;
        } else if (line_end(c)) {
          record_open = false;
          break;
        } else {
          field += static_cast<char>(c);
        }
      }
      row.push_back(field);
    }
  }
}

csv::Dialect dialect(unsigned char delimiter = ',', unsigned char quote = '"',
                     std::optional<unsigned char> escape = {}, bool bom = true) {
  csv::Dialect d;
  d.delimiter = delimiter;
  d.quote = quote;
  d.escape = escape;
  d.skip_utf8_bom = bom;
  return d;
}

TEST(CsvReader, Behaviour) {
  const auto plain = dialect();
  const auto backslash = dialect(',', '"', '\\');
  struct Case {
    const char* name;
    std::string input;
    csv::Dialect d;
    Rows want;
  };
  const Case cases[] = {
      {"lf", "a,b,c\nd\n", plain, {{"a", "b", "c"}, {"d"}}},
      {"crlf and lone cr", "a,b\r\nc\rd\r\n", plain, {{"a", "b"}, {"c"}, {"d"}}},
      {"blank lines yield nothing", "\n\r\n\r\ra\n\n\nb", plain, {{"a"}, {"b"}}},
      {"empty input", "", plain, {}},
      {"only line ends", "\r\n\n\r", plain, {}},
      {"delimiter before line end", "a,\n", plain, {{"a", ""}}},
      {"delimiter before end of input", "a,", plain, {{"a", ""}}},
      {"lone delimiter", ",\n,", plain, {{"", ""}, {"", ""}}},
      {"quoted empty", "\"\"\n\"\"", plain, {{""}, {""}}},
      {"quoted specials", "\"a,b\"\"c\r\nd\"\n", plain, {{"a,b\"c\r\nd"}}},
      {"tail after closing quote", "\"ab\"cd\"e,f", plain, {{"abcd\"e", "f"}}},
      {"quote inside unquoted", "ab\"c,\"d\"", plain, {{"ab\"c", "d"}}},
      {"closing quote then line end", "\"a\"\r\"b\"", plain, {{"a"}, {"b"}}},
      {"unterminated quote", "x,\"abc\n,d", plain, {{"x", "abc\n,d"}}},
      {"escape", "\"a\\\"b\\\\\",c", backslash, {{"a\"b\\", "c"}}},
      {"escape and doubled quote", "\"a\"\"b\\\nc\"", backslash, {{"a\"b\nc"}}},
      {"escape ordinary unquoted", "a\\,b\\\"", backslash, {{"a\\", "b\\\""}}},
      {"escape at end of input", "\"ab\\", backslash, {{"ab"}}},
      {"escape without escape byte", "\"a\\\"b\"", plain, {{"a\\b\""}}},
      {"bom skipped", "\xEF\xBB\xBF" "a,b", plain, {{"a", "b"}}},
      {"bom kept when off", "\xEF\xBB\xBF" "a", dialect(',', '"', {}, false), {{"\xEF\xBB\xBF" "a"}}},
      {"bom only", "\xEF\xBB\xBF", plain, {}},
      {"truncated bom", "\xEF\xBB", plain, {{"\xEF\xBB"}}},
      {"second bom kept", "\xEF\xBB\xBF\xEF\xBB\xBF", plain, {{"\xEF\xBB\xBF"}}},
      {"bom later kept", "a\n\xEF\xBB\xBF", plain, {{"a"}, {"\xEF\xBB\xBF"}}},
      {"delimiter is quote", "a,,b,,c,\n,", dialect(',', ','), {{"a", "b,c"}, {""}}},
      {"delimiter is escape", "\"a;b\";c;d", dialect(';', '"', ';'), {{"ab", "c", "d"}}},
      {"quote is escape", "\"a\"\"b\"", dialect(',', '"', '"'), {{"a\"b"}}},
      {"tab and single quote", "'a\tb'\tc", dialect('\t', '\''), {{"a\tb", "c"}}},
      {"lf as delimiter", "\na\nb", dialect('\n'), {{"a", "b"}}},
      {"cr as quote", "a,\rb\r,c", dialect(',', '\r'), {{"a", "b", "c"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(reference_read(c.input, c.d), c.want) << "the reference reader disagrees";
    expect_all_chunkings(c.input, c.d, c.want);
  }
}

// The reader under a character structure, told about the decoder's pairs by the decoder itself.
csv::Dialect dialect_for(csv::Characters characters, const char* label, unsigned char delimiter = ',',
                         std::optional<unsigned char> escape = {}) {
  csv::Dialect d = dialect(delimiter, '"', escape);
  d.characters = characters;
  const encoding::Encoding encoding = *encoding::for_label(label);
  d.pair_is_character = [encoding](unsigned char lead, unsigned char trail) {
    const char pair[] = {static_cast<char>(lead), static_cast<char>(trail)};
    std::string text;
    return encoding::decode(encoding, std::string_view(pair, 2), text);
  };
  return d;
}

// ASCII text as UTF-16 code units.
std::string u16(std::string_view ascii, bool big_endian = false) {
  std::string out;
  for (char c : ascii) out += big_endian ? std::string{'\0', c} : std::string{c, '\0'};
  return out;
}

TEST(CsvReader, DialectBytesCountOnlyWhereACharacterStarts) {
  using C = csv::Characters;
  const auto le = dialect_for(C::utf16le, "utf-16le");
  const auto le_escape = dialect_for(C::utf16le, "utf-16le", ',', '\\');
  const auto be = dialect_for(C::utf16be, "utf-16be");
  const auto sjis_escape = dialect_for(C::shift_jis, "shift_jis", ',', '\\');
  const auto sjis_bar = dialect_for(C::shift_jis, "shift_jis", '|');
  const auto sjis_kana = dialect_for(C::shift_jis, "shift_jis", 0xA1);
  const auto big5 = dialect_for(C::big5, "big5", ',', '\\');
  const auto euc_kr_bar = dialect_for(C::euc_kr, "euc-kr", '|');
  const auto euc_kr_a = dialect_for(C::euc_kr, "euc-kr", 'A');
  const auto gb_digit = dialect_for(C::gb18030, "gb18030", '5');
  const auto gb_bar = dialect_for(C::gb18030, "gb18030", '|');
  const auto jis = dialect_for(C::iso2022jp, "iso-2022-jp");
  struct Case {
    const char* name;
    std::string input;
    csv::Dialect d;
    Rows want;
  };
  const Case cases[] = {
      {"utf-16le quoting, doubled quote, line ends", u16("a,\"b,\"\"c\r\n\"\r\nd\n"), le,
       {{u16("a"), u16("b,\"c\r\n")}, {u16("d")}}},
      {"utf-16le units that hold a dialect byte", "\x0A\x2C\x2C\x0A" + u16(",x"), le, {{"\x0A\x2C\x2C\x0A", u16("x")}}},
      {"utf-16le BOM skipped, UTF-8 BOM kept", "\xFF\xFE" + u16("a") + "\n\x00\xEF\xBB\xBF\x00"s, le,
       {{u16("a")}, {"\xEF\xBB\xBF\x00"s}}},
      {"utf-16le odd last byte", u16("a,b") + "\x41", le, {{u16("a"), u16("b") + "\x41"}}},
      {"utf-16le escape", u16("\"a\\\"b\",c"), le_escape, {{u16("a\"b"), u16("c")}}},
      {"utf-16be", "\xFE\xFF" + u16("a,\"b\"\r\nc", true), be, {{u16("a", true), u16("b", true)}, {u16("c", true)}}},
      {"shift_jis trail byte is the escape", "\"\x95\x5C\x41\",\"\x95\x5C\x5C\"\"", sjis_escape,
       {{"\x95\x5C\x41", "\x95\x5C\""}}},
      {"shift_jis trail byte is the delimiter", "\x83\x7C|b\n\x83\x83\x7C|\nx|\x83\x7C", sjis_bar,
       {{"\x83\x7C", "b"}, {"\x83\x83", "", ""}, {"x", "\x83\x7C"}}},
      {"shift_jis trail given back", "\x85\x7C|\x83,", sjis_bar, {{"\x85", "", "\x83,"}}},
      {"shift_jis katakana delimiter", "\x83\xA1\xA1x", sjis_kana, {{"\x83\xA1", "x"}}},
      {"big5 trail byte is the escape", "\"\xA5\x5C\"\n", big5, {{"\xA5\x5C"}}},
      {"euc-kr trail given back", "\x81\x7C|b", euc_kr_bar, {{"\x81", "", "b"}}},
      {"euc-kr trail byte is the delimiter", "\x81\x41" "Ab", euc_kr_a, {{"\x81\x41", "b"}}},
      {"gb18030 four-byte sequence holds the delimiter", "\x81\x35\x81\x30" "5b\n\x81\x35x", gb_digit,
       {{"\x81\x35\x81\x30", "b"}, {"\x81", "x"}}},
      {"gb18030 two-byte", "\x81\x7C|a", gb_bar, {{"\x81\x7C", "a"}}},
      {"iso-2022-jp double-byte mode", "a,\x1B$B\x30\x2C\x30\x0A\x1B(B,b\n\x1B(,b", jis,
       {{"a", "\x1B$B\x30\x2C\x30\x0A\x1B(B", "b"}, {"\x1B(", "b"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expect_all_chunkings(c.input, c.d, c.want);
  }
}

// Under ISO-2022-JP an escape byte may stand right before a mode switch: the escape applies to the
// first character after the switch, and the field decodes to what its UTF-8 twin reads as, even
// where taking the escape byte out puts two switches side by side (which the decoder refuses).
TEST(CsvReader, EscapeBeforeAModeSwitchReadsLikeTheUtf8Twin) {
  const encoding::Encoding jis = *encoding::for_label("iso-2022-jp");
  const auto d = dialect_for(csv::Characters::iso2022jp, "iso-2022-jp", ',', '\\');
  const auto twin_dialect = dialect(',', '"', '\\');
  struct Case {
    const char* name;
    std::string twin;   // UTF-8
    std::string input;  // empty: the ISO-2022-JP encoder's bytes for the twin
  };
  const Case cases[] = {
      {"switch back to double-byte", "\"漢\\字\",x\n\"\\字\"\n", ""},
      {"two escapes, each before a switch", "\"漢\\字\\漢\",y", ""},
      {"katakana", "\"ｱ\\ｲ\"", "\"\x1B(I1\x1B(B\\\x1B(I2\x1B(B\""},
      {"the quote after a switch to Roman is escaped", "\"a\\\"b\",c", "\"a\\\x1B(J\"b\x1B(B\",c"},
      {"switch at the end of the input", "\"漢\\", "\"\x1B$B4A\x1B(B\\\x1B$B"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string input = c.input.empty() ? encoding::encode(jis, c.twin).bytes : c.input;
    const Rows want = read_all(c.twin, twin_dialect, 1 << 20, 1 << 30);
    for (std::size_t buffer : {1, 2, 3, 7, 64, 1 << 20}) {
      for (std::size_t chunk : {1, 3, 7, 1 << 30}) {
        SCOPED_TRACE("buffer " + std::to_string(buffer) + ", chunk " + std::to_string(chunk));
        Rows decoded = read_all(input, d, buffer, chunk);
        for (auto& row : decoded) {
          for (auto& field : row) {
            std::string text;
            EXPECT_TRUE(encoding::decode(jis, field, text)) << "field bytes refused by the decoder";
            field = text;
          }
        }
        EXPECT_EQ(decoded, want);
      }
    }
  }
}

TEST(CsvReader, MatchesReferenceOnRandomInput) {
  std::mt19937 rng(20240611);
  const unsigned char roles[] = {',', '"', '\\', ';', '\r', '\n'};
  const unsigned char bytes[] = {',', '"', '\\', ';', '\r', '\n', 'a', 'b', 0xEF, 0xBB, 0xBF};
  auto pick = [&](const auto& from) { return from[rng() % std::size(from)]; };
  for (int round = 0; round < 3000; ++round) {
    csv::Dialect d = dialect(pick(roles), pick(roles));
    if (rng() % 2) d.escape = pick(roles);
    d.skip_utf8_bom = rng() % 4 != 0;
    std::string input(rng() % 200, '\0');
    for (char& c : input) c = static_cast<char>(pick(bytes));
    if (rng() % 4 == 0) input.insert(0, "\xEF\xBB\xBF");
    const std::size_t buffer = 1 + rng() % 70;
    const std::size_t chunk = 1 + rng() % 90;
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_EQ(read_all(input, d, buffer, chunk), reference_read(input, d));
  }
}

// CSV shaped like real data, in one of a few dialects: mostly plain and properly quoted fields
// (the reader's fast path), now and then the rarer forms (doubled quotes, escapes, a tail after the
// closing quote, a quote inside an unquoted field, blank lines, every line end), and large enough
// to cross the reader's classification windows and many buffer refills.
std::string shaped_csv(std::mt19937& rng, const csv::Dialect& d, std::size_t records, std::size_t width = 0) {
  auto chance = [&](int percent) { return static_cast<int>(rng() % 100) < percent; };
  const char delimiter = static_cast<char>(d.delimiter);
  const char quote = static_cast<char>(d.quote);
  const std::string words[] = {"ann", "42", "3.14", "2024-01-31", "x y", "", "caf\xc3\xa9"};
  const std::string line_ends[] = {"\n", "\r\n", "\r"};
  std::string out;
  for (std::size_t r = 0; r < records; ++r) {
    const std::size_t fields = width != 0 && !chance(2) ? width : 1 + rng() % 12;
    for (std::size_t f = 0; f < fields; ++f) {
      if (f > 0) out += delimiter;
      std::string word = words[rng() % std::size(words)];
      if (chance(25)) {
        out += quote;
        out += word;
        if (chance(30)) out += delimiter;
        if (chance(10)) out += "\r\n";
        if (chance(8)) out += std::string(2, quote);
        if (d.escape && chance(8)) out += std::string{static_cast<char>(*d.escape), quote};
        out += word;
        out += quote;
        if (chance(3)) out += "tail";
      } else {
        out += word;
        if (chance(2)) out += quote;
      }
    }
    out += line_ends[rng() % std::size(line_ends)];
    if (chance(3)) out += "\n\r\n";
  }
  if (chance(50)) out.resize(out.size() - 1);  // no final line end, or half of a CR LF
  return out;
}

TEST(CsvReader, MatchesReferenceOnShapedData) {
  std::mt19937 rng(7);
  const csv::Dialect dialects[] = {dialect(), dialect(';', '\''), dialect('\t', '"', '\\'), dialect(',', '"', '"')};
  // Around the 64-byte blocks, and past the 16 KiB classification windows.
  const std::size_t buffers[] = {64, 65, 100, 1000, 4096, 16385, 40000, 1 << 20};
  for (int round = 0; round < 24; ++round) {
    const csv::Dialect& d = dialects[round % std::size(dialects)];
    const std::string input = shaped_csv(rng, d, round % 3 == 0 ? 3000 : 300);
    const Rows want = reference_read(input, d);
    for (std::size_t buffer : buffers) {
      const std::size_t chunk = rng() % 2 ? buffer : 1 + rng() % 5000;
      SCOPED_TRACE("round " + std::to_string(round) + ", buffer " + std::to_string(buffer) + ", chunk " +
                   std::to_string(chunk));
      ASSERT_EQ(read_all(input, d, buffer, chunk), want);
    }
  }
}

// Under each character structure, shaped data (crossing classification windows and refills) reads
// as the byte reader reads the same data with one ordinary byte in place of each character that
// holds a dialect byte; UTF-16 as the byte reader reads the low bytes.
TEST(CsvReader, CharacterStructuresOnShapedData) {
  using C = csv::Characters;
  struct Case {
    const char* name;
    csv::Dialect d;
    char stand_in;           // an ordinary byte of the shaped data
    std::string character;   // what takes its place; empty: every byte becomes a UTF-16 unit
  };
  const Case cases[] = {
      {"utf-16le", dialect_for(C::utf16le, "utf-16le", ',', '\\'), 0, ""},
      {"utf-16be", dialect_for(C::utf16be, "utf-16be", ';'), 0, ""},
      {"shift_jis", dialect_for(C::shift_jis, "shift_jis", '|', '\\'), 'y', "\x83\x7C\x95\x5C"},
      {"big5", dialect_for(C::big5, "big5", ',', '\\'), 'y', "\xA5\x5C"},
      {"gb18030 digit delimiter", dialect_for(C::gb18030, "gb18030", '5'), 'y', "\x81\x35\x81\x30"},
      {"iso-2022-jp", dialect_for(C::iso2022jp, "iso-2022-jp"), 'y', "\x1B$B\x30\x2C\x30\x22\x1B(B"},
  };
  auto widen = [](const std::string& bytes, const Case& c) {
    std::string out;
    for (char b : bytes) {
      if (c.character.empty()) {
        out += c.d.characters == C::utf16be ? std::string{'\0', b} : std::string{b, '\0'};
      } else {
        out += b == c.stand_in ? c.character : std::string(1, b);
      }
    }
    return out;
  };
  std::mt19937 rng(5);
  for (const Case& c : cases) {
    csv::Dialect plain = dialect(c.d.delimiter, c.d.quote, c.d.escape);
    const std::string narrow = shaped_csv(rng, plain, 2000);
    Rows want = reference_read(narrow, plain);
    for (auto& row : want) {
      for (auto& field : row) field = widen(field, c);
    }
    const std::string input = widen(narrow, c);
    for (std::size_t buffer : {64, 65, 1000, 16385, 40000, 1 << 20}) {
      const std::size_t chunk = rng() % 2 ? buffer : 1 + rng() % 5000;
      SCOPED_TRACE(std::string(c.name) + ", buffer " + std::to_string(buffer) + ", chunk " + std::to_string(chunk));
      ASSERT_EQ(read_all(input, c.d, buffer, chunk), want);
    }
  }
}

TEST(CsvReader, RawBytesParseToTheSameFields) {
  std::mt19937 rng(11);
  const csv::Dialect d = dialect(',', '"', '\\');
  csv::Dialect raw_dialect = d;
  raw_dialect.skip_utf8_bom = false;  // a raw record is never at the start of the input
  const std::string input = shaped_csv(rng, d, 2000);
  for (std::size_t buffer : {64, 4096, 1 << 20}) {
    SCOPED_TRACE("buffer " + std::to_string(buffer));
    TestSource source(input, 1 << 30);
    csv::Reader reader(source, d, buffer);
    csv::Record record;
    std::size_t whole = 0, records = 0;
    while (reader.next(record) == true) {
      ++records;
      const std::optional<std::string_view> raw = record.raw();
      if (!raw) continue;
      ++whole;
      std::vector<std::string> fields;
      for (std::size_t i = 0; i < record.size(); ++i) fields.emplace_back(record[i]);
      ASSERT_EQ(reference_read(std::string(*raw), raw_dialect), Rows{fields}) << "record " << records;
    }
    // Only records cut by a refill, and the last one, lack their raw bytes.
    EXPECT_GE(whole + input.size() / buffer + 2, records);
  }
}

// Two readers driven as a comparison drives them: records passed over as equal must be what
// next() would have read from both, and reading must go on right after them. Returns how many
// records were passed over.
// With `noted`, the skip also notes where the records it passes stand (at most `noted` of them),
// and every field split from there must be the field the reference reader gives.
std::size_t read_passing_equal_records(const std::string& a, const std::string& b, const csv::Dialect& d,
                                       std::size_t width, std::size_t buffer, std::size_t chunk_b,
                                       std::size_t noted = 0) {
  const Rows want_a = reference_read(a, d), want_b = reference_read(b, d);
  TestSource source_a(a, buffer), source_b(b, chunk_b);
  csv::Reader reader_a(source_a, d, buffer), reader_b(source_b, d, buffer);
  csv::Record record_a, record_b;
  csv::PassedRecords noted_records(noted);
  std::vector<std::string_view> split(width);
  std::string store;
  std::size_t at_a = 0, at_b = 0, passed_in_all = 0;
  for (bool more = true; more;) {
    const std::size_t passed = noted > 0 ? csv::skip_equal_records(reader_a, reader_b, width, noted_records)
                                         : csv::skip_equal_records(reader_a, reader_b, width);
    if (noted > 0) {
      EXPECT_LE(passed, noted);
      EXPECT_EQ(noted_records.size(), passed);
    }
    for (std::size_t k = 0; k < passed; ++k) {
      EXPECT_TRUE(at_a + k < want_a.size() && at_b + k < want_b.size());
      if (::testing::Test::HasFailure()) return 0;
      EXPECT_EQ(want_a[at_a + k], want_b[at_b + k]);
      EXPECT_EQ(want_a[at_a + k].size(), width) << "record " << at_a + k;
      if (noted == 0) continue;
      // All fields, then only the first: a shorter split gives the same leading fields.
      for (std::size_t count : {width, std::size_t{1}}) {
        noted_records.split(k, std::span(split).first(count), store);
        EXPECT_EQ(std::vector<std::string>(split.begin(), split.begin() + count),
                  std::vector<std::string>(want_a[at_a + k].begin(), want_a[at_a + k].begin() + count))
            << "record " << at_a + k;
      }
      EXPECT_EQ(noted_records.first_field(k, store), want_a[at_a + k][0]) << "record " << at_a + k;
    }
    at_a += passed;
    at_b += passed;
    passed_in_all += passed;
    more = false;
    for (auto [reader, record, at, want] :
         {std::tie(reader_a, record_a, at_a, want_a), std::tie(reader_b, record_b, at_b, want_b)}) {
      auto read = reader.next(record);
      EXPECT_EQ(read, at < want.size());
      if (::testing::Test::HasFailure()) return 0;
      if (!*read) continue;
      more = true;
      std::vector<std::string> fields;
      for (std::size_t i = 0; i < record.size(); ++i) fields.emplace_back(record[i]);
      EXPECT_EQ(fields, want[at]);
      ++at;
    }
  }
  return passed_in_all;
}

TEST(CsvReader, SkippingEqualRecordsPassesWhatReadingWould) {
  using csv::detail::Isa;
  // Quotes that begin a 64-byte block of the pass, which starts after the first record.
  const std::string a62(62, 'a');
  const struct {
    std::string input;
    std::size_t width;
  } crafted[] = {
      {"x\n" + a62 + "aa\"b,c\"\n", 1},    // a quote in an unquoted field: two fields
      {"x\n\"" + a62 + "\"\"b,c\"\n", 1},  // a doubled quote: one
      {"\"a\"b\"c,d\"\n\"a\"b\"c,d\"\n", 1},  // a quote in the tail after a closing quote: two
      // Fields split from the bytes: doubled quotes, a tail after the closing quote, empty quoted
      // fields, a delimiter and line ends inside quotes, CR LF and blank lines between records.
      {"h,h,h\nk,\"a\"\"b\",c\r\n\"x,y\",\"\",z\n\n\"p\"\"\"\"\",\"q\"tail,\"r\nr\"\n\"\"\"\",,\"\"\n", 3},
  };
  for (const auto& c : crafted) {
    SCOPED_TRACE(c.input);
    read_passing_equal_records(c.input, c.input, dialect(), c.width, 1 << 20, 1 << 20);
    read_passing_equal_records(c.input, c.input, dialect(), c.width, 1 << 20, 1 << 20, 2);
  }

  std::mt19937 rng(13);
  const csv::Dialect dialects[] = {dialect(), dialect(';', '\''), dialect('\t', '"', '\\'), dialect(',', '"', '"')};
  std::size_t passed_in_all = 0;
  for (int round = 0; round < 200; ++round) {
    const csv::Dialect& d = dialects[round % std::size(dialects)];
    const std::size_t width = 1 + rng() % 6;
    // Shaped data of one width gives long runs; bytes of every role, the forms that stop a run.
    std::string a;
    if (round % 2 == 0) {
      a = shaped_csv(rng, d, 400, width);
    } else {
      const char bytes[] = {static_cast<char>(d.delimiter), static_cast<char>(d.quote), '\\', '\r', '\n', 'a'};
      a.resize(rng() % 3000);
      for (char& c : a) c = bytes[rng() % std::size(bytes)];
    }
    std::string b = a;
    for (std::size_t k = rng() % 4; k > 0 && !b.empty(); --k) b[rng() % b.size()] ^= static_cast<char>(1 + rng() % 8);
    if (rng() % 3 == 0) b.insert(rng() % (b.size() + 1), 1, '\n');
    const std::size_t buffer = rng() % 2 ? std::size_t{1} << 20 : 64 + rng() % 2000;
    SCOPED_TRACE("round " + std::to_string(round) + ", buffer " + std::to_string(buffer));
    passed_in_all += read_passing_equal_records(a, b, d, width, buffer, 1 + rng() % buffer);
    ASSERT_FALSE(HasFailure());
    // Noting where the passed records stand, with room for few of them or for many.
    read_passing_equal_records(a, b, d, width, buffer, 1 + rng() % buffer, round % 3 == 0 ? 1 + rng() % 5 : 4096);
    ASSERT_FALSE(HasFailure());

    // Every kernel finds the same runs, at any alignment.
    const std::size_t from = std::min({a.size(), b.size(), std::size_t{rng() % 64}});
    const std::size_t size = std::min(a.size(), b.size()) - from;
    a.resize(a.size() + 64);
    b.resize(b.size() + 64);
    const auto* pa = reinterpret_cast<const unsigned char*>(a.data()) + from;
    const auto* pb = reinterpret_cast<const unsigned char*>(b.data()) + from;
    const csv::detail::EqualRecords want = csv::detail::equal_records(Isa::portable, d, pa, pb, size, width);
    for (Isa isa : {Isa::avx2, Isa::avx512bw}) {
      if (!csv::detail::runs(isa)) continue;
      const csv::detail::EqualRecords got = csv::detail::equal_records(isa, d, pa, pb, size, width);
      ASSERT_EQ(std::pair(got.records, got.bytes), std::pair(want.records, want.bytes));
    }
  }
  EXPECT_GT(passed_in_all, 10000u);
}

TEST(CsvReader, FieldsStayValidUntilTheNextReadIntoTheirRecord) {
  std::string input;
  for (int i = 0; i < 3000; ++i) input.append("k").append(std::to_string(i)).append(",\"v ").append(std::to_string(i)).append("\"\n");
  const Rows want = reference_read(input, dialect());
  auto fields_of = [](const csv::Record& record) {
    std::vector<std::string> fields;
    for (std::size_t i = 0; i < record.size(); ++i) fields.emplace_back(record[i]);
    return fields;
  };
  TestSource source(input, 1 << 30);
  csv::Record kept;
  csv::Record copied;
  {
    // A small buffer: every later record is read over a refilled buffer.
    csv::Reader reader(source, dialect(), 100);
    ASSERT_EQ(reader.next(kept), true);
    copied = kept;
    csv::Record other;
    for (int i = 1; i < 1000; ++i) ASSERT_EQ(reader.next(other), true);
    EXPECT_EQ(fields_of(kept), want[0]) << "read into another record";
    EXPECT_EQ(fields_of(other), want[999]);
    csv::Record moved(std::move(other));
    ASSERT_EQ(reader.next(kept), true);
    EXPECT_EQ(fields_of(moved), want[999]) << "moved, then the reader read on";
    EXPECT_EQ(fields_of(kept), want[1000]);
  }
  EXPECT_EQ(fields_of(kept), want[1000]) << "the reader is gone";
  EXPECT_EQ(fields_of(copied), want[0]);
  EXPECT_FALSE(copied.raw().has_value());
}

TEST(CsvClassifier, EveryInstructionSetFindsTheSameBytes) {
  using csv::detail::Isa;
  std::mt19937 rng(3);
  const std::size_t blocks = 40;
  std::vector<unsigned char> data(blocks * 64);
  for (int round = 0; round < 200; ++round) {
    const unsigned char roles[] = {',', '"', '\\', ';', '\t', 0x00, 0xFF, 0x80};
    csv::Dialect d = dialect(roles[rng() % std::size(roles)], roles[rng() % std::size(roles)]);
    if (rng() % 2) d.escape = roles[rng() % std::size(roles)];
    // Mostly the dialect's bytes, line ends and their neighbours, so that every lane meets them.
    for (unsigned char& byte : data) {
      const unsigned char near[] = {d.delimiter, d.quote, d.escape.value_or('x'), '\r', '\n'};
      byte = rng() % 3 ? static_cast<unsigned char>(near[rng() % std::size(near)] + rng() % 3 - 1)
                       : static_cast<unsigned char>(rng());
    }
    std::vector<std::uint64_t> want(blocks);
    csv::detail::classify(Isa::portable, d, data.data(), blocks, want.data());
    // And the byte ranges of the character structures, around the same bytes.
    unsigned char bounds[4];
    for (unsigned char& b : bounds) b = static_cast<unsigned char>(data[rng() % data.size()] + rng() % 3 - 1);
    std::sort(bounds, bounds + 2);
    std::sort(bounds + 2, bounds + 4);
    std::vector<std::uint64_t> want_ranges(blocks);
    csv::detail::mark_ranges(Isa::portable, data.data(), blocks, want_ranges.data(), bounds[0], bounds[1], bounds[2],
                             bounds[3]);
    for (Isa isa : {Isa::sse2, Isa::avx2, Isa::avx512bw}) {
      if (!csv::detail::runs(isa)) continue;
      SCOPED_TRACE("round " + std::to_string(round) + ", isa " + std::to_string(static_cast<int>(isa)));
      std::vector<std::uint64_t> got(blocks);
      csv::detail::classify(isa, d, data.data(), blocks, got.data());
      ASSERT_EQ(got, want);
      csv::detail::mark_ranges(isa, data.data(), blocks, got.data(), bounds[0], bounds[1], bounds[2], bounds[3]);
      ASSERT_EQ(got, want_ranges);
    }
  }
}

TEST(CsvReader, SourceErrorPassesThroughUnchanged) {
  for (std::size_t buffer : {1, 4, 1024}) {
    SCOPED_TRACE("buffer " + std::to_string(buffer));
    TestSource source("a\nb\n", 4, "read failed: disk on fire");
    csv::Reader reader(source, dialect(), buffer);
    csv::Record record;
    std::vector<std::string> seen;
    std::expected<bool, csv::ReadError> got;
    while ((got = reader.next(record)) && *got) seen.emplace_back(record[0]);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().text, "read failed: disk on fire");
    EXPECT_EQ(seen, (std::vector<std::string>{"a", "b"}));
  }
  TestSource at_once("", 4, "no such device");
  csv::Reader reader(at_once, dialect());
  csv::Record record;
  auto got = reader.next(record);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().text, "no such device");
}

TEST(CsvReader, FieldSpanningManyBuffers) {
  std::string big;
  for (int i = 0; big.size() < (3 << 20); ++i) big += "row " + std::to_string(i) + " \"q\", \r\n";
  std::string quoted;
  for (char c : big) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  std::string plain_big = big;
  std::erase_if(plain_big, [](char c) { return c == ',' || c == '\r' || c == '\n'; });
  const std::string input = "x,\"" + quoted + "\"," + plain_big + "\ny";
  for (std::size_t buffer : {4093, 1 << 20}) {
    SCOPED_TRACE("buffer " + std::to_string(buffer));
    const Rows want = {{"x", big, plain_big}, {"y"}};
    EXPECT_EQ(read_all(input, dialect(), buffer, 1 << 30), want);
  }
}

TEST(CsvReader, NoAllocationPerRecordOnceWarmed) {
  std::string input = std::string(5000, 'w') + ",\"" + std::string(3000, 'v') + "\"\n";
  for (int i = 0; i < 20000; ++i) input += std::to_string(i) + ",\"name " + std::to_string(i) + "\",,x\r\n";
  TestSource source(input, 1 << 30);
  csv::Reader reader(source, dialect(), 4096);
  csv::Record record;
  ASSERT_EQ(reader.next(record), true);  // the widest record first: storage reaches its size
  ASSERT_EQ(reader.next(record), true);
  g_allocations = 0;
  g_counting = true;
  std::size_t records = 1;
  while (reader.next(record) == true) ++records;
  g_counting = false;
  EXPECT_EQ(records, 20000u);
  EXPECT_EQ(g_allocations, 0u);
}

}  // namespace
