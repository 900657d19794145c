// The lookups of a page request share a read transaction of the definition database only
// where reading afresh would give the same: never across a data phase (which may write the
// file), and never beyond the request.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/page_fixture.h"
#include "support/read_transactions.h"

using namespace nv;
using namespace nv::test;

namespace {

class DefinitionReadsTest : public PageTest {
 protected:
  // A definition whose data database is given as stored ("./ZURazo.db", "./data.db").
  void Define(const std::string& name, const std::string& database, const std::string& input_start,
              const std::string& display) {
    Insert(definitions(), "INSERT INTO SQL VALUES (?, '', ?, '', ?, '', ?)",
           {name, database, input_start, display});
  }
  std::string Page(const std::string& name) { return Serve({{"SQL", name}}); }
};

// A phase writes the definition database, as its data database or as an attached one: the
// lookups after it (the display script after the input-start phase, the template after the
// display phase) read what it wrote, and the phase itself was not kept from writing by a read
// lock of the lookups before it.
TEST_F(DefinitionReadsTest, LookupsAfterAPhaseSeeWhatItWroteToTheDefinitionDatabase) {
  struct Case {
    const char* what;
    std::string database, attach, prefix;
  };
  const Case cases[] = {
      {"data database", "./ZURazo.db", "", ""},
      {"attached", "./data.db", "ATTACH './ZURazo.db' AS z;\n", "z."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RunAll(definitions(), {"DELETE FROM SQL", "DELETE FROM HTML"});
    AddTemplate("一覧表", "before:＠データ＠");
    Define("書換", c.database,
           c.attach + "UPDATE " + c.prefix +
               "SQL SET 表示用のSQL文等 = 'SELECT ''new'' AS v' WHERE 名称 = '書換';\nUPDATE " +
               c.prefix + "HTML SET 内容 = 'after:＠データ＠' WHERE 名称 = '一覧表';",
           "SELECT 'old' AS v;");
    EXPECT_EQ(Serve({}, {{"SQL", "書換"}}), "after:[\"v\"],[\"new\"]");

    Define("表示書換", c.database, "",
           c.attach + "UPDATE " + c.prefix +
               "HTML SET 内容 = 'shown:＠データ＠' WHERE 名称 = '一覧表';\nSELECT 'x' AS v;");
    EXPECT_EQ(Page("表示書換"), "shown:[\"v\"],[\"x\"]");
  }
}

TEST_F(DefinitionReadsTest, AChangeBetweenRequestsIsSeenByTheNextOne) {
  AddTemplate("一覧表", "one:＠データ＠");
  AddDefinition("表示", "", "", "SELECT 1 AS v;");
  EXPECT_EQ(Page("表示"), "one:[\"v\"],[\"1\"]");
  RunAll(definitions(), {"UPDATE HTML SET 内容 = 'two:＠データ＠'",
                         "UPDATE SQL SET 表示用のSQL文等 = 'SELECT 2 AS v;'"});
  EXPECT_EQ(Page("表示"), "two:[\"v\"],[\"2\"]");
}

// However a request fails, before, between or after its lookups, it leaves no read
// transaction behind: a writer gets the definition database at once (it waits for no lock),
// and the next request reads what that writer wrote.
TEST_F(DefinitionReadsTest, AFailureLeavesNoReadTransactionBehind) {
  AddTemplate("一覧表", "ok:＠データ＠");
  AddDefinition("表示", "", "", "SELECT 1 AS v;");
  RunAll(definitions(), {"CREATE TABLE 記録 (n)"});
  Define("数える", "./ZURazo.db", "", "SELECT count(*) AS v FROM 記録;");
  Define("壊す", "./ZURazo.db", "",
         "UPDATE HTML SET 内容 = 'changed' WHERE 名称 = '一覧表';\nSELECT * FROM 無い表;");
  struct Case {
    const char* what;
    std::string name;  // definition asked for
    std::function<void()> break_it, mend;
  };
  const auto sql = [&](std::vector<std::string> statements) {
    return [this, statements] { RunAll(definitions(), statements); };
  };
  const std::string log_path = Folder + "log.txt";
  const auto nothing = [] {};
  const Case cases[] = {
      {"the user table is missing", "表示", sql({"ALTER TABLE 利用者情報 RENAME TO 利用者"}),
       sql({"ALTER TABLE 利用者 RENAME TO 利用者情報"})},
      {"the START line cannot be written", "表示",
       [&] {
         std::filesystem::remove(log_path);
         std::filesystem::create_directory(log_path);
       },
       [&] { std::filesystem::remove(log_path); }},
      {"a definition lacks a column", "表示",
       sql({"ALTER TABLE SQL RENAME COLUMN 実行権限 TO 権限"}),
       sql({"ALTER TABLE SQL RENAME COLUMN 権限 TO 実行権限"})},
      {"the phase fails after writing the definition database", "壊す", nothing, nothing},
      {"a template lacks its text", "表示", sql({"ALTER TABLE HTML RENAME COLUMN 内容 TO 中身"}),
       sql({"ALTER TABLE HTML RENAME COLUMN 中身 TO 内容"})},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.break_it();
    TRequest req = MakeRequest({{"SQL", c.name}});
    TResponse resp;
    EXPECT_THROW(CGI(req, resp), std::exception);

    EXPECT_EQ(ErrorOf([&] { RunAll(definitions(), {"INSERT INTO 記録 VALUES (1)"}); }),
              "(no error)");
    c.mend();
    EXPECT_EQ(Page("数える"), "ok:[\"v\"],[\"" + std::to_string(++n) + "\"]");
  }
}

// The engine's read transactions on the definition database per request: the lookups from
// the gate to the first phase read in one, and so do the template lookups after the phases.
// The file here has just been written, too recently for its handle to be kept, so each
// connection is a new one and first reads the schema in a read transaction of its own: two a
// connection. Each lookup had a connection of its own before (in the order of the table: 6, 8,
// 8, 10, 12, 2).
TEST_F(DefinitionReadsTest, LookupsBeforeTheFirstPhaseShareOneReadTransaction) {
  AddMenu(kRole, 1, "売上");
  AddTemplate("メニュー", "menu");
  AddTemplate("SQL不明", "不明");
  AddTemplate("一覧表", "list");
  AddDefinition("表示", "", "", "SELECT 1 AS v;");
  AddDefinition("入力", "INSERT INTO trail VALUES ('start');", "", "SELECT 1 AS v;");
  struct Case {
    const char* what;
    Fields query;
    std::string body;  // posted as a form
    std::string password;
    int reads;
  };
  const Case cases[] = {
      {"menu page: gate, menu, its template", {}, "", "pw", 2},
      {"display phase: gate, menu, script | template", {{"SQL", "表示"}}, "", "pw", 4},
      {"unknown definition: gate, menu, script, its template", {{"SQL", "無い"}}, "", "pw", 2},
      {"missing template: ... | template, fallback",
       {{"SQL", "表示"}, {"HTML", "無い"}},
       "",
       "pw",
       4},
      {"posted form: gate, menu | input-start | per-record | display | template",
       {},
       "SQL=%E5%85%A5%E5%8A%9B",
       "pw",
       10},
      {"refused: gate", {{"SQL", "表示"}}, "", "wrong", 2},
  };
  DefinitionReadCounter counter;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TRequest req = MakeRequest(c.query, {}, c.password);
    if (!c.body.empty()) {
      req.Method = "POST";
      req.Headers.Add("Content-Type=application/x-www-form-urlencoded");
      req.Content = c.body;
    }
    counter.Take();
    Serve(req);
    EXPECT_EQ(counter.Take(), c.reads);
  }
  EXPECT_EQ(Trail(), (std::vector<std::string>{"start"}));
}

}  // namespace
