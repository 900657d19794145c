#include "auth/basic_auth.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "auth/cipher.h"
#include "db/sqlite_db.h"
#include "globals/globals.h"
#include "platform/process.h"
#include "support/process_values.h"
#include "support/temp_dir.h"
#include "support/test_db.h"

using namespace nv;

namespace {

const std::string kPhrase = "0123456789AB";

std::string TestPhrase() { return kPhrase; }
std::string NoPhrase() { return ""; }

std::string Basic(const std::string& credentials) {
  return "Basic " + EncodeStringBase64(credentials);
}

struct User {
  std::string name;
  std::optional<std::string> password;  // nullopt: NULL
  std::optional<std::string> role;      // nullopt: NULL
};

class BasicAuth : public ::testing::Test {
 protected:
  void SetUp() override { nv::test::ResetProcessValues(dir_.folder()); }

  // The user table as the set-up route makes it (no declared column types), then the users.
  void CreateUsers(const std::vector<User>& users, const std::string& phrase = kPhrase) {
    auto conn = nv::test::Connect(Folder + "ZURazo.db", SQLiteCipher);
    conn->ExecuteDirect(
        "CREATE TABLE IF NOT EXISTS 利用者情報 (名前 PRIMARY KEY, 暗号化パスワード, 所属)");
    TSQLQuery query;
    query.SetDatabase(conn.get());
    for (const User& u : users) {
      query.SetSQL("INSERT INTO 利用者情報 VALUES (:n, :p, :r)");
      query.ParamByName("n").SetAsString(u.name);
      if (u.password) query.ParamByName("p").SetAsString(StoredCipherText(*u.password, phrase));
      if (u.role) query.ParamByName("r").SetAsString(*u.role);
      query.ExecSQL();
    }
    conn->Transaction()->Commit();
  }

  nv::test::TempDir dir_;
};

}  // namespace

TEST(GetBasicAuth, SplitsAtFirstColon) {
  struct Case {
    std::string header, user, pass;
  };
  const std::vector<Case> cases = {
      {Basic("alice:s3cret"), "alice", "s3cret"},
      {Basic("bob:pa:ss:word"), "bob", "pa:ss:word"},  // later colons belong to the password
      {Basic("nocolon"), "", "nocolon"},
      {Basic(":"), "", ""},
      {"Basic\t" + EncodeStringBase64("u:p"), "u", "p"},  // any separator character
      {"Basic", "", ""},
      {"basic " + EncodeStringBase64("u:p"), "", ""},  // the scheme name is case-sensitive
      {"Bearer abc", "", ""},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetBasicAuth(c.header, "User"), c.user) << c.header;
    EXPECT_EQ(GetBasicAuth(c.header, "Pass"), c.pass) << c.header;
  }
  // Only "Pass" exactly asks for the password.
  EXPECT_EQ(GetBasicAuth(Basic("u:p"), "pass"), "u");
}

TEST_F(BasicAuth, RolesFromTheUserTable) {
  const std::string long_password(1000, 'p');  // longer than 756 bytes: still whole
  CreateUsers({
      {"alice", "s3cret", "営業"},
      {"bob", "pa:ss:word", "管理"},
      {"", "nocolon", "空名"},
      {"carol", std::nullopt, "経理"},
      {"dave", "pw", std::nullopt},
      {"eve", "pw", "null"},
      {"long", long_password, "長"},
  });
  const std::vector<std::pair<std::string, std::string>> cases = {
      {Basic("alice:s3cret"), "営業"},
      {"Basic\t" + EncodeStringBase64("alice:s3cret"), "営業"},
      {Basic("alice:wrong"), "null"},
      {Basic("alice:"), "null"},
      {Basic("Alice:s3cret"), "null"},  // names compare byte for byte
      {Basic("bob:pa:ss:word"), "管理"},
      {Basic("bob:pa"), "null"},
      {Basic("nocolon"), "空名"},  // no ":": the empty user name with the whole text
      {Basic("carol:"), "null"},   // NULL password
      {Basic("carol:x"), "null"},
      {Basic("dave:pw"), ""},  // NULL role: admitted with the empty role
      {Basic("eve:pw"), "null"},
      {Basic("mallory:pw"), "null"},
      {Basic("long:" + long_password), "長"},
      {Basic("long:" + long_password.substr(1)), "null"},
  };
  for (const auto& [header, role] : cases) {
    EXPECT_EQ(BasicAuthorization(header, TestPhrase), role) << GetBasicAuth(header, "User");
  }
}

