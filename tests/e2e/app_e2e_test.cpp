// The demo application through the real executable: the first-run set-up, a restart, and the
// pages a browser asks for (menu, posted rows, list, JSON, unknown definition) with their log;
// and what another program's lock, a kill during an upload and a deleted definition database
// leave behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "auth/cipher.h"
#include "db/sqlite_db.h"
#include "support/engines.h"
#include "support/server_process.h"
#include "support/temp_dir.h"
#include "support/test_db.h"

using namespace nv::test;

namespace {

const std::string kAdmin = "管理";
const std::string kPassword = "pass word";

// The statements of an SQL file, comments left out. Enough of SQLite's lexing to keep ";" and
// "--" inside quoted literals and names where they belong.
std::vector<std::string> SqlStatements(const std::string& text) {
  std::vector<std::string> statements;
  std::string current;
  auto finish = [&] {
    if (current.find_first_not_of(" \t\r\n") != std::string::npos) statements.push_back(current);
    current.clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\'' || c == '"') {
      const size_t end = text.find(c, i + 1);  // a doubled quote closes and reopens
      const size_t stop = end == std::string::npos ? text.size() : end + 1;
      current.append(text, i, stop - i);
      i = stop - 1;
    } else if (text.compare(i, 2, "--") == 0) {
      i = text.find('\n', i);
      if (i == std::string::npos) break;
      current += '\n';
    } else if (text.compare(i, 2, "/*") == 0) {
      i = text.find("*/", i + 2);
      if (i == std::string::npos) break;
      ++i;
      current += ' ';
    } else if (c == ';') {
      current += c;
      finish();
    } else {
      current += c;
    }
  }
  finish();
  return statements;
}

// The demo's template definition database, built from its text source.
void BuildInitDatabase(const std::string& path) {
  const std::string source = ReadFile(std::string(NORVANE_SOURCE_DIR) + "/demo/ZURazo_Init.sql");
  ASSERT_FALSE(source.empty());
  nv::SQLiteDefaultLibrary = kSqlite;
  nv::TSQLite3Connection conn;
  conn.DatabaseName = path;
  conn.Open();
  conn.CreateTransaction();
  for (const std::string& statement : SqlStatements(source)) conn.ExecuteDirect(statement);
  conn.Transaction()->Commit();
}

// A folder laid out as scripts/demo.sh lays out out/demo, before the set-up.
std::string DemoFolder(const TempDir& temp) {
  const std::string dir = temp.folder();
  BuildInitDatabase(dir + "ZURazo_Init.db");
  mkdir((dir + "images").c_str(), 0755);
  mkdir((dir + "menu").c_str(), 0755);
  WriteFile(dir + "menu/index.html",
            ReadFile(std::string(NORVANE_SOURCE_DIR) + "/demo/menu/index.html"));
  symlink(kCipher.c_str(), (dir + "libsqlcipher.so.0").c_str());
  return dir;
}

