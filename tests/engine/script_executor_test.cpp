#include "engine/script_executor.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "auth/cipher.h"
#include "globals/globals.h"
#include "http/request.h"
#include "http/response.h"
#include "http/server.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "support/fake_pause.h"
#include "support/files.h"
#include "support/process_values.h"
#include "support/test_db.h"

using namespace nv;
using namespace nv::test;

namespace {

using Texts = std::vector<std::string>;

const std::string kPhrase = "0123456789AB";
std::string TestPhrase() { return kPhrase; }

class ExecutorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakePause::Reset();
    ResetProcessValues(dir.folder());
    FreshState();
    RunAll(data(), {"CREATE TABLE t (v TEXT)"});
  }
  void TearDown() override {
    state.Query.reset();
    state.Conn.reset();
    KeptDataConnections().Clear();
    FakePause::Reset();
  }

  std::string data() const { return Folder + "data.db"; }

  // The state a new page request starts with, for the same request and response.
  void FreshState() {
    state.Query.reset();  // before the connection it runs on
    state = TPageRequestState{};
    state.ARequest = &request;
    state.AResponse = &response;
  }

  void SetScript(const std::string& script, const std::string& flag = "",
                 const std::string& path = "") {
    state.SQL.Clear();
    state.SQL.Add(path.empty() ? data() : path);
    state.SQL.Add(flag);
    state.SQL.Add(script);
  }
  void Execute(const std::string& LPNo, bool First, bool Last, bool View = false) {
    SQLexecute(state, LPNo, First, Last, View, ExecutorHooks{FakePause::Pause, TestPhrase});
  }
  // One whole phase in one call, as the input-start and display phases run.
  void Run(const std::string& script, bool View = false) {
    SetScript(script);
    Execute("", true, true, View);
  }
  // The message of a failing call; a failure must never leave the phase connection behind.
  std::string Failure(const std::function<void()>& action) {
    const std::string message = ErrorOf(action);
    EXPECT_EQ(state.Conn, nullptr);
    EXPECT_EQ(state.Query, nullptr);
    return message;
  }

  // What table t holds, committed, as another connection sees it.
  Texts Stored() {
    auto conn = Connect(data(), kSqlite);
    Texts values;
    for (const auto& row : Rows(*conn, "SELECT v FROM t ORDER BY rowid")) values.push_back(row[0]);
    return values;
  }
  // The data database is free again: no journal left, and another connection can write.
  void ExpectUnlocked() {
    EXPECT_FALSE(FileExists(data() + "-journal"));
    EXPECT_EQ(ErrorOf([&] {
                RunAll(data(), {"CREATE TABLE probe (x)", "DROP TABLE probe"});
              }),
              "(no error)");
  }

  std::pair<Texts, Texts> Slot(int n) const {
    const TStringList* names[] = {&state.NameList1, &state.NameList2, &state.NameList3,
                                  &state.NameList4};
    const TRowList* rows[] = {&state.DataList1, &state.DataList2, &state.DataList3,
                              &state.DataList4};
    return {names[n - 1]->Items(), rows[n - 1]->Items()};
  }

  TempDir dir;
  TRequest request;
  TResponse response;
  TPageRequestState state;
};

// ---- splitting ----------------------------------------------------------------------------

