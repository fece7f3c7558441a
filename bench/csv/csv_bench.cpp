// Reads a generated 12-column CSV held in memory and prints the reader's throughput.
//
// usage: csv_bench [megabytes=256] [runs=5] [data=bytes]
// The data is the same on every run and machine: a fixed-seed generator, no files. Besides the
// plain data (bytes), the same shape with Japanese words among the names and notes, read under
// the encoding's character structure: utf16le, utf16be, shift_jis, shift_jis-pipe (delimiter '|'
// and escape '\\', which trail bytes of Shift_JIS characters hold).
#include <algorithm>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "csv/csv.h"
#include "encoding/encoding.h"

namespace {

// Small deterministic generator (xorshift64*), so the data does not depend on the library's
// distributions.
class Rng {
 public:
  std::uint64_t next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 2685821657736338717ULL;
  }
  std::uint64_t below(std::uint64_t n) { return next() % n; }

 private:
  std::uint64_t state_ = 0x9E3779B97F4A7C15ULL;
};

const char* const kFirst[] = {"Anna", "Bartholomew", "Chen", "Dolores", "Emil", "Fatima", "Gustav",
                              "Hiroshi", "Ines", "Jean-Luc", "Katarzyna", "Liam"};
const char* const kLast[] = {"Okafor", "Smith", "van der Berg", "Nakamura", "O'Neil", "Lindqvist",
                             "Moreau", "Kowalski", "Haddad", "Ferreira"};
const char* const kStatus[] = {"active", "closed", "pending", "suspended"};
const char* const kWords[] = {"delivery", "late", "customer", "asked", "for", "a", "refund", "box",
                              "damaged", "ok", "call", "back", "next", "week", "invoice", "sent"};
// UTF-8; several hold 0x5C or 0x7C as a trail byte in Shift_JIS (表, ポ, ソ, 能, 十).
const char* const kJapaneseWords[] = {"配送", "遅延", "表示", "ポイント", "返金", "確認", "ソフト", "能力", "十分"};
const char* const kJapaneseLast[] = {"山田", "佐藤", "表", "能登"};

// id, first, last, amount, price, quantity, date, timestamp, country, status, email, note.
// About one note in four is quoted, some holding delimiters and doubled quotes.
// With `japanese`, about half the last names and note words are Japanese (as UTF-8).
std::string generate(std::size_t bytes, bool japanese = false, char delimiter = ',') {
  Rng rng;
  std::string out = "id,first_name,last_name,amount,price,quantity,date,updated,country,status,email,note\r\n";
  out.reserve(bytes + 512);
  char buf[64];
  for (std::uint64_t id = 1; out.size() < bytes; ++id) {
    const char* first = kFirst[rng.below(std::size(kFirst))];
    const char* last = kLast[rng.below(std::size(kLast))];
    if (japanese && rng.below(2) == 0) last = kJapaneseLast[rng.below(std::size(kJapaneseLast))];
    std::snprintf(buf, sizeof buf, "%llu,", static_cast<unsigned long long>(id));
    out += buf;
    out += first;
    out += ',';
    out += last;
    std::snprintf(buf, sizeof buf, ",%llu.%02llu,%llu.%04llu,%llu,", static_cast<unsigned long long>(rng.below(100000)),
                  static_cast<unsigned long long>(rng.below(100)), static_cast<unsigned long long>(rng.below(1000)),
                  static_cast<unsigned long long>(rng.below(10000)), static_cast<unsigned long long>(rng.below(500)));
    out += buf;
    std::snprintf(buf, sizeof buf, "20%02llu-%02llu-%02llu,2024-%02llu-%02lluT%02llu:%02llu:%02llu,",
                  static_cast<unsigned long long>(rng.below(25)), static_cast<unsigned long long>(1 + rng.below(12)),
                  static_cast<unsigned long long>(1 + rng.below(28)), static_cast<unsigned long long>(1 + rng.below(12)),
                  static_cast<unsigned long long>(1 + rng.below(28)), static_cast<unsigned long long>(rng.below(24)),
                  static_cast<unsigned long long>(rng.below(60)), static_cast<unsigned long long>(rng.below(60)));
    out += buf;
    out.append("DEFRNLUSJPBR" + 2 * rng.below(6), 2);  // a two-letter country code
    out += ',';
    out += kStatus[rng.below(std::size(kStatus))];
    out += ',';
    out += first;
    out += '.';
    out += last;
    out += "@example.com,";
    const bool quoted = rng.below(4) == 0;
    if (quoted) out += '"';
    for (std::uint64_t w = 0, n = 2 + rng.below(10); w < n; ++w) {
      if (w != 0) out += quoted && rng.below(5) == 0 ? ", " : " ";
      out += japanese && rng.below(2) == 0 ? kJapaneseWords[rng.below(std::size(kJapaneseWords))]
                                           : kWords[rng.below(std::size(kWords))];
    }
    if (quoted && rng.below(3) == 0) out += " \"\"urgent\"\"";
    if (quoted) out += '"';
    out += "\r\n";
  }
  if (delimiter != ',') std::replace(out.begin(), out.end(), ',', delimiter);
  return out;
}

