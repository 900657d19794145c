#include "engine/lock_wait.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/files.h"
#include "support/fake_pause.h"
#include "support/files.h"
#include "support/temp_dir.h"

using namespace nv;
using namespace nv::test;

namespace {

ino_t Inode(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st.st_ino;
}

class LockWaitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakePause::Reset();
    WriteFile(db, "database bytes");
  }
  void TearDown() override { FakePause::Reset(); }

  TempDir dir;
  const std::string db = dir.file("data.db");
  const std::string journal = db + "-journal";
  const std::string backup = db + "_bkp";
};

TEST_F(LockWaitTest, NoJournalReturnsAtOnce) {
  const ino_t before = Inode(db);
  DBlockCheck(db, FakePause::Pause);
  EXPECT_EQ(FakePause::count, 0);
  EXPECT_EQ(Inode(db), before);
  EXPECT_FALSE(FileExists(backup));
}

TEST_F(LockWaitTest, JournalThatGoesDuringTheThirdPauseEndsTheWaitUntouched) {
  WriteFile(journal, "j");
  FakePause::on_pause = [&](int n) {
    if (n == 3) std::remove(journal.c_str());
  };
  const ino_t before = Inode(db);
  bool recovering = false;
  DBlockCheck(db, FakePause::Pause, [&] { recovering = true; });
  EXPECT_FALSE(recovering);
  EXPECT_EQ(FakePause::count, 3);
  EXPECT_EQ(FakePause::total_ms, 3000);
  EXPECT_EQ(Inode(db), before);
  EXPECT_FALSE(FileExists(backup));
}

TEST_F(LockWaitTest, LastingJournalMovesTheDatabaseAsideAfter31PausesAndPutsACopyBack) {
  WriteFile(journal, "j");
  WriteFile(backup, "an older backup");  // replaced: the backup is always the latest database
  const ino_t before = Inode(db);
  // The caller closes its own connections to the file before it moves.
  int pauses_then = 0;
  ino_t inode_then = 0;
  DBlockCheck(db, FakePause::Pause, [&] {
    pauses_then = FakePause::count;
    inode_then = Inode(db);
  });
  EXPECT_EQ(pauses_then, 31);
  EXPECT_EQ(inode_then, before);
  EXPECT_EQ(FakePause::count, 31);
  EXPECT_EQ(FakePause::total_ms, 31000);
  EXPECT_EQ(Inode(backup), before);  // the former database file itself
  EXPECT_EQ(ReadFile(backup), "database bytes");
  EXPECT_NE(Inode(db), before);  // a copy in its place
  EXPECT_EQ(ReadFile(db), "database bytes");
  EXPECT_TRUE(FileExists(journal));
}

TEST_F(LockWaitTest, FailedMoveNeverPutsAnOlderBackupInPlaceOfTheDatabase) {
  std::remove(db.c_str());
  WriteFile(journal, "j");
  WriteFile(backup, "an older backup");
  DBlockCheck(db, FakePause::Pause);
  // Nothing to roll back into a missing database: no writer needs the journal.
  EXPECT_EQ(FakePause::count, 0);
  EXPECT_FALSE(FileExists(db));
  EXPECT_EQ(ReadFile(backup), "an older backup");
}

// Journals the engine itself ignores: nobody holds a lock and nothing would be rolled back.
TEST_F(LockWaitTest, JournalNoWriterNeedsCostsNothing) {
  struct Case {
    const char* what;
    std::string journal;
    std::string database;
  };
  const Case cases[] = {
      {"zero header", std::string(512, '\0'), "database bytes"},
      {"empty journal", "", "database bytes"},
      {"beside an empty database", "j", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakePause::Reset();
    WriteFile(db, c.database);
    WriteFile(journal, c.journal);
    const ino_t before = Inode(db);
    DBlockCheck(db, FakePause::Pause);
    EXPECT_EQ(FakePause::count, 0);
    EXPECT_EQ(Inode(db), before);
    EXPECT_FALSE(FileExists(backup));
  }
}

TEST_F(LockWaitTest, EveryCallWaitsAnew) {
  WriteFile(journal, "j");
  for (int call = 1; call <= 3; ++call) DBlockCheck(db, FakePause::Pause);
  EXPECT_EQ(FakePause::count, 93);
  EXPECT_EQ(ReadFile(db), "database bytes");
}

}  // namespace

// A journal whose writer is still alive in another process: the database is not moved.
TEST_F(LockWaitTest, DatabaseLockedByALiveWriterIsNotMoved) {
  WriteFile(journal, "j");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  if (child == 0) {
    int fd = open(db.c_str(), O_RDWR);
    struct flock fl {};
    fl.l_type = F_RDLCK;  // a shared lock as the engine takes it
    fl.l_whence = SEEK_SET;
    fl.l_start = 0x40000002;
    fl.l_len = 1;
    fcntl(fd, F_SETLK, &fl);
    (void)!write(ready[1], "x", 1);
    pause();
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  const ino_t before = Inode(db);
  DBlockCheck(db, FakePause::Pause);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(FakePause::count, 31);
  EXPECT_EQ(Inode(db), before);
  EXPECT_FALSE(FileExists(backup));
}
