#include "engine/definition_lookup.h"

#include <gtest/gtest.h>

#include "globals/globals.h"
#include "support/process_values.h"
#include "support/test_db.h"

using namespace nv;
using namespace nv::test;

namespace {

using Entries = std::vector<std::string>;

const char kSchema[] =
    "CREATE TABLE SQL (名称 TEXT, 実行権限 TEXT, データベース TEXT, 暗号化 TEXT, "
    "入力開始時のSQL文等 TEXT, 入力一件分のSQL文等 TEXT, 表示用のSQL文等 TEXT)";
const char kDisplay[] = "表示用のSQL文等";
const char kInputStart[] = "入力開始時のSQL文等";

class DefinitionLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProcessValues(dir.folder());
    RunAll(definitions(), {kSchema, "CREATE TABLE HTML (名称 TEXT, 内容 TEXT)",
                           "CREATE TABLE メニュー (所属 TEXT, 親 INTEGER, 子 INTEGER, 孫 INTEGER, "
                           "表題 TEXT, リンク)"});
  }

  std::string definitions() const { return Folder + "ZURazo.db"; }

  void AddDefinition(const std::string& name, Value rights, Value path, Value flag, Value display,
                     Value input_start = "") {
    Insert(definitions(), "INSERT INTO SQL VALUES (?, ?, ?, ?, ?, '', ?)",
           {name, rights, path, flag, input_start, display});
  }
  void AddTemplate(const std::string& name, Value text) {
    Insert(definitions(), "INSERT INTO HTML VALUES (?, ?)", {name, text});
  }
  void AddMenu(const std::string& role, int a, int b, int c, Value title, Value link) {
    Insert(definitions(), "INSERT INTO メニュー VALUES (?, ?, ?, ?, ?, ?)",
           {role, std::to_string(a), std::to_string(b), std::to_string(c), title, link});
  }

  // Every lookup must hand back the state's connection slots empty.
  Entries Lookup(const std::string& mode, const std::string& name, const std::string& kubun,
                 const std::string& org) {
    TStringList list = GetZURazo(state, mode, name, kubun, org);
    EXPECT_EQ(state.Conn, nullptr);
    EXPECT_EQ(state.Query, nullptr);
    return list.Items();
  }
  Entries Script(const std::string& name, const std::string& org,
                 const std::string& kubun = kDisplay) {
    return Lookup("SQL", name, kubun, org);
  }

  std::string Failure(const std::string& mode, const std::string& name, const std::string& kubun,
                      const std::string& org) {
    std::string message = ErrorOf([&] { GetZURazo(state, mode, name, kubun, org); });
    EXPECT_EQ(state.Conn, nullptr);
    EXPECT_EQ(state.Query, nullptr);
    return message;
  }

  TempDir dir;
  TPageRequestState state;
};

TEST_F(DefinitionLookupTest, RightTestIsASubstringTestAndAnEmptyRolePassesOnlyEmptyRights) {
  AddDefinition("公開", "", "./a.db", "", "SELECT 1;");
  AddDefinition("管理", "Web管理者", "./a.db", "", "SELECT 1;");
  AddDefinition("二役", "Web管理者,営業", "./a.db", "", "SELECT 1;");
  struct Case {
    std::string name, org;
    bool runs;
  };
  const Case cases[] = {
      {"公開", "", true},
      {"公開", "営業", true},
      {"管理", "Web管理者", true},
      {"管理", "管理者", true},
      {"管理", "Web", true},
      {"管理", "web管理者", false},
      {"管理", "Web管理者 ", false},
      {"管理", "", false},
      {"二役", "営業", true},
      {"二役", "経理", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + " / " + c.org);
    EXPECT_EQ(Script(c.name, c.org).size(), c.runs ? 3u : 0u);
  }
}

TEST_F(DefinitionLookupTest, ScriptListHoldsPathFlagAndTheWholeUntrimmedScript) {
  std::string script = "\n  SELECT 1;\r\nSELECT 2;  \n";
  script += std::string(5000, 'x');  // read back whole, however long
  AddDefinition("一覧", "", "./data/app.db", " 有 ", script);
  EXPECT_EQ(Script("一覧", "営業"), (Entries{Folder + "data/app.db", " 有 ", script}));
}

TEST_F(DefinitionLookupTest, BlankPhaseColumnGivesNothingToRun) {
  const Value blanks[] = {"", " \r\n\t ", std::string("\x01\x1f \0", 4), std::nullopt};
  int n = 0;
  for (const Value& blank : blanks) {
    const std::string name = "空" + std::to_string(n++);
    AddDefinition(name, "", "./a.db", "", blank, "SELECT 1;");
    SCOPED_TRACE(name);
    EXPECT_EQ(Script(name, "営業"), Entries{});
    EXPECT_EQ(Script(name, "営業", kInputStart).size(), 3u);  // the other phase still runs
  }
}