// UTF-8 text (all in the Basic Multilingual Plane) as UTF-16 code units.
std::string to_utf16(const std::string& text, bool big_endian) {
  std::string out;
  out.reserve(text.size() * 2);
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    unsigned cp = b;
    std::size_t n = 1;
    if (b >= 0xE0) {
      cp = (b & 0x0Fu) << 12 | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6 |
           (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
      n = 3;
    } else if (b >= 0xC0) {
      cp = (b & 0x1Fu) << 6 | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
      n = 2;
    }
    const char high = static_cast<char>(cp >> 8), low = static_cast<char>(cp & 0xFF);
    out += big_endian ? high : low;
    out += big_endian ? low : high;
    i += n;
  }
  return out;
}

// The data and the reader's dialect for the name given on the command line.
bool prepare(const std::string& name, std::size_t bytes, std::string& data, csv::Dialect& dialect) {
  auto pairs_of = [](const char* label) {
    const encoding::Encoding e = *encoding::for_label(label);
    return [e](unsigned char lead, unsigned char trail) {
      const char pair[] = {static_cast<char>(lead), static_cast<char>(trail)};
      std::string text;
      return encoding::decode(e, std::string_view(pair, 2), text);
    };
  };
  if (name == "bytes") {
    data = generate(bytes);
  } else if (name == "utf16le" || name == "utf16be") {
    const bool big_endian = name == "utf16be";
    data = to_utf16(generate(bytes / 2, true), big_endian);
    dialect.characters = big_endian ? csv::Characters::utf16be : csv::Characters::utf16le;
  } else if (name == "shift_jis" || name == "shift_jis-pipe") {
    const bool pipe = name == "shift_jis-pipe";
    data = encoding::encode(*encoding::for_label("shift_jis"), generate(bytes, true, pipe ? '|' : ',')).bytes;
    dialect.characters = csv::Characters::shift_jis;
    dialect.pair_is_character = pairs_of("shift_jis");
    if (pipe) {
      dialect.delimiter = '|';
      dialect.escape = '\\';
    }
  } else {
    return false;
  }
  return true;
}

// Serves the data in reads of the size asked for, as a file would.
class MemorySource : public csv::ByteSource {
 public:
  explicit MemorySource(const std::string& data) : data_(data) {}
  std::expected<std::size_t, csv::ReadError> read(unsigned char* dst, std::size_t capacity) override {
    const std::size_t n = std::min(capacity, data_.size() - at_);
    std::memcpy(dst, data_.data() + at_, n);
    at_ += n;
    return n;
  }

 private:
  const std::string& data_;
  std::size_t at_ = 0;
};

// CPU time of this thread: unlike wall time, not inflated when other work shares the machine.
double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::string name = argc > 3 ? argv[3] : "bytes";
  std::string data;
  csv::Dialect dialect;
  if (!prepare(name, megabytes << 20, data, dialect)) {
    std::fprintf(stderr, "csv_bench: unknown data '%s'\n", name.c_str());
    return 2;
  }

  std::vector<double> wall_rates, cpu_rates;
  std::size_t records = 0, fields = 0, field_bytes = 0;
  for (int run = 0; run < runs; ++run) {
    MemorySource source(data);
    csv::Reader reader(source, dialect);
    csv::Record record;
    records = fields = field_bytes = 0;
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = thread_seconds();
    for (;;) {
      auto more = reader.next(record);
      if (!more) {
        std::fprintf(stderr, "csv_bench: %s\n", more.error().text.c_str());
        return 1;
      }
      if (!*more) break;
      ++records;
      fields += record.size();
      field_bytes += record[record.size() - 1].size();
    }
    const double cpu = thread_seconds() - cpu_start;
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    wall_rates.push_back(static_cast<double>(data.size()) / took.count() / 1e9);
    cpu_rates.push_back(static_cast<double>(data.size()) / cpu / 1e9);
  }
  std::printf("%s: %.1f MB, %zu records, %zu fields (%.2f per record), last-field bytes %zu\n",
              name.c_str(), static_cast<double>(data.size()) / 1e6, records, fields,
              static_cast<double>(fields) / static_cast<double>(records), field_bytes);
  std::printf("throughput over %d runs: wall time best %.2f GB/s, median %.2f GB/s; thread CPU time "
              "best %.2f GB/s, median %.2f GB/s\n",
              runs, *std::max_element(wall_rates.begin(), wall_rates.end()), median(wall_rates),
              *std::max_element(cpu_rates.begin(), cpu_rates.end()), median(cpu_rates));
  return 0;
}
