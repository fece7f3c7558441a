// End-to-end speed of the engine against plain hashing of the same files.
//
// Generates deterministic 12-column CSV pairs (ids, names, e-mail, decimals, dates, timestamps,
// free text, some quoted fields) in five shapes: byte-identical, 0.01% of cells differing,
// quoted-heavy with 0.01% differing, 10% differing (a large report), and equal sizes with one
// cell differing in the last record ("late"). On each warm pair it runs
// `openssl dgst -sha256 expected actual` and the built engine alternately, --repeat times each,
// and reports the median wall time of both, the median of the per-run ratios, the CPU time
// (user + system, from wait4) and the engine's peak RSS (the highest of the runs). The CPU ratio
// is the steadier one on a machine busy with other work; the wall ratio is what the targets are
// stated in.
//
//   compare_bench [--mb N] [--dir D] [--binary PATH] [--repeat N] [--case N] [--keep] [--reuse]
//
// --mb is the size of each file of a pair (default 200). The generated data and reports are
// removed afterwards unless --keep is given; --reuse takes the data a --keep run left in --dir
// (same --mb) instead of generating it again. --case runs only the given case (1 to 5).
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t mb = 200;
  std::string dir = "/tmp/tessamer-compare-bench";
  std::string binary = TESSAMER_BINARY;
  int repeat = 5;
  bool keep = false;
  bool reuse = false;
  int only = 0;  // 1-based case number; 0 runs all
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--mb" && i + 1 < argc) mb = std::strtoull(argv[++i], nullptr, 10);
    else if (arg == "--dir" && i + 1 < argc) dir = argv[++i];
    else if (arg == "--binary" && i + 1 < argc) binary = argv[++i];
    else if (arg == "--repeat" && i + 1 < argc) repeat = std::atoi(argv[++i]);
    else if (arg == "--keep") keep = true;
    else if (arg == "--reuse") reuse = true;
    else if (arg == "--case" && i + 1 < argc) only = std::atoi(argv[++i]);
    else {
      std::fprintf(stderr, "usage: compare_bench [--mb N] [--dir D] [--binary PATH] [--repeat N] [--case N] [--keep] [--reuse]\n");
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
  std::printf("%-30s %7s | %8s %8s %6s %7s | %8s %8s %7s | %6s %6s %6s  %s\n", "case", "MB/file", "wall s", "cpu s",
              "GB/s", "RSS MiB", "ossl wall", "ossl cpu", "RSS MiB", "wall x", "cpu x", "target", "divergences");
  int failures = 0;
  for (const Shape& shape : shapes) {
    if (only != 0 && &shape != &shapes[only - 1]) continue;
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
  if (!keep) std::filesystem::remove_all(dir);
  return failures == 0 ? 0 : 1;
}
