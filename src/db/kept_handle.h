// One engine handle of a database file kept open between the connections that use it in turn,
// so that the next connection to the file skips opening it, reading its schema and compiling
// the statements the previous ones ran (they are kept with the handle). A kept handle is
// handed out again only while the file is the one it was opened on and nothing but the engine
// can have written to it since: a file replaced by a rename, deleted, copied over or
// rewritten in place by another program shows in its stamp (see platform/files.h), and the
// handle is then closed and the file opened afresh. Writes through the engine, from this
// process or another, are the engine's own business: it compares the file's change counter with
// its cache at the start of every read.
#pragma once

#include <sqlite3.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"

namespace nv {

struct SqliteApi;

class KeptHandle {
 public:
  // A statement compiled on a kept handle.
  struct Statement {
    std::string sql;
    sqlite3_stmt* stmt = nullptr;
    bool in_use = false;  // handed out; otherwise reset, with no parameter bound
  };
  // What a connection holds while it uses a handle from here; it gives the lease back with the
  // handle.
  struct Lease {
    sqlite3* db = nullptr;           // the kept handle, or null: the caller opens the file itself
    std::optional<FileStamp> stamp;  // the file as it was before this use of it began
    bool settled = false;            // the stamp tells every later write apart (platform/files.h)
    std::vector<Statement> statements;  // compiled on db, kept for the next lease
  };

  explicit KeptHandle(WallClockFn now = WallClockNs) : now_(now) {}
  ~KeptHandle();
  KeptHandle(const KeptHandle&) = delete;
  KeptHandle& operator=(const KeptHandle&) = delete;

  // Stamps the file, and hands out the idle handle when it was opened on `path` with `api` and
  // the file has kept the stamp of its previous use; an idle handle that does not qualify is
  // closed.
  Lease Take(const SqliteApi& api, const std::string& path);
  // Keeps db and the lease's statements for the next Take when it has no transaction, no
  // statement running and its lease was settled; closes them otherwise (and always closes a
  // handle kept before).
  void Give(const SqliteApi& api, const std::string& path, sqlite3* db, Lease lease);

 private:
  void CloseIdle();

  // Connections of several threads may share one keeper (tests do); each handle is used by one
  // thread at a time.
  std::mutex mutex_;
  WallClockFn now_;
  const SqliteApi* api_ = nullptr;
  std::string path_;
  sqlite3* idle_ = nullptr;
  std::optional<FileStamp> stamp_;
  std::vector<Statement> statements_;
};

}  // namespace nv
