// Large bodies of every shape against the real executable: memory in proportion to the body,
// no parsing before the login, and a form of 100,000 fields read by name.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>

#include "auth/cipher.h"
#include "support/engines.h"
#include "support/server_process.h"
#include "support/temp_dir.h"
#include "support/test_db.h"

using namespace nv::test;

namespace {

using Clock = std::chrono::steady_clock;

// One port per test: ctest runs the tests of this file side by side, each a process of its own.
constexpr uint16_t kShapesPort = 18270;
constexpr uint16_t kLoginPort = 18271;
constexpr uint16_t kFieldsPort = 18272;
constexpr long long kMiB = 1024 * 1024;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;  // shadow memory and quarantine: no RSS figure holds
#else
constexpr bool kSanitized = false;
#endif

// A site with one user and the definitions the shapes post to: "fields" echoes chosen fields,
// "rows" runs a per-record script over every row a body brings.
std::string MakeSite(const TempDir& temp, const std::string& phrase) {
  const std::string dir = temp.folder();
  const std::string definitions = dir + "ZURazo.db";
  mkdir((dir + "images").c_str(), 0755);
  symlink(kSqlite.c_str(), (dir + "libsqlite3.so.0").c_str());
  RunAll(definitions,
         {"CREATE TABLE 利用者情報(名前 PRIMARY KEY, 暗号化パスワード, 所属)",
          "CREATE TABLE SQL (名称 TEXT PRIMARY KEY, 実行権限 TEXT, データベース TEXT, 暗号化 TEXT, "
          "入力開始時のSQL文等 TEXT, 入力一件分のSQL文等 TEXT, 表示用のSQL文等 TEXT)",
          "CREATE TABLE HTML (名称 TEXT PRIMARY KEY, 内容 TEXT)",
          "CREATE TABLE メニュー (所属 TEXT, 親 INTEGER, 子 INTEGER, 孫 INTEGER)",
          "INSERT INTO HTML VALUES ('一覧表', 'page ＠データ＠')"});
  Insert(definitions, "INSERT INTO 利用者情報 VALUES ('u', ?, '一般')",
         {nv::StoredCipherText("pw", phrase)});
  Insert(definitions, "INSERT INTO SQL VALUES ('fields', '', './data.db', '', '', '', ?)",
         {"SELECT '「f0」' AS first, '「F50000」' AS middle, '「f99999」' AS last, "
          "'「dup」' AS dup;"});
  // The first row's run ends the request: what a body of rows costs is held by then.
  Insert(definitions,
         "INSERT INTO SQL VALUES ('rows', '', './data.db', '', '', ?, 'SELECT 1 AS one;')",
         {"SELECT * FROM no_such_table_「列:1」;"});
  return dir;
}

std::string Credentials() { return "Authorization: Basic " + nv::EncodeStringBase64("u:pw"); }

std::string Post(const std::string& type, const std::string& body, bool credentials = true) {
  return "POST / HTTP/1.1\r\nContent-Type: " + type + "\r\n" +
         (credentials ? Credentials() + "\r\n" : "") +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

long long PeakResidentBytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoll(line.substr(6)) * 1024;
  }
  return -1;
}

const char* kBoundary = "multipart/form-data; boundary=B";

std::string Part(const std::string& headers, const std::string& content) {
  return "--B\r\n" + headers + "\r\n\r\n" + content + "\r\n";
}

std::string TinyFields(long long bytes) {
  std::string body = "SQL=rows&";
  while (static_cast<long long>(body.size()) + 2 <= bytes) body += "a&";
  return body;
}

}  // namespace

class Bodies : public ::testing::Test {
 protected:
  void SetUp() override {
    phrase_ = nv::GeneratePhrase();
    if (phrase_.empty()) GTEST_SKIP() << "no adapter gives a host phrase here";
    dir_ = MakeSite(temp_, phrase_);
  }

  // A fresh server answers one request; the peak of its resident memory afterwards.
  long long PeakFor(const std::string& request, std::string* reply = nullptr) {
    ServerProcess server(dir_, ExecutableFor(kShapesPort));
    EXPECT_TRUE(server.WaitListening(kShapesPort)) << server.Stderr();
    std::string answer = Exchange(kShapesPort, request, 120000);
    if (reply != nullptr) *reply = answer;
    return PeakResidentBytes(server.Pid());
  }

