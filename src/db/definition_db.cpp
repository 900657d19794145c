#include "db/definition_db.h"

#include "globals/globals.h"

namespace nv {

namespace {

// The definition database is read several times per request (authentication, menu, every
// phase, the template): its handle stays open between those reads while the file stays as it
// was (kept_handle.h). Never freed: a handle closed at exit would need the engine library's
// table, whose lifetime ends in no defined order against this one.
KeptHandle& DefinitionHandle() {
  static KeptHandle* const kept = new KeptHandle();
  return *kept;
}

}  // namespace

std::unique_ptr<TSQLite3Connection> OpenDefinitionDatabase(bool create_missing) {
  auto conn = std::make_unique<TSQLite3Connection>();
  SQLiteDefaultLibrary = SQLiteCipher;
  conn->DatabaseName = Folder + "ZURazo.db";
  conn->CreateMissing = create_missing;
  conn->KeepHandleWith(&DefinitionHandle());
  conn->Open();
  conn->CreateTransaction();
  return conn;
}

void DefinitionReads::End() {
  sharing_ = false;
  shared_.reset();
}

std::unique_ptr<TSQLite3Connection> DefinitionReads::Open() {
  if (shared_) return std::move(shared_);
  return OpenDefinitionDatabase();
}

void DefinitionReads::Done(std::unique_ptr<TSQLite3Connection> conn) {
  if (sharing_ && conn && conn->Connected()) shared_ = std::move(conn);
}

}  // namespace nv
