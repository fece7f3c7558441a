// End-to-end speed of the engine against plain hashing of the same files.
//
// Positional cases (1 to 5): deterministic 12-column CSV pairs (ids, names, e-mail, decimals,
// dates, timestamps, free text, some quoted fields) in five shapes: byte-identical, 0.01% of cells
// differing, quoted-heavy with 0.01% differing, 10% differing (a large report), and equal sizes
// with one cell differing in the last record ("late"). On each warm pair it runs
// `openssl dgst -sha256 expected actual` and the built engine alternately, --repeat times each,
// and reports the median wall time of both, the median of the per-run ratios, the CPU time
// (user + system, from wait4) and the engine's peak RSS (the highest of the runs). The CPU ratio
// is the steadier one on a machine busy with other work; the wall ratio is what the targets are
// stated in.
//
// Keyed cases (6 to 13): 10-column records of about 100 bytes with a unique 12-digit zero-padded
// key first (so that byte order is number order), pairing by that key: byte-identical files;
// sorted files with 0.01% of the non-key cells differing, under keyOrder SORTED and ANY; one
// record inserted after the first 1,000; the 0.01% pair with the actual side shuffled, and with
// both sides shuffled (default sort budget and 1 MiB); sorted with 10% differing. Each round runs
// openssl, the keyed request and the same request without keyColumns (positional, same files)
// one after the other, and for the 1 MiB case also the default budget. The table gives the
// ratios keyed/positional and keyed/openssl (medians of the per-round ratios), the peak RSS of
// both engine runs against the bound of the case, and checks the keyed report's line count
// against the number of cells the generator changed.
//
//   compare_bench [--mb N] [--dir D] [--binary PATH] [--repeat N] [--case N]
//                 [--suite all|positional|keyed] [--keep] [--reuse]
//
// --mb is the size of each file of a pair (default 200; --mb 1024 for the 1 GB runs). The
// generated data and reports are removed afterwards unless --keep is given; --reuse takes the data
// a --keep run left in --dir (same --mb) instead of generating it again. --case runs only the given
// case (1 to 13), --suite only one group.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#ifndef TESSAMER_BINARY
#define TESSAMER_BINARY "tessamer"
#endif

