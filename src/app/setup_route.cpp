#include "app/setup_route.h"

#include <memory>

#include "app/error_page.h"
#include "auth/basic_auth.h"
#include "auth/cipher.h"
#include "db/definition_db.h"
#include "db/sqlite_db.h"
#include "globals/globals.h"
#include "platform/files.h"
#include "text/html_escape.h"

namespace nv {

namespace {

void AddSetupPage(TRequest& ARequest, TResponse& AResponse) {
  TStringList& c = AResponse.Contents;
  AddPageOpening(c, "初期設定画面");
  c.Add("<form action=\"" + HtmlEscape(ARequest.URL) + "\" method=\"POST\">");
  c.Add("Webシステム管理者のお名前とパスワードを入力してください♪</label><br>");
  c.Add(
      "<label for=\"管理者名\">管理者名:</label><input type=\"text\" name=\"管理者名\" "
      "id=\"管理者名\" /><br>");
  c.Add(
      "<label for=\"パスワード\">パスワード:</label><input type=\"password\" "
      "name=\"パスワード\" /><br>");
  c.Add("<input type=\"submit\" value=\"登録\" /><br>");
  c.Add("</form>");
  c.Add(
      "なお，管理者名とパスワードは変更できません。<br>また，パスワードはデータベースの暗号化に"
      "利用します。<br>パスワードを忘れると，<br>「DB Browser for SQLite」でデータベースを開く"
      "ことができません。<br>ご注意ください。");
  c.Add("  </body>");
  c.Add("</html>");
}

// Copies the template over the definition database and registers the administrator.
void Register(const std::string& name, const std::string& password) {
  if (FileExists(Folder + "ZURazo_Init.db"))
    CopyFileOver(Folder + "ZURazo_Init.db", Folder + "ZURazo.db");  // outcome not examined

  // Without a template the set-up starts the definition database itself.
  std::unique_ptr<TSQLite3Connection> conn = OpenDefinitionDatabase(true);
  TSQLTransaction& tr = *conn->Transaction();
  tr.StartTransaction();
  TSQLQuery query;
  query.SetDatabase(conn.get());
  query.SetSQL("CREATE TABLE IF NOT EXISTS 利用者情報(名前 PRIMARY KEY, 暗号化パスワード, 所属)");
  try {
    query.ExecSQL();
  } catch (const std::exception&) {
    // an existing table of another shape is left as it is
  }
  tr.Commit();
  query.SetSQL(
      "INSERT INTO 利用者情報 (名前, 暗号化パスワード, 所属) values "
      "(:名前,:暗号化パスワード,:所属)");
  query.ParamByName("名前").SetAsString(name);
  query.ParamByName("暗号化パスワード").SetAsString(StoredCipherText(password));
  query.ParamByName("所属").SetAsString("Web管理者");
  try {
    query.ExecSQL();
  } catch (const std::exception&) {
    // a name registered before keeps its first row
  }
  tr.Commit();
  query.Close();
}

}  // namespace

void Init(TRequest& ARequest, TResponse& AResponse) {
  std::string name = ARequest.ContentFields().GetValue("管理者名");
  std::string password = ARequest.ContentFields().GetValue("パスワード");
  if (name.empty()) {
    AddSetupPage(ARequest, AResponse);
    return;
  }
  Register(name, password);
  if (BasicAuthorization(ARequest.Authorization) == "null") {
    BasicAuthorizationView(AResponse);
    return;
  }
  TStringList page;
  page.LoadFromFile(Folder + "menu" + kPathDelim + "index.html");
  AResponse.SetContent(page.GetTextStr());
}

}  // namespace nv