// A form value or query value as a browser encodes it.
std::string UrlEncode(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '*') {
      out += static_cast<char>(c);
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string Form(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string body;
  for (const auto& [name, value] : fields) {
    if (!body.empty()) body += '&';
    body += UrlEncode(name) + "=" + UrlEncode(value);
  }
  return body;
}

std::string Credentials(const std::string& user, const std::string& password) {
  return "Basic " + nv::EncodeStringBase64(user + ":" + password);
}

std::string Get(const std::string& target, const std::string& auth) {
  return "GET " + target + " HTTP/1.1\r\nHost: localhost\r\n" +
         (auth.empty() ? "" : "Authorization: " + auth + "\r\n") + "\r\n";
}

std::string Post(const std::string& target, const std::string& auth, const std::string& body) {
  return "POST " + target + " HTTP/1.1\r\nHost: localhost\r\n" +
         (auth.empty() ? "" : "Authorization: " + auth + "\r\n") +
         "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string StatusLine(const std::string& reply) { return reply.substr(0, reply.find("\r\n")); }

std::string Body(const std::string& reply) {
  const size_t head_end = reply.find("\r\n\r\n");
  return head_end == std::string::npos ? "" : reply.substr(head_end + 4);
}

// Times differ from run to run: every "yyyy-mm-dd hh:nn:ss" (and " zzz" milliseconds) becomes
// one fixed word.
std::string WithoutTimes(const std::string& text) {
  static const std::regex stamp(
      "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}( [0-9]{3})?");
  return std::regex_replace(text, stamp, "<時刻>");
}

std::string WithCrLf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

const std::string kChallengeStatus = "HTTP/1.1 401 Unauthorized";
const std::string kOk = "HTTP/1.1 200 OK";

// Runs the set-up as a browser does: the form posted without credentials gets the challenge,
// the same post repeated with them gets "index.html".
void RegisterAdministrator(const std::string& dir, uint16_t port) {
  ServerProcess server(dir, ExecutableFor(port));
  ASSERT_TRUE(server.WaitListening(port)) << server.Stderr();
  const std::string form = Form({{"管理者名", kAdmin}, {"パスワード", kPassword}});
  ASSERT_EQ(StatusLine(Exchange(port, Post("/", "", form))), kChallengeStatus);
  ASSERT_EQ(StatusLine(Exchange(port, Post("/", Credentials(kAdmin, kPassword), form))), kOk);
}

// Each test runs in a demo folder of its own. The set-up needs a host phrase, which a machine
// without a network adapter does not give.
class DemoEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (nv::GeneratePhrase().empty()) GTEST_SKIP() << "no adapter gives a host phrase here";
    dir_ = DemoFolder(temp_);
  }

  TempDir temp_;
  std::string dir_;
};

}  // namespace

TEST_F(DemoEndToEnd, FirstRunSetUpRegistersTheAdministrator) {
  const uint16_t port = 18100;
  ServerProcess server(dir_, ExecutableFor(port));
  ASSERT_TRUE(server.WaitListening(port)) << server.Stderr();

  std::string page = Exchange(port, Get("/", ""));
  EXPECT_EQ(StatusLine(page), kOk);
  EXPECT_NE(page.find("<form action=\"/\" method=\"POST\">"), std::string::npos) << page;

  const std::string form = Form({{"管理者名", kAdmin}, {"パスワード", kPassword}});
  std::string reply = Exchange(port, Post("/", "", form));
  EXPECT_EQ(StatusLine(reply), kChallengeStatus);
  EXPECT_EQ(Body(reply), "");
  EXPECT_EQ(StatusLine(Exchange(port, Post("/", Credentials(kAdmin, "wrong"), form))),
            kChallengeStatus);

  reply = Exchange(port, Post("/", Credentials(kAdmin, kPassword), form));
  EXPECT_EQ(StatusLine(reply), kOk);
  EXPECT_EQ(Body(reply), WithCrLf(ReadFile(dir_ + "menu/index.html")));
  // Still first-run mode until a restart: a plain request gets the set-up page again.
  EXPECT_NE(Exchange(port, Get("/?SQL=住所録", "")).find("<title>初期設定画面</title>"),
            std::string::npos);
  EXPECT_NE(access((dir_ + "log.txt").c_str(), F_OK), 0);  // the set-up writes no log
}