namespace {

struct Random {
  std::uint64_t state;
  std::uint64_t next() {  // splitmix64
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  std::uint64_t below(std::uint64_t n) { return next() % n; }
  bool chance(double p) { return static_cast<double>(next() >> 11) * 0x1.0p-53 < p; }
};

constexpr std::string_view kFirst[] = {"Ann", "Bob", "Chloé", "Dmitri", "Eve", "Fatima", "Gustav", "Hiro",
                                       "Ines", "José", "Kwame", "Lena", "Mateo", "Nora", "Olu", "Priya"};
constexpr std::string_view kLast[] = {"Smith", "Okafor", "Müller", "Tanaka", "García", "Novak", "Rossi",
                                      "Nguyen", "Kowalski", "O'Brien", "Silva", "Haddad", "Larsen", "Ivanova"};
constexpr std::string_view kStatus[] = {"NEW", "PAID", "SHIPPED", "DELIVERED", "RETURNED", "CANCELLED"};
constexpr std::string_view kCity[] = {"Lisbon", "Osaka", "Washington, D.C.", "Zürich", "Lagos", "Austin",
                                      "São Paulo", "Kraków", "Seoul", "Nairobi, Kenya"};
constexpr std::string_view kWords[] = {"fast",  "delivery", "box",     "damaged", "gift",   "wrap",  "please",
                                       "call",  "before",   "arrival", "left",    "at",     "door",  "customer",
                                       "asked", "for",      "invoice", "the",     "second", "order", "item"};

template <std::size_t N>
std::string_view pick(Random& random, const std::string_view (&list)[N]) {
  return list[random.below(N)];
}

struct Shape {
  const char* name;
  double differ;        // fraction of cells changed in the actual file
  bool quoted_heavy;    // quote every text field, with delimiters and quotes inside
  bool late;            // one digit of the last record's id changed, sizes kept equal
  double target_ratio;  // allowed wall time relative to hashing both files
};

// Appends one CSV field, quoting it when asked or when it needs it.
void append_field(std::string& out, std::string_view text, bool quote) {
  if (!quote && text.find_first_of(",\"\n\r") == std::string_view::npos) {
    out.append(text);
    return;
  }
  out.push_back('"');
  for (char c : text) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
}

// The twelve cell texts of row `id`.
void make_row(Random& random, std::uint64_t id, bool quoted_heavy, std::vector<std::string>& cells) {
  for (auto& cell : cells) cell.clear();
  std::string_view first = pick(random, kFirst), last = pick(random, kLast);
  cells[0] = std::to_string(id);
  cells[1].append(first).append(" ").append(last);
  cells[2].append(first).append(".").append(last).append(std::to_string(random.below(100))).append("@example.com");
  cells[3] = std::to_string(random.below(1'000'000)) + "." + std::to_string(10 + random.below(90));
  cells[4] = std::to_string(1 + random.below(50));
  char date[32];
  std::snprintf(date, sizeof date, "%04u-%02u-%02u", 2015 + unsigned(random.below(10)), 1 + unsigned(random.below(12)),
                1 + unsigned(random.below(28)));
  cells[5] = date;
  std::snprintf(date, sizeof date, "%sT%02u:%02u:%02uZ", cells[5].c_str(), unsigned(random.below(24)),
                unsigned(random.below(60)), unsigned(random.below(60)));
  cells[6] = date;
  cells[7] = pick(random, kStatus);
  cells[8] = pick(random, kCity);
  cells[9] = random.chance(0.5) ? "PT" : "JP";
  std::size_t words = 3 + random.below(8);
  for (std::size_t w = 0; w < words; ++w) {
    if (w > 0) cells[10].append(random.chance(quoted_heavy ? 0.3 : 0.05) ? ", " : " ");
    cells[10].append(pick(random, kWords));
  }
  if (random.chance(quoted_heavy ? 0.3 : 0.02)) cells[10].append(" \"urgent\"");
  cells[11] = random.chance(0.5) ? "true" : "false";
}

void append_row(std::string& out, const std::vector<std::string>& cells, bool quoted_heavy) {
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (i > 0) out.push_back(',');
    bool text_column = i == 1 || i == 2 || i == 7 || i == 8 || i == 10;
    append_field(out, cells[i], quoted_heavy && text_column);
  }
  out.push_back('\n');
}

void generate(const Shape& shape, std::uint64_t bytes_each, const std::string& expected_path,
              const std::string& actual_path) {
  static constexpr std::string_view kHeader =
      "id,customer,email,amount,quantity,order_date,shipped_at,status,city,country,comment,gift\n";
  std::FILE* expected = std::fopen(expected_path.c_str(), "wb");
  std::FILE* actual = std::fopen(actual_path.c_str(), "wb");
  if (!expected || !actual) {
    std::perror("cannot create data files");
    std::exit(1);
  }
  Random rows{42};
  Random changes{7};
  std::vector<std::string> cells(12);
  std::string expected_chunk(kHeader), actual_chunk(kHeader);
  std::uint64_t written = 0;
  for (std::uint64_t id = 1; written + expected_chunk.size() < bytes_each; ++id) {
    make_row(rows, id, shape.quoted_heavy, cells);
    append_row(expected_chunk, cells, shape.quoted_heavy);
    for (auto& cell : cells) {
      if (changes.chance(shape.differ)) cell.append(cell.empty() ? "x" : "9");
    }
    append_row(actual_chunk, cells, shape.quoted_heavy);
    // The last rows stay in the chunks, for the late change below.
    if (expected_chunk.size() > (1 << 20) && written + expected_chunk.size() < bytes_each) {
      written += expected_chunk.size();
      std::fwrite(expected_chunk.data(), 1, expected_chunk.size(), expected);
      std::fwrite(actual_chunk.data(), 1, actual_chunk.size(), actual);
      expected_chunk.clear();
      actual_chunk.clear();
    }
  }
  if (shape.late) {
    // The id at the start of the last record: its first digit moves by one, its length stays.
    std::size_t line_start = actual_chunk.rfind('\n', actual_chunk.size() - 2) + 1;
    char& digit = actual_chunk[line_start];
    digit = digit == '9' ? '1' : static_cast<char>(digit + 1);
  }
  std::fwrite(expected_chunk.data(), 1, expected_chunk.size(), expected);
  std::fwrite(actual_chunk.data(), 1, actual_chunk.size(), actual);
  std::fclose(expected);
  std::fclose(actual);
}

struct Measured {
  double seconds = 0;      // wall
  double cpu_seconds = 0;  // user + system of the child
  double max_rss_mib = 0;
  int status = -1;
};

double seconds_of(const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; }

// Runs `args` with stdout sent to `stdout_path`, returning wall and CPU time and the child's peak
// RSS.
Measured run_child(const std::vector<std::string>& args, const std::string& stdout_path) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  timespec begin{}, end{};
  clock_gettime(CLOCK_MONOTONIC, &begin);
  pid_t child = fork();
  if (child == 0) {
    int out = open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) dup2(out, 1);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  clock_gettime(CLOCK_MONOTONIC, &end);
  Measured measured;
  measured.seconds = double(end.tv_sec - begin.tv_sec) + double(end.tv_nsec - begin.tv_nsec) / 1e9;
  measured.cpu_seconds = seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
  measured.max_rss_mib = double(usage.ru_maxrss) / 1024.0;
  measured.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return measured;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Compared {
  Measured engine;  // medians of the times, highest RSS, last status
  Measured baseline;
  double ratio = 0;      // median of the per-run wall ratios
  double cpu_ratio = 0;  // median of the per-run CPU ratios
};

// Runs the baseline and the engine alternately, so that both see the same state of the machine.
// `report` is removed before each pair of runs, untimed: truncating the last run's report in place
// (300 MB in the 10% case at 200 MB per file) would otherwise cost the engine as much again as
// writing it, which a run writing to a new path never pays.
Compared alternate(int repeat, const std::vector<std::string>& baseline_args, const std::string& baseline_out,
                   const std::vector<std::string>& engine_args, const std::string& engine_out,
                   const std::string& report) {
  std::vector<double> engine_wall, engine_cpu, baseline_wall, baseline_cpu, ratios, cpu_ratios;
  Compared compared;
  for (int i = 0; i < repeat; ++i) {
    std::filesystem::remove(report);
    Measured b = run_child(baseline_args, baseline_out);
    Measured e = run_child(engine_args, engine_out);
    baseline_wall.push_back(b.seconds);
    baseline_cpu.push_back(b.cpu_seconds);
    engine_wall.push_back(e.seconds);
    engine_cpu.push_back(e.cpu_seconds);
    ratios.push_back(e.seconds / b.seconds);
    cpu_ratios.push_back(e.cpu_seconds / b.cpu_seconds);
    compared.engine.max_rss_mib = std::max(compared.engine.max_rss_mib, e.max_rss_mib);
    compared.baseline.max_rss_mib = std::max(compared.baseline.max_rss_mib, b.max_rss_mib);
    compared.engine.status = e.status;
    compared.baseline.status = b.status;
  }
  compared.engine.seconds = median(engine_wall);
  compared.engine.cpu_seconds = median(engine_cpu);
  compared.baseline.seconds = median(baseline_wall);
  compared.baseline.cpu_seconds = median(baseline_cpu);
  compared.ratio = median(ratios);
  compared.cpu_ratio = median(cpu_ratios);
  return compared;
}

std::string member(const std::string& document, const std::string& key) {
  std::size_t at = document.find("\"" + key + "\":");
  if (at == std::string::npos) return "?";
  at += key.size() + 3;
  std::size_t end = document.find_first_of(",}", at);
  return document.substr(at, end - at);
}


// ---------------------------------------------------------------------------------------------
// Keyed cases

constexpr std::string_view kKeyedHeader = "id,customer,amount,quantity,order_date,status,city,country,comment,gift\n";
constexpr std::size_t kKeyedCells = 10;
// Keys step by 10, so that a record can be inserted between two neighbours without renumbering.
constexpr std::uint64_t kKeyStep = 10;
constexpr std::uint64_t kInsertAfter = 1000;

// The cells of the record with key `key`: 12 digits, zero-padded, then nine fields; about 100
// bytes as CSV.
void make_keyed_row(Random& random, std::uint64_t key, std::vector<std::string>& cells) {
  for (auto& cell : cells) cell.clear();
  char text[32];
  std::snprintf(text, sizeof text, "%012llu", static_cast<unsigned long long>(key));
  cells[0] = text;
  cells[1].append(pick(random, kFirst)).append(" ").append(pick(random, kLast));
  cells[2] = std::to_string(random.below(1'000'000)) + "." + std::to_string(10 + random.below(90));
  cells[3] = std::to_string(1 + random.below(50));
  std::snprintf(text, sizeof text, "%04u-%02u-%02u", 2015 + unsigned(random.below(10)), 1 + unsigned(random.below(12)),
                1 + unsigned(random.below(28)));
  cells[4] = text;
  cells[5] = pick(random, kStatus);
  cells[6] = pick(random, kCity);
  cells[7] = random.chance(0.5) ? "PT" : "JP";
  for (std::size_t w = 0, words = 2 + random.below(4); w < words; ++w) {
    if (w > 0) cells[8].append(" ");
    cells[8].append(pick(random, kWords));
  }
  cells[9] = random.chance(0.5) ? "true" : "false";
}

// Changes each non-key cell with probability `p`; the number changed.
std::uint64_t change_cells(Random& random, double p, std::vector<std::string>& cells) {
  std::uint64_t changed = 0;
  for (std::size_t i = 1; i < cells.size(); ++i) {
    if (random.chance(p)) {
      cells[i].append("9");
      ++changed;
    }
  }
  return changed;
}

// The files of the keyed cases, all from one generated sequence of records.
struct KeyedFiles {
  std::string sorted;             // expected side of most cases
  std::string identical;          // a byte copy of `sorted`
  std::string rare;               // `sorted` with 0.01% of the non-key cells changed
  std::string tenth;              // `sorted` with 10% changed
  std::string inserted;           // `sorted` with one record inserted after the first 1,000
  std::string rare_shuffled;      // `rare` in a fixed pseudo-random order
  std::string sorted_shuffled;    // `sorted` in another one
  std::string counts;             // the changed-cell counts, for --reuse
  std::uint64_t rare_changed = 0;
  std::uint64_t tenth_changed = 0;

