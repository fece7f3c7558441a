// The CSV reader: whatever the dialect, however the source cuts the bytes and whatever the
// reader's buffer size, the records are those of a plain byte-at-a-time reader; a record's raw
// bytes, when it has them, are its bytes in the input; fields stay valid for as long as promised
// while records are moved, copied, dropped and outlive their reader; every special-byte
// classifier this CPU runs agrees with a plain comparison; and records passed over as equal in two
// readers are those both would have read.
//
// Input: 8 bytes of settings, then the CSV bytes.
//   [0] delimiter  [1] quote  [2] escape  (a few usual bytes, or the byte itself when >= 0x80)
//   [3] bit 0: an escape byte is set; bit 1: the BOM is kept as data; bits 2-4: the character
//       structure (bytes, UTF-16LE, UTF-16BE, Shift_JIS, Big5, gb18030, EUC-KR, ISO-2022-JP)
//   [4] the reader's buffer size  [5] the largest random chunk  [6..7] the seed of the random choices
#include <algorithm>
#include <cstdio>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "csv/csv.h"
#include "csv/internal.h"
#include "encoding/encoding.h"
#include "fuzz_support.h"

namespace {

using Row = std::vector<std::string>;
using Rows = std::vector<Row>;

constexpr std::size_t kSettings = 8;
constexpr std::size_t kMiB = std::size_t{1} << 20;

// Roles come mostly from a short list, so that two roles often share a byte and the data often
// holds them; bytes from 0x80 up stand for themselves. None of them is CR or LF. The last ones can
// sit inside characters: a digit in gb18030's four-byte sequences, '(' and 'B' in ISO-2022-JP's
// escape sequences.
unsigned char role(unsigned char b) {
  constexpr unsigned char kRoles[] = {',', '"', '\\', ';', '\t', '\'', '|', 0x00, 0xEF, 0xBB, 0xBF, 'a', ' ', '5', '(', 'B'};
  return b >= 0x80 ? b : kRoles[b % std::size(kRoles)];
}

std::size_t buffer_size(unsigned char b) {
  // Around the scanner's 64-byte blocks and its 32-byte copies, and the default.
  constexpr std::size_t kSizes[] = {31, 32, 33, 63, 64, 65, 127, 128, 129, 255, 256, 4096, kMiB};
  return b < 64 ? std::size_t{1} + b : kSizes[b % std::size(kSizes)];
}

std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// How the source cuts the input: a fixed size per read, or sizes drawn from a generator seeded by
// the input. Optionally fails, once `fail_after` bytes are handed out, with kFailure.
class Source final : public csv::ByteSource {
 public:
  static constexpr std::string_view kFailure = "read failed: injected";

  Source(std::string_view data, std::size_t fixed_chunk, std::uint64_t seed = 0, std::size_t max_random_chunk = 0)
      : data_(data), fixed_chunk_(fixed_chunk), state_(seed), max_random_chunk_(max_random_chunk) {}

  void fail_after(std::size_t n) { fail_after_ = n; }

  std::expected<std::size_t, csv::ReadError> read(unsigned char* dst, std::size_t capacity) override {
    fuzz::require(!failed_, "the reader read again after its source failed");
    const std::size_t end = fail_after_ ? std::min(*fail_after_, data_.size()) : data_.size();
    if (at_ == end && fail_after_) {
      failed_ = true;
      return std::unexpected(csv::ReadError{std::string(kFailure)});
    }
    const std::size_t chunk = max_random_chunk_ ? 1 + splitmix64(state_) % max_random_chunk_ : fixed_chunk_;
    const std::size_t n = std::min({capacity, chunk, end - at_});
    if (n > 0) std::memcpy(dst, data_.data() + at_, n);
    at_ += n;
    return n;
  }

