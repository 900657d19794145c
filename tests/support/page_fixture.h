// A private application folder for page request tests: a definition database with the four
// tables, one user, a data database and an "images" folder, plus helpers that build requests
// and read back what a request left behind.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "auth/cipher.h"
#include "engine/page_request.h"
#include "engine/script_executor.h"
#include "globals/globals.h"
#include "http/request.h"
#include "http/response.h"
#include "http/server.h"
#include "support/files.h"
#include "support/process_values.h"
#include "support/temp_dir.h"
#include "support/test_db.h"

namespace nv::test {

using Fields = std::vector<std::pair<std::string, std::string>>;

inline const char kRole[] = "営業";
inline const char kRemote[] = "192.0.2.7";

class PageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (GeneratePhrase().empty()) GTEST_SKIP() << "no TCP/IP adapter: no host phrase to log in";
    ResetProcessValues(dir.folder());
    IPAddess = "192.0.2.2";
    Application.Port = 8123;
    std::filesystem::create_directory(Folder + "images");
    RunAll(definitions(),
           {"CREATE TABLE SQL (名称 TEXT, 実行権限 TEXT, データベース TEXT, 暗号化 TEXT, "
            "入力開始時のSQL文等 TEXT, 入力一件分のSQL文等 TEXT, 表示用のSQL文等 TEXT)",
            "CREATE TABLE HTML (名称 TEXT, 内容 TEXT)",
            "CREATE TABLE メニュー (所属 TEXT, 親 INTEGER, 子 INTEGER, 孫 INTEGER, 表題 TEXT)",
            "CREATE TABLE 利用者情報 (名前 PRIMARY KEY, 暗号化パスワード, 所属)"});
    Insert(definitions(), "INSERT INTO 利用者情報 VALUES (?, ?, ?)",
           {"taro", StoredCipherText("pw"), kRole});
    RunAll(data(), {"CREATE TABLE trail (phase TEXT)"});
  }
  // Phases keep their connections for later requests: none outlives the test.
  void TearDown() override { KeptDataConnections().Clear(); }

  std::string definitions() const { return Folder + "ZURazo.db"; }
  std::string data() const { return Folder + "data.db"; }

  void AddDefinition(const std::string& name, const std::string& input_start,
                     const std::string& per_record, const std::string& display,
                     const std::string& rights = "") {
    Insert(definitions(), "INSERT INTO SQL VALUES (?, ?, './data.db', '', ?, ?, ?)",
           {name, rights, input_start, per_record, display});
  }
  void AddTemplate(const std::string& name, const std::string& text) {
    Insert(definitions(), "INSERT INTO HTML VALUES (?, ?)", {name, text});
  }
  void AddMenu(const std::string& role, int parent, const std::string& title) {
    Insert(definitions(), "INSERT INTO メニュー VALUES (?, ?, 0, 0, ?)",
           {role, std::to_string(parent), title});
  }

  static TRequest MakeRequest(const Fields& query, const Fields& posted = {},
                              const std::string& password = "pw") {
    TRequest req;
    req.Method = posted.empty() ? "GET" : "POST";
    req.Authorization = "Basic " + EncodeStringBase64("taro:" + password);
    req.RemoteAddress = kRemote;
    for (const auto& [name, value] : query) req.QueryFields.Add(name + "=" + value);
    for (const auto& [name, value] : posted) req.ContentFields().Add(name + "=" + value);
    return req;
  }

  // The page the handler set, its lines joined by LF.
  static std::string Body(const TResponse& resp) {
    const TStringList lines = resp.ContentLines();
    std::string text;
    for (size_t i = 0; i < lines.GetCount(); ++i) {
      if (i > 0) text += '\n';
      text += lines.Get(i);
    }
    return text;
  }

  static std::string Serve(TRequest& req) {
    TResponse resp;
    CGI(req, resp);
    return Body(resp);
  }
  std::string Serve(const Fields& query, const Fields& posted = {}) {
    TRequest req = MakeRequest(query, posted);
    return Serve(req);
  }

  // Column 1 of every row of a data database query.
  std::vector<std::string> Column(const std::string& sql) {
    auto conn = Connect(data(), kSqlite);
    std::vector<std::string> values;
    for (const auto& row : Rows(*conn, sql)) values.push_back(row.at(0));
    return values;
  }
  std::vector<std::string> Trail() { return Column("SELECT phase FROM trail ORDER BY rowid"); }

  // Log text with every timestamp replaced by "<T>", so lines compare byte for byte.
  static std::string Stamped(const std::string& text) {
    static const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \d{3})");
    return std::regex_replace(text, stamp, "<T>");
  }

  TempDir dir;
};

}  // namespace nv::test