TEST_F(DemoEndToEnd, AfterRestartTheAddressBookWorks) {
  RegisterAdministrator(dir_, 18101);
  if (HasFatalFailure()) return;

  const uint16_t port = 18102;
  ServerProcess server(dir_, ExecutableFor(port));
  ASSERT_TRUE(server.WaitListening(port)) << server.Stderr();
  const std::string auth = Credentials(kAdmin, kPassword);
  auto get = [&](const std::string& target) { return Exchange(port, Get(target, auth)); };
  auto post = [&](const std::vector<std::pair<std::string, std::string>>& fields) {
    return Exchange(port, Post("/", auth, Form(fields)));
  };

  EXPECT_EQ(StatusLine(Exchange(port, Get("/", ""))), kChallengeStatus);
  EXPECT_EQ(StatusLine(Exchange(port, Get("/", Credentials(kAdmin, "wrong")))), kChallengeStatus);

  // The menu: the role's rows in sort-key order, the role of a local client with the host's
  // addresses.
  std::string reply = get("/");
  EXPECT_EQ(StatusLine(reply), kOk);
  std::string page = Body(reply);
  EXPECT_NE(page.find("const menu = [[\"所属\",\"親\",\"子\",\"孫\",\"名称\",\"リンク\"],"
                      "[\"Web管理者\",\"1\",\"1\",\"0\",\"住所録（登録と一覧）\","
                      "\"/?SQL=住所録&HTML=住所録\"],"
                      "[\"Web管理者\",\"1\",\"2\",\"0\",\"住所録（一覧表）\",\"/?SQL=住所録\"],"
                      "[\"Web管理者\",\"1\",\"3\",\"0\",\"住所録（JSON）\","
                      "\"/?SQL=住所録JSON&HTML=JSON\"],"
                      "[\"Web管理者\",\"2\",\"1\",\"0\",\"ファイルのアップロード\",\"/upload\"]];"),
            std::string::npos)
      << page;
  EXPECT_NE(page.find("<p>所属: Web管理者("), std::string::npos) << page;

  // Posted rows: quotes, markup, line breaks, TABs and backslashes typed into the form come
  // back as JavaScript string text; a name of blanks only is not stored.
  const std::string address_book = "/?SQL=" + UrlEncode("住所録") + "&HTML=" + UrlEncode("住所録");
  reply = post({{"SQL", "住所録"},
                {"HTML", "住所録"},
                {"氏名", "山田 \"太郎\""},
                {"電話", "03-1234-5678"},
                {"メモ", "1行目\r\n<b>2行目</b>\t\\"}});
  EXPECT_EQ(StatusLine(reply), kOk) << reply;
  const std::string row1 =
      "[\"1\",\"山田 \\\"太郎\\\"\",\"03-1234-5678\",\"1行目\\n\\u003cb>2行目\\u003c/b>\\t\\\\\","
      "\"<時刻>\"]";
  const std::string header = "[\"番号\",\"氏名\",\"電話\",\"メモ\",\"登録日時\"]";
  EXPECT_NE(WithoutTimes(Body(reply)).find("const rows = [" + header + "," + row1 + "];"),
            std::string::npos)
      << Body(reply);
  post({{"SQL", "住所録"}, {"HTML", "住所録"}, {"氏名", "O'Neil"}});
  post({{"SQL", "住所録"}, {"HTML", "住所録"}, {"氏名", "   "}, {"電話", "0"}});
  const std::string row2 = "[\"2\",\"O'Neil\",\"\",\"\",\"<時刻>\"]";

  // The list page: no template named, so "一覧表", with slot 1 filled and the others empty.
  page = WithoutTimes(Body(get("/?SQL=" + UrlEncode("住所録"))));
  EXPECT_NE(page.find("<h1>住所録 の一覧表</h1>"), std::string::npos) << page;
  EXPECT_NE(page.find("const slots = [[" + header + "," + row1 + "," + row2 + "], [], [], []];"),
            std::string::npos)
      << page;

  const std::string json_target = "/?SQL=" + UrlEncode("住所録JSON") + "&HTML=JSON";
  EXPECT_EQ(WithoutTimes(Body(get(json_target))),
            "[{\"番号\":\"1\",\"氏名\":\"山田 \\\"太郎\\\"\",\"電話\":\"03-1234-5678\","
            "\"メモ\":\"1行目\\n\\u003cb>2行目\\u003c/b>\\t\\\\\",\"登録日時\":\"<時刻>\"},"
            "{\"番号\":\"2\",\"氏名\":\"O'Neil\",\"電話\":\"\",\"メモ\":\"\","
            "\"登録日時\":\"<時刻>\"}]\r\n");

  // The delete button posts the row's number without a name.
  reply = post({{"SQL", "住所録"}, {"HTML", "住所録"}, {"削除番号", "1"}});
  EXPECT_NE(WithoutTimes(Body(reply)).find("const rows = [" + header + "," + row2 + "];"),
            std::string::npos)
      << Body(reply);
  EXPECT_EQ(StatusLine(get(address_book)), kOk);

  // An unknown definition: its name shown escaped, the page's own brackets as written.
  page = Body(get("/?SQL=" + UrlEncode("<b>無い")));
  EXPECT_NE(
      page.find("<p>SQL定義「&lt;b&gt;無い」は見つからないか、実行する権限がありません。</p>"),
      std::string::npos)
      << page;

  // No lines for refused requests and the menu; START and END for every page built; START
  // alone for the unknown definition. Each END line carries its own LF.
  const std::string who = "ms IPAddress:127.0.0.1 User:" + kAdmin + "(Web管理者)";
  auto start = [&](const std::string& name) {
    return "----START---- <時刻>" + who + " SQL:" + name + "\r\n";
  };
  auto end = [&](const std::string& name) {
    return "==== END ==== <時刻>" + who + " HTML:" + name + "\n\r\n";
  };
  const std::string posted = start("住所録") + end("住所録");
  EXPECT_EQ(WithoutTimes(ReadFile(dir_ + "log.txt")),
            posted + posted + posted + start("住所録") + end("一覧表") + start("住所録JSON") +
                end("JSON") + posted + posted + start("<b>無い"));
}

