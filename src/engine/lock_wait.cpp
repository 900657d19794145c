#include "engine/lock_wait.h"

#include <cstdio>

#include "platform/files.h"

namespace nv {

namespace {

constexpr int kPauseMs = 1000;
// Waits before the journal counts as left behind by a writer that will never finish.
constexpr int kMaxWaits = 30;

// Moves the database aside as its backup and puts a copy back under its own name, so the
// caller opens a file that no stale lock of the old one refers to. The copy is made only from
// the file just moved: should the rename fail, an older backup must not replace the database.
void recover(const std::string& DBname) {
  const std::string backup = DBname + "_bkp";
  if (std::rename(DBname.c_str(), backup.c_str()) != 0) return;
  CopyFileOver(backup, DBname);
}

}  // namespace

void DBlockCheck(const std::string& DBname, PauseFn pause) {
  const std::string journal = DBname + "-journal";
  int waits = 0;
  while (FileExists(journal)) {
    pause(kPauseMs);
    // The recovery follows the last pause at once: 31 pauses, no 32nd look at the journal.
    if (++waits > kMaxWaits) {
      recover(DBname);
      return;
    }
  }
}

}  // namespace nv
