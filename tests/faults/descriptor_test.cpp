// Every way through the dataset stage closes every file it opened.
#include <dirent.h>

#include <gtest/gtest.h>

#include <set>

#include "engine/engine.h"
#include "support/process.h"

namespace tessamer {
namespace {

std::set<std::string> open_descriptors() {
  std::set<std::string> names;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return names;
  int own = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != ".." && name != std::to_string(own)) names.insert(name);
  }
  ::closedir(dir);
  return names;
}

TEST(Descriptors, NoPathLeavesAFileOpen) {
  testing::TempDir dir;
  std::string expected = dir.write("e.csv", "id,v\n1,a\n2,\xff\n");
  std::string different = dir.write("a.csv", "id,v\n1,b\n2,\xfe\n3,c\n");
  std::string same = dir.write("same.csv", "id,v\n1,a\n2,\xff\n");
  std::string bad_header = dir.write("bad.csv", "id,id\n");
  dir.write("file", "");

  ValidationRequest base;
  base.schema_version = 1;
  base.expected_path = expected;
  base.actual_path = same;
  base.divergence_path = dir.file("out/d.jsonl");
  base.encoding = "windows-1252";
  base.delimiter = ",";
  base.quote_char = "\"";
  base.has_header = true;
  base.example_limit = 1;

  struct Case {
    const char* name;
    void (*change)(ValidationRequest&, const testing::TempDir&);
    bool succeeds;
  };
  const Case cases[] = {
      {"identical files", [](ValidationRequest&, const testing::TempDir&) {}, true},
      {"streaming with divergences", [](ValidationRequest& r, const testing::TempDir& d) { r.actual_path = d.file("a.csv"); }, true},
      {"undecodable diverging cell",
       [](ValidationRequest& r, const testing::TempDir& d) {
         r.actual_path = d.file("a.csv");
         r.encoding = "utf-8";
       },
       false},
      {"bad actual header", [](ValidationRequest& r, const testing::TempDir& d) { r.actual_path = d.file("bad.csv"); }, false},
      {"report directory blocked",
       [](ValidationRequest& r, const testing::TempDir& d) {
         r.actual_path = d.file("a.csv");
         r.divergence_path = d.file("file/d.jsonl");
       },
       false},
      {"report names a dataset",
       [](ValidationRequest& r, const testing::TempDir& d) {
         r.actual_path = d.file("a.csv");
         r.divergence_path = r.expected_path;
       },
       false},
      {"report on a full device",
       [](ValidationRequest& r, const testing::TempDir& d) {
         r.actual_path = d.file("a.csv");
         r.divergence_path = "/dev/full";
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ValidationRequest request = base;
    c.change(request, dir);
    const std::set<std::string> before = open_descriptors();
    auto result = run_validation(request);
    EXPECT_EQ(result.has_value(), c.succeeds) << (result ? "" : result.error().message);
    EXPECT_EQ(open_descriptors(), before);
  }
}

}  // namespace
}  // namespace tessamer
