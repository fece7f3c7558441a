// Keyed runs that fail while sorting, in a child of this test program: each ends in its exact
// error document and leaves no run file, named or unnamed, in the sort location. Every case runs
// twice: with unnamed files (O_TMPFILE), and as on a file system that refuses them, where run
// files are named and the name removed at once. This program defines open and openat itself, so
// the engine's calls reach these definitions first; they refuse O_TMPFILE when told to, and pass
// every other call on to the system unchanged.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdarg>
#include <filesystem>
#include <fstream>

#include "engine/engine.h"
#include "support/request.h"

namespace {

bool refuse_unnamed_files = false;
int refused_unnamed_files = 0;

int open_file(int directory, const char* path, int flags, mode_t mode) {
  if (refuse_unnamed_files && (flags & O_TMPFILE) == O_TMPFILE) {
    ++refused_unnamed_files;
    errno = EOPNOTSUPP;
    return -1;
  }
  return static_cast<int>(::syscall(SYS_openat, directory, path, flags, mode));
}

mode_t mode_argument(int flags, va_list args) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
}

}  // namespace

#define TESSAMER_OPEN(name)                                       \
  extern "C" int name(const char* path, int flags, ...) {         \
    va_list args;                                                 \
    va_start(args, flags);                                        \
    const mode_t mode = mode_argument(flags, args);               \
    va_end(args);                                                 \
    return open_file(AT_FDCWD, path, flags, mode);                \
  }
#define TESSAMER_OPENAT(name)                                              \
  extern "C" int name(int directory, const char* path, int flags, ...) {   \
    va_list args;                                                          \
    va_start(args, flags);                                                 \
    const mode_t mode = mode_argument(flags, args);                        \
    va_end(args);                                                          \
    return open_file(directory, path, flags, mode);                        \
  }
TESSAMER_OPEN(open)
TESSAMER_OPEN(open64)
TESSAMER_OPENAT(openat)
TESSAMER_OPENAT(openat64)

namespace tessamer::testing {
namespace {

namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;  // the address sanitizer reserves more address space than any limit leaves
#else
constexpr bool kSanitized = false;
#endif

// The exit status of a child whose run never tried an unnamed file while they were refused.
constexpr int kUnnamedNeverTried = 99;

// `count` records under the header id,v whose 8-digit ids come in a scattered order, each value
// `width` bytes: far from key order, so a small budget sorts them in many runs.
std::string scattered(int count, std::size_t width) {
  std::string text = "id,v\n";
  char id[16];
  for (int j = 0; j < count; ++j) {
    std::snprintf(id, sizeof id, "%08d,", static_cast<int>((static_cast<long>(j) * 7919) % count));
    text.append(id).append(width, 'x').append("\n");
  }
  return text;
}

std::size_t address_space_now() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  statm >> pages;
  return pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

std::vector<std::string> sort_file_names(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(".tessamer-sort-")) names.push_back(name);
  }
  return names;
}

TEST(KeyedFaults, FailuresLeaveNoRunFile) {
  struct Case {
    const char* name;
    std::string expected, actual;
    std::uint64_t budget;
    bool read_only_location;  // the report's directory, where run files go, cannot be written to
    bool unprivileged;
    std::optional<rlim_t> file_size_limit;
    std::string code, message;
  };
  const std::string data = scattered(20000, 80);
  std::string changed = data;
  changed[changed.rfind('x')] = 'y';  // the files differ, so they are compared
  // A key repeated after both sides have gone out to runs: ids 10000 at records 10001 and 20001.
  const std::string repeated = data + "00010000,x\n";
  // Memory runs out on a record larger than what is left, once both sides have written runs.
  std::string huge = data.substr(0, data.find('\n', data.size() / 2) + 1) + "99999999," +
                           std::string(100u << 20, 'x') + "\n";
  const Case cases[] = {
      {"a duplicate met after the sort spilled", repeated, data, 1u << 20, false, false, {}, "INVALID_GOLDEN_DATASET",
       "expected CSV has duplicate key [\\\"00010000\\\"] at records 10001 and 20001"},
      {"a run file beyond the file-size limit", data, changed, 1u << 20, false, false, 256u << 10,
       "NATIVE_IO_ERROR", "cannot write key sort file: File too large (os error 27)"},
      {"an unwritable sort location, sorted files", "id,v\nk1,10\nk2,20\nk3,30\nk4,40\n",
       "id,v\nk1,10\nk15,15\nk2,20\nk3,31\n", 64u << 20, true, true, {}, "NATIVE_IO_ERROR",
       "cannot create key sort file: Permission denied (os error 13)"},
      {"out of memory after runs were written", data, std::move(huge), 1u << 20, false, false, {}, "NATIVE_IO_ERROR", "out of memory"},
  };
  for (const bool named : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (named ? ", named run files" : ", unnamed run files"));
      const bool out_of_memory = c.message == "out of memory";
      if (out_of_memory && kSanitized) continue;
      TempDir dir;
      Request request = request_for_files(dir, c.expected, c.actual);
      request.key_columns = {{"id"}};
      request.sort_memory_bytes = c.budget;
      fs::create_directories(dir.file("out"));
      RunOptions options;
      options.unprivileged = c.unprivileged;
      options.file_size_limit = c.file_size_limit;
      if (c.read_only_location) {
        // The report can be written, but nothing can be made beside it.
        dir.write("out/d.jsonl", "");
        fs::permissions(dir.file("out/d.jsonl"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                                     fs::perms::group_write | fs::perms::others_read |
                                                     fs::perms::others_write);
        fs::permissions(dir.path(), fs::perms::all);
        fs::permissions(dir.file("out"), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                             fs::perms::others_read | fs::perms::others_exec);
      }
      if (out_of_memory) options.address_space_limit = address_space_now() + (64u << 20);
      const std::string request_path = dir.write("request.json", request.to_json());
      RunResult run = run_in_child(
          [&](int out, int err) {
            std::signal(SIGXFSZ, SIG_IGN);  // as the program does: a write past the limit fails with EFBIG
            refuse_unnamed_files = named;
            const int status = run_engine({"tessamer", "--request", request_path}, out, err);
            return named && refused_unnamed_files == 0 ? kUnnamedNeverTried : status;
          },
          options);
      EXPECT_EQ(run.status, 2);
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(run.err, "{\"code\":\"" + c.code + "\",\"message\":\"" + c.message + "\"}\n");
      EXPECT_EQ(sort_file_names(dir.file("out")), std::vector<std::string>{});
      EXPECT_EQ(sort_file_names(dir.path()), std::vector<std::string>{});
    }
  }
}

}  // namespace
}  // namespace tessamer::testing
