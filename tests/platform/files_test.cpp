// Replacing a file through a new one, and what a replacement cut short leaves for the start-up.
#include "platform/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/temp_dir.h"

using namespace nv;
using nv::test::ReadFile;
using nv::test::TempDir;
using nv::test::Tree;

TEST(ReplaceFile, ReplacesWholeAndLeavesNothingBeside) {
  TempDir dir;
  dir.Write("a/keep.bin", "former");
  ReplaceFileOrThrow(dir.file("a/keep.bin"), std::string("new\0bytes", 9));
  ReplaceFileOrThrow(dir.file("a/fresh.bin"), "");
  EXPECT_EQ(ReadFile(dir.file("a/keep.bin")), std::string("new\0bytes", 9));
  EXPECT_EQ(Tree(dir.file("a")), (std::vector<std::string>{"fresh.bin", "keep.bin"}));
}

// A target named like a replacement's new file would be unservable and gone after a restart.
TEST(ReplaceFile, ATargetWithAReplacementNameIsRefused) {
  TempDir dir;
  const std::string path = dir.file(".norvane-new-1-0");
  try {
    ReplaceFileOrThrow(path, "x");
    ADD_FAILURE() << "stored";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to create file \"" + path + "\": Invalid argument");
  }
  EXPECT_TRUE(Tree(dir.path()).empty());
}

TEST(ReplacementLeftovers, RemovedFromTheFolderAndBelowUnlessALiveReplacementHoldsThem) {
  TempDir dir;
  const std::string root = dir.folder();
  for (const char* name :
       {".norvane-new-77-0", "sub/.norvane-new-77-1", "sub/deep/.norvane-new-5-3", "keep.bin",
        "sub/norvane-new-1", "sub/x.norvane-new-1", ".norvane-new-folder/inside.txt"}) {
    dir.Write(name, "bytes");
  }
  dir.Write("busy/.norvane-new-8-0", "being written");
  std::filesystem::create_symlink("keep.bin", root + ".norvane-new-link");
  // A live replacement holds its new file's lock (here another open file of this process).
  const int busy = open(dir.file("busy/.norvane-new-8-0").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(busy, 0);
  ASSERT_EQ(flock(busy, LOCK_EX), 0);

  RemoveReplacementLeftovers(root + "sub/", false);
  EXPECT_TRUE(std::filesystem::exists(root + "sub/deep/.norvane-new-5-3"));
  EXPECT_FALSE(std::filesystem::exists(root + "sub/.norvane-new-77-1"));

  RemoveReplacementLeftovers(root, true);
  EXPECT_EQ(Tree(root), (std::vector<std::string>{
                            ".norvane-new-folder", ".norvane-new-folder/inside.txt",
                            ".norvane-new-link", "busy", "busy/.norvane-new-8-0", "keep.bin", "sub",
                            "sub/deep", "sub/norvane-new-1", "sub/x.norvane-new-1"}));
  close(busy);
  RemoveReplacementLeftovers(root + "busy/", false);
  EXPECT_FALSE(std::filesystem::exists(root + "busy/.norvane-new-8-0"));
}