// Every kind of answer, as bytes: the default content type, "Connection: close" once as the last
// standard header, the challenge with only its own; HEAD gets the same head and no body.
TEST_F(DemoEndToEnd, EveryAnswerSaysTheConnectionCloses) {
  WriteFile(dir_ + "images/a.txt", "static\n");
  {
    ServerProcess setup(dir_, ExecutableFor(18240));
    ASSERT_TRUE(setup.WaitListening(18240)) << setup.Stderr();
    std::string page = Exchange(18240, Get("/", ""));
    EXPECT_NE(page.find("<title>初期設定画面</title>"), std::string::npos) << page;
    EXPECT_EQ(HeadOf(page), AnswerHead("200 OK", "200 OK", Body(page).size()));
    EXPECT_EQ(Exchange(18240, "HEAD / HTTP/1.1\r\n\r\n"), HeadOf(page));
  }
  RegisterAdministrator(dir_, 18241);
  if (HasFatalFailure()) return;

  const uint16_t port = 18242;
  ServerProcess server(dir_, ExecutableFor(port));
  ASSERT_TRUE(server.WaitListening(port)) << server.Stderr();
  const std::string auth = Credentials(kAdmin, kPassword);

  const std::string list = "/?SQL=" + UrlEncode("住所録");
  std::string page = Exchange(port, Get(list, auth));
  EXPECT_NE(page.find("<h1>住所録 の一覧表</h1>"), std::string::npos) << page;
  EXPECT_EQ(HeadOf(page), AnswerHead("200 OK", "200 OK", Body(page).size()));
  // HEAD still runs the page (its log line shows it) and gets the very same head.
  const std::string log_before = ReadFile(dir_ + "log.txt");
  EXPECT_EQ(Exchange(port, "HEAD " + list + " HTTP/1.1\r\nAuthorization: " + auth + "\r\n\r\n"),
            HeadOf(page));
  EXPECT_GT(ReadFile(dir_ + "log.txt").size(), log_before.size());

  std::string form = Exchange(port, Get("/upload", auth));
  EXPECT_NE(form.find("<form id=\"form\" action=\"/upload\""), std::string::npos) << form;
  EXPECT_EQ(HeadOf(form), AnswerHead("200 OK", "200 OK", Body(form).size()));

  EXPECT_EQ(Exchange(port, Get("/images/a.txt", "")),
            AnswerHead("200 OK", "200 OK", 7, "Application/octet-stream") + "static\n");
  EXPECT_EQ(Exchange(port, Get("/images/../ZURazo.db", "")),
            AnswerHead("403 Forbidden", "403 Forbidden", 0));
  EXPECT_EQ(Exchange(port, Get("/images/missing.txt", "")),
            AnswerHead("404 Not Found", "404 Not found", 0));
  EXPECT_EQ(Exchange(port, Post("/images/a.txt", "", "")),
            AnswerHead("405 Method Not Allowed", "405 Method not allowed", 0));

  const std::string challenge =
      "HTTP/1.1 401 Unauthorized\r\nStatus: 401 OK\r\nContent-Length: 0\r\n"
      "Content-Type: text/html; charset=UTF-8\r\nWWW-Authenticate: Basic realm=\"SECRET AREA\"\r\n"
      "Connection: close\r\n\r\n";
  EXPECT_EQ(Exchange(port, Get(list, "")), challenge);
  EXPECT_EQ(Exchange(port, Get("/upload", Credentials(kAdmin, "wrong"))), challenge);
}