 private:
  std::string_view data_;
  std::size_t fixed_chunk_;
  std::uint64_t state_;
  std::size_t max_random_chunk_;
  std::optional<std::size_t> fail_after_;
  std::size_t at_ = 0;
  bool failed_ = false;
};

Row fields(const csv::Record& record) {
  Row row;
  for (std::size_t i = 0; i < record.size(); ++i) row.emplace_back(record[i]);
  return row;
}

// What the reference reader makes of the input: the records, and where each stands in the input
// (from its first byte up to the line end or end of input that closed it).
struct Parsed {
  Rows rows;
  std::vector<std::pair<std::size_t, std::size_t>> spans;
};

// One character as the encoding's decoder draws it: its bytes, and the dialect byte it may stand
// for (-1 for none); or an ISO-2022-JP mode switch.
struct Unit {
  std::size_t begin;
  std::size_t size;
  int value;
  bool mode_switch = false;
};

// The decoder's pair check, as the reader is told it.
bool pair_decodes(const char* label, unsigned char lead, unsigned char trail) {
  const char pair[] = {static_cast<char>(lead), static_cast<char>(trail)};
  std::string text;
  return encoding::decode(*encoding::for_label(label), std::string_view(pair, 2), text);
}

const char* label_of(csv::Characters characters) {
  switch (characters) {
    case csv::Characters::shift_jis:
      return "shift_jis";
    case csv::Characters::big5:
      return "big5";
    case csv::Characters::gb18030:
      return "gb18030";
    case csv::Characters::euc_kr:
      return "euc-kr";
    case csv::Characters::bytes:
    case csv::Characters::utf16le:
    case csv::Characters::utf16be:
    case csv::Characters::iso2022jp:
      return nullptr;
  }
  return nullptr;
}

// Splits the input, from `i`, into characters the plain way, one decoder step after another.
std::vector<Unit> characters(std::string_view in, std::size_t i, csv::Characters ch) {
  using C = csv::Characters;
  std::vector<Unit> units;
  const std::size_t n = in.size();
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(in[k]); };
  auto unit = [&](std::size_t size, int value, bool mode_switch = false) {
    units.push_back({i, size, value, mode_switch});
    i += size;
  };
  int mode = 0;  // ISO-2022-JP: 0 ASCII, 1 Roman, 2 katakana, 3 double-byte
  while (i < n) {
    const unsigned char b = at(i);
    switch (ch) {
      case C::bytes:
        unit(1, b);
        break;
      case C::utf16le:
      case C::utf16be: {
        if (i + 1 == n) {
          unit(1, -1);
          break;
        }
        const unsigned char high = ch == C::utf16le ? at(i + 1) : b;
        const unsigned char low = ch == C::utf16le ? b : at(i + 1);
        unit(2, high == 0 ? low : -1);
        break;
      }
      case C::iso2022jp: {
        if (b == 0x1B) {
          int next = -1;
          if (i + 2 < n) {
            const unsigned char x = at(i + 1), y = at(i + 2);
            if (x == '(' && y == 'B') next = 0;
            if (x == '(' && y == 'J') next = 1;
            if (x == '(' && y == 'I') next = 2;
            if (x == '$' && (y == '@' || y == 'B')) next = 3;
          }
          if (next >= 0) {
            mode = next;
            unit(3, -1, true);
          } else {
            unit(1, -1);
          }
          break;
        }
        unit(1, mode <= 1 ? b : -1);
        break;
      }
      case C::shift_jis:
      case C::big5:
      case C::gb18030:
      case C::euc_kr: {
        const bool sjis = ch == C::shift_jis;
        const bool lead = sjis ? (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC) : b >= 0x81 && b <= 0xFE;
        if (!lead) {
          unit(1, b);
          break;
        }
        if (i + 1 == n) {
          unit(1, -1);
          break;
        }
        const unsigned char t = at(i + 1);
        auto is_lead = [](unsigned char x) { return x >= 0x81 && x <= 0xFE; };
        if (ch == C::gb18030 && t >= '0' && t <= '9') {
          if (i + 2 == n || (is_lead(at(i + 2)) && (i + 3 == n || (at(i + 3) >= '0' && at(i + 3) <= '9')))) {
            unit(std::min<std::size_t>(4, n - i), -1);  // four bytes, or the input ends inside
          } else {
            unit(1, -1);  // the digit is given back
          }
          break;
        }
        const unsigned char trail_low = ch == C::euc_kr ? 0x41 : 0x40;
        if (t >= 0x80 || (t >= trail_low && t <= 0x7E && pair_decodes(label_of(ch), b, t))) {
          unit(2, -1);
        } else {
          unit(1, -1);  // an ASCII byte the decoder gives back
        }
        break;
      }
    }
  }
  return units;
}

