#include "core/run_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/process.h"

namespace tessamer {
namespace {

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  return names;
}

// Runs `body` with the working directory at `dir`, then goes back.
template <class Body>
void in_directory(const std::string& dir, Body body) {
  int back = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(back, 0);
  ASSERT_EQ(::chdir(dir.c_str()), 0);
  body();
  ASSERT_EQ(::fchdir(back), 0);
  ::close(back);
}

TEST(RunFile, UnnamedFromTheStart) {
  testing::TempDir dir;
  struct Case {
    const char* name;
    bool named;
    bool working_directory;  // created with "" from inside the directory
  };
  const Case cases[] = {
      {"O_TMPFILE", false, false},
      {"named fallback", true, false},
      {"O_TMPFILE in the working directory", false, true},
      {"named fallback in the working directory", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    force_named_run_files(c.named);
    IoResult<UniqueFd> fd = std::unexpected(IoError{"not run"});
    if (c.working_directory) {
      in_directory(dir.path(), [&] { fd = create_run_file(""); });
    } else {
      fd = create_run_file(dir.path());
    }
    force_named_run_files(false);
    ASSERT_TRUE(fd) << fd.error().text;
    EXPECT_TRUE(entries(dir.path()).empty());

    struct stat st {};
    ASSERT_EQ(::fstat(fd->get(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_nlink, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_NE(::fcntl(fd->get(), F_GETFD) & FD_CLOEXEC, 0);
    // Readable and writable through the one descriptor.
    ASSERT_EQ(::pwrite(fd->get(), "run", 3, 0), 3);
    char back[3];
    ASSERT_EQ(::pread(fd->get(), back, 3, 0), 3);
    EXPECT_EQ(std::string(back, 3), "run");
  }
}

TEST(RunFile, FailuresCarryTheSystemText) {
  testing::TempDir dir;
  std::string file = dir.write("file", "x");
  struct Case {
    const char* name;
    std::string location;
    std::string text;
  };
  const Case cases[] = {
      {"no such directory", dir.file("missing"), "No such file or directory (os error 2)"},
      {"a file, not a directory", file, "Not a directory (os error 20)"},
      {"a NUL byte in the path", dir.path() + std::string("\0x", 2), std::string(kNulInPathText)},
  };
  for (bool named : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (named ? ", named" : ", O_TMPFILE"));
      force_named_run_files(named);
      auto fd = create_run_file(c.location);
      force_named_run_files(false);
      ASSERT_FALSE(fd);
      EXPECT_EQ(fd.error().text, c.text);
    }
  }
  if (::geteuid() != 0) {
    std::string locked = dir.file("locked");
    ASSERT_EQ(::mkdir(locked.c_str(), 0500), 0);
    for (bool named : {false, true}) {
      SCOPED_TRACE(named ? "unwritable, named" : "unwritable, O_TMPFILE");
      force_named_run_files(named);
      auto fd = create_run_file(locked);
      force_named_run_files(false);
      ASSERT_FALSE(fd);
      EXPECT_EQ(fd.error().text, "Permission denied (os error 13)");
    }
  }
  EXPECT_EQ(entries(dir.path()).size(), geteuid() != 0 ? 2u : 1u);
}

}  // namespace
}  // namespace tessamer
