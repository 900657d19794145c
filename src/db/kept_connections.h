// Connections to data databases kept open between the units of work that use them in turn, so
// that the next one skips opening the file and reading its schema. A kept connection is handed
// out only where a new connection opened now would behave the same:
//   - it was watched since it was opened and noted nothing that stays in a connection (a
//     pragma, an attached database, a temporary object), the engine is in autocommit with no
//     statement alive, and no "-wal" file lies beside the database (TSQLite3Connection::Renewable
//     and the file test below);
//   - it was opened on the same path with the same key text and engine library
//     (CanStandInFor);
//   - the file has the stamp it had when the connection was kept (platform/files.h), and its
//     last change lay a file-system time step before the work on it began, so that neither a
//     later rewrite of the same size nor one made meanwhile hides behind an equal stamp: the
//     engine itself notices only writes that move the file's change counter;
//   - Renew succeeds: last_insert_rowid() reads 0, changes() and total_changes() count afresh.
// The caller runs the lock wait before Take as before an open, and Drops the path before the lock
// recovery moves the file aside. A connection that fails any of these is closed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "db/sqlite_db.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace nv {

class KeptConnections {
 public:
  // Up to this many files at a time, so that pages reading two data files gain as well.
  static constexpr size_t kCapacity = 4;

  explicit KeptConnections(WallClockFn now = WallClockNs) : now_(now) {}
  KeptConnections(const KeptConnections&) = delete;
  KeptConnections& operator=(const KeptConnections&) = delete;

  // The clock reading to pass to Keep, taken before the work on a connection begins.
  int64_t Now() const { return now_(); }

  // Takes a connection whose work (begun at began_ns, see Now) is done and committed; keeps
  // it under its DatabaseName, in place of one kept there before and of the longest kept one
  // when full, or closes it when it cannot stand in for a new one.
  void Keep(std::unique_ptr<TSQLite3Connection> conn, int64_t began_ns);
  // The connection kept for path, renewed, when it can stand in for a new one opened with
  // password on the engine `SQLiteDefaultLibrary` names; null otherwise. Either way nothing
  // stays kept for path.
  std::unique_ptr<TSQLite3Connection> Take(const std::string& path, const std::string& password);
  // Closes the connection kept for path, if any.
  void Drop(const std::string& path);
  // Closes every kept connection.
  void Clear();

  // The connection kept for path, or null; it stays kept.
  const TSQLite3Connection* Peek(const std::string& path);
  // How many connections Take has handed out.
  size_t Reuses() const { return reuses_; }

 private:
  struct Entry {
    std::unique_ptr<TSQLite3Connection> conn;
    FileStamp stamp;  // its file when it was kept
  };
  // Moves the entry of path out of entries_ (null conn when there is none).
  Entry Remove(const std::string& path);

  // Phases of several threads may share one set (tests do); each connection is used by one
  // thread at a time.
  std::mutex mutex_;
  WallClockFn now_;
  std::vector<Entry> entries_;  // longest kept first
  std::atomic<size_t> reuses_ = 0;
};

}  // namespace nv