// Whether `field` ends with an ISO-2022-JP mode switch.
bool ends_with_mode_switch(const std::string& field) {
  if (field.size() < 3 || field[field.size() - 3] != '\x1B') return false;
  const std::string_view tail = std::string_view(field).substr(field.size() - 2);
  return tail == "(B" || tail == "(J" || tail == "(I" || tail == "$@" || tail == "$B";
}

// Deliberately plain reader over the characters found first, the yardstick for the fast one.
// Blank lines give no record; a quote opens a quoted field only as its first character; inside, a
// doubled quote is one quote, the escape takes the next character as it is, and after the closing
// quote the field goes on unquoted up to the delimiter or line end.
Parsed reference_read(std::string_view in, const csv::Dialect& d) {
  using C = csv::Characters;
  Parsed parsed;
  std::size_t from = 0;
  if (d.skip_utf8_bom) {
    if (d.characters == C::utf16le && in.starts_with("\xFF\xFE")) from = 2;
    else if (d.characters == C::utf16be && in.starts_with("\xFE\xFF")) from = 2;
    else if (d.characters != C::utf16le && d.characters != C::utf16be && in.starts_with("\xEF\xBB\xBF")) from = 3;
  }
  const std::vector<Unit> units = characters(in, from, d.characters);
  std::size_t i = 0;
  auto at_end = [&] { return i >= units.size(); };
  auto is = [&](std::size_t k, int value) { return units[k].value == value; };
  auto line_end = [&](std::size_t k) { return is(k, '\r') || is(k, '\n'); };
  auto bytes = [&](std::size_t k) { return in.substr(units[k].begin, units[k].size); };
  for (;;) {
    while (!at_end() && line_end(i)) ++i;
    if (at_end()) return parsed;
    const std::size_t start = units[i].begin;
    std::size_t end = in.size();
    auto& row = parsed.rows.emplace_back();
    for (bool record_open = true; record_open;) {
      std::string field;
      bool quoted = !at_end() && is(i, d.quote);
      if (quoted) ++i;
      for (;;) {
        if (at_end()) {
          record_open = false;
          break;
        }
        const std::size_t c = i++;
        if (quoted) {
          if (is(c, d.quote)) {
            if (!at_end() && is(i, d.quote)) {
              field += bytes(i++);
              continue;
            }
            quoted = false;
            if (at_end()) {
              record_open = false;
              break;
            }
            if (is(i, d.delimiter)) {
              ++i;
              break;
            }
            if (line_end(i)) {
              end = units[i++].begin;
              record_open = false;
              break;
            }
            field += bytes(i++);
          } else if (d.escape && is(c, *d.escape)) {
            // ISO-2022-JP: the escape takes the first character after any mode switches, which
            // stay in the field; a switch the field ends with gives way to each (two in a row do
            // not decode, and the earlier one changes nothing).
            while (!at_end() && units[i].mode_switch) {
              if (ends_with_mode_switch(field)) field.resize(field.size() - 3);
              field += bytes(i++);
            }
            if (!at_end()) field += bytes(i++);
          } else {
            field += bytes(c);
          }
        } else if (is(c, d.delimiter)) {
          break;
        } else if (line_end(c)) {
          end = units[c].begin;
          record_open = false;
          break;
        } else {
          field += bytes(c);
        }
      }
      row.push_back(std::move(field));
    }
    parsed.spans.emplace_back(start, end);
  }
}

