#include "db/kept_connections.h"

#include <algorithm>
#include <utility>

namespace nv {

namespace {

// A database in WAL mode keeps its log beside it while a connection is open, and the last
// connection to close folds the log back into the file: one kept open would change that.
bool HasWal(const std::string& path) { return StampOf(path + "-wal").has_value(); }

}  // namespace

KeptConnections::Entry KeptConnections::Remove(const std::string& path) {
  Entry entry;
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [&](const Entry& e) { return e.conn->DatabaseName == path; });
  if (it != entries_.end()) {
    entry = std::move(*it);
    entries_.erase(it);
  }
  return entry;
}

void KeptConnections::Keep(std::unique_ptr<TSQLite3Connection> conn, int64_t began_ns) {
  if (!conn || !conn->Renewable()) return;
  const std::optional<FileStamp> stamp = StampOf(conn->DatabaseName);
  if (!Settled(stamp, began_ns) || HasWal(conn->DatabaseName)) return;
  Entry replaced, evicted;  // closed once the lock is given back
  std::lock_guard lock(mutex_);
  replaced = Remove(conn->DatabaseName);
  if (entries_.size() >= kCapacity) {
    evicted = std::move(entries_.front());
    entries_.erase(entries_.begin());
  }
  entries_.push_back(Entry{std::move(conn), *stamp});
}

std::unique_ptr<TSQLite3Connection> KeptConnections::Take(const std::string& path,
                                                          const std::string& password) {
  Entry entry;
  {
    std::lock_guard lock(mutex_);
    entry = Remove(path);
  }
  if (!entry.conn || !entry.conn->CanStandInFor(path, password) || StampOf(path) != entry.stamp ||
      HasWal(path) || !entry.conn->Renew()) {
    return nullptr;
  }
  ++reuses_;
  return std::move(entry.conn);
}

void KeptConnections::Drop(const std::string& path) {
  Entry entry;
  std::lock_guard lock(mutex_);
  entry = Remove(path);
}

void KeptConnections::Clear() {
  std::vector<Entry> entries;
  std::lock_guard lock(mutex_);
  entries.swap(entries_);
}

const TSQLite3Connection* KeptConnections::Peek(const std::string& path) {
  std::lock_guard lock(mutex_);
  for (const Entry& e : entries_) {
    if (e.conn->DatabaseName == path) return e.conn.get();
  }
  return nullptr;
}

}  // namespace nv
