#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <regex>

#include "engine/host_addresses.h"
#include "engine/renderings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "support/http_client.h"
#include "support/page_fixture.h"
#include "support/server_thread.h"
#include "text/html_escape.h"
#include "text/strings.h"

using namespace nv;
using namespace nv::test;

namespace {

const char kStart[] = "INSERT INTO trail VALUES ('start');";
const char kRow[] = "INSERT INTO trail VALUES ('row');";
const char kDisplay[] = "INSERT INTO trail VALUES ('display');";

using Phases = std::vector<std::string>;

TEST_F(PageTest, RefusedRequestsGetTheChallengeAndLeaveLogAndMemoryAlone) {
  Memory.SetValue("残り", "1");
  SQLname = "前回";
  struct Case {
    const char* what;
    std::string authorization;
  };
  const Case cases[] = {
      {"no header", ""},
      {"wrong password", "Basic " + EncodeStringBase64("taro:wrong")},
      {"unknown user", "Basic " + EncodeStringBase64("hanako:pw")},
      {"other scheme", "Bearer " + EncodeStringBase64("taro:pw")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TRequest req = MakeRequest({{"SQL", "表示"}});
    req.Authorization = c.authorization;
    TResponse resp;
    CGI(req, resp);
    EXPECT_EQ(resp.Code, 401);
    EXPECT_EQ(resp.CustomHeaders.GetValue("WWW-Authenticate"), "Basic realm=\"SECRET AREA\"");
    EXPECT_EQ(resp.Contents.GetCount(), 0u);
  }
  EXPECT_FALSE(std::filesystem::exists(Folder + "log.txt"));
  EXPECT_EQ(log.GetCount(), 0u);
  EXPECT_EQ(Memory.GetTextStr(), "残り=1\r\n");
  EXPECT_EQ(SQLname, "前回");
}

class MenuPageTest : public PageTest {
 protected:
  void SetUp() override {
    PageTest::SetUp();
    if (IsSkipped()) return;
    AddMenu(kRole, 1, "売上");
    AddMenu("他部署", 1, "人事");
    AddTemplate("メニュー", "『今日』|＠メニュー＠|＠メニュー＠|＠所属＠,＠所属＠|＠SQL＠");
    Memory.SetValue("今日", "前回の日付");
    SQLname = "前回";
  }
  std::string MenuFor(const std::string& remote) {
    TRequest req = MakeRequest({});
    req.RemoteAddress = remote;
    return Serve(req);
  }
  static std::string Expected(const std::string& role) {
    return "前回の日付|[\"所属\",\"親\",\"子\",\"孫\",\"表題\"],[\"営業\",\"1\",\"0\",\"0\","
           "\"売上\"]"
           "|＠メニュー＠|" +
           role + "," + role + "|＠SQL＠";
  }
};

TEST_F(MenuPageTest, ShowsTheRoleMenuWithoutLoggingOrResettingMemory) {
  struct Case {
    std::string remote, role;
  };
  const Case cases[] = {
      {kRemote, "営業"},
      {"127.0.0.1", "営業(192.0.2.2)"},
      {"LocalHost", "営業(192.0.2.2)"},
      {"127.0.0.2", "営業"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.remote);
    EXPECT_EQ(MenuFor(c.remote), Expected(c.role));
  }
  EXPECT_FALSE(std::filesystem::exists(Folder + "log.txt"));
  EXPECT_EQ(log.GetCount(), 0u);
  EXPECT_EQ(Memory.GetTextStr(), "今日=前回の日付\r\n");
  EXPECT_EQ(SQLname, "前回");
}

TEST_F(MenuPageTest, LocalClientRefillsAnEmptyHostAddressList) {
  IPAddess.clear();
  const std::string addresses = GetIpAddrList();
  EXPECT_EQ(MenuFor("127.0.0.1"), Expected(std::string(kRole) + "(" + addresses + ")"));
  EXPECT_EQ(IPAddess, addresses);
}

TEST_F(PageTest, RequestShapeChoosesThePhasesAndTheDefinitionName) {
  AddDefinition("記録", kStart, kRow, kDisplay);
  AddDefinition("記録tabSet", kStart, kRow, kDisplay);
  AddTemplate("一覧表", "L");
  AddTemplate("SQL不明", "?");
  struct Case {
    const char* what;
    Fields query, posted;
    Phases phases;
    std::string name;
  };
  const Phases all = {"start", "row", "display"};
  const Case cases[] = {
      {"plain GET", {{"SQL", "記録"}, {"HTML", "一覧表"}}, {}, {"display"}, "記録"},
      {"posted form", {}, {{"SQL", "記録"}}, all, "記録"},
      {"TABSET in the query wins", {{"SQL", "記録tabSet"}}, {{"SQL", "記録"}}, all, "記録tabSet"},
      {"AI2 query copy", {{"SQL", "記録"}, {"HTML", "ai2"}}, {}, all, "記録"},
      {"AI2 inside a longer word", {{"SQL", "記録"}, {"HTML", "xAi2"}}, {}, {"display"}, "記録"},
      {"AI2 with a posted field",
       {{"SQL", "記録"}, {"HTML", "AI2"}},
       {{"備考", "1"}},
       {"display"},
       "記録"},
      {"POST without posted SQL", {{"SQL", "記録"}}, {{"備考", "1"}}, {"display"}, "記録"},
      {"no SQL anywhere", {{"HTML", "一覧表"}}, {}, {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RunAll(data(), {"DELETE FROM trail"});
    Serve(c.query, c.posted);
    EXPECT_EQ(Trail(), c.phases);
    EXPECT_EQ(SQLname, c.name);
  }
}

TEST_F(PageTest, TabsetRequestRunsTheCollectedRowsThroughThePerRecordScript) {
  AddDefinition("集計TABSET", "SELECT 'a' AS v UNION ALL SELECT 'b';",
                "INSERT INTO trail VALUES ('「列:1」');", "SELECT 1 AS x;");
  AddTemplate("一覧表", "L");
  Serve({{"SQL", "集計TABSET"}});
  EXPECT_EQ(Trail(), (Phases{"a", "b"}));
}

TEST_F(PageTest, PhasesStartWithFreshDateVariables) {
  AddDefinition("表示", "", "", kDisplay);
  AddTemplate("一覧表", "L");
  Memory.SetValue("残り", "1");
  Serve({{"SQL", "表示"}});
  ASSERT_EQ(Memory.GetCount(), 3u);
  EXPECT_EQ(Memory.GetName(0), "今日");
  EXPECT_EQ(Memory.GetName(1), "今日時");
  EXPECT_EQ(Memory.GetName(2), "今時");
  EXPECT_TRUE(std::regex_match(Memory.GetValue("今日"), std::regex(R"(\d{4}-\d\d-\d\d)")));
  EXPECT_TRUE(
      std::regex_match(Memory.GetValue("今日時"), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")));
  EXPECT_TRUE(std::regex_match(Memory.GetValue("今時"), std::regex(R"(\d\d:\d\d:\d\d)")));
}

TEST_F(PageTest, TemplateIsThePostedThenTheQueriedNameWithFallback) {
  AddDefinition("表示", "", "", "SELECT 1 AS x;");
  AddTemplate("一覧表", "L:＠HTML＠");
  AddTemplate("詳細", "D:＠HTML＠");
  struct Case {
    Fields query, posted;
    std::string page;
  };
  const Case cases[] = {
      {{{"SQL", "表示"}, {"HTML", "詳細"}}, {}, "D:詳細"},
      {{{"SQL", "表示"}}, {}, "L:一覧表"},
      {{{"SQL", "表示"}, {"HTML", "無い"}}, {}, "L:無い"},
      {{{"HTML", "無い"}}, {{"SQL", "表示"}, {"HTML", "詳細"}}, "D:詳細"},
  };
  for (const Case& c : cases) EXPECT_EQ(Serve(c.query, c.posted), c.page);
}

TEST_F(PageTest, MissingFallbackTemplateGivesAnEmptyPage) {
  AddDefinition("表示", "", "", "SELECT 1 AS x;");
  EXPECT_EQ(Serve({{"SQL", "表示"}, {"HTML", "無い"}}), "");
  EXPECT_EQ(log.GetCount(), 2u);
}

class OutputModeTest : public PageTest {
 protected:
  void SetUp() override {
    PageTest::SetUp();
    if (IsSkipped()) return;
    const char display[] =
        "SELECT 'v1' AS a; SELECT 'v2' AS b; SELECT 'v3' AS c; SELECT 'v4' AS d;";
    for (const char* name : {"表示", "表示json", "HTML編集"}) AddDefinition(name, "", "", display);
    AddMenu(kRole, 1, "売上");
    AddTemplate("一覧表", kTemplate);
  }
  static constexpr const char* kTemplate =
      "＠データ＠|＠データ2＠|＠データ3＠|＠データ4＠|＠メニュー＠|＠所属＠,＠所属＠|＠HTML＠|"
      "＠SQL＠|＠Port＠|＠port＠ ＠Html＠ 『a』";
};

TEST_F(OutputModeTest, QueryFieldsChooseTheModeInOrder) {
  const std::string menu_html =
      "[\"所属\",\"親\",\"子\",\"孫\",\"表題\"],[\"営業\",\"1\",\"0\",\"0\",\"売上\"]";
  const std::string menu_json =
      "{\"所属\":\"営業\",\"親\":\"1\",\"子\":\"0\",\"孫\":\"0\",\"表題\":\"売上\"}";
  const std::string untouched =
      "|＠データ2＠|＠データ3＠|＠データ4＠|＠メニュー＠|＠所属＠,＠所属＠|＠HTML＠|＠SQL＠|"
      "＠Port＠|＠port＠ ＠Html＠ v1";
  struct Case {
    const char* what;
    Fields query;
    std::string page;
  };
  const Case cases[] = {
      {"HTML",
       {{"SQL", "表示"}},
       "[\"a\"],[\"v1\"]|[\"b\"],[\"v2\"]|[\"c\"],[\"v3\"]|[\"d\"],[\"v4\"]|" + menu_html +
           "|営業,営業|一覧表|表示|8123|＠port＠ ＠Html＠ v1"},
      {"JSON, any case, wins over AI2",
       {{"SQL", "表示json"}, {"HTML", "xai2"}},
       "{\"a\":\"v1\"}|{\"b\":\"v2\"}|{\"c\":\"v3\"}|{\"d\":\"v4\"}|" + menu_json +
           "|営業,営業|xai2|表示json|8123|＠port＠ ＠Html＠ v1"},
      {"AI2", {{"SQL", "表示"}, {"HTML", "xai2"}}, "\"a\"\n\"v1\"" + untouched},
      {"template only", {{"SQL", "HTML編集"}, {"HTML", "ai2x"}}, "＠データ＠" + untouched},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Serve(c.query), c.page);
  }
}

// The template and definition names come from the request: shown as text in every mode that
// fills placeholders, also when a missing template is answered by "一覧表".
TEST_F(PageTest, RequestedNamesAreEscapedInPlaceholders) {
  const std::string name = "a<b>&'\"", json_name = "a<b>&'\"json";
  AddDefinition(name, "", "", "SELECT 1 AS x;");
  AddDefinition(json_name, "", "", "SELECT 1 AS x;");
  AddTemplate("一覧表", "＠HTML＠|＠SQL＠");
  const std::string shown_html = "&lt;script&gt;x&lt;/script&gt;|";
  EXPECT_EQ(Serve({{"SQL", name}, {"HTML", "<script>x</script>"}}),
            shown_html + "a&lt;b&gt;&amp;&#39;&quot;");
  EXPECT_EQ(Serve({{"SQL", json_name}, {"HTML", "<script>x</script>"}}),
            shown_html + "a&lt;b&gt;&amp;&#39;&quot;json");
}

TEST_F(PageTest, LaterPlaceholderInsideAnInsertedValueIsTheOneReplaced) {
  AddDefinition("表示", "", "", "SELECT '＠データ2＠' AS a; SELECT 'two' AS b;");
  AddTemplate("一覧表", "＠データ＠ ＠データ2＠");
  EXPECT_EQ(Serve({{"SQL", "表示"}}), "[\"a\"],[\"[\"b\"],[\"two\"]\"] ＠データ2＠");
}

TEST_F(PageTest, UnknownDefinitionPageEscapesTheNameAndKeepsOnlyTheStartLine) {
  AddDefinition("管理", "", "", "SELECT 1 AS x;", "Web管理者");
  AddDefinition("入力だけ", kStart, "", "");
  AddTemplate("SQL不明", "不明:＠SQL＠ ＠SQL＠ 「SQL」 ＠HTML＠");
  struct Case {
    Fields query, posted;
    std::string shown;
    Phases phases;
  };
  const Case cases[] = {
      {{{"SQL", "<i>無'</i>"}}, {}, "&lt;i&gt;無&#39;&lt;/i&gt;", {}},
      {{{"SQL", "管理"}}, {}, "管理", {}},
      {{}, {{"SQL", "入力だけ"}}, "入力だけ", {"start"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    log = TStringList();
    RunAll(data(), {"DELETE FROM trail"});
    EXPECT_EQ(Serve(c.query, c.posted), "不明:" + c.shown + " ＠SQL＠ 「SQL」 ＠HTML＠");
    EXPECT_EQ(Trail(), c.phases);
    ASSERT_EQ(log.GetCount(), 1u);
    EXPECT_TRUE(log.Get(0).starts_with("----START---- "));
  }
}

TEST_F(PageTest, FailingPhaseLeavesTheStartLineAndNoLockBehind) {
  AddDefinition("壊れ", "", "", "INSERT INTO trail VALUES ('x'); SELECT * FROM 無い表;");
  AddTemplate("一覧表", "L");
  TRequest req = MakeRequest({{"SQL", "壊れ"}});
  TResponse resp;
  EXPECT_THROW(CGI(req, resp), std::runtime_error);
  EXPECT_EQ(SQLname, "壊れ");
  ASSERT_EQ(log.GetCount(), 1u);
  EXPECT_TRUE(log.Get(0).starts_with("----START---- "));
  // Nothing was committed, and the data database takes a writer at once.
  RunAll(data(), {"INSERT INTO trail VALUES ('later')"});
  EXPECT_EQ(Trail(), (Phases{"later"}));
}

// A script may end its own transaction: the page comes as usual, the table holds what the
// script left there, and the database is free (the next case's DELETE writes).
TEST_F(PageTest, ScriptThatEndsItsOwnTransactionGivesTheNormalPage) {
  AddTemplate("一覧表", "ok");
  struct Case {
    const char* ending;
    Phases trail;
  };
  const Case cases[] = {
      {"COMMIT;", {"display"}},
      {"END TRANSACTION;", {"display"}},
      {"ROLLBACK;", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ending);
    RunAll(data(), {"DELETE FROM trail"});
    AddDefinition(c.ending, "", "", std::string(kDisplay) + "\n" + c.ending);
    EXPECT_EQ(ErrorOf([&] { EXPECT_EQ(Serve({{"SQL", c.ending}}), "ok"); }), "(no error)");
    EXPECT_EQ(Trail(), c.trail);
  }
}

// A journal that a writer killed at the wrong moment leaves, beside a database nobody holds,
// is one the engine ignores: the next page comes without a wait, and the database stays where
// it is (no backup is made).
TEST_F(PageTest, StaleJournalCostsNothing) {
  AddDefinition("表示", "", "", kDisplay);
  AddTemplate("一覧表", "ok");
  const std::string journals[] = {std::string(512, '\0'), ""};
  for (const std::string& journal : journals) {
    SCOPED_TRACE(journal.size());
    RunAll(data(), {"DELETE FROM trail"});
    WriteFile(data() + "-journal", journal);
    EXPECT_EQ(Serve({{"SQL", "表示"}}), "ok");
    EXPECT_FALSE(std::filesystem::exists(data() + "_bkp"));
    EXPECT_EQ(Trail(), (Phases{"display"}));
  }
}

// Requests whose phases take the connections earlier phases kept give the pages that new
// connections give. data.db settles first, so its connections are kept where the rules allow;
// data2.db changes before every request, so none of its connections ever is.
TEST_F(PageTest, PagesOnKeptConnectionsAreThePagesOfNewOnes) {
  AddTemplate("一覧表", "＠データ＠|『before』");
  for (const char* file : {"data.db", "data2.db"}) {
    const std::string path = Folder + file;
    RunAll(path, {"CREATE TABLE IF NOT EXISTS t (v TEXT)", "INSERT INTO t VALUES ('A')",
                  "CREATE TABLE pad (x)"});
    Insert(definitions(), "INSERT INTO SQL VALUES (?, '', ?, '', ?, ?, ?)",
           {file, std::string("./") + file, "SELECT count(*) AS before FROM t;",
            "INSERT INTO t VALUES ('「値」');", "SELECT v FROM t ORDER BY rowid;"});
  }
  while (!Settled(StampOf(Folder + "data.db"), WallClockNs())) SleepMs(50);
  // A list page twice, a posted row, the list again.
  const auto pages = [&](const std::string& file, const std::function<void()>& before) {
    std::vector<std::string> bodies;
    for (int i = 0; i < 4; ++i) {
      before();
      bodies.push_back(i == 2 ? Serve({{"HTML", "一覧表"}}, {{"SQL", file}, {"値", "new"}})
                              : Serve({{"SQL", file}, {"HTML", "一覧表"}}));
    }
    return bodies;
  };
  KeptConnections& kept = KeptDataConnections();
  const size_t reuses = kept.Reuses();
  // The second list page takes the first one's connection; the posted request's input-start
  // phase the second page's, and its row run the input-start phase's. The row written, its
  // file has just changed: the display phase and the last page open it anew.
  const auto kept_pages = pages("data.db", [] {});
  EXPECT_EQ(kept.Reuses() - reuses, 3u);
  const auto new_pages =
      pages("data2.db", [&] { RunAll(Folder + "data2.db", {"INSERT INTO pad VALUES (1)"}); });
  EXPECT_EQ(kept.Reuses() - reuses, 3u);
  EXPECT_EQ(kept_pages, new_pages);
  EXPECT_EQ(kept_pages[2], "[\"v\"],[\"A\"],[\"new\"]|1");  // the posted row, one row before it
  EXPECT_EQ(kept_pages[3], "[\"v\"],[\"A\"],[\"new\"]|");
}

// Pages served over sockets to clients that all ask at once: each page's log lines stand
// together, in the order the requests arrived, because only one page runs at a time.
TEST_F(PageTest, ConcurrentPagesRunOneAfterTheOther) {
  const char kSlow[] =
      "SELECT count(*) AS n FROM (WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
      "FROM c WHERE i < 300000) SELECT i FROM c);";
  for (const char* name : {"slow1", "slow2", "slow3"}) AddDefinition(name, "", "", kSlow);
  AddTemplate("一覧表", "n=『n』");
  THTTPApplication app;
  app.HTTPRouter.RegisterRoute("/", CGI, true);
  RunningServer server(app);
  const std::string auth = "Authorization: Basic " + EncodeStringBase64("taro:pw") + "\r\n";
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 1; i <= 3; ++i) {
    clients.push_back(std::make_unique<Client>(server.port()));
    clients.back()->Send("GET /?SQL=slow" + std::to_string(i) + "&HTML=page" + std::to_string(i) +
                         " HTTP/1.1\r\n" + auth + "\r\n");
  }
  for (auto& client : clients) EXPECT_NE(client->ReadAll().find("n=300000"), std::string::npos);
  ASSERT_EQ(log.GetCount(), 6u);
  for (size_t i = 0; i < 3; ++i) {
    const std::string n = std::to_string(i + 1);
    EXPECT_TRUE(log.Get(2 * i).starts_with("----START---- ")) << log.Get(2 * i);
    EXPECT_TRUE(log.Get(2 * i).ends_with(" SQL:slow" + n)) << log.Get(2 * i);
    EXPECT_TRUE(log.Get(2 * i + 1).starts_with("==== END ==== ")) << log.Get(2 * i + 1);
    EXPECT_NE(log.Get(2 * i + 1).find(" HTML:page" + n), std::string::npos) << log.Get(2 * i + 1);
  }
}

}  // namespace

namespace {

// The page as the placeholders make it when every rendering is made from text lists and every
// replacement works on the whole text: the plain path, against which the page's own is held.
std::string PlainPage(std::string page,
                      const std::vector<std::pair<TStringList, TStringList>>& slots,
                      const TStringList& menu_names, const TStringList& menu_rows, bool json,
                      const std::string& etc_name, const std::string& sql_name) {
  const auto render = [&](const TStringList& names, const TStringList& rows) {
    return json ? DBtoJSON(names, rows) : DBtoHTML(names, rows);
  };
  const char* slot_marks[] = {"＠データ＠", "＠データ2＠", "＠データ3＠", "＠データ4＠"};
  for (size_t i = 0; i < 4; ++i) {
    page = StringReplace(page, slot_marks[i],
                         i < slots.size() ? render(slots[i].first, slots[i].second) : "", rfNone);
  }
  page = StringReplace(page, "＠メニュー＠", render(menu_names, menu_rows), rfNone);
  page = StringReplace(page, "＠所属＠", kRole, rfReplaceAll);
  page = StringReplace(page, "＠HTML＠", etc_name, rfReplaceAll);
  page = StringReplace(page, "＠SQL＠", sql_name, rfReplaceAll);
  return StringReplace(page, "＠Port＠", std::to_string(Application.Port), rfReplaceAll);
}

}  // namespace

// A page of many rows comes out byte for byte as the plain path makes it, in both modes that
// fill placeholders: values that carry "＠" or whole placeholders, TABs and line breaks of every
// kind (the script's own line breaks become blanks, so these come from char()), names with "＠"
// or only blanks, placeholders asked for twice or not at all, and a
// template whose lines end in CR LF, LF or CR, the last one without a break.
TEST_F(PageTest, PagesOfManyRowsComeOutAsThePlainPathMakesThem) {
  RunAll(data(), {"CREATE TABLE big (i INTEGER)",
                  "WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < 3000) "
                  "INSERT INTO big SELECT i FROM c"});
  // The rows' values; with a mark, one of them holds a placeholder.
  const auto values = [](const char* name, const char* mark) {
    return std::string(
               "SELECT i AS id, printf('C%05d', i) AS code, substr('品目の名前はとても長い', "
               "1 + i % 9) AS \"") +
           name +
           "\", i % 97 AS \" \", CASE i % 500 WHEN 1 THEN 'tab\tinside' WHEN 2 THEN 'line' || "
           "char(10) || 'break' WHEN 3 THEN 'cr' || char(13) || 'lf' || char(13, 10) WHEN 4 THEN "
           "NULL WHEN 5 THEN char(10, 13) WHEN 6 THEN '" +
           mark + "' ELSE 'note ' || i END AS note FROM big;";
  };
  struct Script {
    const char* what;
    std::vector<std::string> selects;
  };
  const Script scripts[] = {
      {"plain rows",
       {values("名前", "six"), "SELECT 'two' AS b;", "SELECT 3 AS c WHERE 0;", "SELECT 'x' AS d;"}},
      {"values with placeholders",
       {values("名前", "＠SQL＠"), "SELECT '＠所属＠ and ＠データ3＠' AS b;",
        "SELECT 'three' AS c;"}},
      {"names with placeholders", {"SELECT 1 AS \"＠SQL＠\";", values("名前＠メニュー＠", "six")}},
      {"a large slot after a small one", {"SELECT 1 AS a;", values("名前", "six")}},
  };
  const std::string templ =
      "<p>＠HTML＠ / ＠SQL＠ / ＠所属＠</p>\r\nmenu=[＠メニュー＠];\nrows=[＠データ＠];\r"
      "two=[＠データ2＠]; again ＠データ＠ and ＠データ2＠\n\nthree=[＠データ3＠] "
      "four=[＠データ4＠]"
      " ＠Port＠ ＠所属＠";
  AddMenu(kRole, 1, "売上");
  AddTemplate("一覧表", templ);
  auto conn = Connect(data(), kSqlite);
  for (const Script& script : scripts) {
    for (const bool json : {false, true}) {
      SCOPED_TRACE(std::string(script.what) + (json ? ", JSON" : ", HTML"));
      const std::string name = std::string(script.what) + (json ? " json" : "");
      std::string text;
      for (const std::string& select : script.selects) text += select + "\n";
      AddDefinition(name, "", "", text);
      TRequest req = MakeRequest({{"SQL", name}});
      TResponse resp;
      CGI(req, resp);

      // The slots as the display phase fills them: one SELECT each, every one with its own
      // column names.
      std::vector<std::pair<TStringList, TStringList>> slots;
      for (const std::string& select : script.selects) {
        TSQLQuery query;
        query.SetDatabase(conn.get());
        query.SetSQL(select);
        query.Open();
        auto& [names, rows] = slots.emplace_back();
        query.GetFieldNames(names);
        for (; !query.Eof(); query.Next()) {
          std::string row;
          query.AppendTabRow(row);
          rows.Add(row);
        }
      }
      TStringList menu_names, menu_rows;
      menu_names.SetTextStr("所属\n親\n子\n孫\n表題");
      menu_rows.Add(std::string(kRole) + "\t1\t0\t0\t売上\t");
      TResponse plain;
      plain.Contents.SetTextStr(
          PlainPage(templ, slots, menu_names, menu_rows, json, "一覧表", HtmlEscape(name)));
      plain.SendContent();
      resp.SendContent();
      // Compared whole; a page this large is not worth printing when they differ.
      EXPECT_TRUE(resp.Sent() == plain.Sent())
          << resp.Sent().size() << " bytes against " << plain.Sent().size();
      EXPECT_GT(resp.Sent().size(), 3000u * 20);
    }
  }
}
