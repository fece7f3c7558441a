// Sorts generated shuffled records through the external sort and prints its throughput.
//
// usage: sort_bench [megabytes=200] [runs=5] [directory=.] [budget MiB, default both 64 and 1]
// Records of about 100 bytes (as CSV: 8 fields, a unique zero-padded 12-digit key first), in a
// fixed pseudo-random order, held in memory and handed to the sorter as field views; the run files
// go to `directory`. For the budgets 64 MiB and 1 MiB (each side of a comparison takes half), the
// time from the first record added to the last one taken back, median of `runs`, as MB/s of the
// records' CSV bytes, in wall-clock time and in the process's CPU time. Also the phase split (adding and finishing, then reading back) and what the
// sort did.
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/run_file.h"
#include "sort/sort.h"

namespace {

constexpr std::size_t kFields = 8;
// Field sizes: the key, then seven others; with 7 delimiters and a line end, 100 bytes.
constexpr std::size_t kSizes[kFields] = {12, 10, 14, 8, 16, 9, 11, 12};
constexpr std::size_t kRecordBytes = 92;  // the field bytes
constexpr std::size_t kCsvBytes = kRecordBytes + kFields;

class Rng {
 public:
  std::uint64_t next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 2685821657736338717ULL;
  }

 private:
  std::uint64_t state_ = 0x9E3779B97F4A7C15ULL;
};

// `n` records of kRecordBytes each, the keys 0 .. n-1 in shuffled order.
std::vector<char> generate(std::size_t n) {
  std::vector<std::uint64_t> keys(n);
  for (std::size_t i = 0; i < n; ++i) keys[i] = i;
  Rng rng;
  for (std::size_t i = n; i > 1; --i) std::swap(keys[i - 1], keys[rng.next() % i]);
  std::vector<char> data(n * kRecordBytes);
  for (std::size_t i = 0; i < n; ++i) {
    char* p = data.data() + i * kRecordBytes;
    char key[13];
    std::snprintf(key, sizeof key, "%012llu", static_cast<unsigned long long>(keys[i]));
    std::copy(key, key + 12, p);
    for (std::size_t j = 12; j < kRecordBytes; ++j) p[j] = static_cast<char>('a' + rng.next() % 26);
  }
  return data;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// User and system time of the process so far: on a machine shared with other work, what the sort
// itself costs.
double cpu_seconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Timing {
  double total = 0;
  double phase_a = 0;  // adding and finish()
  double cpu = 0;      // user and system time of the whole sort
  sort::Stats stats;
};

Timing sort_once(const std::vector<char>& data, std::size_t n, std::uint64_t budget, const std::string& directory) {
  sort::Options options;
  options.memory_bytes = budget;
  options.key_columns = {0};
  options.create_run_file = [&]() -> std::expected<sort::RunFile, std::string> {
    auto fd = tessamer::create_run_file(directory);
    if (!fd) return std::unexpected(fd.error().text);
    return sort::RunFile(fd->release());
  };
  Timing timing;
  auto start = std::chrono::steady_clock::now();
  double cpu_start = cpu_seconds();
  sort::Sorter sorter(std::move(options));
  std::string_view fields[kFields];
  for (std::size_t i = 0; i < n; ++i) {
    const char* p = data.data() + i * kRecordBytes;
    for (std::size_t f = 0; f < kFields; p += kSizes[f], ++f) fields[f] = std::string_view(p, kSizes[f]);
    if (auto added = sorter.add(i + 1, fields); !added) {
      std::fprintf(stderr, "sort: %s\n", added.error().text.c_str());
      std::exit(1);
    }
  }
  if (auto finished = sorter.finish(); !finished) {
    std::fprintf(stderr, "sort: %s\n", finished.error().text.c_str());
    std::exit(1);
  }
  timing.phase_a = seconds_since(start);
  std::size_t taken = 0;
  bool ordered = true;
  char previous[12] = {};
  for (;;) {
    auto next = sorter.next();
    if (!next) {
      std::fprintf(stderr, "sort: %s\n", next.error().text.c_str());
      std::exit(1);
    }
    if (*next == nullptr) break;
    // The keys are 0 .. n-1 zero-padded: each one above the one before.
    std::string_view key = (**next)[0];
    ordered = ordered && (taken == 0 || key > std::string_view(previous, 12));
    std::copy(key.begin(), key.end(), previous);
    ++taken;
  }
  timing.total = seconds_since(start);
  timing.cpu = cpu_seconds() - cpu_start;
  timing.stats = sorter.stats();
  if (taken != n || !ordered) {
    std::fprintf(stderr, "sort: %zu records back of %zu, %s\n", taken, n, ordered ? "in order" : "out of order");
    std::exit(1);
  }
  return timing;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200;
  int runs = std::max(1, argc > 2 ? std::atoi(argv[2]) : 5);
  std::string directory = argc > 3 ? argv[3] : ".";
  std::size_t n = megabytes * 1000 * 1000 / kCsvBytes;
  std::vector<char> data = generate(n);
  double mb = static_cast<double>(n * kCsvBytes) / 1e6;
  std::printf("%zu records, %.0f MB as CSV, run files in %s\n", n, mb, directory.c_str());
  std::vector<std::uint64_t> budgets = {std::uint64_t{64} << 20, std::uint64_t{1} << 20};
  if (argc > 4) budgets = {std::strtoull(argv[4], nullptr, 10) << 20};
  for (std::uint64_t sort_memory : budgets) {
    std::vector<Timing> timings;
    for (int r = 0; r < runs; ++r) timings.push_back(sort_once(data, n, sort_memory / 2, directory));
    std::sort(timings.begin(), timings.end(), [](const Timing& a, const Timing& b) { return a.total < b.total; });
    const Timing& median = timings[timings.size() / 2];
    const sort::Stats& s = median.stats;
    std::printf(
        "budget %4llu MiB (H %6llu KiB): %.3f s, %.0f MB/s (add+finish %.3f s, read back %.3f s); CPU %.3f s, %.0f "
        "MB/s; runs %llu, fan-in %zu, merge passes %llu, final runs %llu, %.0f MB written\n",
        static_cast<unsigned long long>(sort_memory >> 20), static_cast<unsigned long long>(sort_memory / 2 >> 10),
        median.total, mb / median.total, median.phase_a, median.total - median.phase_a, median.cpu, mb / median.cpu,
        static_cast<unsigned long long>(s.runs_written), s.fan_in, static_cast<unsigned long long>(s.merge_passes),
        static_cast<unsigned long long>(s.final_runs), static_cast<double>(s.bytes_written) / 1e6);
  }
  return 0;
}
