// The shell's own handlers, called in-process: error page, upload route, set-up route.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "app/error_page.h"
#include "app/setup_route.h"
#include "app/upload_route.h"
#include "auth/basic_auth.h"
#include "auth/cipher.h"
#include "db/sqlite_db.h"
#include "engine/page_request.h"
#include "globals/globals.h"
#include "support/file_size_limit.h"
#include "support/files.h"
#include "support/process_values.h"
#include "support/temp_dir.h"
#include "support/test_db.h"

using namespace nv;
using nv::test::ReadFile;
using nv::test::WriteFile;

namespace {

std::string Credentials(const std::string& user, const std::string& password) {
  return "Basic " + EncodeStringBase64(user + ":" + password);
}

void Exec(const std::string& db, const std::string& sql) { nv::test::RunAll(db, {sql}); }

// Column 1 of the first row, "<none>" without a row.
std::string Query1(const std::string& db, const std::string& sql) {
  auto conn = nv::test::Connect(db, nv::test::kSqlite);
  auto rows = nv::test::Rows(*conn, sql);
  return rows.empty() ? "<none>" : rows[0].at(0);
}

class ShellRoutes : public ::testing::Test {
 protected:
  void SetUp() override {
    nv::test::ResetProcessValues(dir_.folder());
    mkdir((Folder + "images").c_str(), 0755);
    phrase_ = GeneratePhrase();
  }
  void AddUser(const std::string& name, const std::string& password, const std::string& role) {
    Exec(Folder + "ZURazo.db",
         "CREATE TABLE IF NOT EXISTS 利用者情報(名前 PRIMARY KEY, 暗号化パスワード, 所属)");
    Exec(Folder + "ZURazo.db", "INSERT INTO 利用者情報 VALUES ('" + name + "', '" +
                                   StoredCipherText(password, phrase_) + "', '" + role + "')");
  }
  nv::test::TempDir dir_;
  std::string phrase_;
};

}  // namespace

TEST_F(ShellRoutes, ErrorPageEscapesAndBreaksLines) {
  SQLname = "<b>名</b>";
  SQLbun = "-- jump＃##＃\nSELECT '&';";
  TResponse resp;
  resp.Contents.Add("already there");
  bool handled = false;
  MyShowRequestException(resp, std::runtime_error("bad <x> & \"y\""), handled);
  EXPECT_TRUE(handled);
  std::string body =
      "already there\r\n<!doctype html>\r\n<html lang=\"ja\">\r\n  <head>\r\n"
      "    <meta charset=\"UTF-8\">\r\n    <title>SQLite実行エラー</title>\r\n  </head>\r\n"
      "  <body>\r\n    <big><b>SQLite実行エラー</b></big><hr>\r\n"
      "    SQL名：&lt;b&gt;名&lt;/b&gt;<br>\r\n"
      "    SQL文：-- jump<br><br>SELECT &#39;&amp;&#39;;<br>\r\n"
      "    エラー内容：<hr>bad &lt;x&gt; &amp; &quot;y&quot;<hr>\r\n  </body>\r\n</html>\r\n";
  EXPECT_EQ(resp.Sent(),
            "HTTP/1.1 200 OK\r\nStatus: 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\nContent-Type: text/html; charset=UTF-8\r\nConnection: close\r\n\r\n" + body);
}

TEST_F(ShellRoutes, ErrorPageBeforeAnyPageRequest) {
  TResponse resp;
  std::istringstream stream("a download that failed half-way");
  resp.SetContentStream(&stream);  // the page replaces it
  bool handled = false;
  MyShowRequestException(resp, std::runtime_error("x"), handled);
  EXPECT_EQ(resp.Contents.Get(8), "    SQL名：<br>");
  EXPECT_EQ(resp.Contents.Get(9), "    SQL文：<br>");
  EXPECT_EQ(resp.Sent().find("half-way"), std::string::npos);
}