  TempDir temp_;
  std::string phrase_;
  std::string dir_;
};

// Every shape of body, up to millions of fields, parts or lines, costs memory in proportion
// to its size: below twice the body and 64 MiB.
TEST_F(Bodies, EveryShapeCostsMemoryInProportion) {
  if (kSanitized) GTEST_SKIP() << "resident memory means nothing under the sanitizers";
  std::string multipart = Part("Content-Disposition: form-data; name=\"SQL\"", "rows");
  while (multipart.size() < 16 * kMiB) {
    multipart += Part("Content-Disposition: form-data; name=\"a\"", "x");
  }
  multipart += "--B--\r\n";
  std::string csv_lines;
  for (int i = 0; i < 2000000; ++i) csv_lines += "a\n";
  std::string tab_lines = "SQL=rows&TAB%E5%88%97=";
  for (int i = 0; i < 8000000; ++i) tab_lines += "a%0A";
  struct Shape {
    const char* what;
    std::string request;
    const char* status;
  };
  const Shape shapes[] = {
      {"16 MiB of URL-encoded tiny fields",
       Post("application/x-www-form-urlencoded", TinyFields(16 * kMiB)), "HTTP/1.1 413"},
      {"the same without credentials",
       Post("application/x-www-form-urlencoded", TinyFields(16 * kMiB), false), "HTTP/1.1 401"},
      {"16 MiB of tiny multipart parts", Post(kBoundary, multipart), "HTTP/1.1 200"},
      {"a CSV file of 2,000,000 one-byte lines",
       Post(kBoundary, Part("Content-Disposition: form-data; name=\"SQL\"", "rows") +
                           Part("Content-Disposition: form-data; name=\"CSVファイル\"; "
                                "filename=\"x.csv\"",
                                csv_lines) +
                           "--B--\r\n"),
       "HTTP/1.1 200"},
      {"a TAB block of 8,000,000 one-byte lines",
       Post("application/x-www-form-urlencoded", tab_lines), "HTTP/1.1 200"},
  };
  for (const Shape& shape : shapes) {
    std::string reply;
    const long long peak = PeakFor(shape.request, &reply);
    const long long body = static_cast<long long>(shape.request.size());
    EXPECT_EQ(reply.substr(0, 12), shape.status) << shape.what << ": " << reply.substr(0, 300);
    EXPECT_LT(peak, 2 * body + 64 * kMiB) << shape.what << ": peak " << peak / kMiB << " MiB";
    RecordProperty(shape.what, std::to_string(peak / kMiB) + " MiB");
  }
}

// The posted fields are not parsed before the login: a body of millions of tiny fields
// without credentials gets its challenge at once.
TEST_F(Bodies, NoParsingBeforeTheLogin) {
  ServerProcess server(dir_, ExecutableFor(kLoginPort));
  ASSERT_TRUE(server.WaitListening(kLoginPort)) << server.Stderr();
  const std::string request =
      Post("application/x-www-form-urlencoded", TinyFields(16 * kMiB), false);
  const Clock::time_point start = Clock::now();
  const std::string reply = Exchange(kLoginPort, request);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_EQ(reply.substr(0, 12), "HTTP/1.1 401");
  EXPECT_LT(ms, 1500);
}

// A form of 100,000 fields: its first, middle and last field by name, one asked for in other
// letter case, and of a repeated name the first.
TEST_F(Bodies, AFormOfAHundredThousandFields) {
  std::string body = "SQL=fields";
  for (int i = 0; i < 100000; ++i) body += "&f" + std::to_string(i) + "=v" + std::to_string(i);
  body += "&dup=first&DUP=second";
  ServerProcess server(dir_, ExecutableFor(kFieldsPort));
  ASSERT_TRUE(server.WaitListening(kFieldsPort)) << server.Stderr();
  const std::string reply = Exchange(kFieldsPort, Post("application/x-www-form-urlencoded", body));
  EXPECT_NE(reply.find("page [\"first\",\"middle\",\"last\",\"dup\"],"
                       "[\"v0\",\"v50000\",\"v99999\",\"first\"]"),
            std::string::npos)
      << reply.substr(0, 500);
}