std::string describe(const Rows& rows) {
  std::string out;
  for (const auto& row : rows) {
    out += "  [";
    for (std::size_t i = 0; i < row.size(); ++i) out += (i ? "|" : "") + fuzz::printable(row[i], 60);
    out += "]\n";
    if (out.size() > 4000) return out + "  ...\n";
  }
  return out;
}

struct Case {
  std::string_view input;
  csv::Dialect dialect;
  std::size_t buffer = 0;
  std::size_t max_random_chunk = 0;
  std::uint64_t seed = 0;
  Parsed want;

  std::string text() const {
    auto byte = [](unsigned char b) { return fuzz::printable(std::string(1, static_cast<char>(b))); };
    return "delimiter " + byte(dialect.delimiter) + ", quote " + byte(dialect.quote) + ", escape " +
           (dialect.escape ? byte(*dialect.escape) : std::string("none")) +
           (dialect.skip_utf8_bom ? "" : ", BOM kept") + ", characters " +
           std::to_string(static_cast<int>(dialect.characters)) + ", buffer " + std::to_string(buffer);
  }
};

struct ReadOutcome {
  Rows rows;
  std::optional<std::string> error;
};

// Reads everything, checking each record's raw bytes against where the reference puts it.
ReadOutcome read_all(const Case& c, Source& source, const std::string& how) {
  csv::Reader reader(source, c.dialect, c.buffer);
  csv::Record record;
  ReadOutcome out;
  for (;;) {
    auto more = reader.next(record);
    if (!more) {
      out.error = std::move(more.error().text);
      return out;
    }
    if (!*more) break;
    const std::size_t k = out.rows.size();
    out.rows.push_back(fields(record));
    if (const auto raw = record.raw(); raw && k < c.want.spans.size()) {
      const auto [start, end] = c.want.spans[k];
      if (*raw != c.input.substr(start, end - start)) {
        fuzz::fail("raw bytes of record " + std::to_string(k + 1) + " are " + fuzz::printable(*raw) + ", want " +
                   fuzz::printable(c.input.substr(start, end - start)) + " (" + how + ", " + c.text() + ")");
      }
    }
  }
  auto again = reader.next(record);
  fuzz::require(again.has_value() && !*again, "an exhausted reader read again");
  fuzz::require(record.size() == 0, "the record is not empty after the end of input");
  return out;
}

void expect_same(const Rows& got, const Rows& want, const std::string& how) {
  if (got == want) return;
  fuzz::fail("records differ from the reference when " + how + "\ngot " + std::to_string(got.size()) +
             " records:\n" + describe(got) + "want " + std::to_string(want.size()) + " records:\n" + describe(want));
}

// Records kept while the reader goes on, each kept by a different route (moved, copied, moved or
// copied into an existing record, or not kept at all), then outliving the reader: every kept
// record must still hold its fields after each later read and after the reader is gone.
void check_lifetimes(const Case& c) {
  struct Kept {
    csv::Record record;
    std::size_t index;
  };
  std::uint64_t choices = c.seed ^ 0x5DEECE66DULL;
  Source source(c.input, 0, c.seed, c.max_random_chunk);
  std::optional<csv::Reader> reader(std::in_place, source, c.dialect, c.buffer);
  std::vector<Kept> kept;
  auto verify = [&](const char* when) {
    for (const Kept& k : kept) {
      if (fields(k.record) != c.want.rows[k.index]) {
        fuzz::fail("record " + std::to_string(k.index + 1) + " changed " + when + " (" + c.text() + "): now\n" +
                   describe({fields(k.record)}) + "want\n" + describe({c.want.rows[k.index]}));
      }
    }
  };
  for (std::size_t index = 0;; ++index) {
    csv::Record record;
    auto more = reader->next(record);
    fuzz::require(more.has_value(), "the reader failed on a source that does not");
    verify("after a read into another record");
    if (!*more) break;
    if (index >= c.want.rows.size() || fields(record) != c.want.rows[index]) {
      fuzz::fail("record " + std::to_string(index + 1) + " differs from the reference when read into a new record (" +
                 c.text() + ")");
    }
    switch (splitmix64(choices) % 5) {
      case 0:
        kept.push_back({std::move(record), index});
        break;
      case 1:
        kept.push_back({record, index});
        break;
      case 2: {
        csv::Record other;
        other = std::move(record);
        kept.push_back({std::move(other), index});
        break;
      }
      case 3: {
        csv::Record other;
        other = record;
        kept.push_back({std::move(other), index});
        break;
      }
      default:  // dropped while its fields may still point into the reader's buffer
        break;
    }
    if (kept.size() > 4) kept.erase(kept.begin());
  }
  reader.reset();
  verify("after its reader was destroyed");
}

