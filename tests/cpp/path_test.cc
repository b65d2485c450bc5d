// Paths as text: made normal as Python's posixpath.normpath does, and their
// final component and stem.

#include <gtest/gtest.h>

#include "base/path.h"

namespace vostrel {
namespace {

TEST(Path, FinalComponentAndStem) {
  EXPECT_EQ(file_stem("dir/000123.ldb"), "000123");
  EXPECT_EQ(file_stem("000123.log"), "000123");
  EXPECT_EQ(file_stem("a.b.c"), "a.b");
  EXPECT_EQ(file_stem("dir.d/000007"), "000007");
  EXPECT_EQ(file_stem("dir/.x"), ".x");
  EXPECT_EQ(file_stem("dir/x."), "x");
  EXPECT_EQ(file_stem("dir/"), "");
  EXPECT_EQ(file_stem(""), "");
  EXPECT_EQ(final_component("/a/b/c.log"), "c.log");
  EXPECT_EQ(final_component("c.log"), "c.log");
}

// What Python's posixpath.normpath gives for each.
TEST(NormalPath, AsPosixpathNormpath) {
  const struct { const char* path; const char* normal; } cases[] = {
      {"", "."}, {".", "."}, {"/", "/"}, {"//", "//"}, {"///", "/"}, {"//a//b/", "//a/b"},
      {"a/./b/../c", "a/c"}, {"../x", "../x"}, {"a/../..", ".."}, {"/../a", "/a"}, {"/a/b/..", "/a"},
      {"x/..", "."},
  };
  for (const auto& c : cases) EXPECT_EQ(normal_path(c.path), c.normal) << c.path;
}

}  // namespace
}  // namespace vostrel
