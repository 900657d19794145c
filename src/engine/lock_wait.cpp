#include "engine/lock_wait.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/files.h"

namespace nv {

namespace {

constexpr int kPauseMs = 1000;
// Waits before the journal counts as left behind by a writer that will never finish.
constexpr int kMaxWaits = 30;

// The engine's lock bytes: pending, reserved and the shared range, from 1 GiB on.
constexpr long long kLockBytesStart = 0x40000000;
constexpr long long kLockBytesLength = 512;

// Moves the database aside as its backup and puts a copy back under its own name, so the
// caller opens a file that no stale lock of the old one refers to. The copy is made only from
// the file just moved: should the rename fail, an older backup must not replace the database.
//
// A file another process still locks belongs to a live writer: moving it (which a POSIX
// rename allows) would let the copy roll that writer's journal back and lose its commit, so
// it is left alone, as a rename of an open file would be refused elsewhere. A copy that fails
// is undone, so the database never turns up empty or cut short.
void Recover(const std::string& DBname) {
  if (RangeLockedElsewhere(DBname, kLockBytesStart, kLockBytesLength)) return;
  const std::string backup = DBname + "_bkp";
  if (std::rename(DBname.c_str(), backup.c_str()) != 0) return;
  if (!CopyFileOver(backup, DBname)) {
    std::remove(DBname.c_str());
    std::rename(backup.c_str(), DBname.c_str());
  }
}

// The engine's own test for a journal it would roll back, once nobody holds a lock: a journal
// beside an empty or missing database is dropped, and one whose first byte is zero (a zeroed
// header, or no byte at all) holds nothing to roll back. A journal that cannot be read counts
// as hot, as the engine counts it.
bool JournalIsHot(const std::string& DBname, const std::string& journal) {
  std::error_code ec;
  if (std::filesystem::file_size(DBname, ec) == 0 || ec) return false;
  std::ifstream in(journal, std::ios::binary);
  if (!in) return true;
  char first = 0;
  return in.get(first) && first != 0;
}

// Whether a writer may still need the journal: another process holds one of the engine's
// locks on the database, or the next open would roll the journal back. A journal that fails
// both (left by a writer killed at the wrong moment, or kept by the engine on purpose) is
// ignored by the engine, so waiting for it would only end in a needless recovery.
bool JournalInUse(const std::string& DBname, const std::string& journal) {
  return RangeLockedElsewhere(DBname, kLockBytesStart, kLockBytesLength) ||
         JournalIsHot(DBname, journal);
}

}  // namespace

void DBlockCheck(const std::string& DBname, const PauseFn& pause,
                 const std::function<void()>& before_recovery) {
  const std::string journal = DBname + "-journal";
  int waits = 0;
  while (FileExists(journal) && JournalInUse(DBname, journal)) {
    pause(kPauseMs);
    // The recovery follows the last pause at once: 31 pauses, no 32nd look at the journal.
    if (++waits > kMaxWaits) {
      if (before_recovery) before_recovery();
      Recover(DBname);
      return;
    }
  }
}

}  // namespace nv