  explicit KeyedFiles(const std::string& dir)
      : sorted(dir + "/keyed-sorted.csv"),
        identical(dir + "/keyed-identical.csv"),
        rare(dir + "/keyed-rare.csv"),
        tenth(dir + "/keyed-tenth.csv"),
        inserted(dir + "/keyed-inserted.csv"),
        rare_shuffled(dir + "/keyed-rare-shuffled.csv"),
        sorted_shuffled(dir + "/keyed-sorted-shuffled.csv"),
        counts(dir + "/keyed-counts.txt") {}

  std::vector<std::string> data() const {
    return {sorted, identical, rare, tenth, inserted, rare_shuffled, sorted_shuffled, counts};
  }
};

// Rows held in one buffer; row i is [starts[i], starts[i + 1]).
struct Rows {
  std::string bytes;
  std::vector<std::uint64_t> starts{0};
  void add(const std::vector<std::string>& cells) {
    append_row(bytes, cells, false);
    starts.push_back(bytes.size());
  }
  std::size_t size() const { return starts.size() - 1; }
  std::string_view row(std::size_t i) const { return std::string_view(bytes).substr(starts[i], starts[i + 1] - starts[i]); }
};

std::FILE* create(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    std::perror(("cannot create " + path).c_str());
    std::exit(1);
  }
  return file;
}

