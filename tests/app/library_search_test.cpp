#include "app/library_search.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/temp_dir.h"

using namespace nv;

TEST(EngineLibrarySearch, SortedCaseInsensitiveAnyDepth) {
  nv::test::TempDir temp;
  const std::string dir = temp.folder();
  EXPECT_EQ(GetFilePath(dir, "libsqlcipher.so*", true), "");
  mkdir((dir + "a").c_str(), 0755);
  mkdir((dir + "Z").c_str(), 0755);
  mkdir((dir + "Z/deep").c_str(), 0755);
  nv::test::WriteFile(dir + "a/libsqlite3.so.0", "x");
  EXPECT_EQ(GetFilePath(dir, "libsqlite3.so*", true), dir + "a/libsqlite3.so.0");
  nv::test::WriteFile(dir + "LIBSQLITE3.SO", "x");
  // Beside the executable wins over a sub-folder named a; a sub-folder named z wins over both.
  EXPECT_EQ(GetFilePath(dir, "libsqlite3.so*", true), dir + "LIBSQLITE3.SO");
  nv::test::WriteFile(dir + "Z/deep/libsqlite3.so.0", "x");
  EXPECT_EQ(GetFilePath(dir, "libsqlite3.so*", true), dir + "Z/deep/libsqlite3.so.0");
  EXPECT_EQ(GetFilePath(dir, "libsqlite3.so*", false), dir + "a/libsqlite3.so.0");
  // A link loop does not make the search endless; a dangling link is no library.
  symlink(dir.c_str(), (dir + "a/loop").c_str());
  symlink((dir + "gone").c_str(), (dir + "libsqlite3.so.9").c_str());
  EXPECT_EQ(GetFilePath(dir, "libsqlite3.so*", true), dir + "Z/deep/libsqlite3.so.0");
  // Uploaded files are never taken for the engine.
  mkdir((dir + "images").c_str(), 0755);
  nv::test::WriteFile(dir + "images/libsqlcipher.so", "x");
  EXPECT_EQ(GetFilePath(dir, "libsqlcipher.so*", true), "");
}