// A file-size limit stands in for a full disk: the new content cannot be written whole.
TEST_F(ShellRoutes, UploadThatCannotBeWrittenWholeKeepsTheFormerFile) {
  if (phrase_.empty()) GTEST_SKIP() << "no adapter gives a host phrase here";
  AddUser("u", "p", "一般");
  const std::string path = Folder + "images/big.bin";
  std::string former(100000, '\0');
  for (size_t i = 0; i < former.size(); ++i) former[i] = static_cast<char>(i * 7);
  WriteFile(path, former);
  TRequest req;
  req.Authorization = Credentials("u", "p");
  req.AddFile("input", "big.bin", "", std::string(20000, 'x'));
  TResponse resp;
  std::string error;
  {
    nv::test::FileSizeLimit full_disk(10000);
    error = nv::test::ErrorOf([&] { Upload(req, resp); });
  }
  EXPECT_EQ(error, "Unable to create file \"" + path + "\": File too large");
  EXPECT_FALSE(resp.ContentSent());
  EXPECT_EQ(ReadFile(path), former);
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(Folder + "images"))
    left.push_back(entry.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"big.bin"}) << "no temporary file stays behind";
}

// While another program holds "ZURazo.db", the authentication itself fails. Whoever sent the
// request, right credentials or wrong, has not passed the gate and sees the message only, not
// the name and script an earlier request left; a request that passed still sees them.
TEST_F(ShellRoutes, FailedAuthenticationShowsNothingOfEarlierRequests) {
  if (phrase_.empty()) GTEST_SKIP() << "no adapter gives a host phrase here";
  AddUser("u", "p", "一般");
  SQLname = "給与";
  SQLbun = "SELECT * FROM 給与表;";
  const auto error_page = [](const std::function<void()>& handler) {
    TResponse resp;
    try {
      handler();
    } catch (const std::exception& e) {
      bool handled = false;
      MyShowRequestException(resp, e, handled);
    }
    return resp.Contents;
  };
  TRequest stranger;
  stranger.Authorization = Credentials("u", "wrong");
  stranger.QueryFields.Add("SQL=x");
  {
    auto holder = nv::test::Connect(Folder + "ZURazo.db", nv::test::kSqlite);
    holder->ExecuteDirect("PRAGMA locking_mode = EXCLUSIVE");
    holder->ExecuteDirect("UPDATE 利用者情報 SET 所属 = 所属");
    holder->Transaction()->Commit();  // the exclusive lock stays until the connection closes
    const std::function<void()> handlers[] = {
        [&] {
          TResponse r;
          CGI(stranger, r);
        },
        [&] {
          TResponse r;
          Upload(stranger, r);
        },
    };
    for (const auto& handler : handlers) {
      const TStringList page = error_page(handler);
      ASSERT_EQ(page.GetCount(), 13u);
      EXPECT_EQ(page.Get(8), "    SQL名：<br>");
      EXPECT_EQ(page.Get(9), "    SQL文：<br>");
      EXPECT_EQ(page.Get(10), "    エラー内容：<hr>TSQLite3Connection : database is locked<hr>");
    }
  }
  TRequest known;
  known.Authorization = Credentials("u", "p");
  known.AddFile("input", "..", "", "x");
  const TStringList page = error_page([&] {
    TResponse r;
    Upload(known, r);
  });
  ASSERT_EQ(page.GetCount(), 13u);
  EXPECT_EQ(page.Get(8), "    SQL名：給与<br>");
  EXPECT_EQ(page.Get(9), "    SQL文：SELECT * FROM 給与表;<br>");
}

TEST_F(ShellRoutes, UploadNeedsCredentials) {
  TRequest req;
  req.AddFile("input", "a.txt", "", "data");
  TResponse resp;
  Upload(req, resp);
  EXPECT_EQ(resp.Code, 401);
  EXPECT_FALSE(std::ifstream(Folder + "images/a.txt").good());
}