TEST_F(ExecutorTest, SplittingIntoStatements) {
  struct Case {
    const char* what;
    std::string script;
    Texts stored;
  };
  const Case cases[] = {
      {"a statement over three lines", "INSERT INTO t\nVALUES\n('a');", {"a"}},
      {"a line break inside a literal becomes one blank", "INSERT INTO t VALUES('x\ny');", {"x y"}},
      {"two statements on one line",
       "INSERT INTO t VALUES('a'); INSERT INTO t VALUES('b');",
       {"a", "b"}},
      {"the last statement needs no ;",
       "INSERT INTO t VALUES('a');\nINSERT INTO t VALUES('b')",
       {"a", "b"}},
      {"an escaped ; stays inside the literal", "INSERT INTO t VALUES('a\\;b');", {"a;b"}},
      {"a directive line ends the statement before it",
       "INSERT INTO t VALUES('a')\n--note\nINSERT INTO t VALUES('b');",
       {"a", "b"}},
      {"an indented -- is statement text and swallows the next statement",
       "INSERT INTO t VALUES('a');\n  --note\nINSERT INTO t VALUES('b');\n"
       "INSERT INTO t VALUES('c');",
       {"a", "c"}},
      {"a -- comment behind a ; swallows the statement on the next line",
       "INSERT INTO t VALUES('a'); -- note\nINSERT INTO t VALUES('b');\n"
       "INSERT INTO t VALUES('c');",
       {"a", "c"}},
      {"a ; in a directive line cuts it, the rest runs",
       "-- note; INSERT INTO t VALUES('a')\nINSERT INTO t VALUES('b');",
       {"a", "b"}},
      {"CR LF and CR end lines too",
       "INSERT INTO t\r\nVALUES('a');\rINSERT INTO t VALUES('b');",
       {"a", "b"}},
      {"empty statements do nothing", " ;;\n\n;\n", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RunAll(data(), {"DELETE FROM t"});
    Run(c.script);
    EXPECT_EQ(Stored(), c.stored);
  }
}

TEST_F(ExecutorTest, SplitScriptIsLeftInSQLbunWithDirectiveLinesStillMarked) {
  Run("INSERT INTO t\nVALUES('a'); -- x\n--label\nSELECT 'p\\;q' AS v;");
  EXPECT_EQ(SQLbun, "INSERT INTO t VALUES('a');\n -- x\n--label＃##＃ SELECT 'p￥；q' AS v;\n ");
  EXPECT_EQ(Stored(), Texts{"a"});
  EXPECT_EQ(Memory.GetValue("v"), "p;q");
}

// ---- SELECTs ------------------------------------------------------------------------------

TEST_F(ExecutorTest, OnlyStatementsThatBeginWithSelectAreReadAsQueries) {
  struct Case {
    std::string statement;
    bool query;
  };
  const Case cases[] = {
      {"select 'm' AS v;", true},
      {" \t SeLeCt 'm' AS v", true},
      {"WITH w AS (SELECT 'm' AS v) SELECT v FROM w;", false},
      {"/* first */ SELECT 'm' AS v;", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.statement);
    Memory.Clear();
    state.SW = 0;
    Run(c.statement, /*View=*/true);
    EXPECT_EQ(Memory.GetValue("v"), c.query ? "m" : "");
    EXPECT_EQ(state.SW, c.query ? 1 : 0);
  }
}

TEST_F(ExecutorTest, FirstRowOfEverySelectBecomesMemoryVariablesForLaterStatements) {
  Memory.SetValue("kept", "1");
  Run("SELECT 'x1' AS a, 'y1' AS b UNION ALL SELECT 'x2', 'y2';\n"
      "SELECT 'z' AS a WHERE 0;\n"  // no row: a keeps its value
      "SELECT 'w' AS b, NULL AS c, 1 AS d, 2 AS d;\n"
      "INSERT INTO t VALUES('『a』/『b』');");
  EXPECT_EQ(Memory.GetValue("a"), "x1");
  EXPECT_EQ(Memory.GetValue("b"), "w");
  EXPECT_GE(Memory.IndexOfName("c"), 0);  // NULL reads as ""
  EXPECT_EQ(Memory.GetValue("c"), "");
  EXPECT_EQ(Memory.GetValue("d"), "1");
  EXPECT_EQ(Memory.GetValue("d_1"), "2");
  EXPECT_EQ(Memory.GetValue("kept"), "1");
  EXPECT_EQ(Stored(), Texts{"x1/w"});
}

TEST_F(ExecutorTest, WithoutViewOnlyTheFirstRowIsFetched) {
  // The second row fails when it is computed.
  RunAll(data(), {"CREATE TABLE n (i INTEGER)", "INSERT INTO n VALUES (1)",
                  "INSERT INTO n VALUES (-9223372036854775808)"});
  const std::string script = "SELECT abs(i) AS x FROM n ORDER BY rowid;";
  Run(script);
  EXPECT_EQ(Memory.GetValue("x"), "1");
  EXPECT_EQ(Failure([&] { Run(script, /*View=*/true); }), "TSQLite3Connection : integer overflow");
}

// ---- result slots and the TAB collection --------------------------------------------------

TEST_F(ExecutorTest, DisplaySelectsMoveToTheNextSlotWhenTheirColumnsChange) {
  using Slots = std::vector<std::pair<Texts, Texts>>;  // slots 1 to 4
  const struct {
    const char* script;
    Slots slots;
    int sw;
  } cases[] = {
      {"SELECT 1 AS a, 2 AS b;\nSELECT 3 AS a, 4 AS b;\nSELECT 5 AS x;\nSELECT 6 AS a, 7 AS b;\n"
       "SELECT 8 AS p;\nSELECT 9 AS q, 10 AS r;",
       {{{"a", "b"}, {"1\t2\t", "3\t4\t"}},
        {{"x"}, {"5\t"}},
        {{"a", "b"}, {"6\t7\t"}},
        {{"p"}, {"8\t", "9\t10\t"}}},
       4},
      // The same columns stay in slots 2 and 3 too.
      {"SELECT 1 AS a;\nSELECT 2 AS b;\nSELECT 3 AS b;",
       {{{"a"}, {"1\t"}}, {{"b"}, {"2\t", "3\t"}}, {}, {}},
       2},
      {"SELECT 1 AS a;\nSELECT 2 AS b;\nSELECT 3 AS c;\nSELECT 4 AS c;",
       {{{"a"}, {"1\t"}}, {{"b"}, {"2\t"}}, {{"c"}, {"3\t", "4\t"}}, {}},
       3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    FreshState();
    Run(c.script, /*View=*/true);
    for (int n = 1; n <= 4; ++n) EXPECT_EQ(Slot(n), c.slots[n - 1]) << n;
    EXPECT_EQ(state.SW, c.sw);
  }
}

TEST_F(ExecutorTest, EmptySelectOpensASlotAndClearDirectiveStartsOver) {
  Run("SELECT 1 AS a WHERE 0;\nSELECT 2 AS A;", /*View=*/true);  // letter case counts
  EXPECT_EQ(Slot(1), std::make_pair(Texts{"a"}, Texts{}));
  EXPECT_EQ(Slot(2), std::make_pair(Texts{"A"}, Texts{"2\t"}));

  Run("--ここでクリア");  // in any phase
  EXPECT_EQ(state.SW, 0);
  for (int n = 1; n <= 4; ++n) EXPECT_EQ(Slot(n), std::make_pair(Texts{}, Texts{})) << n;

  Run("SELECT 3 AS z;", /*View=*/true);
  EXPECT_EQ(Slot(1), std::make_pair(Texts{"z"}, Texts{"3\t"}));
  EXPECT_EQ(state.SW, 1);
}

TEST_F(ExecutorTest, TabCollectionTakesAllRowsOfTheFirstSelectOnly) {
  request.ContentFields().Add("TAB列=old\t\n");
  state.TABset = true;
  Run("SELECT 'a' AS x, 'b' AS y UNION ALL SELECT 'c', 'd';\nSELECT 'e' AS z;");
  EXPECT_EQ(request.ContentFields().GetValue("TAB列"), "old\t\na\tb\t\nc\td\t\n");
  EXPECT_FALSE(state.TABset);
  EXPECT_EQ(Memory.GetValue("x"), "a");
  EXPECT_EQ(Memory.GetValue("z"), "e");
}

TEST_F(ExecutorTest, TabCollectionWithViewTakesTheRowsWhileTheSlotTakesTheNames) {
  state.TABset = true;
  Run("SELECT 'r' AS n UNION ALL SELECT 's';\nSELECT 't' AS n;", /*View=*/true);
  EXPECT_EQ(request.ContentFields().GetValue("TAB列"), "r\t\ns\t\n");
  EXPECT_EQ(Slot(1), std::make_pair(Texts{"n"}, Texts{"t\t"}));
}

TEST_F(ExecutorTest, SelectWithoutRowsEndsTheTabCollectionAddingNothing) {
  state.TABset = true;
  Run("SELECT 1 AS k WHERE 0;\nSELECT 'm' AS k;");
  EXPECT_FALSE(state.TABset);
  EXPECT_EQ(request.ContentFields().IndexOfName("TAB列"), -1);
}

// ---- jump directives ----------------------------------------------------------------------

TEST_F(ExecutorTest, JumpDirectives) {
  enum Outcome { kJumped, kFell, kEnded };
  struct Case {
    std::string directive;
    std::string n = "";  // the posted field n
    std::string label_line = "--L";
    Outcome outcome = kJumped;
  };
  const Case cases[] = {
      {"--→L"},
      {"--skip to→  L  "},
      {"--→M", "", "--L", kEnded},
      {"--（1＝1）→L"},
      {"--(1＝2)→L", "", "--L", kFell},
      {"--(「n」≧10)→L", "12"},
      {"--(「n」≧10)→L", "abc", "--L", kFell},    // no number: 0
      {"--(「n」≧10)→L", "1,000", "--L", kFell},  // thousands separator: no number
      {"--(1.5＞1.25)→L"},
      {"--(1,5＞1)→L", "", "--L", kFell},
      {"--(a ＝a)→L", "", "--L", kFell},    // texts compare with their blanks
      {"--( 12 ≧ 10 )→L"},                  // numbers ignore them
      {"--(0≦1＝1)→L"},                     // ≦ wins over ＝: 0 ≦ "1＝1" (0)
      {"--(0＞4＜3)→L", "", "--L", kFell},  // ＞ wins over ＜: 0 ＞ "4＜3" (0)
      {"--(a≠b)→L"},
      {"--(-2＜-1)→L"},
      {"--(1e1≧10)→L"},
      {"--(＝)→L"},  // both sides empty
      {"--()→L", "", "--L", kFell},
      {"--(1＝1→L", "", "--L", kFell},
      {"--(x)→L", "", "--L", kFell},
      {"--(1＝1)", "", "--L", kFell},     // no arrow: a comment
      {"--→L(1＝2)", "", "--L", kFell},   // a condition behind the arrow still counts
      {"--→L(1＝1)", "", "--L", kEnded},  // ... and is part of the label
      {"--→L", "", "--L ", kEnded},       // label lines are compared exactly
      {"--→L", "", "-- L", kEnded},
      {"--→「n」", "L"},  // the label may come from the markup
      {"--クリア→L"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.directive + " n=" + c.n + " label line=" + c.label_line);
    RunAll(data(), {"DELETE FROM t"});
    request.ContentFields().SetValue("n", c.n);
    Run("INSERT INTO t VALUES('before');\n" + c.directive + "\nINSERT INTO t VALUES('skipped');\n" +
        c.label_line + "\nINSERT INTO t VALUES('after');");
    const Texts expected[] = {{"before", "after"}, {"before", "skipped", "after"}, {"before"}};
    EXPECT_EQ(Stored(), expected[c.outcome]);
  }
}

TEST_F(ExecutorTest, JumpsGoForwardOnlyAndAMissingLabelStillCommits) {
  Run("--L\nINSERT INTO t VALUES('before');\n--→L\nINSERT INTO t VALUES('skipped');");
  EXPECT_EQ(Stored(), Texts{"before"});
  EXPECT_EQ(state.Conn, nullptr);
}

// ---- VACUUM and ATTACH lines --------------------------------------------------------------

TEST_F(ExecutorTest, VacuumLineRunsOutsideTheTransactionInTheOpeningCallOnly) {
  RunAll(data(), {"CREATE TABLE big (b BLOB)", "INSERT INTO big VALUES (zeroblob(200000))"});
  RunAll(data(), {"DELETE FROM big"});
  auto free_pages = [&] {
    auto conn = Connect(data(), kSqlite);
    return Rows(*conn, "PRAGMA freelist_count")[0][0];
  };
  ASSERT_NE(free_pages(), "0");
  Run("vacuum;\nINSERT INTO t VALUES('a');");
  EXPECT_EQ(free_pages(), "0");
  EXPECT_EQ(Stored(), Texts{"a"});
  EXPECT_EQ(SQLbun.find("vacuum"), std::string::npos);

  // In a later row run it is an ordinary statement, inside the transaction.
  SetScript("VACUUM;\nINSERT INTO t VALUES('b');");
  Execute("", true, false);
  EXPECT_EQ(Failure([&] { Execute("", false, true); }),
            "TSQLite3Connection : cannot VACUUM from within a transaction");
  EXPECT_EQ(Stored(), Texts{"a"});
  ExpectUnlocked();
}

TEST_F(ExecutorTest, AttachLinesRunFirstWithHostPathsAndNoJumpSkipsThem) {
  std::filesystem::create_directory(Folder + "sub");
  RunAll(Folder + "sub/other.db", {"CREATE TABLE src (v TEXT)", "INSERT INTO src VALUES ('o1')"});
  Run("--→END\nattach './sub\\other.db' AS o;\n--END\nINSERT INTO t SELECT v FROM o.src;");
  EXPECT_EQ(Stored(), Texts{"o1"});
}

TEST_F(ExecutorTest, AttachLineOfALaterRowRunCommitsTheEarlierRunsThenFailsOnTheSameName) {
  RunAll(Folder + "other.db", {"CREATE TABLE src (v TEXT)"});
  SetScript("INSERT INTO t VALUES('「列:1」');\nATTACH './other.db' AS o;");
  Execute("row1\t", true, false);
  EXPECT_EQ(Failure([&] { Execute("row2\t", false, true); }),
            "TSQLite3Connection : database o is already in use");
  EXPECT_EQ(Stored(), Texts{"row1"});
  ExpectUnlocked();
}

// ---- one phase over several calls ---------------------------------------------------------

TEST_F(ExecutorTest, RowRunsShareOneTransactionCommittedByTheLastCall) {
  SetScript("INSERT INTO t VALUES('「列:1」');");
  Execute("one\t", true, false);
  ASSERT_NE(state.Conn, nullptr);
  EXPECT_EQ(Stored(), Texts{});
  EXPECT_TRUE(FileExists(data() + "-journal"));  // the phase holds the database
  Execute("two\t", false, false);                // a later call waits for no lock
  Execute("three\t", false, true);
  EXPECT_EQ(FakePause::count, 0);
  EXPECT_EQ(state.Conn, nullptr);
  EXPECT_EQ(state.Query, nullptr);
  EXPECT_EQ(Stored(), (Texts{"one", "two", "three"}));
  ExpectUnlocked();
}

// ---- row runs that commit on their own ----------------------------------------------------

// Row runs of the per-record phase (keep_spare set) that each open and commit: the committed
// connection waits in spare_conn for the next run. `script` runs once per row.
class SpareTest : public ExecutorTest {
 protected:
  void SetUp() override {
    ExecutorTest::SetUp();
    state.keep_spare = true;
  }
  // One row run that opens, commits and closes; true when it left its connection as spare.
  bool RowRun(const std::string& script) {
    SetScript(script);
    Execute("", true, true);
    EXPECT_EQ(state.Conn, nullptr);
    return state.spare_conn != nullptr;
  }
  // The data database as another process sees it between two runs: every committed row there,
  // and nothing locked.
  void ExpectCommittedAndFree(const Texts& rows) {
    EXPECT_EQ(Stored(), rows);
    EXPECT_FALSE(FileExists(data() + "-journal"));
    auto writer = Connect(data(), kSqlite);
    writer->ExecuteDirect("END");
    writer->ExecuteDirect("BEGIN IMMEDIATE");  // a writer gets in at once
  }
};

TEST_F(SpareTest, ARowRunHandsItsCommittedConnectionToTheNext) {
  const std::string script = "INSERT INTO t SELECT count(*) FROM t;";
  EXPECT_TRUE(RowRun(script));
  ExpectCommittedAndFree({"0"});
  EXPECT_TRUE(RowRun(script));
  ExpectCommittedAndFree({"0", "1"});
  EXPECT_TRUE(RowRun(script));
  ExpectCommittedAndFree({"0", "1", "2"});

  state.keep_spare = false;  // any other phase: opened and closed within the call
  EXPECT_FALSE(RowRun(script));
  EXPECT_EQ(Stored(), (Texts{"0", "1", "2", "3"}));
}

TEST_F(SpareTest, AConnectionThatKeptSomethingOfItsRunIsClosed) {
  RunAll(Folder + "other.db", {"CREATE TABLE src (v TEXT)"});
  struct Case {
    const char* what;
    std::string script;
  };
  const Case cases[] = {
      {"a setting", "PRAGMA recursive_triggers = ON;\nINSERT INTO t VALUES ('a');"},
      {"an attached database", "ATTACH './other.db' AS o;\nINSERT INTO t SELECT v FROM o.src;"},
      {"a temporary table", "CREATE TEMP TABLE x (v);\nINSERT INTO t VALUES ('a');"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(RowRun(c.script));
    EXPECT_FALSE(RowRun(c.script));  // and the next run works on a new connection as before
  }
  {
    auto conn = Connect(data(), kSqlite);
    conn->ExecuteDirect("END");  // the journal mode changes outside a transaction only
    conn->ExecuteDirect("PRAGMA journal_mode = WAL");
  }
  EXPECT_FALSE(RowRun("INSERT INTO t VALUES ('w');"));  // WAL: the last close checkpoints
}

TEST_F(SpareTest, ARunAfterTheFileChangedOpensItAfresh) {
  const std::string script = "INSERT INTO t SELECT count(*) FROM t;";
  RunAll(Folder + "other.db",
         {"CREATE TABLE t (v TEXT)", "INSERT INTO t VALUES ('x')", "INSERT INTO t VALUES ('y')"});
  struct Case {
    const char* what;
    std::function<void()> change;
    Texts stored;  // after the next run
  };
  const Case cases[] = {
      {"another connection wrote",
       [&] { RunAll(data(), {"INSERT INTO t VALUES ('z')"}); },
       {"0", "z", "2"}},
      {"replaced by a rename",
       [&] {
         std::filesystem::copy_file(Folder + "other.db", Folder + "new.db");
         std::filesystem::rename(Folder + "new.db", data());
       },
       {"x", "y", "2"}},
      {"copied over in place",
       [&] { ASSERT_TRUE(CopyFileOver(Folder + "other.db", data())); },
       {"x", "y", "2"}},
      {"recovered by the lock wait",
       [&] { std::ofstream(data() + "-journal") << "hot"; },  // lasts: 31 pauses, then recovery
       {"0", "1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(data());
    RunAll(data(), {"CREATE TABLE t (v TEXT)"});
    ASSERT_TRUE(RowRun(script));
    c.change();
    RowRun(script);
    EXPECT_EQ(Stored(), c.stored);
    std::filesystem::remove(data() + "_bkp");
  }
  EXPECT_EQ(FakePause::count, 31);
}

TEST_F(SpareTest, EachRunCountsItsChangesAsOnANewConnection) {
  RunAll(data(), {"CREATE TABLE counts (before, after)"});
  const std::string script =
      "INSERT INTO t VALUES (changes() || ' ' || total_changes() || ' ' || last_insert_rowid());\n"
      "INSERT INTO counts SELECT v, changes() || ' ' || total_changes() || ' ' || "
      "last_insert_rowid() FROM t WHERE rowid = last_insert_rowid();";
  for (int run = 0; run < 3; ++run) ASSERT_TRUE(RowRun(script));
  auto conn = Connect(data(), kSqlite);
  EXPECT_EQ(Rows(*conn, "SELECT before, after FROM counts ORDER BY rowid"),
            (std::vector<Texts>{{"0 0 0", "1 1 1"}, {"0 0 0", "1 1 2"}, {"0 0 0", "1 1 3"}}));
}

// ---- connections kept for later phases and requests --------------------------------------

// Each case runs two phases, as two requests would, in two folders made alike: once with the
// first phase's connection left kept for the second, once with the kept connections closed
// between the two. Whatever the page or another program can see must be the same.
class KeptConnectionTest : public ExecutorTest {
 protected:
  using Step = std::function<void(const std::string& folder)>;
  struct Case {
    const char* what;
    std::string first;  // the scripts of the two phases
    std::string later;
    bool kept;               // the first phase leaves its connection kept
    bool reused;             // and the later phase takes it
    Step between = nullptr;  // what happens to the files between the two phases
    Step before = nullptr;   // right before the first phase
    Step prepare = nullptr;  // while the folder is made
    bool cipher = false;     // SQLCipher, the data database encrypted with the key "k3y"
  };
  // What the page and other programs see.
  struct Outcome {
    std::string first;   // the first phase's error (or none) and memory variables
    std::string later;   // the same for the later phase, and its result slot 1
    std::string others;  // another connection afterwards: what it reads, whether it can write
    std::string files;   // journal, log and backup beside the database
    int pauses = 0;      // of the lock wait
    bool operator==(const Outcome&) const = default;
  };

  static std::string Data(const std::string& folder) { return folder + "data.db"; }
  static std::string Library(const Case& c) { return c.cipher ? kCipher : kSqlite; }
  static std::string Key(const Case& c) { return c.cipher ? "k3y" : ""; }

  // The same tables and the same number of commits with another one-letter value: the same
  // size and the same change counter, only the content differs.
  static void MakeData(const std::string& path, const Case& c, const std::string& value) {
    RunAll(
        path,
        {"CREATE TABLE t (v TEXT)", "INSERT INTO t VALUES ('" + value + "')", "CREATE TABLE r (n)",
         "CREATE TRIGGER more AFTER INSERT ON r WHEN new.n < 3 "
         "BEGIN INSERT INTO r VALUES (new.n + 1); END"},
        Library(c), Key(c));
  }

  // data.db ("A") and its twin twin.db ("B"), other.db to attach, and for SQLCipher the
  // administrator whose password is the key.
  void MakeFolder(const std::string& folder, const Case& c) {
    std::filesystem::create_directories(folder);
    MakeData(Data(folder), c, "A");
    MakeData(folder + "twin.db", c, "B");
    RunAll(folder + "other.db", {"CREATE TABLE src (v TEXT)", "INSERT INTO src VALUES ('o')"});
    if (c.cipher) {
      RunAll(folder + "ZURazo.db",
             {"CREATE TABLE 利用者情報 (名前 TEXT PRIMARY KEY, 暗号化パスワード TEXT, 所属 TEXT)"},
             kCipher);
      Insert(folder + "ZURazo.db", "INSERT INTO 利用者情報 VALUES (?, ?, ?)",
             {"admin", StoredCipherText("k3y", kPhrase), "Web管理者"}, kCipher);
    }
    if (c.prepare) c.prepare(folder);
  }

  // A kept connection's file must not have changed for a time step before its phase began.
  static void WaitUntilSettled(const std::vector<std::string>& folders) {
    for (const std::string& folder : folders) {
      while (!Settled(StampOf(Data(folder)), WallClockNs())) SleepMs(50);
    }
  }

  // One phase as a request runs it, with View, on a new page request state.
  std::string Phase(const std::string& script, const Case& c) {
    TRequest req;
    TResponse resp;
    TPageRequestState phase;
    phase.ARequest = &req;
    phase.AResponse = &resp;
    phase.SQL.Add(Data(Folder));
    phase.SQL.Add(c.cipher ? "有" : "");
    phase.SQL.Add(script);
    Memory.Clear();
    const std::string error = ErrorOf([&] {
      SQLexecute(phase, "", true, true, true, ExecutorHooks{FakePause::Pause, TestPhrase, &kept});
    });
    EXPECT_EQ(phase.Conn, nullptr);
    return error + "\n" + Memory.GetTextStr() + phase.DataList1.GetTextStr();
  }

  Outcome RunCase(const Case& c, const std::string& folder, bool fresh, bool& kept_after_first,
                  bool& reused) {
    FakePause::Reset();
    kept.Clear();
    Folder = folder;
    SQLiteCipher = Library(c);
    CipherMode = c.cipher;
    const std::string data = Data(folder);
    Outcome out;
    if (c.before) c.before(folder);
    out.first = Phase(c.first, c);
    kept_after_first = kept.Peek(data) != nullptr;
    if (c.between) c.between(folder);
    if (fresh) kept.Clear();
    const size_t reuses = kept.Reuses();
    out.later = Phase(c.later, c);
    reused = kept.Reuses() > reuses;
    out.pauses = FakePause::count;
    for (const char* beside : {"-journal", "-wal", "_bkp"}) {
      if (FileExists(data + beside)) out.files += beside;
    }
    out.others = ErrorOf([&] {
      auto conn = Connect(data, Library(c), Key(c));
      for (const auto& row : Rows(*conn, "SELECT v FROM t ORDER BY rowid")) out.others += row[0];
    });
    out.others += " / " + ErrorOf([&] {
                    RunAll(data, {"CREATE TABLE IF NOT EXISTS w (x)", "INSERT INTO w VALUES (1)"},
                           Library(c), Key(c));
                  });
    kept.Clear();
    return out;
  }

  void Compare(const std::vector<Case>& cases) {
    std::vector<std::string> folders;
    for (size_t i = 0; i < cases.size(); ++i) {
      for (const char* run : {"kept", "fresh"}) {
        folders.push_back(dir.folder() + std::to_string(i) + run + "/");
        MakeFolder(folders.back(), cases[i]);
      }
    }
    WaitUntilSettled(folders);
    for (size_t i = 0; i < cases.size(); ++i) {
      const Case& c = cases[i];
      SCOPED_TRACE(c.what);
      bool kept_after_first = false, reused = false, fresh_kept = false, fresh_reused = false;
      const Outcome with_kept = RunCase(c, folders[2 * i], false, kept_after_first, reused);
      const Outcome with_fresh = RunCase(c, folders[2 * i + 1], true, fresh_kept, fresh_reused);
      EXPECT_EQ(kept_after_first, c.kept);
      EXPECT_EQ(reused, c.reused);
      EXPECT_FALSE(fresh_reused);
      EXPECT_EQ(with_kept.first, with_fresh.first);
      EXPECT_EQ(with_kept.later, with_fresh.later);
      EXPECT_EQ(with_kept.others, with_fresh.others);
      EXPECT_EQ(with_kept.files, with_fresh.files);
      EXPECT_EQ(with_kept.pauses, with_fresh.pauses);
    }
    Folder = dir.folder();
  }

  KeptConnections kept;
};

TEST_F(KeptConnectionTest, AKeptConnectionServesALaterPhaseAsANewOneWould) {
  const std::string counters =
      "SELECT changes() AS c0, total_changes() AS t0, last_insert_rowid() AS l0;\n"
      "INSERT INTO t VALUES ('c');\n"
      "SELECT changes() AS c1, total_changes() AS t1, last_insert_rowid() AS l1;\n"
      "UPDATE t SET v = v;\n"
      "SELECT changes() AS c2, total_changes() AS t2, last_insert_rowid() AS l2;";
  const std::string temp_table =
      "CREATE TEMP TABLE x (v);\nINSERT INTO x SELECT v FROM t;\nSELECT count(*) AS n FROM x;";
  const std::string count = "SELECT count(*) AS n FROM t;";
  const std::string read = "SELECT v FROM t;";
  Compare({
      {"a read, then another", count, read, true, true},
      {"changes(), total_changes() and last_insert_rowid() after an insert rolled back",
       "INSERT INTO t VALUES ('gone');\nROLLBACK;\nBEGIN;\n" + count, counters, true, true},
      {"the counters on SQLCipher", count, counters, true, true, nullptr, nullptr, nullptr, true},
      {"CREATE TEMP TABLE run twice", temp_table, temp_table, false, false},
      {"ATTACH, then the attached table read without ATTACH",
       "ATTACH './other.db' AS o;\nSELECT v AS seen FROM o.src;", "SELECT v AS seen FROM o.src;",
       false, false},
      {"PRAGMA recursive_triggers", "PRAGMA recursive_triggers = ON;\n" + count,
       "DELETE FROM r;\nINSERT INTO r VALUES (1);\nSELECT count(*) AS n FROM r;", false, false},
      {"PRAGMA journal_mode", "PRAGMA journal_mode = PERSIST;\n" + count,
       "INSERT INTO t VALUES ('p');", false, false},
      {"PRAGMA locking_mode", "PRAGMA locking_mode = EXCLUSIVE;\n" + count, read, false, false},
      {"a phase that writes", "INSERT INTO t VALUES ('w');", read, false, false},
      {"the file changed just before the first phase", count, read, false, false, nullptr,
       [](const std::string& folder) { RunAll(Data(folder), {"INSERT INTO t VALUES ('b')"}); }},
      {"a database in WAL mode", count, read, false, false, nullptr, nullptr,
       [](const std::string& folder) {
         auto conn = Connect(Data(folder), kSqlite);
         conn->ExecuteDirect("END");  // the journal mode changes outside a transaction only
         conn->ExecuteDirect("PRAGMA journal_mode = WAL");
       }},
      {"the file replaced in place with the same size and change counter", count, read, true, false,
       [](const std::string& folder) {
         const std::string data = ReadFile(Data(folder)), twin = ReadFile(folder + "twin.db");
         ASSERT_EQ(data.size(), twin.size());
         ASSERT_EQ(data.substr(24, 4), twin.substr(24, 4));
         ASSERT_NE(data, twin);
         WriteFile(Data(folder), twin);
       }},
      {"a backup restored with mv", count, read, true, false,
       [](const std::string& folder) {
         std::filesystem::rename(folder + "twin.db", Data(folder));
       }},
      {"the file deleted", count, read, true, false,
       [](const std::string& folder) { std::filesystem::remove(Data(folder)); }},
      {"a write by another process", count, read, true, false,
       [](const std::string& folder) {
         const std::string command = "sqlite3 '" + Data(folder) + "' \"UPDATE t SET v = 'Z'\"";
         ASSERT_EQ(std::system(command.c_str()), 0);
       }},
      {"a changed SQLCipher key", count, read, true, false,
       [](const std::string& folder) {
         Insert(folder + "ZURazo.db", "UPDATE 利用者情報 SET 暗号化パスワード = ?",
                {StoredCipherText("n3w", kPhrase)}, kCipher);
       },
       nullptr, nullptr, true},
      {"another engine library", count, read, true, false,
       [](const std::string&) { SQLiteCipher = kCipher; }},
      {"a failing script", "INSERT INTO t VALUES ('f');\nSELECT * FROM missing;", read, false,
       false},
      {"a failing script on a kept connection", count,
       "INSERT INTO t VALUES ('f');\nSELECT * FROM missing;", true, true},
      {"a journal that outlasts the lock wait", count, read, true, false,
       [](const std::string& folder) { WriteFile(Data(folder) + "-journal", "hot"); }},
  });
}

// ---- failures -----------------------------------------------------------------------------

TEST_F(ExecutorTest, FailingStatementCommitsNothingAndReleasesTheDatabase) {
  struct Case {
    std::string script;
    std::string message;
  };
  const Case cases[] = {
      {"INSERT INTO t VALUES('a');\nINSERT INTO missing VALUES(1);\nINSERT INTO t VALUES('b');",
       "TSQLite3Connection : no such table: missing"},
      {"INSERT INTO t VALUES('a');\nINSERT INTO t VALUES('x;y');",
       "TSQLite3Connection : unrecognized token: \"'x;\""},
      {"INSERT INTO t VALUES('a');\nVACUUM;",
       "TSQLite3Connection : cannot VACUUM from within a transaction"},
      {"INSERT INTO t VALUES('a');\nSELECT abs(-9223372036854775807 - length(v)) FROM t;",
       "TSQLite3Connection : integer overflow"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    EXPECT_EQ(Failure([&] { Run(c.script); }), c.message);
    EXPECT_TRUE(SQLbun.starts_with("INSERT INTO t VALUES('a');\n")) << SQLbun;
    EXPECT_EQ(Stored(), Texts{});
    ExpectUnlocked();
  }
}

TEST_F(ExecutorTest, FailureInALaterRowRunRollsBackTheEarlierRuns) {
  SetScript("INSERT INTO t VALUES('a');");
  Execute("", true, false);
  SetScript("INSERT INTO nowhere VALUES(1);");
  EXPECT_EQ(Failure([&] { Execute("", false, true); }),
            "TSQLite3Connection : no such table: nowhere");
  EXPECT_EQ(Stored(), Texts{});
  ExpectUnlocked();
}

TEST_F(ExecutorTest, FailedCommitIsReportedAndThePhaseRolledBack) {
  // A reader's open transaction keeps the writer from committing (no busy time-out).
  auto reader = Connect(data(), kSqlite);
  reader->ExecuteDirect("SELECT * FROM t");
  EXPECT_EQ(Failure([&] { Run("INSERT INTO t VALUES('a');"); }), "database is locked");
  reader.reset();
  EXPECT_EQ(Stored(), Texts{});
  ExpectUnlocked();
}

// The deferred constraint fails only at the closing COMMIT: the script commits the engine's
// transaction itself, turns foreign keys on (the engine ignores that inside a transaction)
// and opens a new one.
TEST_F(ExecutorTest, ClosingCommitThatTheEngineRefusesIsReportedAndRolledBack) {
  RunAll(data(), {"CREATE TABLE parent (id INTEGER PRIMARY KEY)",
                  "CREATE TABLE child (p REFERENCES parent (id) DEFERRABLE INITIALLY DEFERRED)"});
  EXPECT_EQ(Failure([&] {
              Run("COMMIT;\nPRAGMA foreign_keys = ON;\nBEGIN;\nINSERT INTO child VALUES (7);");
            }),
            "FOREIGN KEY constraint failed");
  auto conn = Connect(data(), kSqlite);
  EXPECT_TRUE(Rows(*conn, "SELECT * FROM child").empty());
  conn.reset();
  ExpectUnlocked();
}

TEST_F(ExecutorTest, SecondFailedOpenEndsTheCallAndLeavesSQLbunAlone) {
  SQLbun = "previous";
  SQLiteCipher = Folder + "no-engine.so";
  EXPECT_EQ(
      Failure([&] { Run("INSERT INTO t VALUES('a');"); }),
      "Can not load SQLite client library \"" + SQLiteCipher + "\". Check your installation.");
  EXPECT_EQ(SQLbun, "previous");
  EXPECT_EQ(FakePause::count, 0);
}

TEST_F(ExecutorTest, FailedOpenIsRetriedOnceAfterAnotherLockWait) {
  // The journal outlasts the first wait (31 pauses, recovery); during the retry's wait the
  // engine becomes available and the journal goes.
  const std::string engine = Folder + "engine.so";
  const std::string journal = data() + "-journal";
  std::ofstream(journal) << "hot";  // no lock, but the engine would roll it back
  SQLiteCipher = engine;
  FakePause::on_pause = [&](int n) {
    if (n == 32) {
      ASSERT_EQ(symlink(kSqlite.c_str(), engine.c_str()), 0);
      std::remove(journal.c_str());
    }
  };
  Run("INSERT INTO t VALUES('a');");
  EXPECT_EQ(FakePause::count, 32);
  EXPECT_TRUE(FileExists(data() + "_bkp"));
  EXPECT_EQ(Stored(), Texts{"a"});
}

TEST_F(ExecutorTest, LastingJournalIsWaitedOutThenTheRecoveredCopyOpens) {
  std::ofstream(data() + "-journal") << "hot";  // the engine drops it: it has no valid header
  Run("INSERT INTO t VALUES('a');");
  EXPECT_EQ(FakePause::count, 31);
  EXPECT_TRUE(FileExists(data() + "_bkp"));
  EXPECT_EQ(Stored(), Texts{"a"});
}

// Under the server the lock wait pauses through the request's own pause, which serves the
// other clients meanwhile; the wait keeps its count.
TEST_F(ExecutorTest, LockWaitPausesThroughTheRequestsPause) {
  std::ofstream(data() + "-journal") << "hot";
  std::vector<int> pauses;
  request.Pause = [&](int ms) { pauses.push_back(ms); };
  SetScript("INSERT INTO t VALUES('a');");
  SQLexecute(state, "", true, true, false);
  EXPECT_EQ(pauses, std::vector<int>(31, 1000));
  EXPECT_EQ(Stored(), Texts{"a"});
}

// Journals that no writer needs, as a writer killed at the wrong moment leaves them: the
// engine ignores them, and so does the lock wait.
TEST_F(ExecutorTest, StaleJournalCostsNoWaitAndNoRecovery) {
  const std::string journals[] = {std::string(512, '\0'), ""};
  for (const std::string& journal : journals) {
    SCOPED_TRACE(journal.size());
    FakePause::Reset();
    RunAll(data(), {"DELETE FROM t"});
    WriteFile(data() + "-journal", journal);
    Run("INSERT INTO t VALUES('a');");
    EXPECT_EQ(FakePause::count, 0);
    EXPECT_FALSE(FileExists(data() + "_bkp"));
    EXPECT_EQ(Stored(), Texts{"a"});
  }
}

// A writer in another process holds the database and its journal: the phase waits until it
// commits (during the third pause), then runs on the database as that writer left it.
TEST_F(ExecutorTest, LiveWriterInAnotherProcessIsWaitedFor) {
  int ready[2], go[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  const pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    char c = 0;
    try {
      auto conn = Connect(data(), kSqlite);
      conn->ExecuteDirect("INSERT INTO t VALUES('writer')");
      c = 'r';
      if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) != 1) _exit(1);
      conn->Transaction()->Commit();
    } catch (const std::exception&) {
      _exit(1);
    }
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_TRUE(FileExists(data() + "-journal"));
  int status = -1;
  FakePause::on_pause = [&](int n) {
    if (n != 3) return;
    ASSERT_EQ(write(go[1], "g", 1), 1);
    waitpid(writer, &status, 0);
  };
  Run("INSERT INTO t VALUES('a');");
  if (status == -1) {
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
  }
  EXPECT_EQ(status, 0);
  EXPECT_EQ(FakePause::count, 3);
  EXPECT_FALSE(FileExists(data() + "_bkp"));
  EXPECT_EQ(Stored(), (Texts{"writer", "a"}));
  for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
}

// ---- encrypted data databases -------------------------------------------------------------

TEST_F(ExecutorTest, EncryptedDatabaseOpensWithTheAdministratorsPassword) {
  SQLiteCipher = kCipher;
  CipherMode = true;
  RunAll(Folder + "ZURazo.db",
         {"CREATE TABLE 利用者情報 (名前 TEXT PRIMARY KEY, 暗号化パスワード TEXT, 所属 TEXT)"},
         kCipher);
  Insert(Folder + "ZURazo.db", "INSERT INTO 利用者情報 VALUES (?, ?, ?)",
         {"admin", StoredCipherText("k3y", kPhrase), "Web管理者"}, kCipher);
  const std::string secret = Folder + "secret.db";
  RunAll(secret, {"CREATE TABLE s (v TEXT)", "INSERT INTO s VALUES ('hidden')"}, kCipher, "k3y");

  SetScript("SELECT v FROM s;", "有", secret);
  Execute("", true, true);
  EXPECT_EQ(Memory.GetValue("v"), "hidden");

  SetScript("SELECT v FROM s;", "", secret);
  EXPECT_EQ(Failure([&] { Execute("", true, true); }),
            "TSQLite3Connection : file is encrypted or is not a database");
}

TEST_F(ExecutorTest, EncryptionFlagWithoutCipherModeOpensWithoutKey) {
  // No user table exists: looking up a key would fail.
  SetScript("SELECT 'plain' AS v;", "有");
  SQLexecute(state, "", true, true, false);
  EXPECT_EQ(Memory.GetValue("v"), "plain");
}

}  // namespace