TEST_F(BasicAuth, OtherSchemesTouchNeitherCommandNorDatabase) {
  // Any database access would now fail: no engine can be loaded and no ZURazo.db exists.
  SQLiteCipher = Folder + "missing-engine.so";
  const uint64_t before = ExecutedCommandCount();
  for (const std::string& header : {std::string(), "basic " + EncodeStringBase64("alice:s3cret"),
                                    "BASIC " + EncodeStringBase64("alice:s3cret"),
                                    std::string("Bearer token"), std::string("Basi")}) {
    EXPECT_EQ(BasicAuthorization(header), "null") << header;
  }
  EXPECT_EQ(ExecutedCommandCount(), before);
  EXPECT_TRUE(std::filesystem::is_empty(Folder));
  // The same setting does notice Basic credentials, which need both.
  try {
    BasicAuthorization(Basic("alice:s3cret"));
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(ExecutedCommandCount(), before + 1);
  EXPECT_THROW(BasicAuthorization(Basic("alice:s3cret"), TestPhrase), std::runtime_error);
}

TEST_F(BasicAuth, EmptyHostPhraseAdmitsNobody) {
  CreateUsers({{"alice", "s3cret", "営業"}});
  {
    // What an empty phrase made of any password before: the Base64 of "Error".
    auto conn = nv::test::Connect(Folder + "ZURazo.db", SQLiteCipher);
    conn->ExecuteDirect("INSERT INTO 利用者情報 VALUES ('ghost', '" + EncodeStringBase64("Error") +
                        "', '幽霊')");
    conn->Transaction()->Commit();
  }
  EXPECT_EQ(BasicAuthorization(Basic("ghost:anything"), NoPhrase), "null");
  EXPECT_EQ(BasicAuthorization(Basic("alice:s3cret"), NoPhrase), "null");
  EXPECT_EQ(BasicAuthorization(Basic("alice:s3cret"), TestPhrase), "営業");
}

TEST_F(BasicAuth, StoredCipherTextsAreBoundToThePhrase) {
  CreateUsers({{"alice", "s3cret", "営業"}}, "another machine");
  EXPECT_EQ(BasicAuthorization(Basic("alice:s3cret"), TestPhrase), "null");
}

TEST_F(BasicAuth, HostPhraseOfThisMachine) {
  const std::string phrase = GeneratePhrase();
  if (phrase.empty()) GTEST_SKIP() << "no adapter with an IPv4 address on this host";
  CreateUsers({{"alice", "s3cret", "営業"}}, phrase);
  const uint64_t before = ExecutedCommandCount();
  EXPECT_EQ(BasicAuthorization(Basic("alice:s3cret")), "営業");
  EXPECT_EQ(ExecutedCommandCount(), before + 1);  // one getmac per authentication
  EXPECT_EQ(BasicAuthorization(Basic("alice:wrong")), "null");
}

TEST_F(BasicAuth, DatabaseFailuresPropagate) {
  TSQLite3Connection conn;  // a definition database without the user table
  SQLiteDefaultLibrary = SQLiteCipher;
  conn.DatabaseName = Folder + "ZURazo.db";
  conn.Open();
  conn.CreateTransaction();
  conn.ExecuteDirect("CREATE TABLE SQL (名称)");
  conn.Transaction()->Commit();
  try {
    BasicAuthorization(Basic("alice:s3cret"), TestPhrase);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("no such table"), std::string::npos) << e.what();
  }
  EXPECT_THROW(GetPassword(TestPhrase), std::runtime_error);
}

TEST_F(BasicAuth, AdministratorPassword) {
  CreateUsers({{"alice", "s3cret", "営業"}});
  EXPECT_EQ(GetPassword(TestPhrase), "");  // no administrator: encrypted databases get no key
  const std::string long_password = "長い" + std::string(1000, 'k');
  CreateUsers({{"admin", long_password, "Web管理者"}});
  EXPECT_EQ(GetPassword(TestPhrase), long_password);
  EXPECT_NE(GetPassword([] { return std::string("other phrase"); }), long_password);
  EXPECT_EQ(GetPassword(NoPhrase), "Error");
}

TEST(BasicAuthorizationView, ChallengeWithoutBody) {
  TResponse r;
  r.SetContent("left over");
  EXPECT_EQ(&BasicAuthorizationView(r), &r);
  EXPECT_EQ(r.Code, 401);
  EXPECT_EQ(r.CustomHeaders.Items(),
            (std::vector<std::string>{"WWW-Authenticate=Basic realm=\"SECRET AREA\"",
                                      "Connection=close"}));
  EXPECT_EQ(r.Contents.GetCount(), 0u);
  r.SendContent();
  const std::string& wire = r.Sent();
  EXPECT_EQ(wire.rfind("HTTP/1.1 401 ", 0), 0u) << wire;
  EXPECT_NE(wire.find("\r\nWWW-Authenticate: Basic realm=\"SECRET AREA\"\r\nConnection: close\r\n"),
            std::string::npos)
      << wire;
  EXPECT_EQ(wire.find("Connection"), wire.rfind("Connection")) << wire;  // its own, once
  EXPECT_EQ(wire.find("Transfer-Encoding"), std::string::npos) << wire;
  EXPECT_EQ(wire.find("Content-Length: 0\r\n"), wire.find("Content-Length"));
  EXPECT_EQ(wire.substr(wire.size() - 4), "\r\n\r\n");  // head only: no body
}