TEST_F(DefinitionLookupTest, PathRuleResolvesDotSlashAndUnifiesSeparators) {
  struct Case {
    std::string stored, resolved;
  };
  const Case cases[] = {
      {"./data/app.db", Folder + "data/app.db"},
      {"data/app.db", "data/app.db"},
      {"../app.db", "../app.db"},
      {".\\app.db", "./app.db"},  // only "./" stands for the folder
      {"./sub\\deep/app.db", Folder + "sub/deep/app.db"},
      {"C:\\db\\app.db", "C:/db/app.db"},
      {"", ""},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string name = "p" + std::to_string(n++);
    AddDefinition(name, "", c.stored, "", "SELECT 1;");
    SCOPED_TRACE(c.stored);
    const Entries list = Script(name, "");
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0], c.resolved);
  }
}

// A Linux folder name may hold a backslash: only the stored part of the path is rewritten.
TEST_F(DefinitionLookupTest, PathRuleLeavesTheFolderItself) {
  Folder = dir.path() + "/odd\\name/";
  std::filesystem::create_directory(Folder);
  RunAll(definitions(), {kSchema});
  AddDefinition("x", "", "./a\\b.db", "", "SELECT 1;");
  EXPECT_EQ(Script("x", "").at(0), dir.path() + "/odd\\name/a/b.db");
}

TEST_F(DefinitionLookupTest, TemplatesGiveOneEntryEvenWhenEmptyAndNoneWhenMissing) {
  AddTemplate("空", "");
  AddTemplate("無値", std::nullopt);
  AddTemplate("頁", "<p>\r\n「名前」</p>\n");
  EXPECT_EQ(Lookup("HTML", "空", "", ""), Entries{""});
  EXPECT_EQ(Lookup("HTML", "無値", "", ""), Entries{""});
  EXPECT_EQ(Lookup("HTML", "頁", "", "営業"), Entries{"<p>\r\n「名前」</p>\n"});
  EXPECT_EQ(Lookup("HTML", "無い", "", ""), Entries{});
  EXPECT_EQ(Lookup("HTML", "頁 ", "", ""), Entries{});  // names match exactly
}

TEST_F(DefinitionLookupTest, MenuRowsAreSortedTabRowsOfEveryColumn) {
  AddMenu("営業", 2, 1, 1, "d", "/d");
  AddMenu("営業", 1, 2, 1, "c", std::nullopt);
  AddMenu("経理", 1, 1, 0, "other role", "/x");
  AddMenu("営業", 1, 1, 2, "b", "/b");
  AddMenu("営業", 1, 1, 1, "a", "/a\tb");
  state.MenuNameList.Add("replaced");
  state.MenuDataList.Add("kept\t");
  EXPECT_EQ(Lookup("MENU", "", "", "営業"), Entries{});
  EXPECT_EQ(state.MenuNameList.Items(), (Entries{"所属", "親", "子", "孫", "表題", "リンク"}));
  EXPECT_EQ(state.MenuDataList.Items(), (Entries{
                                            "kept\t",
                                            "営業\t1\t1\t1\ta\t/a\tb\t",
                                            "営業\t1\t1\t2\tb\t/b\t",
                                            "営業\t1\t2\t1\tc\t\t",
                                            "営業\t2\t1\t1\td\t/d\t",
                                        }));
}

TEST_F(DefinitionLookupTest, ARoleWithoutMenuRowsLeavesTheListsAlone) {
  AddMenu("営業", 1, 1, 1, "a", "/a");
  state.MenuNameList.Add("before");
  for (const char* role : {"総務", "", "営業 "}) {
    SCOPED_TRACE(role);
    Lookup("MENU", "", "", role);
    EXPECT_EQ(state.MenuNameList.Items(), Entries{"before"});
    EXPECT_EQ(state.MenuDataList.GetCount(), 0u);
  }
}

TEST_F(DefinitionLookupTest, MissingTablesGiveEmptyResults) {
  std::filesystem::remove(definitions());
  RunAll(definitions(), {"CREATE TABLE other (a)"});
  EXPECT_EQ(Script("一覧", ""), Entries{});
  EXPECT_EQ(Lookup("HTML", "頁", "", ""), Entries{});
  EXPECT_EQ(Lookup("MENU", "", "", "営業"), Entries{});
  EXPECT_EQ(state.MenuNameList.GetCount() + state.MenuDataList.GetCount(), 0u);
}

