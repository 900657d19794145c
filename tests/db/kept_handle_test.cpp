#include "db/kept_handle.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>

#include "db/sqlite_db.h"
#include "platform/files.h"
#include "support/test_db.h"

using namespace nv;
using namespace nv::test;

namespace {

// A clock far ahead of every file time: every stamp counts as settled, so a handle is kept
// exactly as long as its file keeps its stamp.
int64_t Later() { return INT64_MAX / 2; }

class KeptHandleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SQLiteDefaultLibrary = kSqlite;
    Make(db(), "first");
    // The same shape and size, another value: only the content tells the two apart.
    Make(dir.file("other.db"), "other");
  }

  std::string db() const { return dir.file("d.db"); }
  static void Make(const std::string& path, const std::string& value) {
    RunAll(path, {"CREATE TABLE t (v)", "INSERT INTO t VALUES ('" + value + "')"});
  }

  // One connection through `kept`: what it reads from t, after "kept:" when it got the handle
  // of the previous one (whose TEMP table it then still sees) or "new:" when the file was opened
  // afresh.
  std::string Use(KeptHandle& kept) {
    TSQLite3Connection conn;
    conn.DatabaseName = db();
    conn.KeepHandleWith(&kept);
    conn.Open();
    conn.CreateTransaction();
    const bool same = !Rows(conn, "SELECT 1 FROM sqlite_temp_master WHERE name = 'mark'").empty();
    const std::string value = ErrorOf(
        [&] { throw std::runtime_error(Rows(conn, "SELECT group_concat(v) FROM t").at(0).at(0)); });
    conn.ExecuteDirect("CREATE TEMP TABLE IF NOT EXISTS mark (x)");
    conn.Transaction()->Commit();
    return (same ? "kept:" : "new:") + value;
  }

  TempDir dir;
};

TEST_F(KeptHandleTest, AHandleIsKeptWhileItsFileKeepsItsStamp) {
  KeptHandle kept(Later);
  EXPECT_EQ(Use(kept), "new:first");
  EXPECT_EQ(Use(kept), "kept:first");
  EXPECT_EQ(Use(kept), "kept:first");
}

TEST_F(KeptHandleTest, EveryChangeOfTheFileIsSeenAsAFreshOpenWouldSeeIt) {
  struct Case {
    const char* what;
    std::function<void()> change;
    std::string next;
  };
  const std::string other = dir.file("other.db");
  const Case cases[] = {
      {"replaced by a rename",
       [&] {
         std::filesystem::copy_file(other, dir.file("new.db"));
         std::filesystem::rename(dir.file("new.db"), db());
       },
       "new:other"},
      {"deleted", [&] { std::filesystem::remove(db()); },
       "new:TSQLite3Connection : no such table: t"},
      {"rewritten in place by another program", [&] { WriteFile(db(), ReadFile(other)); },
       "new:other"},
      {"copied over as the set-up route does", [&] { ASSERT_TRUE(CopyFileOver(other, db())); },
       "new:other"},
      {"another engine library", [&] { SQLiteDefaultLibrary = kCipher; }, "new:first"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(db());
    Make(db(), "first");
    SQLiteDefaultLibrary = kSqlite;
    KeptHandle kept(Later);
    Use(kept);
    ASSERT_EQ(Use(kept), "kept:first");
    c.change();
    EXPECT_EQ(Use(kept), c.next);
  }
}

TEST_F(KeptHandleTest, WritesThroughTheEngineAreSeenWhetherOrNotTheHandleIsKept) {
  KeptHandle kept(Later);
  Use(kept);
  RunAll(db(), {"UPDATE t SET v = 'second'"});
  const std::string next = Use(kept);
  EXPECT_EQ(next.substr(next.find(':')), ":second");
}

TEST_F(KeptHandleTest, AFileChangedTooRecentlyToTellWritesApartIsOpenedAfresh) {
  // The real clock: the file was written just now, so a rewrite of the same size within the
  // same step of the file times would leave its stamp as it was.
  KeptHandle kept;
  EXPECT_EQ(Use(kept), "new:first");
  WriteFile(db(), ReadFile(dir.file("other.db")));
  EXPECT_EQ(Use(kept), "new:other");
}

TEST_F(KeptHandleTest, AKeptStatementAnswersWithTheColumnsItsTableHasNow) {
  KeptHandle kept(Later);
  TSQLite3Connection conn;
  conn.DatabaseName = db();
  conn.KeepHandleWith(&kept);
  conn.Open();
  conn.CreateTransaction();
  TSQLQuery query;
  query.SetDatabase(&conn);
  query.SetSQL("SELECT * FROM t");
  query.Open();
  EXPECT_EQ(query.Fields().size(), 1u);
  query.Close();
  conn.Transaction()->Commit();

  RunAll(db(), {"ALTER TABLE t ADD COLUMN w DEFAULT 'x'"});
  query.Open();  // the statement compiled before, run again on the same handle
  TStringList names;
  query.GetFieldNames(names);
  EXPECT_EQ(names.Items(), (std::vector<std::string>{"v", "w"}));
  EXPECT_EQ(query.FieldByName("w").AsString(), "x");
}

}  // namespace
