#include "db/definition_db.h"

#include "globals/globals.h"

namespace nv {

std::unique_ptr<TSQLite3Connection> OpenDefinitionDatabase() {
  auto conn = std::make_unique<TSQLite3Connection>();
  SQLiteDefaultLibrary = SQLiteCipher;
  conn->DatabaseName = Folder + "ZURazo.db";
  conn->Open();
  conn->CreateTransaction();
  return conn;
}

}  // namespace nv