// A lookup never makes the definition database: an empty one would pass for the application at
// the next start. Its absence is a failure, also after a lookup that kept the file open.
TEST_F(DefinitionLookupTest, AMissingFileFailsAndIsNotCreated) {
  AddTemplate("頁", "x");
  EXPECT_EQ(Lookup("HTML", "頁", "", ""), Entries{"x"});
  std::filesystem::remove(definitions());
  const std::string missing = "TSQLite3Connection : unable to open database file";
  EXPECT_EQ(Failure("SQL", "一覧", kDisplay, "営業"), missing);
  EXPECT_EQ(Failure("HTML", "頁", "", ""), missing);
  EXPECT_EQ(Failure("MENU", "", "", "営業"), missing);
  EXPECT_FALSE(std::filesystem::exists(definitions()));
}

TEST_F(DefinitionLookupTest, OtherModeWordsOpenNothing) {
  // With no engine and no folder, any attempt to open would fail.
  SQLiteCipher = "";
  Folder = dir.file("nowhere/");
  state.MenuNameList.Add("untouched");
  for (const char* mode : {"sql", "Sql", "html", "menu", "", "SQL ", "MENU\n", "ＳＱＬ"}) {
    SCOPED_TRACE(mode);
    EXPECT_EQ(Lookup(mode, "一覧", kDisplay, "営業"), Entries{});
  }
  EXPECT_EQ(state.MenuNameList.Items(), Entries{"untouched"});
}

TEST_F(DefinitionLookupTest, FailuresToOpenTheDatabaseReachTheCaller) {
  SQLiteCipher = "";
  const std::string no_engine = "Can not load SQLite client library \"\". Check your installation.";
  EXPECT_EQ(Failure("SQL", "一覧", kDisplay, "営業"), no_engine);
  EXPECT_EQ(Failure("HTML", "頁", "", ""), no_engine);
  EXPECT_EQ(Failure("MENU", "", "", "営業"), no_engine);

  SQLiteCipher = kSqlite;
  Folder = dir.file("no/such/folder/");
  EXPECT_EQ(Failure("SQL", "一覧", kDisplay, "営業"),
            "TSQLite3Connection : unable to open database file");
}

TEST_F(DefinitionLookupTest, MissingColumnsOfAFoundRowReachTheCaller) {
  std::filesystem::remove(definitions());
  RunAll(definitions(), {"CREATE TABLE SQL (名称, 実行権限, データベース, 表示用のSQL文等)",
                         "CREATE TABLE HTML (名称, 本文)",
                         "INSERT INTO SQL VALUES ('公開', '', './a.db', 'SELECT 1;')",
                         "INSERT INTO SQL VALUES ('管理', 'Web管理者', './a.db', 'SELECT 1;')",
                         "INSERT INTO HTML VALUES ('頁', 'x')"});
  EXPECT_EQ(Failure("SQL", "公開", kDisplay, "営業"), "Field not found : \"暗号化\"");
  EXPECT_EQ(Failure("SQL", "公開", "無い列", "営業"), "Field not found : \"無い列\"");
  EXPECT_EQ(Failure("HTML", "頁", "", ""), "Field not found : \"内容\"");
  // Columns past a failed right test are never read.
  EXPECT_EQ(Script("管理", "営業", "無い列"), Entries{});

  // Nothing was left holding the file: a writer gets it at once.
  auto writer = Connect(definitions(), kSqlite);
  writer->ExecuteDirect("CREATE TABLE probe (a)");
  writer->Transaction()->Commit();
}

TEST_F(DefinitionLookupTest, NamesAndRolesAreValuesNotStatementText) {
  AddDefinition("一覧", "", "./a.db", "", "SELECT 1;");
  AddDefinition("O'Brien", "", "./b.db", "", "SELECT 2;");
  AddTemplate("頁", "x");
  AddMenu("営業", 1, 1, 1, "a", "/a");
  AddMenu("営'業", 1, 1, 1, "q", "/q");

  for (const char* name :
       {"x' OR '1'='1", "' OR 1=1 --", "x'; DELETE FROM SQL; --", "一覧'", "%", "一%"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Script(name, ""), Entries{});
    EXPECT_EQ(Lookup("HTML", name, "", ""), Entries{});
  }
  EXPECT_EQ(Script("O'Brien", "").at(0), Folder + "b.db");
  EXPECT_EQ(Script("一覧", "").size(), 3u);  // still there

  Lookup("MENU", "", "", "x' OR '1'='1");
  EXPECT_EQ(state.MenuDataList.GetCount(), 0u);
  Lookup("MENU", "", "", "営'業");
  EXPECT_EQ(state.MenuDataList.Items(), Entries{"営'業\t1\t1\t1\tq\t/q\t"});
}

// The definition database carries no key, also when the engine is SQLCipher.
TEST_F(DefinitionLookupTest, DefinitionDatabaseOpensWithoutAKeyUnderSqlCipher) {
  AddDefinition("一覧", "", "./a.db", "有", "SELECT 1;");
  SQLiteCipher = kCipher;
  CipherMode = true;
  EXPECT_EQ(Script("一覧", ""), (Entries{Folder + "a.db", "有", "SELECT 1;"}));
}

}  // namespace
