#include "app/error_page.h"

#include <string>

#include "auth/basic_auth.h"
#include "globals/globals.h"
#include "text/html_escape.h"
#include "text/strings.h"
#include "text/text_list.h"

namespace nv {

void AddPageOpening(TStringList& lines, std::string_view title) {
  lines.Add("<!doctype html>");
  lines.Add("<html lang=\"ja\">");
  lines.Add("  <head>");
  lines.Add("    <meta charset=\"UTF-8\">");
  lines.Add("    <title>" + std::string(title) + "</title>");
  lines.Add("  </head>");
  lines.Add("  <body>");
}

// The page escapes what it shows: the definition name, the script and the message can all
// carry text a browser user typed, and must not run as markup in the next viewer's browser.
// A request that failed at the authentication gate is nobody's yet: it sees the message only,
// not the name and script that an earlier request, perhaps another user's, left behind.
void MyShowRequestException(TResponse& AResponse, const std::exception& E, bool& Flag) {
  const bool stranger = dynamic_cast<const AuthenticationError*>(&E) != nullptr;
  const std::string name = stranger ? "" : SQLname;
  std::string script = StringReplace(HtmlEscape(stranger ? "" : SQLbun), "＃##＃", "\n",
                                     rfReplaceAll | rfIgnoreCase);
  script = StringReplace(script, "\n", "<br>", rfReplaceAll | rfIgnoreCase);
  TStringList& c = AResponse.Contents;
  AddPageOpening(c, "SQLite実行エラー");
  c.Add("    <big><b>SQLite実行エラー</b></big><hr>");
  c.Add("    SQL名：" + HtmlEscape(name) + "<br>");
  c.Add("    SQL文：" + script + "<br>");
  c.Add("    エラー内容：<hr>" + HtmlEscape(E.what()) + "<hr>");
  c.Add("  </body>");
  c.Add("</html>");
  AResponse.Code = 200;
  AResponse.ContentStream = nullptr;  // the page is the body, whatever the handler had set
  AResponse.SendContent();
  Flag = true;
}

}  // namespace nv
