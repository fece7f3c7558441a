#include "core/file.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace tessamer {
namespace {

TEST(File, ParentPath) {
  struct Case {
    std::string path;
    std::optional<std::string> parent;
  };
  const Case cases[] = {
      {"report.jsonl", ""},      {"out/sub/r.jsonl", "out/sub"}, {"/r.jsonl", "/"},   {"", std::nullopt},
      {"/", std::nullopt},       {"//", std::nullopt},          {"a/./b", "a"},      {"a//", ""},
      {"a/.", ""},               {"./a", "."},                  {".", ""},           {"./", ""},
      {"..", ""},                {"a/..", "a"},                 {"/..", "/"},        {"//a", "/"},
      {"a//b//c", "a//b"},       {"a/b/", "a"},                 {"./a/./b/.", "./a"}, {".a/b", ".a"},
      {"/a/b/../c", "/a/b/.."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("path \"" + c.path + "\"");
    auto parent = parent_path(c.path);
    ASSERT_EQ(parent.has_value(), c.parent.has_value());
    if (parent) {
      EXPECT_EQ(*parent, *c.parent);
    }
  }
}

}  // namespace
}  // namespace tessamer
