// What the running server keeps between lines and lookups, the definition database's read
// transaction and the open log file, against another program that writes the definition
// database and deletes the log while the server runs: each request sees what a fresh open
// would, and between requests the server holds no lock that keeps a writer out.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "auth/cipher.h"
#include "support/engines.h"
#include "support/files.h"
#include "support/server_process.h"
#include "support/temp_dir.h"
#include "support/test_db.h"

using namespace nv::test;

namespace {

constexpr uint16_t kPort = 18291;

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace

TEST(KeptFilesEndToEnd, AnotherProgramsChangesAreSeenAndNeverWaitForTheServer) {
  const std::string phrase = nv::GeneratePhrase();
  if (phrase.empty()) GTEST_SKIP() << "no adapter gives a host phrase here";
  TempDir temp;
  const std::string dir = temp.folder();
  const std::string definitions = dir + "ZURazo.db";
  mkdir((dir + "images").c_str(), 0755);
  symlink(kSqlite.c_str(), (dir + "libsqlite3.so.0").c_str());
  RunAll(definitions,
         {"CREATE TABLE SQL (名称, 実行権限, データベース, 暗号化, 入力開始時のSQL文等, "
          "入力一件分のSQL文等, 表示用のSQL文等)",
          "CREATE TABLE HTML (名称, 内容)", "CREATE TABLE メニュー (所属, 親, 子, 孫)",
          "CREATE TABLE 利用者情報 (名前 PRIMARY KEY, 暗号化パスワード, 所属)",
          "INSERT INTO SQL VALUES ('表示', '', './ZURazo.db', '', '', '', "
          "'SELECT count(*) AS n FROM 利用者情報;')",
          "INSERT INTO SQL VALUES ('壊す', '', './ZURazo.db', '', '', '', "
          "'DELETE FROM 利用者情報; SELECT * FROM 無い表;')",
          "INSERT INTO HTML VALUES ('一覧表', 'one ＠データ＠')"});
  Insert(definitions, "INSERT INTO 利用者情報 VALUES ('taro', ?, '営業')",
         {nv::StoredCipherText("pw", phrase)});

  ServerProcess server(dir, ExecutableFor(kPort));
  ASSERT_TRUE(server.WaitListening(kPort)) << server.Stderr();
  const auto get = [](const std::string& name) {
    const std::string reply =
        Exchange(kPort, "GET /?SQL=" + name + " HTTP/1.1\r\nAuthorization: Basic " +
                            nv::EncodeStringBase64("taro:pw") + "\r\n\r\n");
    return reply.substr(reply.find("\r\n\r\n") + 4);
  };
  const std::string name = "%E8%A1%A8%E7%A4%BA";  // 表示

  EXPECT_EQ(get(name), "one [\"n\"],[\"1\"]\r\n");
  // Written with no busy time-out: a lock the server still held would fail it at once.
  RunAll(definitions, {"UPDATE HTML SET 内容 = 'two ＠データ＠'",
                       "INSERT INTO 利用者情報 VALUES ('jiro', '', '')"});
  EXPECT_EQ(get(name), "two [\"n\"],[\"2\"]\r\n");

  // A phase that fails after writing the definition database rolls its write back and leaves
  // the file free.
  EXPECT_NE(get("%E5%A3%8A%E3%81%99").find("SQLite実行エラー"), std::string::npos);  // 壊す
  RunAll(definitions, {"INSERT INTO 利用者情報 VALUES ('saburo', '', '')"});
  EXPECT_EQ(get(name), "two [\"n\"],[\"3\"]\r\n");

  // The log deleted while the server has it open: the next line brings the whole log back
  // under its name.
  std::filesystem::remove(dir + "log.txt");
  EXPECT_EQ(get(name), "two [\"n\"],[\"3\"]\r\n");
  const std::string log = ReadFile(dir + "log.txt");
  EXPECT_EQ(Count(log, "----START---- "), 5u) << log;
  EXPECT_EQ(Count(log, "==== END ==== "), 4u) << log;
}