void write_all(const std::string& path, std::initializer_list<std::string_view> parts) {
  std::FILE* file = create(path);
  for (std::string_view part : parts) std::fwrite(part.data(), 1, part.size(), file);
  if (std::fclose(file) != 0) {
    std::perror(("cannot write " + path).c_str());
    std::exit(1);
  }
}

// Writes `rows` in a pseudo-random order fixed by `seed` (Fisher-Yates).
void write_shuffled(const std::string& path, const Rows& rows, std::uint64_t seed) {
  std::vector<std::uint32_t> order(rows.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
  Random random{seed};
  for (std::size_t i = order.size(); i > 1; --i) std::swap(order[i - 1], order[random.below(i)]);
  std::FILE* file = create(path);
  std::fwrite(kKeyedHeader.data(), 1, kKeyedHeader.size(), file);
  std::string chunk;
  for (std::uint32_t i : order) {
    chunk.append(rows.row(i));
    if (chunk.size() > (1 << 20)) {
      std::fwrite(chunk.data(), 1, chunk.size(), file);
      chunk.clear();
    }
  }
  std::fwrite(chunk.data(), 1, chunk.size(), file);
  std::fclose(file);
}

void generate_keyed(std::uint64_t bytes_each, KeyedFiles& files) {
  Random rows_random{42}, rare_random{7}, tenth_random{11}, extra_random{99};
  std::vector<std::string> cells(kKeyedCells), changed(kKeyedCells);
  Rows sorted, rare;
  std::FILE* tenth = create(files.tenth);
  std::string tenth_chunk(kKeyedHeader);
  for (std::uint64_t id = 1; kKeyedHeader.size() + sorted.bytes.size() < bytes_each; ++id) {
    make_keyed_row(rows_random, id * kKeyStep, cells);
    sorted.add(cells);
    changed = cells;
    files.rare_changed += change_cells(rare_random, 0.0001, changed);
    rare.add(changed);
    changed = cells;
    files.tenth_changed += change_cells(tenth_random, 0.10, changed);
    append_row(tenth_chunk, changed, false);
    if (tenth_chunk.size() > (1 << 20)) {
      std::fwrite(tenth_chunk.data(), 1, tenth_chunk.size(), tenth);
      tenth_chunk.clear();
    }
  }
  std::fwrite(tenth_chunk.data(), 1, tenth_chunk.size(), tenth);
  std::fclose(tenth);
  write_all(files.sorted, {kKeyedHeader, sorted.bytes});
  write_all(files.identical, {kKeyedHeader, sorted.bytes});
  write_all(files.rare, {kKeyedHeader, rare.bytes});
  make_keyed_row(extra_random, kInsertAfter * kKeyStep + kKeyStep / 2, cells);
  std::string extra;
  append_row(extra, cells, false);
  const std::string_view all = sorted.bytes;
  write_all(files.inserted, {kKeyedHeader, all.substr(0, sorted.starts[kInsertAfter]), extra,
                             all.substr(sorted.starts[kInsertAfter])});
  write_shuffled(files.rare_shuffled, rare, 1234);
  write_shuffled(files.sorted_shuffled, sorted, 5678);
  std::ofstream(files.counts) << files.rare_changed << ' ' << files.tenth_changed << '\n';
}

struct KeyedCase {
  const char* name;
  std::string KeyedFiles::*expected;
  std::string KeyedFiles::*actual;
  const char* key_order;           // nullptr: the member left out (ANY)
  std::uint64_t sort_memory_bytes;  // 0: the member left out (64 MiB)
  double positional_target;        // keyed / positional at most this (0: no target)
  double openssl_target;           // keyed / openssl at most this (0: no target)
  bool identical;                  // the fast path: keyed / positional within 5% of 1
  bool versus_default_budget;      // set against the default budget, not positional; at most 1.6×
  std::uint64_t KeyedFiles::*changed;  // the cells that differ (nullptr: none)
  std::uint64_t extra_lines;       // lines beyond those: inserted records
};

constexpr std::uint64_t kDefaultSortMemory = 64ull << 20;
constexpr double kVersusDefaultTarget = 1.6;

const KeyedCase kKeyedCases[] = {
    {"identical, keyed", &KeyedFiles::sorted, &KeyedFiles::identical, nullptr, 0, 0, 0.60, true, false, nullptr, 0},
    {"0.01%, SORTED", &KeyedFiles::sorted, &KeyedFiles::rare, "SORTED", 0, 1.5, 1.10, false, false,
     &KeyedFiles::rare_changed, 0},
    {"0.01%, ANY", &KeyedFiles::sorted, &KeyedFiles::rare, "ANY", 0, 2.2, 1.60, false, false,
     &KeyedFiles::rare_changed, 0},
    {"inserted at 1,001, SORTED", &KeyedFiles::sorted, &KeyedFiles::inserted, "SORTED", 0, 0.5, 1.10, false, false,
     nullptr, 1},
    {"actual shuffled, ANY", &KeyedFiles::sorted, &KeyedFiles::rare_shuffled, "ANY", 0, 5, 4, false, false,
     &KeyedFiles::rare_changed, 0},
    {"both shuffled, ANY", &KeyedFiles::sorted_shuffled, &KeyedFiles::rare_shuffled, "ANY", 0, 8, 6, false, false,
     &KeyedFiles::rare_changed, 0},
    {"both shuffled, ANY 1 MiB", &KeyedFiles::sorted_shuffled, &KeyedFiles::rare_shuffled, "ANY", 1 << 20, 0, 0,
     false, true, &KeyedFiles::rare_changed, 0},
    {"10%, SORTED", &KeyedFiles::sorted, &KeyedFiles::tenth, "SORTED", 0, 1.4, 0, false, false,
     &KeyedFiles::tenth_changed, 0},
};

std::string request_text(const std::string& expected, const std::string& actual, const std::string& report,
                         const std::string& keyed_members) {
  return "{\"schemaVersion\":1,\"expectedPath\":\"" + expected + "\",\"actualPath\":\"" + actual +
         "\",\"divergencePath\":\"" + report +
         "\",\"encoding\":\"utf-8\",\"delimiter\":\",\",\"quoteChar\":\"\\\"\",\"escapeChar\":null,"
         "\"hasHeader\":true,\"nullValue\":\"\",\"exampleLimit\":10" +
         keyed_members + "}";
}

std::string keyed_members(const char* key_order, std::uint64_t sort_memory_bytes) {
  std::string members = ",\"keyColumns\":[\"id\"]";
  if (key_order) members += std::string(",\"keyOrder\":\"") + key_order + "\"";
  if (sort_memory_bytes) members += ",\"sortMemoryBytes\":" + std::to_string(sort_memory_bytes);
  return members;
}

std::string read_text(const std::string& path) {
  std::ifstream file(path);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

std::uint64_t count_lines(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return 0;
  std::uint64_t lines = 0;
  std::vector<char> buffer(1 << 20);
  for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), file)) > 0;) {
    lines += static_cast<std::uint64_t>(std::count(buffer.data(), buffer.data() + n, '\n'));
  }
  std::fclose(file);
  return lines;
}

