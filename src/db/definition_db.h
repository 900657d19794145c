// The definition database "ZURazo.db" in `Folder`: the stored application and its users.
#pragma once

#include <memory>

#include "db/sqlite_db.h"

namespace nv {

// Opens the definition database with the engine `SQLiteCipher`, always without a key (also
// under SQLCipher), and gives the connection its transaction, not yet started. The engine
// handle may be the one the previous connection left, as long as the file has not changed
// since (a replaced, deleted or rewritten file is opened afresh): a connection sees what a
// fresh open would. A missing file fails the open ("unable to open database file"), unless
// create_missing is set: only the set-up makes the file; a lookup that made an empty one would
// leave the next start in normal mode with no users, locked out of the set-up.
std::unique_ptr<TSQLite3Connection> OpenDefinitionDatabase(bool create_missing = false);

// The reads of the definition database within one request. Lookups that follow each other with
// nothing between them that could write the file share one read transaction while sharing is
// on: one lock and one look at the file's change counter, where each lookup would take its
// own. Whoever lets something run that may write the file calls End first: a data phase above
// all (its data database may be "ZURazo.db" itself, or attach it), which would otherwise fail
// on the lock this process holds. End also comes before work whose length the client decides,
// so that other programs are not kept from writing meanwhile. Outside sharing, and after End,
// a lookup reads in a transaction of its own and sees every write before it, as a new
// connection would.
class DefinitionReads {
 public:
  // From the next lookup on, lookups share one read transaction, until End.
  void Share() { sharing_ = true; }
  // Ends the shared read transaction (rolled back: nothing to keep) and the sharing.
  void End();

  // The connection for one lookup: while sharing, the one the previous lookup handed back,
  // inside its read transaction; otherwise a new one, as OpenDefinitionDatabase gives it.
  std::unique_ptr<TSQLite3Connection> Open();
  // A lookup that read without error hands its connection back: kept for the next lookup while
  // sharing, released otherwise. A lookup that failed releases its connection instead, so the
  // next one starts a transaction of its own.
  void Done(std::unique_ptr<TSQLite3Connection> conn);

 private:
  bool sharing_ = false;
  std::unique_ptr<TSQLite3Connection> shared_;
};

}  // namespace nv