// Every classifier this CPU runs marks exactly the bytes a plain comparison finds; the reader
// itself only uses the widest one.
void check_classifiers(const Case& c) {
  const std::size_t blocks = c.input.size() / 64;
  if (blocks == 0) return;
  const auto* bytes = reinterpret_cast<const unsigned char*>(c.input.data());
  std::vector<std::uint64_t> want(blocks, 0);
  for (std::size_t i = 0; i < blocks * 64; ++i) {
    const unsigned char b = bytes[i];
    const bool special = b == c.dialect.delimiter || b == c.dialect.quote || b == '\r' || b == '\n' ||
                         (c.dialect.escape && b == *c.dialect.escape);
    if (special) want[i / 64] |= std::uint64_t{1} << (i % 64);
  }
  using csv::detail::Isa;
  constexpr std::pair<Isa, const char*> kIsas[] = {
      {Isa::portable, "portable"}, {Isa::sse2, "sse2"}, {Isa::avx2, "avx2"}, {Isa::avx512bw, "avx512bw"}};
  std::vector<std::uint64_t> got(blocks);
  for (const auto& [isa, name] : kIsas) {
    if (!csv::detail::runs(isa)) continue;
    std::fill(got.begin(), got.end(), ~std::uint64_t{0});
    csv::detail::classify(isa, c.dialect, bytes, blocks, got.data());
    for (std::size_t b = 0; b < blocks; ++b) {
      if (got[b] != want[b]) {
        char masks[80];
        std::snprintf(masks, sizeof masks, "%016llx, want %016llx", static_cast<unsigned long long>(got[b]),
                      static_cast<unsigned long long>(want[b]));
        fuzz::fail(std::string("the ") + name + " classifier marks block " + std::to_string(b) + " as " + masks +
                   " (" + c.text() + ")");
      }
    }
  }
}