// One program of a round: its arguments, where its standard output goes and the report it writes
// (removed, untimed, before each of its runs).
struct Program {
  std::vector<std::string> args;
  std::string out;
  std::string report;
};

struct Series {
  std::vector<Measured> runs;
  double wall() const {
    std::vector<double> v;
    for (const Measured& m : runs) v.push_back(m.seconds);
    return median(v);
  }
  double cpu() const {
    std::vector<double> v;
    for (const Measured& m : runs) v.push_back(m.cpu_seconds);
    return median(v);
  }
  double max_rss() const {
    double rss = 0;
    for (const Measured& m : runs) rss = std::max(rss, m.max_rss_mib);
    return rss;
  }
  bool all_ok() const {
    return std::all_of(runs.begin(), runs.end(), [](const Measured& m) { return m.status == 0; });
  }
};

// The median of the per-round ratios of `a` to `b`, in wall or CPU time.
double ratio(const Series& a, const Series& b, bool cpu = false) {
  std::vector<double> v;
  for (std::size_t i = 0; i < a.runs.size(); ++i) {
    v.push_back(cpu ? a.runs[i].cpu_seconds / b.runs[i].cpu_seconds : a.runs[i].seconds / b.runs[i].seconds);
  }
  return median(v);
}

// `repeat` rounds, each running every program once in the order given.
std::vector<Series> rounds(int repeat, const std::vector<Program>& programs) {
  std::vector<Series> series(programs.size());
  for (int i = 0; i < repeat; ++i) {
    for (std::size_t p = 0; p < programs.size(); ++p) {
      if (!programs[p].report.empty()) std::filesystem::remove(programs[p].report);
      series[p].runs.push_back(run_child(programs[p].args, programs[p].out));
    }
  }
  return series;
}

