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

}  // namespace nv
