// Basic authentication through the real executable, against a user table whose stored cipher
// text was made under this machine's host phrase.
#include <gtest/gtest.h>

#include "auth/cipher.h"
#include "db/sqlite_db.h"
#include "support/engines.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

using namespace nv::test;

namespace {

void MakeUserTable(const std::string& db, const std::string& stored) {
  nv::SQLiteDefaultLibrary = kSqlite;
  nv::TSQLite3Connection conn;
  conn.DatabaseName = db;
  conn.Open();
  conn.CreateTransaction();
  conn.ExecuteDirect("CREATE TABLE 利用者情報(名前 PRIMARY KEY, 暗号化パスワード, 所属)");
  nv::TSQLQuery q;
  q.SetDatabase(&conn);
  q.SetSQL("INSERT INTO 利用者情報 VALUES ('管理', :p, 'Web管理者')");
  q.ParamByName("p").SetAsString(stored);
  q.ExecSQL();
  conn.Transaction()->Commit();
}

std::string Get(const std::string& path, const std::string& auth) {
  return "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n" +
         (auth.empty() ? "" : "Authorization: " + auth + "\r\n") + "\r\n";
}

}  // namespace

TEST(AuthEndToEnd, CredentialsPassTheGate) {
  std::string phrase = nv::GeneratePhrase();
  if (phrase.empty()) GTEST_SKIP() << "no adapter gives a host phrase here";
  TempDir temp;
  const std::string dir = temp.folder();
  mkdir((dir + "images").c_str(), 0755);
  symlink(kCipher.c_str(), (dir + "libsqlcipher.so.0").c_str());
  MakeUserTable(dir + "ZURazo.db", nv::StoredCipherText("pa:ss", phrase));

  const uint16_t port = 18090;
  ServerProcess server(dir, ExecutableFor(port));
  ASSERT_TRUE(server.WaitListening(port)) << server.Stderr();

  const std::string challenge =
      "HTTP/1.1 401 Unauthorized\r\nStatus: 401 OK\r\nContent-Length: 0\r\n"
      "Content-Type: text/html; charset=UTF-8\r\nWWW-Authenticate: Basic realm=\"SECRET AREA\"\r\n"
      "Connection: close\r\n\r\n";
  EXPECT_EQ(Exchange(port, Get("/upload", "")), challenge);
  EXPECT_EQ(Exchange(port, Get("/upload", "Basic " + nv::EncodeStringBase64("管理:wrong"))),
            challenge);
  std::string ok = Exchange(port, Get("/upload", "Basic " + nv::EncodeStringBase64("管理:pa:ss")));
  EXPECT_EQ(ok.rfind("HTTP/1.1 200 OK\r\nStatus: 200 OK\r\n", 0), 0u) << ok;
  EXPECT_NE(ok.find("<form id=\"form\" action=\"/upload\" method=\"POST\""), std::string::npos);
}