// The resident memory of this process now, in MiB. A child's peak (ru_maxrss) counts from the
// fork, before the exec, so it can never show less than this.
double own_rss_mib() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t size = 0, resident = 0;
  statm >> size >> resident;
  return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

// Runs the keyed cases; the number of targets missed.
int run_keyed(std::uint64_t mb, const std::string& dir, const std::string& binary, int repeat, int only, bool keep,
              bool reuse) {
  KeyedFiles files(dir);
  const auto data = files.data();
  const bool have = reuse && std::all_of(data.begin(), data.end(), [](const std::string& p) {
    return std::filesystem::exists(p);
  });
  if (have) {
    std::ifstream(files.counts) >> files.rare_changed >> files.tenth_changed;
  } else {
    std::printf("generating the keyed files (%llu MB each)...\n", static_cast<unsigned long long>(mb));
    std::fflush(stdout);
    generate_keyed(mb << 20, files);
    // Give the generator's memory back, so that the children's peak RSS is theirs.
    malloc_trim(0);
  }
  std::printf("\nkeyed cases, %.0f MB per file, median of %d rounds (openssl, keyed, positional alternating); "
              "this process: %.1f MiB RSS\n",
              double(std::filesystem::file_size(files.sorted)) / (1 << 20), repeat, own_rss_mib());
  std::printf("%-25s | %6s %6s %6s | %6s %6s %6s | %6s | %11s %5s | %11s %5s | %6s | %8s %9s  %s\n", "case", "keyed",
              "cpu", "RSS", "pos", "cpu", "RSS", "ossl", "k/pos (tgt)", "cpu", "k/ossl(tgt)", "cpu", "RSS", "lines",
              "pos", "verdict");
  std::printf("%-25s | %6s %6s %6s | %6s %6s %6s | %6s | %11s %5s | %11s %5s | %6s | %8s %9s\n", "", "wall s", "s",
              "MiB", "wall s", "s", "MiB", "wall s", "wall", "", "wall", "", "bound", "keyed", "lines");
  int failures = 0;
  double last_positional_rss = 0;  // for a case that runs no positional run of its own (same files)
  for (const KeyedCase& c : kKeyedCases) {
    const int number = 6 + static_cast<int>(&c - kKeyedCases);
    if (only != 0 && only != number) continue;
    const std::string stem = dir + "/case" + std::to_string(number);
    const std::string& expected = files.*c.expected;
    const std::string& actual = files.*c.actual;
    const std::string keyed_report = stem + "-keyed.jsonl", positional_report = stem + "-positional.jsonl";
    const std::string default_report = stem + "-default.jsonl";
    std::ofstream(stem + "-keyed.json") << request_text(expected, actual, keyed_report,
                                                        keyed_members(c.key_order, c.sort_memory_bytes));
    std::vector<Program> programs = {
        {{"openssl", "dgst", "-sha256", expected, actual}, stem + "-openssl.out", ""},
        {{binary, "--request", stem + "-keyed.json"}, stem + "-keyed-result.json", keyed_report},
    };
    // The 1 MiB case is set against the default budget on the same files instead of the
    // positional run, which the case before it measured.
    if (c.versus_default_budget) {
      std::ofstream(stem + "-default.json") << request_text(expected, actual, default_report,
                                                            keyed_members(c.key_order, 0));
      programs.push_back({{binary, "--request", stem + "-default.json"}, stem + "-default-result.json", default_report});
    } else {
      std::ofstream(stem + "-positional.json") << request_text(expected, actual, positional_report, "");
      programs.push_back(
          {{binary, "--request", stem + "-positional.json"}, stem + "-positional-result.json", positional_report});
    }
    // Warm the page cache (both files are read by each of these).
    run_child(programs[0].args, programs[0].out);
    std::filesystem::remove(keyed_report);
    run_child(programs[1].args, programs[1].out);
    const std::vector<Series> series = rounds(repeat, programs);
    const Series &ossl = series[0], &keyed = series[1], &other = series[2];

    const std::string result = read_text(programs[1].out);
    const std::uint64_t lines = count_lines(keyed_report);
    const std::uint64_t want_lines = (c.changed ? files.*c.changed : 0) + c.extra_lines;
    const std::string other_lines = member(read_text(programs[2].out), "divergences");
    const double versus_openssl = ratio(keyed, ossl), versus_other = ratio(keyed, other);
    const bool sorted_mode = c.key_order && std::string_view(c.key_order) == "SORTED";
    const double budget_mib = double(c.sort_memory_bytes ? c.sort_memory_bytes : kDefaultSortMemory) / (1 << 20);
    if (!c.versus_default_budget) last_positional_rss = other.max_rss();
    const double rss_bound = last_positional_rss + (sorted_mode ? 2.0 : budget_mib + 4.0);

    std::string verdict;
    auto miss = [&](const std::string& what) { verdict += (verdict.empty() ? "" : ", ") + what; };
    if (!keyed.all_ok() || !other.all_ok() || !ossl.all_ok()) miss("a run failed");
    if (c.identical ? member(result, "comparisonMode") != "\"quor-binary\"" : lines != want_lines) {
      miss("report has " + std::to_string(lines) + " lines, want " + std::to_string(want_lines));
    }
    if (c.identical && std::abs(versus_other - 1.0) > 0.05) miss("k/pos");
    if (c.positional_target > 0 && versus_other > c.positional_target) miss("k/pos");
    if (c.versus_default_budget && versus_other > kVersusDefaultTarget) miss("1 MiB/default");
    if (c.openssl_target > 0 && versus_openssl > c.openssl_target) miss("k/ossl");
    if (last_positional_rss > 0 && keyed.max_rss() > rss_bound) miss("RSS");
    char pos_target[16] = "", ossl_target[16] = "";
    if (c.identical) std::snprintf(pos_target, sizeof pos_target, "1±5%%");
    if (c.positional_target > 0) std::snprintf(pos_target, sizeof pos_target, "%.2f", c.positional_target);
    if (c.openssl_target > 0) std::snprintf(ossl_target, sizeof ossl_target, "%.2f", c.openssl_target);
    if (c.versus_default_budget) {
      std::printf("%-25s | %6.3f %6.3f %6.1f | %6s %6s %6s | %6.3f | %5s %5s %5s | %5.2f %5s %5.2f | %6.1f | %8llu %9s  %s\n",
                  c.name, keyed.wall(), keyed.cpu(), keyed.max_rss(), "", "", "", ossl.wall(), "", "", "",
                  versus_openssl, ossl_target, ratio(keyed, ossl, true), rss_bound,
                  static_cast<unsigned long long>(lines), "", verdict.empty() ? "ok" : ("MISSED: " + verdict).c_str());
      std::printf("%-25s   the same with the default budget: %.3f s wall, %.3f s cpu, %.1f MiB; 1 MiB / default "
                  "%.2f wall, %.2f cpu (target %.1f)\n",
                  "", other.wall(), other.cpu(), other.max_rss(), versus_other, ratio(keyed, other, true),
                  kVersusDefaultTarget);
    } else {
      std::printf("%-25s | %6.3f %6.3f %6.1f | %6.3f %6.3f %6.1f | %6.3f | %5.2f %5s %5.2f | %5.2f %5s %5.2f | %6.1f | "
                  "%8llu %9s  %s\n",
                  c.name, keyed.wall(), keyed.cpu(), keyed.max_rss(), other.wall(), other.cpu(), other.max_rss(),
                  ossl.wall(), versus_other, pos_target, ratio(keyed, other, true), versus_openssl, ossl_target,
                  ratio(keyed, ossl, true), rss_bound, static_cast<unsigned long long>(lines), other_lines.c_str(),
                  verdict.empty() ? "ok" : ("MISSED: " + verdict).c_str());
    }
    if (!verdict.empty()) ++failures;
    std::fflush(stdout);
    for (const Program& p : programs) {
      std::filesystem::remove(p.out);
      if (!p.report.empty()) std::filesystem::remove(p.report);
    }
    if (!keep) {
      for (const char* suffix : {"-keyed.json", "-positional.json", "-default.json"}) std::filesystem::remove(stem + suffix);
    }
  }
  if (!keep) {
    for (const std::string& path : data) std::filesystem::remove(path);
  }
  return failures;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t mb = 200;
  std::string dir = "/tmp/tessamer-compare-bench";
  std::string binary = TESSAMER_BINARY;
  int repeat = 5;
  bool keep = false;
  bool reuse = false;
  int only = 0;  // 1-based case number; 0 runs all
  std::string suite = "all";
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--mb" && i + 1 < argc) mb = std::strtoull(argv[++i], nullptr, 10);
    else if (arg == "--dir" && i + 1 < argc) dir = argv[++i];
    else if (arg == "--binary" && i + 1 < argc) binary = argv[++i];
    else if (arg == "--repeat" && i + 1 < argc) repeat = std::atoi(argv[++i]);
    else if (arg == "--keep") keep = true;
    else if (arg == "--reuse") reuse = true;
    else if (arg == "--case" && i + 1 < argc) only = std::atoi(argv[++i]);
    else if (arg == "--suite" && i + 1 < argc) suite = argv[++i];
    else {
      std::fprintf(stderr,
                   "usage: compare_bench [--mb N] [--dir D] [--binary PATH] [--repeat N] [--case N]\n"
                   "                     [--suite all|positional|keyed] [--keep] [--reuse]\n");
      return 2;
    }
  }
  std::filesystem::create_directories(dir);
  const Shape shapes[] = {
      {"byte-identical", 0, false, false, 0.60},
      {"typical, 0.01% differ", 0.0001, false, false, 1.00},
      {"quoted-heavy, 0.01% differ", 0.0001, true, false, 1.10},
      {"late, one cell in the last row", 0, false, true, 1.10},
      {"typical, 10% differ", 0.10, false, false, 2.50},
  };
  if (suite != "all" && suite != "positional" && suite != "keyed") {
    std::fprintf(stderr, "--suite takes all, positional or keyed\n");
    return 2;
  }
  const bool positional_cases = suite != "keyed" && only <= 5;
  const bool keyed_cases = suite != "positional" && (only == 0 || only >= 6);
  if (positional_cases) {
    std::printf("%-30s %7s | %8s %8s %6s %7s | %8s %8s %7s | %6s %6s %6s  %s\n", "case", "MB/file", "wall s", "cpu s",
                "GB/s", "RSS MiB", "ossl wall", "ossl cpu", "RSS MiB", "wall x", "cpu x", "target", "divergences");
  }
  int failures = 0;
  for (const Shape& shape : shapes) {
    if (!positional_cases || (only != 0 && &shape != &shapes[only - 1])) continue;
    const std::string stem = dir + "/case" + std::to_string(&shape - shapes + 1);
    const std::string expected = stem + "-expected.csv", actual = stem + "-actual.csv";
    const std::string report = stem + "-divergences.jsonl", request = stem + "-request.json";
    if (!reuse || !std::filesystem::exists(expected) || !std::filesystem::exists(actual)) {
      generate(shape, mb << 20, expected, actual);
    }
    std::ofstream(request) << "{\"schemaVersion\":1,\"expectedPath\":\"" << expected << "\",\"actualPath\":\"" << actual
                           << "\",\"divergencePath\":\"" << report
                           << "\",\"encoding\":\"utf-8\",\"delimiter\":\",\",\"quoteChar\":\"\\\"\",\"escapeChar\":null,"
                              "\"hasHeader\":true,\"nullValue\":\"\",\"exampleLimit\":10}";
    const double total_bytes = double(std::filesystem::file_size(expected) + std::filesystem::file_size(actual));

    // Warm the page cache with one untimed run of each, so that the timed runs read from memory
    // (a reused pair may have been evicted since it was written).
    const std::vector<std::string> baseline_args = {"openssl", "dgst", "-sha256", expected, actual};
    const std::vector<std::string> engine_args = {binary, "--request", request};
    run_child(baseline_args, stem + "-openssl.out");
    run_child(engine_args, stem + "-result.json");
    const Compared compared =
        alternate(repeat, baseline_args, stem + "-openssl.out", engine_args, stem + "-result.json", report);
    const Measured& engine = compared.engine;
    const Measured& baseline = compared.baseline;
    std::ifstream result_file(stem + "-result.json");
    std::string result((std::istreambuf_iterator<char>(result_file)), std::istreambuf_iterator<char>());
    const double ratio = compared.ratio;
    const double cpu_ratio = compared.cpu_ratio;
    const bool ok = engine.status == 0;
    const bool met = ok && ratio <= shape.target_ratio && engine.max_rss_mib <= 6.5;
    if (!met) ++failures;
    std::printf("%-30s %7.0f | %8.3f %8.3f %6.2f %7.1f | %8.3f %8.3f %7.1f | %6.2f %6.2f %6.1f  %s (exit %d) %s\n",
                shape.name, total_bytes / 2 / (1 << 20), engine.seconds, engine.cpu_seconds,
                total_bytes / engine.seconds / 1e9, engine.max_rss_mib, baseline.seconds, baseline.cpu_seconds,
                baseline.max_rss_mib, ratio, cpu_ratio, shape.target_ratio, member(result, "divergences").c_str(),
                engine.status, met ? "ok" : "MISSED");
    std::fflush(stdout);
    if (!keep) {
      for (const std::string& path : {expected, actual, report, request, stem + "-result.json", stem + "-openssl.out"}) {
        std::filesystem::remove(path);
      }
    }
  }
  if (keyed_cases) failures += run_keyed(mb, dir, binary, repeat, only, keep, reuse);
  if (!keep) std::filesystem::remove_all(dir);
  return failures == 0 ? 0 : 1;
}
