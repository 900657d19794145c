#include "db/kept_handle.h"

#include <algorithm>

#include "db/sqlite_api.h"

namespace nv {

namespace {

void CloseWithStatements(const SqliteApi& api, sqlite3* db,
                         std::vector<KeptHandle::Statement>& statements) {
  for (const KeptHandle::Statement& s : statements) api.finalize(s.stmt);
  statements.clear();
  api.close_v2(db);
}

}  // namespace

KeptHandle::~KeptHandle() { CloseIdle(); }

void KeptHandle::CloseIdle() {
  if (idle_ != nullptr) CloseWithStatements(*api_, idle_, statements_);
  idle_ = nullptr;
  api_ = nullptr;
}

KeptHandle::Lease KeptHandle::Take(const SqliteApi& api, const std::string& path) {
  Lease lease;
  // The clock first: a write after this reading gets a later time than the reading.
  const int64_t now = now_();
  lease.stamp = StampOf(path);
  lease.settled = Settled(lease.stamp, now);

  std::lock_guard lock(mutex_);
  if (idle_ != nullptr && api_ == &api && path_ == path && stamp_ == lease.stamp) {
    lease.db = idle_;
    lease.statements = std::move(statements_);
    statements_.clear();
    idle_ = nullptr;
    api_ = nullptr;
    return lease;
  }
  CloseIdle();
  return lease;
}

void KeptHandle::Give(const SqliteApi& api, const std::string& path, sqlite3* db, Lease lease) {
  // A transaction or a statement left running would hold locks, or change what the next user
  // of the handle sees: only a handle at rest is kept.
  bool at_rest = api.get_autocommit(db) != 0;
  for (sqlite3_stmt* s = api.next_stmt(db, nullptr); at_rest && s != nullptr;
       s = api.next_stmt(db, s)) {
    at_rest = std::any_of(lease.statements.begin(), lease.statements.end(),
                          [&](const Statement& kept) { return kept.stmt == s && !kept.in_use; });
  }
  std::lock_guard lock(mutex_);
  CloseIdle();
  if (!at_rest || !lease.settled) {
    CloseWithStatements(api, db, lease.statements);
    return;
  }
  api_ = &api;
  path_ = path;
  idle_ = db;
  stamp_ = lease.stamp;
  statements_ = std::move(lease.statements);
}

}  // namespace nv
