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

// A kept file adds at its end, opens only a file that is there, and has no stamp once no name
// leads to it any more: what would be written to it then, nobody sees.
TEST(AppendFile, AddsAtTheEndAndLosesItsStampWithItsLastName) {
  TempDir dir;
  const std::string path = dir.file("log.txt");
  AppendFile file;
  EXPECT_FALSE(file.Open(path));
  EXPECT_FALSE(std::filesystem::exists(path)) << "opening never creates";

  struct Case {
    const char* what;
    void (*change)(const std::string& path, const std::string& dir);
    bool stamped;
  };
  const Case cases[] = {
      {"left alone", [](const std::string&, const std::string&) {}, true},
      {"renamed away: named elsewhere",
       [](const std::string& p, const std::string& d) {
         std::filesystem::rename(p, d + "old.txt");
       },
       true},
      {"deleted", [](const std::string& p, const std::string&) { std::filesystem::remove(p); },
       false},
      {"replaced by a rename",
       [](const std::string& p, const std::string& d) {
         nv::test::WriteFile(d + "new.txt", "new");
         std::filesystem::rename(d + "new.txt", p);
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(dir.file("old.txt"));
    nv::test::WriteFile(path, "a\n");
    ASSERT_TRUE(file.Open(path));
    file.Append("b\n");
    EXPECT_EQ(ReadFile(path), "a\nb\n");
    EXPECT_EQ(file.Stamp(), StampOf(path));
    c.change(path, dir.folder());
    EXPECT_EQ(file.Stamp().has_value(), c.stamped);
  }
}
