#include "db/kept_connections.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/test_db.h"

using namespace nv;
using namespace nv::test;

namespace {

// A clock far ahead of every file time: every file counts as settled.
int64_t Later() { return INT64_MAX / 2; }

// A connection to path that has done its work, as a phase leaves it.
std::unique_ptr<TSQLite3Connection> Done(const std::string& path) {
  auto conn = Connect(path, kSqlite);
  conn->WatchSession();
  Rows(*conn, "SELECT * FROM t");
  conn->Transaction()->Commit();
  return conn;
}

TEST(KeptConnections, AFewFilesAreKeptAndTheLongestKeptMakesRoom) {
  TempDir dir;
  std::vector<std::string> paths;
  for (size_t i = 0; i <= KeptConnections::kCapacity; ++i) {
    paths.push_back(dir.file(std::to_string(i) + ".db"));
    RunAll(paths.back(), {"CREATE TABLE t (v)"});
  }
  KeptConnections kept(Later);
  for (size_t i = 0; i < KeptConnections::kCapacity; ++i) kept.Keep(Done(paths[i]), Later());
  // Kept again, the first file's connection is the latest kept: the second one makes room.
  kept.Keep(Done(paths[0]), Later());
  kept.Keep(Done(paths.back()), Later());
  EXPECT_NE(kept.Peek(paths[0]), nullptr);
  EXPECT_EQ(kept.Peek(paths[1]), nullptr);
  for (size_t i = 2; i < paths.size(); ++i) EXPECT_NE(kept.Peek(paths[i]), nullptr) << i;

  SQLiteDefaultLibrary = kSqlite;
  const TSQLite3Connection* first = kept.Peek(paths[0]);
  EXPECT_EQ(kept.Take(paths[0], "").get(), first);
  EXPECT_EQ(kept.Peek(paths[0]), nullptr);
  EXPECT_EQ(kept.Reuses(), 1u);
  kept.Clear();
  for (const std::string& path : paths) EXPECT_EQ(kept.Peek(path), nullptr);
}

}  // namespace