// What users type is stored and shown as typed: brackets of the markup, quotes and script in
// posted values, CSV cells and query fields are data. Text-saving mode still keeps a posted
// template's markers, and that template's own markers work.
TEST_F(DemoEndToEnd, TypedValuesStayData) {
  RegisterAdministrator(dir_, 18200);
  if (HasFatalFailure()) return;
  const std::string definitions = dir_ + "ZURazo.db";
  const char kTable[] =
      "CREATE TABLE IF NOT EXISTS 住所録(番号 INTEGER PRIMARY KEY, 氏名 TEXT, 電話 TEXT, "
      "メモ TEXT, 登録日時 TEXT);";
  Insert(definitions, "INSERT INTO SQL VALUES (?, 'Web管理者', ?, '', ?, ?, 'SELECT 1 AS x;')",
         {"住所録CSV", "./住所録.db", kTable,
          "INSERT INTO 住所録(氏名, 電話) VALUES ('「列:1」', '「列:2」');"});
  Insert(definitions, "INSERT INTO SQL VALUES (?, 'Web管理者', ?, '', '', ?, 'SELECT 1 AS x;')",
         {"SQL・HTML作成", "./ZURazo.db", "INSERT INTO HTML VALUES ('「名称」', '「内容」');"});

  const uint16_t port = 18201;
  ServerProcess server(dir_, ExecutableFor(port));
  ASSERT_TRUE(server.WaitListening(port)) << server.Stderr();
  const std::string auth = Credentials(kAdmin, kPassword);
  auto post = [&](const std::vector<std::pair<std::string, std::string>>& fields) {
    EXPECT_EQ(StatusLine(Exchange(port, Post("/", auth, Form(fields)))), kOk);
  };

  const std::vector<std::string> typed = {"彼は「こんにちは」と言った。", "「電話」『今日』",
                                          "「列:1」〔〕' 「氏名」"};
  post({{"SQL", "住所録"},
        {"HTML", "住所録"},
        {"氏名", typed[0]},
        {"電話", typed[1]},
        {"メモ", typed[2]}});
  post({{"SQL", "住所録CSV"}, {"CSV列", "O'Neil,x' OR '1'='1\n"}});
  auto book = Connect(dir_ + "住所録.db", kSqlite);
  EXPECT_EQ(Rows(*book, "SELECT 氏名, 電話, メモ FROM 住所録 ORDER BY 番号"),
            (std::vector<std::vector<std::string>>{typed, {"O'Neil", "x' OR '1'='1", ""}}));

  const std::string page = "<p>「q」|『「key」』|『今日』</p>";
  post({{"SQL", "SQL・HTML作成"}, {"名称", "検査"}, {"内容", page}});
  auto stored = Connect(definitions, kSqlite);
  EXPECT_EQ(Rows(*stored, "SELECT 内容 FROM HTML WHERE 名称 = '検査'"),
            (std::vector<std::vector<std::string>>{{page}}));

  const std::string shown = Body(
      Exchange(port, Get("/?SQL=" + UrlEncode("住所録") + "&HTML=" + UrlEncode("検査") +
                             "&q=" + UrlEncode("<script>x</script>") + "&key=" + UrlEncode("今日"),
                         auth)));
  EXPECT_TRUE(std::regex_match(
      shown,
      std::regex("<p>&lt;script&gt;x&lt;/script&gt;\\|([0-9]{4}-[0-9]{2}-[0-9]{2})\\|\\1</p>\r\n")))
      << shown;
}

