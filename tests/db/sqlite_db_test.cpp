#include "db/sqlite_db.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/test_db.h"

using namespace nv;
using namespace nv::test;

namespace {

using RowList = std::vector<std::vector<std::string>>;

class SqliteDbTest : public ::testing::Test {
 protected:
  void SetUp() override { SQLiteDefaultLibrary = kSqlite; }

  std::unique_ptr<TSQLite3Connection> Db(const std::string& library = kSqlite,
                                         const std::string& password = "") {
    return Connect(dir.file("t.db"), library, password);
  }

  static std::string Header(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes(16, '\0');
    in.read(bytes.data(), 16);
    return bytes;
  }

  TempDir dir;
};

TEST_F(SqliteDbTest, UnloadableEngineFailsEveryOpenWithItsPath) {
  const std::string cases[] = {
      "",                      // no engine found at start-up
      dir.file("missing.so"),  // no such file
      kNotSqlite.c_str(),      // loads, but is no SQLite
      dir.path(),              // a folder
  };
  for (const std::string& library : cases) {
    SCOPED_TRACE(library);
    SQLiteDefaultLibrary = library;
    TSQLite3Connection conn;
    conn.DatabaseName = dir.file("t.db");
    EXPECT_EQ(ErrorOf([&] { conn.Open(); }),
              "Can not load SQLite client library \"" + library + "\". Check your installation.");
    EXPECT_FALSE(conn.Connected());
    EXPECT_FALSE(std::filesystem::exists(dir.file("t.db")));
  }
}

TEST_F(SqliteDbTest, OpenCreatesAMissingFileAndEngineErrorsNameTheConnection) {
  auto conn = Db();
  EXPECT_TRUE(std::filesystem::exists(dir.file("t.db")));
  EXPECT_EQ(ErrorOf([&] { Rows(*conn, "SELECT * FROM t"); }),
            "TSQLite3Connection : no such table: t");
  EXPECT_EQ(ErrorOf([&] { Rows(*conn, "SELEC 1"); }),
            "TSQLite3Connection : near \"SELEC\": syntax error");

  TSQLite3Connection nowhere;
  nowhere.DatabaseName = dir.file("no/such/folder/t.db");
  EXPECT_EQ(ErrorOf([&] { nowhere.Open(); }), "TSQLite3Connection : unable to open database file");
  EXPECT_FALSE(nowhere.Connected());
}

TEST_F(SqliteDbTest, ValuesReadWholeAsTheEnginesText) {
  std::string long_text;
  for (int i = 0; i < 500; ++i) long_text += "あ";  // 1,500 bytes, 3 per character
  ASSERT_EQ(long_text.size(), 1500u);
  const std::string wide(5000, 'w');
  RunAll(dir.file("t.db"), {"CREATE TABLE v (a, b VARCHAR(10))"});
  Insert(dir.file("t.db"), "INSERT INTO v VALUES (?, ?)", {long_text, wide});
  RunAll(dir.file("t.db"), {
                               "INSERT INTO v VALUES (NULL, '')",
                               "INSERT INTO v VALUES (42, -7)",
                               "INSERT INTO v VALUES (1.5, 2.0)",
                               "INSERT INTO v VALUES (X'00FF41', CAST(X'610062' AS TEXT))",
                           });
  auto conn = Db();
  const RowList expected = {
      {long_text, wide},
      {"", ""},
      {"42", "-7"},
      {"1.5", "2.0"},
      {std::string("\0\xff"
                   "A",
                   3),
       std::string("a\0b", 3)},
  };
  EXPECT_EQ(Rows(*conn, "SELECT a, b FROM v ORDER BY rowid"), expected);
}

// A TAB row takes each value's text as the fields do (the engine's own text, NULL as ""), on
// both engines: integers at their limits, an integer next to the text it was compared as,
// reals, texts and blobs with zero bytes, NULL.
TEST_F(SqliteDbTest, TabRowsHoldTheValuesAsTheFieldsRead) {
  for (const std::string& library : {kSqlite, kCipher}) {
    SCOPED_TRACE(library);
    std::filesystem::remove(dir.file("t.db"));
    RunAll(dir.file("t.db"),
           {"CREATE TABLE v (a, t TEXT, n INTEGER)", "INSERT INTO v VALUES (0, '0012', 12)",
            "INSERT INTO v VALUES (-1, ' 7', 7)",
            "INSERT INTO v VALUES (9223372036854775807, 'x', -9223372036854775808)",
            "INSERT INTO v VALUES (1.5, 1e300, -0.0)", "INSERT INTO v VALUES (0.1, NULL, 100000)",
            "INSERT INTO v VALUES (X'00FF41', CAST(X'610062' AS TEXT), NULL)"},
           library);
    auto conn = Db(library);
    for (const char* sql :
         {"SELECT a, t, n, a + 0, n * 1, -n FROM v ORDER BY rowid",
          "SELECT t, n FROM v WHERE t = n", "SELECT t + 0, CAST(t AS INTEGER) FROM v"}) {
      SCOPED_TRACE(sql);
      std::vector<std::string> from_fields;
      for (const std::vector<std::string>& row : Rows(*conn, sql)) {
        std::string text;
        for (const std::string& value : row) text += value + "\t";
        from_fields.push_back(text);
      }
      TSQLQuery query;
      query.SetDatabase(conn.get());
      query.SetSQL(sql);
      query.Open();
      std::vector<std::string> tab_rows;
      for (; !query.Eof(); query.Next()) query.AppendTabRow(tab_rows.emplace_back());
      EXPECT_EQ(tab_rows, from_fields);
      EXPECT_FALSE(tab_rows.empty());
    }
  }
}

TEST_F(SqliteDbTest, OnlyTheFirstStatementOfATextRuns) {
  RunAll(dir.file("t.db"), {"CREATE TABLE t (a)", "INSERT INTO t VALUES (1)"});
  auto conn = Db();
  EXPECT_EQ(Rows(*conn, "SELECT count(*) FROM t; DELETE FROM t;"), RowList{{"1"}});

  TSQLQuery query;
  query.SetDatabase(conn.get());
  query.SetSQL("INSERT INTO t VALUES (2); DELETE FROM t");
  query.ExecSQL();
  conn->ExecuteDirect("INSERT INTO t VALUES (3); DROP TABLE t");
  conn->Transaction()->Commit();
  conn.reset();

  conn = Db();
  EXPECT_EQ(Rows(*conn, "SELECT a FROM t ORDER BY a"), (RowList{{"1"}, {"2"}, {"3"}}));
}

TEST_F(SqliteDbTest, ParametersAreFoundOutsideLiteralsAndComments) {
  struct Case {
    std::string sql;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"SELECT :a, :B, :b, :A", {"a", "B"}},  // one parameter per name, ASCII case ignored
      {"SELECT * FROM t WHERE x=:p1 AND y<>:p2;", {"p1", "p2"}},
      {"SELECT ':q', \"w:x\", `y:z`, [s:t] -- :c\n/* :d */ :e", {"e"}},
      {"SELECT :a||:b, (:c), :d*:e+:f-:g/:h,:i<:j>:k[x]\\:l",
       {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l"}},
      {"SELECT :a\t:b\n:c\r:d :e", {"a", "b", "c", "d", "e"}},
      {"SELECT : x, :=1, ::y, :", {}},
      {"SELECT :a.b, :名前, :x'", {"a.b", "名前", "x'"}},
      {"SELECT ?, ?7", {"", ""}},
      {"SELECT ':unclosed", {}},
      {"SELECT 1 /* :unclosed", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    TSQLQuery query;
    query.SetSQL(c.sql);
    std::vector<std::string> names;
    for (const TParam& p : query.Params()) names.push_back(p.Name);
    EXPECT_EQ(names, c.names);
  }
}

TEST_F(SqliteDbTest, ParametersBindTextAndUnassignedOnesAreNull) {
  auto conn = Db();
  TSQLQuery query;
  query.SetDatabase(conn.get());
  query.SetSQL("SELECT :a, :b IS NULL, :A || ?, ? IS NULL, $x IS NULL, ':a'");
  EXPECT_EQ(ErrorOf([&] { query.ParamByName("zz"); }), "Parameter \"zz\" not found");
  query.ParamByName("A").SetAsString("it's");
  query.Params().at(2).SetAsString("!");
  query.Open();
  std::vector<std::string> row;
  for (const TField& f : query.Fields()) row.push_back(f.AsString());
  // "$x" is the engine's own spelling: it must not pick up one of ours.
  EXPECT_EQ(row, (std::vector<std::string>{"it's", "1", "it's!", "1", "1", ":a"}));

  query.ParamByName("b").SetAsString("");  // an empty text is a text, not NULL
  query.Open();
  EXPECT_EQ(query.Fields().at(1).AsString(), "0");

  // A word right after "?" stays a word of its own: here the column's alias.
  query.SetSQL("SELECT ?x");
  query.Params().at(0).SetAsString("v");
  query.Open();
  EXPECT_EQ(query.FieldByName("x").AsString(), "v");
}

// Column names and engine messages quote the statement as written, not our rewrite of it.
TEST_F(SqliteDbTest, ParametersLeaveTheStatementTextAlone) {
  auto conn = Db();
  TSQLQuery query;
  query.SetDatabase(conn.get());
  query.SetSQL("SELECT :a, ?, :b+1, ?7, :a.b || 'x'");
  query.ParamByName("a").SetAsString("1");
  query.ParamByName("a.b").SetAsString("y");
  query.Params().at(1).SetAsString("q");
  query.Params().at(3).SetAsString("s");
  query.Open();
  std::vector<std::string> names, row;
  for (const TField& f : query.Fields()) {
    names.push_back(f.FieldName());
    row.push_back(f.AsString());
  }
  EXPECT_EQ(names[0], ":a");
  EXPECT_EQ(names[1], "?");
  EXPECT_EQ(names[2], ":b+1");
  EXPECT_EQ(row, (std::vector<std::string>{"1", "q", "", "s", "yx"}));
  query.SetSQL("SELECT :a :b");
  EXPECT_EQ(ErrorOf([&] { query.Open(); }), "TSQLite3Connection : near \":b\": syntax error");
}

TEST_F(SqliteDbTest, RepeatedColumnNamesGetTheSmallestFreeNumber) {
  auto conn = Db();
  TSQLQuery query;
  query.SetDatabase(conn.get());
  query.SetSQL("SELECT 1 AS a, 2 AS A, 3 AS a_1, 4 AS a, 5 AS b");
  query.Open();
  TStringList names;
  names.Add("left over");
  query.GetFieldNames(names);
  EXPECT_EQ(names.Items(), (std::vector<std::string>{"a", "A_1", "a_1_1", "a_2", "b"}));
  EXPECT_EQ(query.FieldByName("A").AsString(), "1");
  EXPECT_EQ(query.FieldByName("a_2").AsString(), "4");
  EXPECT_EQ(query.FieldByName("B").AsString(), "5");
  EXPECT_EQ(ErrorOf([&] { query.FieldByName("c"); }), "Field not found : \"c\"");
}

TEST_F(SqliteDbTest, RowsEofAndRecordCount) {
  RunAll(dir.file("t.db"), {"CREATE TABLE t (a)", "INSERT INTO t VALUES ('x'), ('y')"});
  auto conn = Db();
  TSQLQuery query;
  query.SetDatabase(conn.get());
  EXPECT_TRUE(query.Eof());

  query.SetSQL("SELECT a FROM t WHERE a = 'none'");
  query.Open();
  EXPECT_TRUE(query.Eof());
  EXPECT_EQ(query.RecordCount(), 0);

  query.SetSQL("SELECT a FROM t ORDER BY a");
  query.Open();
  ASSERT_FALSE(query.Eof());
  EXPECT_GT(query.RecordCount(), 0);
  EXPECT_EQ(query.Fields().at(0).AsString(), "x");
  query.Next();
  EXPECT_EQ(query.Fields().at(0).AsString(), "y");
  query.Next();
  EXPECT_TRUE(query.Eof());
  query.Next();  // past the end stays there
  EXPECT_TRUE(query.Eof());

  query.Close();
  EXPECT_TRUE(query.Eof());
  EXPECT_TRUE(query.Fields().empty());
}

TEST_F(SqliteDbTest, OpeningANonSelectRunsItAndFails) {
  RunAll(dir.file("t.db"), {"CREATE TABLE t (a)"});
  auto conn = Db();
  TSQLQuery query;
  query.SetDatabase(conn.get());
  for (const char* sql : {"INSERT INTO t VALUES (1)", "  -- only a comment", ""}) {
    SCOPED_TRACE(sql);
    query.SetSQL(sql);
    EXPECT_EQ(ErrorOf([&] { query.Open(); }), "Cannot open a non-select statement");
    EXPECT_FALSE(query.Active());
  }
  EXPECT_EQ(Rows(*conn, "SELECT count(*) FROM t"), RowList{{"1"}});
}

TEST_F(SqliteDbTest, NothingCommitsByItselfAndFreeingRollsBack) {
  RunAll(dir.file("t.db"), {"CREATE TABLE t (a)"});
  auto insert = [&](TSQLite3Connection& conn, const char* value) {
    TSQLQuery query;
    query.SetDatabase(&conn);
    query.SetSQL("INSERT INTO t VALUES (:v)");
    query.ParamByName("v").SetAsString(value);
    query.ExecSQL();
  };
  auto conn = Db();
  TSQLTransaction& transaction = *conn->Transaction();
  EXPECT_FALSE(transaction.Active());
  insert(*conn, "dropped");
  EXPECT_TRUE(transaction.Active());
  conn.reset();  // freed while active: rolled back

  conn = Db();
  insert(*conn, "kept");
  conn->Transaction()->Commit();
  EXPECT_FALSE(conn->Transaction()->Active());
  conn->Transaction()->Commit();  // inactive: nothing to do

  conn->Transaction()->SetActive(true);
  conn->Transaction()->SetActive(true);  // already active: no second BEGIN
  insert(*conn, "undone");
  conn->Transaction()->SetActive(false);
  EXPECT_FALSE(conn->Transaction()->Active());
  EXPECT_EQ(Rows(*conn, "SELECT a FROM t"), RowList{{"kept"}});
}

TEST_F(SqliteDbTest, CommitClosesOpenQueries) {
  auto conn = Db();
  TSQLQuery query;
  query.SetDatabase(conn.get());
  query.SetSQL("SELECT 1 UNION ALL SELECT 2");
  query.Open();
  conn->Transaction()->Commit();
  EXPECT_FALSE(query.Active());
  EXPECT_TRUE(query.Eof());
}

TEST_F(SqliteDbTest, ExecuteDirectNeedsATransactionAndAStatement) {
  TSQLite3Connection conn;
  SQLiteDefaultLibrary = kSqlite;
  conn.DatabaseName = dir.file("t.db");
  conn.Open();
  EXPECT_EQ(ErrorOf([&] { conn.ExecuteDirect(" \r\n"); }), "Transaction not set");
  TSQLQuery query;
  query.SetDatabase(&conn);
  query.SetSQL("SELECT 1");
  EXPECT_EQ(ErrorOf([&] { query.Open(); }), "Transaction not set");
  conn.CreateTransaction();
  EXPECT_EQ(ErrorOf([&] { conn.ExecuteDirect(" \r\n\t"); }), "SQL statement not set");
  EXPECT_FALSE(conn.Transaction()->Active());
}

// The executor's VACUUM and ATTACH lines: "End Transaction" commits, the statement runs
// outside any transaction, "Begin Transaction" opens one again; the object stays active.
TEST_F(SqliteDbTest, EndAndBeginTransactionSentDirectlyKeepTheTransactionActive) {
  RunAll(dir.file("t.db"), {"CREATE TABLE t (a)"});
  auto conn = Db();
  conn->ExecuteDirect("INSERT INTO t VALUES ('before')");
  conn->ExecuteDirect("End Transaction");
  conn->ExecuteDirect("VACUUM;");
  conn->ExecuteDirect("Begin Transaction");
  EXPECT_TRUE(conn->Transaction()->Active());
  conn->ExecuteDirect("INSERT INTO t VALUES ('after')");
  conn.reset();

  conn = Db();
  EXPECT_EQ(Rows(*conn, "SELECT a FROM t"), RowList{{"before"}});
}

TEST_F(SqliteDbTest, LocksFailAtOnceAndTransactionErrorsCarryTheEngineMessageAlone) {
  RunAll(dir.file("t.db"), {"CREATE TABLE t (a)", "INSERT INTO t VALUES ('a'), ('b')"});
  auto writer = Db();
  writer->ExecuteDirect("INSERT INTO t VALUES ('c')");
  auto other = Db();
  EXPECT_EQ(ErrorOf([&] { other->ExecuteDirect("INSERT INTO t VALUES (2)"); }),
            "TSQLite3Connection : database is locked");

  // A reader in the middle of its rows keeps the writer from committing.
  TSQLQuery reader;
  reader.SetDatabase(other.get());
  reader.SetSQL("SELECT a FROM t");
  reader.Open();
  ASSERT_FALSE(reader.Eof());
  EXPECT_EQ(ErrorOf([&] { writer->Transaction()->Commit(); }), "database is locked");
  EXPECT_TRUE(writer->Transaction()->Active());  // still there to be rolled back or retried

  other.reset();
  writer->Transaction()->Commit();
  EXPECT_EQ(ErrorOf([&] { writer->Transaction()->StartTransaction(); }), "(no error)");
  EXPECT_EQ(ErrorOf([&] { writer->Transaction()->StartTransaction(); }),
            "cannot start a transaction within a transaction");
  EXPECT_EQ(Rows(*writer, "SELECT a FROM t"), (RowList{{"a"}, {"b"}, {"c"}}));
}

TEST_F(SqliteDbTest, QueriesAndConnectionsMayBeFreedInEitherOrder) {
  RunAll(dir.file("t.db"), {"CREATE TABLE t (a)"});
  auto conn = Db();
  conn->ExecuteDirect("INSERT INTO t VALUES (1)");
  TSQLQuery query;
  query.SetDatabase(conn.get());
  query.SetSQL("SELECT a FROM t");
  query.Open();
  conn.reset();  // closes the query and rolls back
  EXPECT_FALSE(query.Active());
  EXPECT_EQ(query.Database(), nullptr);

  conn = Db();
  EXPECT_EQ(Rows(*conn, "SELECT count(*) FROM t"), RowList{{"0"}});
  {
    TSQLQuery early;
    early.SetDatabase(conn.get());
    early.SetSQL("SELECT a FROM t");
    early.Open();
  }
  conn->ExecuteDirect("INSERT INTO t VALUES (2)");  // the freed query left nothing behind
  conn->Transaction()->Commit();
}

TEST_F(SqliteDbTest, SqlCipherKeysTheDatabase) {
  RunAll(dir.file("t.db"), {"CREATE TABLE t (a)", "INSERT INTO t VALUES ('secret')"}, kCipher,
         "pass word");
  EXPECT_NE(Header(dir.file("t.db")), std::string("SQLite format 3\0", 16));

  auto same = Db(kCipher, "pass word");
  EXPECT_EQ(Rows(*same, "SELECT a FROM t"), RowList{{"secret"}});
  same.reset();

  struct Attempt {
    std::string library, password, message;
  };
  const std::string refused = "TSQLite3Connection : file is encrypted or is not a database";
  const Attempt attempts[] = {
      {kCipher, "another", refused},
      {kCipher, "", refused},
      {kSqlite, "pass word", "TSQLite3Connection : file is not a database"},
  };
  for (const Attempt& a : attempts) {
    SCOPED_TRACE(a.library + " / " + a.password);
    auto conn = Db(a.library, a.password);
    EXPECT_EQ(ErrorOf([&] { Rows(*conn, "SELECT a FROM t"); }), a.message);
  }
}

TEST_F(SqliteDbTest, TheKeyEndsAtTheFirstZeroByte) {
  RunAll(dir.file("t.db"), {"CREATE TABLE t (a)"}, kCipher, std::string("abc\0def", 7));
  auto conn = Db(kCipher, "abc");
  EXPECT_EQ(Rows(*conn, "SELECT count(*) FROM t"), RowList{{"0"}});
}

TEST_F(SqliteDbTest, PlainSqliteIgnoresTheKey) {
  RunAll(dir.file("t.db"), {"CREATE TABLE t (a)", "INSERT INTO t VALUES ('open')"}, kSqlite,
         "pass word");
  EXPECT_EQ(Header(dir.file("t.db")), std::string("SQLite format 3\0", 16));
  auto conn = Db(kSqlite);
  EXPECT_EQ(Rows(*conn, "SELECT a FROM t"), RowList{{"open"}});
}

TEST_F(SqliteDbTest, BothEnginesServeOneProcessSideBySide) {
  auto plain = Connect(dir.file("plain.db"), kSqlite);
  auto keyed = Connect(dir.file("keyed.db"), kCipher, "k");
  plain->ExecuteDirect("CREATE TABLE t (a)");
  keyed->ExecuteDirect("CREATE TABLE t (a)");
  plain->ExecuteDirect("INSERT INTO t VALUES (sqlite_version())");
  keyed->ExecuteDirect("INSERT INTO t VALUES (sqlite_version())");
  const auto plain_version = Rows(*plain, "SELECT a FROM t");
  const auto keyed_version = Rows(*keyed, "SELECT a FROM t");
  EXPECT_EQ(keyed_version, (RowList{{"3.15.2"}}));  // SQLCipher 3.4.1 inside
  EXPECT_NE(plain_version, keyed_version);
  plain->Transaction()->Commit();
  keyed->Transaction()->Commit();
}

TEST_F(SqliteDbTest, AnEngineLibraryThatHasGoneFailsTheNextOpen) {
  // A loaded library stays loaded, but the system loads it per connection: once its file is
  // gone, an open fails as that load would.
  const std::string library = dir.file("engine.so");
  std::filesystem::copy_file(kSqlite, library);
  Db(library);
  std::filesystem::remove(library);
  TSQLite3Connection conn;
  conn.DatabaseName = dir.file("t.db");
  SQLiteDefaultLibrary = library;
  EXPECT_EQ(ErrorOf([&] { conn.Open(); }),
            "Can not load SQLite client library \"" + library + "\". Check your installation.");
}

// A watched connection can stand in for a new one unless a statement left something in it
// that a new connection would not have.
TEST_F(SqliteDbTest, OnlyAConnectionThatKeptNothingOfItsWorkIsRenewable) {
  RunAll(dir.file("t.db"), {"CREATE TABLE t (a)"});
  struct Case {
    const char* sql;
    bool renewable;
  };
  const Case cases[] = {
      {"INSERT INTO t VALUES (1)", true},
      {"SELECT * FROM t", true},
      {"SELECT changes(), total_changes(), last_insert_rowid()", true},
      {"CREATE TABLE u (a)", true},
      {"PRAGMA foreign_keys = ON", false},
      {"PRAGMA user_version", false},
      {"ATTACH 'other.db' AS other", false},
      {"CREATE TEMP TABLE tt (a)", false},
      {"CREATE TEMPORARY VIEW tv AS SELECT 1", false},
      {"CREATE TABLE temp.tt (a)", false},
      {"CREATE TEMP TRIGGER tr AFTER INSERT ON t BEGIN SELECT 1; END", false},
      {"SELECT * FROM pragma_table_info('t')", false},
      {"SELECT * FROM temp.sqlite_master", false},
      {"ANALYZE temp", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    auto conn = Db();
    conn->WatchSession();
    conn->ExecuteDirect(c.sql);
    EXPECT_FALSE(conn->Renewable());  // still in its transaction
    conn->Transaction()->Commit();
    EXPECT_EQ(conn->Renewable(), c.renewable);
    conn.reset();
    std::filesystem::remove(dir.file("t.db"));
    RunAll(dir.file("t.db"), {"CREATE TABLE t (a)"});
  }
  auto unwatched = Db();
  EXPECT_FALSE(unwatched->Renewable());
  // SQLCipher's engine cannot set last_insert_rowid() back: its connection passes for a new
  // one only until it inserts a row.
  auto cipher = Db(kCipher);
  cipher->WatchSession();
  Rows(*cipher, "SELECT * FROM t");
  cipher->Transaction()->Commit();
  EXPECT_TRUE(cipher->Renewable());
  cipher->ExecuteDirect("INSERT INTO t VALUES (1)");
  cipher->Transaction()->Commit();
  EXPECT_FALSE(cipher->Renewable());
}

TEST_F(SqliteDbTest, ARenewedConnectionCountsAsANewOneWould) {
  RunAll(dir.file("t.db"), {"CREATE TABLE t (a)"});
  // The same work on a renewed connection and on a new one reads the same counters at every
  // step; each step commits, so the two never wait for each other.
  const auto counters = [](TSQLite3Connection& c, const std::string& sql) {
    c.ExecuteDirect(sql);
    RowList row = Rows(c, "SELECT changes(), total_changes(), last_insert_rowid()");
    c.Transaction()->Commit();
    return row;
  };
  auto renewed = Db();
  renewed->WatchSession();
  counters(*renewed, "INSERT INTO t VALUES (1)");
  counters(*renewed, "INSERT INTO t VALUES (2)");
  ASSERT_TRUE(renewed->Renewable());
  ASSERT_TRUE(renewed->Renew());
  auto fresh = Db();
  const char* steps[] = {
      "SELECT 1",
      "UPDATE t SET a = a WHERE 0",  // a change of no row leaves them as they were
      "UPDATE t SET a = a + 1",
      "INSERT INTO t VALUES (9)",
      "DELETE FROM t WHERE a = 9",  // the row went in the clean-up below: no row
  };
  const RowList expected[] = {{{"0", "0", "0"}},
                              {{"0", "0", "0"}},
                              {{"2", "2", "0"}},
                              {{"1", "3", "3"}},
                              {{"0", "3", "3"}}};
  for (size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE(steps[i]);
    EXPECT_EQ(counters(*renewed, steps[i]), expected[i]);
    RunAll(dir.file("t.db"), {"DELETE FROM t WHERE rowid > 2"});  // the same table for both
    EXPECT_EQ(counters(*fresh, steps[i]), expected[i]);
    RunAll(dir.file("t.db"), {"DELETE FROM t WHERE rowid > 2"});
  }
}

}  // namespace
