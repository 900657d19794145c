// The definition database "ZURazo.db" in `Folder`: the stored application and its users.
#pragma once

#include <memory>

#include "db/sqlite_db.h"

namespace nv {

// Opens the definition database with the engine `SQLiteCipher`, always without a key (also
// under SQLCipher), and gives the connection its transaction, not yet started.
std::unique_ptr<TSQLite3Connection> OpenDefinitionDatabase();

}  // namespace nv