// ---- what another program's lock, a crash and a deleted file leave ----------------------------

namespace {

long long MsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t)
      .count();
}

}  // namespace

// Another program writes the address book for 6 s. The page that reads it waits its lock out
// and then shows the writer's row; meanwhile the server goes on: a file is answered at once, a
// download started before goes on, and a further page waits its turn behind the first.
TEST_F(DemoEndToEnd, ALockHeldElsewhereHoldsUpOnlyThePages) {
  RegisterAdministrator(dir_, 18250);
  if (HasFatalFailure()) return;
  const size_t big = 64 * 1024 * 1024;
  WriteFile(dir_ + "images/big.bin", std::string(big, 'b'));
  WriteFile(dir_ + "images/small.txt", "small");
  const uint16_t port = 18251;
  ServerProcess server(dir_, ExecutableFor(port));
  ASSERT_TRUE(server.WaitListening(port)) << server.Stderr();
  const std::string auth = Credentials(kAdmin, kPassword);
  const std::string list = "/?SQL=" + UrlEncode("住所録");
  ASSERT_EQ(StatusLine(Exchange(port, Get(list, auth))), kOk);  // the table is there

  Client download(port);
  download.Send(Get("/images/big.bin", ""));
  std::string downloaded = download.ReadSome(1024 * 1024);
  ASSERT_EQ(downloaded.size(), 1024u * 1024);

  const std::string book = dir_ + "住所録.db";
  // Set just before the writer commits: what comes before it came while the lock was held.
  std::atomic<bool> letting_go{false};
  std::thread writer([&] {
    FILE* shell = popen(("sqlite3 -bail '" + book + "' >/dev/null").c_str(), "w");
    ASSERT_NE(shell, nullptr);
    std::fputs("BEGIN EXCLUSIVE;\nINSERT INTO 住所録(氏名) VALUES ('書き手の行');\n", shell);
    std::fflush(shell);
    std::this_thread::sleep_for(std::chrono::seconds(6));
    letting_go = true;
    std::fputs("COMMIT;\n", shell);
    pclose(shell);
  });
  for (int i = 0; i < 500 && access((book + "-journal").c_str(), F_OK) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(access((book + "-journal").c_str(), F_OK), 0) << "the writer never began";

  Client page(port);
  page.Send(Get(list, auth));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the page is waiting now
  Client menu(port);
  menu.Send(Get("/", auth));

  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(Body(Exchange(port, Get("/images/small.txt", ""))), "small");
  EXPECT_LT(MsSince(asked), 2000);
  const size_t before = downloaded.size();
  downloaded += download.ReadSome(8 * 1024 * 1024, 2000);
  EXPECT_GT(downloaded.size(), before) << "the download stood still";
  EXPECT_EQ(menu.ReadSome(1, 100), "") << "a page ran beside the waiting one";
  EXPECT_FALSE(letting_go) << "the file and the download came only once the writer let go";

  const std::string shown = page.ReadAll(60000);
  EXPECT_TRUE(letting_go);
  EXPECT_EQ(StatusLine(shown), kOk);
  EXPECT_NE(shown.find("\"書き手の行\""), std::string::npos) << shown;
  EXPECT_EQ(StatusLine(menu.ReadAll()), kOk);
  downloaded += download.ReadAll(10000);
  EXPECT_TRUE(download.closed());
  EXPECT_EQ(Body(downloaded).size(), big);
  writer.join();
}

// A kill while an upload replaces a file leaves the former file, byte for byte, and nothing
// beside it; nor does a restart keep what a kill at any other moment could have left.
TEST_F(DemoEndToEnd, AKillDuringAnUploadLeavesOnlyTheFormerFile) {
  RegisterAdministrator(dir_, 18252);
  if (HasFatalFailure()) return;
  std::string former(1024 * 1024, '\0');
  for (size_t i = 0; i < former.size(); ++i) former[i] = static_cast<char>(i * 31 + i / 977);
  WriteFile(dir_ + "images/keep.bin", former);
  // 200 MiB: the write takes long enough to be caught in the act.
  const std::string part_head =
      "--XyZ\r\nContent-Disposition: form-data; name=\"input\"; filename=\"keep.bin\"\r\n\r\n";
  const std::string part_end = "\r\n--XyZ--\r\n";
  const size_t content = 200 * 1024 * 1024;
  std::string upload = "POST /upload HTTP/1.1\r\nAuthorization: " + Credentials(kAdmin, kPassword) +
                       "\r\nContent-Type: multipart/form-data; boundary=XyZ\r\nContent-Length: " +
                       std::to_string(part_head.size() + content + part_end.size()) + "\r\n\r\n" +
                       part_head;
  upload.append(content, 'n');
  upload += part_end;

  {
    const uint16_t port = 18253;
    ServerProcess server(dir_, ExecutableFor(port));
    ASSERT_TRUE(server.WaitListening(port)) << server.Stderr();
    // The server's files below images/ other than the one being replaced: the new content
    // being written.
    const std::string fds = "/proc/" + std::to_string(server.Pid()) + "/fd";
    auto writing = [&] {
      std::error_code ec;
      for (const auto& entry : std::filesystem::directory_iterator(fds, ec)) {
        const std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
        if (target.starts_with(dir_ + "images/") && target != dir_ + "images/keep.bin") return true;
      }
      return false;
    };
    bool killed = false;
    for (int attempt = 0; attempt < 3 && !killed; ++attempt) {
      Client client(port);
      std::thread sender([&] { client.Send(upload); });
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (!killed && std::chrono::steady_clock::now() < until && !server.Exited()) {
        if (writing()) {
          server.Kill();
          killed = true;
        } else if (client.ReadSome(1, 1).size() == 1) {
          break;  // stored already: the write went by between two looks
        }
      }
      sender.join();
      if (!killed) WriteFile(dir_ + "images/keep.bin", former);  // and again
    }
    ASSERT_TRUE(killed) << "never saw the upload being written";
  }
  EXPECT_EQ(Tree(dir_ + "images"), std::vector<std::string>{"keep.bin"});
  // What a kill between naming the new file and its rename would leave.
  WriteFile(dir_ + "images/sub/.norvane-new-4242-0", "whole new content");

  const uint16_t port = 18254;
  ServerProcess server(dir_, ExecutableFor(port));
  ASSERT_TRUE(server.WaitListening(port)) << server.Stderr();
  EXPECT_EQ(Tree(dir_ + "images"), (std::vector<std::string>{"keep.bin", "sub"}));
  EXPECT_TRUE(ReadFile(dir_ + "images/keep.bin") == former);
  EXPECT_TRUE(Body(Exchange(port, Get("/images/keep.bin", ""))) == former);
}

// ZURazo.db deleted under the running server: the requests that need it get the error page and
// nothing makes the file again, so the next start serves the set-up.
TEST_F(DemoEndToEnd, ADeletedDefinitionDatabaseIsNotMadeAgain) {
  RegisterAdministrator(dir_, 18255);
  if (HasFatalFailure()) return;
  const std::string definitions = dir_ + "ZURazo.db";
  const std::string auth = Credentials(kAdmin, kPassword);
  {
    const uint16_t port = 18256;
    ServerProcess server(dir_, ExecutableFor(port));
    ASSERT_TRUE(server.WaitListening(port)) << server.Stderr();
    ASSERT_EQ(StatusLine(Exchange(port, Get("/?SQL=" + UrlEncode("住所録"), auth))), kOk);
    ASSERT_EQ(unlink(definitions.c_str()), 0);
    for (const std::string& target :
         {"/?SQL=" + UrlEncode("住所録"), std::string("/"), std::string("/upload")}) {
      const std::string reply = Exchange(port, Get(target, auth));
      EXPECT_NE(reply.find("<title>SQLite実行エラー</title>"), std::string::npos) << reply;
      EXPECT_NE(reply.find("unable to open database file"), std::string::npos) << reply;
    }
    EXPECT_NE(access(definitions.c_str(), F_OK), 0);
  }
  EXPECT_NE(access(definitions.c_str(), F_OK), 0);

  const uint16_t port = 18257;
  ServerProcess server(dir_, ExecutableFor(port));
  ASSERT_TRUE(server.WaitListening(port)) << server.Stderr();
  const std::string page = Exchange(port, Get("/", auth));
  EXPECT_EQ(StatusLine(page), kOk);
  EXPECT_NE(page.find("<title>初期設定画面</title>"), std::string::npos) << page;
}

// Include files that multiply without a cycle (each includes the next ten times, eight levels
// deep) end on the error page once their text passes the bound, and the server goes on
// serving: next a page whose rendered rows, which do not count against that bound, pass it.
TEST_F(DemoEndToEnd, GrowingIncludesEndOnTheErrorPageAndTheServerGoesOn) {
  RegisterAdministrator(dir_, 18260);
  if (HasFatalFailure()) return;
  mkdir((dir_ + "include").c_str(), 0755);
  WriteFile(dir_ + "include/g8.txt", "0123456789");
  for (int i = 1; i < 8; ++i) {
    std::string text;
    for (int k = 0; k < 10; ++k) text += "【g" + std::to_string(i + 1) + ".txt】";
    WriteFile(dir_ + "include/g" + std::to_string(i) + ".txt", text);
  }
  WriteFile(dir_ + "include/head.txt", "<h1>rows</h1>");
  const std::string definitions = dir_ + "ZURazo.db";
  const char kDefinition[] = "INSERT INTO SQL VALUES (?, 'Web管理者', './rows.db', '', '', '', ?)";
  Insert(definitions, kDefinition, {"膨張", "SELECT 1 AS x;"});
  Insert(definitions, kDefinition,
         {"大表",
          "SELECT i, printf('%090d', i) AS v FROM (WITH RECURSIVE n(i) AS "
          "(SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 180000) SELECT i FROM n);"});
  Insert(definitions, "INSERT INTO HTML VALUES (?, ?)", {"膨張", "<p>【g1.txt】</p>"});
  Insert(definitions, "INSERT INTO HTML VALUES (?, ?)", {"大表", "【head.txt】[＠データ＠]"});

  const uint16_t port = 18261;
  ServerProcess server(dir_, ExecutableFor(port));
  ASSERT_TRUE(server.WaitListening(port)) << server.Stderr();
  const std::string auth = Credentials(kAdmin, kPassword);
  auto get = [&](const std::string& sql) {
    return Exchange(port, Get("/?SQL=" + UrlEncode(sql) + "&HTML=" + UrlEncode(sql), auth));
  };

  std::string reply = get("膨張");
  EXPECT_EQ(StatusLine(reply), kOk);
  EXPECT_NE(reply.find("<title>SQLite実行エラー</title>"), std::string::npos) << reply;
  EXPECT_NE(reply.find("エラー内容：<hr>Include files expand to more than 16 MiB of text (at 【g"),
            std::string::npos)
      << reply;

  reply = get("大表");
  EXPECT_EQ(StatusLine(reply), kOk);
  const std::string page = Body(reply);
  EXPECT_GT(page.size(), size_t{17} << 20);
  EXPECT_TRUE(page.starts_with("<h1>rows</h1>\r\n[[\"i\",\"v\"],[\"1\",\"")) << page.substr(0, 100);
  EXPECT_TRUE(page.ends_with("[\"180000\",\"" + std::string(84, '0') + "180000\"]]\r\n"));
}