// Two readers driven as a comparison drives them, over the input and a copy with one byte changed:
// whatever skip_equal_records passes over is what both would have read next, equal and of the
// width asked for, and reading goes on with the right records after it.
void check_skipping_equal_records(const Case& c) {
  std::string other(c.input);
  std::uint64_t choices = c.seed;
  if (!other.empty() && splitmix64(choices) % 4 != 0) other[splitmix64(choices) % other.size()] ^= 1;
  const Parsed want_other = reference_read(other, c.dialect);
  const std::size_t width = c.want.rows.empty() ? 1 : c.want.rows.back().size();
  Source source(c.input, 0, c.seed, c.max_random_chunk), other_source(other, c.buffer);
  csv::Reader reader(source, c.dialect, c.buffer), other_reader(other_source, c.dialect, c.buffer);
  csv::Record record, other_record;
  std::size_t at = 0, other_at = 0;
  for (bool more = true; more;) {
    const std::size_t passed = csv::skip_equal_records(reader, other_reader, width);
    for (std::size_t k = 0; k < passed; ++k, ++at, ++other_at) {
      const bool right = at < c.want.rows.size() && other_at < want_other.rows.size() &&
                         c.want.rows[at] == want_other.rows[other_at] && c.want.rows[at].size() == width;
      if (!right) fuzz::fail("skipped record " + std::to_string(at + 1) + " is not an equal one of width " +
                             std::to_string(width) + " in both (" + c.text() + ")");
    }
    more = false;
    for (auto [r, rec, i, rows] : {std::tie(reader, record, at, c.want.rows), std::tie(other_reader, other_record, other_at, want_other.rows)}) {
      auto read = r.next(rec);
      fuzz::require(read.has_value(), "the reader failed on a source that does not");
      if (*read != (i < rows.size()) || (*read && fields(rec) != rows[i])) {
        fuzz::fail("after skipping equal records, record " + std::to_string(i + 1) + " differs from the reference (" +
                   c.text() + ")");
      }
      more = more || *read;
      i += *read ? 1 : 0;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  unsigned char settings[kSettings] = {};
  if (size > 0) std::memcpy(settings, data, std::min(size, kSettings));
  Case c;
  c.input = size > kSettings ? std::string_view(reinterpret_cast<const char*>(data) + kSettings, size - kSettings)
                             : std::string_view();
  c.dialect.delimiter = role(settings[0]);
  c.dialect.quote = role(settings[1]);
  if (settings[3] & 1) c.dialect.escape = role(settings[2]);
  c.dialect.skip_utf8_bom = !(settings[3] & 2);
  c.dialect.characters = static_cast<csv::Characters>(settings[3] >> 2 & 7);
  if (const char* label = label_of(c.dialect.characters)) {
    c.dialect.pair_is_character = [label](unsigned char lead, unsigned char trail) {
      return pair_decodes(label, lead, trail);
    };
  }
  c.buffer = buffer_size(settings[4]);
  c.max_random_chunk = std::size_t{1} + settings[5];
  c.seed = (std::uint64_t{settings[6]} << 8 | settings[7]) ^ size;
  c.want = reference_read(c.input, c.dialect);

  // The buffer size comes from the settings (the default 1 MiB among the choices), so that the
  // costly default buffer is not built on every input.
  struct Cut {
    const char* name;
    std::size_t fixed;
    std::size_t max_random;
  };
  const Cut cuts[] = {{"1-byte reads", 1, 0}, {"random reads", 0, c.max_random_chunk}, {"1 MiB reads", kMiB, 0}};
  for (const Cut& cut : cuts) {
    Source source(c.input, cut.fixed, c.seed, cut.max_random);
    ReadOutcome got = read_all(c, source, cut.name);
    if (got.error) fuzz::fail("the reader failed on a source that does not: " + *got.error);
    expect_same(got.rows, c.want.rows, std::string(cut.name) + " (" + c.text() + ")");
  }

  check_lifetimes(c);
  check_classifiers(c);
  check_skipping_equal_records(c);

  // A source failing part-way: its error comes through unchanged, and every record delivered
  // before it is one the whole input has too.
  const std::size_t fail_after = c.input.empty() ? 0 : c.seed % (c.input.size() + 1);
  Source failing(c.input, 0, c.seed, c.max_random_chunk);
  failing.fail_after(fail_after);
  ReadOutcome cut_short = read_all(c, failing, "failing after " + std::to_string(fail_after) + " bytes");
  if (cut_short.error != Source::kFailure) {
    fuzz::fail("the source's failure after " + std::to_string(fail_after) + " bytes came through as " +
               (cut_short.error ? fuzz::printable(*cut_short.error) : std::string("no error")));
  }
  const bool prefix = cut_short.rows.size() <= c.want.rows.size() &&
                      std::equal(cut_short.rows.begin(), cut_short.rows.end(), c.want.rows.begin());
  if (!prefix) {
    fuzz::fail("records read before a source failure after " + std::to_string(fail_after) +
               " bytes are not the first records of the input (" + c.text() + ")\ngot:\n" +
               describe(cut_short.rows) + "want a prefix of:\n" + describe(c.want.rows));
  }
  return 0;
}