TEST_F(ShellRoutes, UploadFormStoreAndDownload) {
  if (phrase_.empty()) GTEST_SKIP() << "no adapter gives a host phrase here";
  AddUser("u", "p", "一般");
  TRequest req;
  req.Authorization = Credentials("u", "p");
  req.URL = "/upload?a=\"><script>";
  TResponse form;
  Upload(req, form);
  ASSERT_EQ(form.Contents.GetCount(), 14u);
  EXPECT_EQ(form.Contents.Get(7),
            "<form id=\"form\" action=\"/upload?a=&quot;&gt;&lt;script&gt;\" method=\"POST\" "
            "enctype=\"multipart/form-data\">");

  const auto upload = [&](const std::string& name, const std::string& content, TResponse& r) {
    TRequest with_file;
    with_file.Authorization = req.Authorization;
    with_file.AddFile("input", name, "", content);
    Upload(with_file, r);
  };
  const std::string bytes("\x00\xff\r\nz", 5);
  TResponse down;
  upload("..\\..\\Ü ber.bin", bytes, down);
  EXPECT_EQ(ReadFile(Folder + "images/Ü ber.bin"), bytes);
  EXPECT_EQ(down.Sent(),
            "HTTP/1.1 200 OK\r\nStatus: 200 OK\r\nContent-Length: 5\r\n"
            "Content-Type: application/octet-stream\r\nConnection: close\r\n"
            "Content-Disposition: attachment; filename=Ü ber.bin\r\n\r\n" +
                bytes);
  // The same name again replaces the stored file.
  TResponse again;
  upload("Ü ber.bin", "second", again);
  EXPECT_EQ(ReadFile(Folder + "images/Ü ber.bin"), "second");

  for (const char* bad : {"..", "a/", "x/.."}) {
    TResponse r;
    EXPECT_THROW(upload(bad, "second", r), std::runtime_error) << bad;
  }
  std::filesystem::remove_all(Folder + "images");
  TResponse r;
  try {
    upload("n.txt", "second", r);
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()),
              "Unable to create file \"" + Folder + "images/n.txt\": No such file or directory");
  }
}

TEST_F(ShellRoutes, SetupPageWithoutPostedName) {
  TRequest req;
  req.URL = "/x?y=<1>";
  req.QueryFields.Add("管理者名=q");  // query fields never count
  TResponse resp;
  Init(req, resp);
  ASSERT_EQ(resp.Contents.GetCount(), 16u);
  EXPECT_EQ(resp.Contents.Get(4), "    <title>初期設定画面</title>");
  EXPECT_EQ(resp.Contents.Get(7), "<form action=\"/x?y=&lt;1&gt;\" method=\"POST\">");
  EXPECT_FALSE(std::ifstream(Folder + "ZURazo.db").good());
}

TEST_F(ShellRoutes, SetupRegistersThenHandsOverToTheMenu) {
  if (phrase_.empty()) GTEST_SKIP() << "no adapter gives a host phrase here";
  mkdir((Folder + "menu").c_str(), 0755);
  WriteFile(Folder + "menu/index.html", "<p>menu</p>\nline2");
  TRequest req;
  req.ContentFields().Add("管理者名=admin");
  req.ContentFields().Add("パスワード=pw:1");
  TResponse first;
  Init(req, first);
  EXPECT_EQ(first.Code, 401);
  EXPECT_EQ(Query1(Folder + "ZURazo.db", "SELECT 所属 FROM 利用者情報 WHERE 名前 = 'admin'"),
            "Web管理者");
  EXPECT_EQ(GetPassword(), "pw:1");

  // Without a template a second set-up keeps the first password.
  req.ContentFields().SetValue("パスワード", "other");
  req.Authorization = Credentials("admin", "pw:1");
  TResponse second;
  Init(req, second);
  EXPECT_EQ(second.Code, 200);
  EXPECT_EQ(second.ContentLines().GetTextStr(), "<p>menu</p>\r\nline2\r\n");
  EXPECT_EQ(GetPassword(), "pw:1");

  // With a template the copy replaces the database, so the new password holds.
  WriteFile(Folder + "ZURazo_Init.db", "");
  req.Authorization = Credentials("admin", "other");
  TResponse third;
  Init(req, third);
  EXPECT_EQ(third.Code, 200);

  remove((Folder + "menu/index.html").c_str());
  TResponse fourth;
  EXPECT_THROW(Init(req, fourth), std::runtime_error);
}
