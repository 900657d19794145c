#include <string>

#include "platform/text_list.h"
#include "shell/globals.h"
#include "shell/routes.h"

namespace nv {

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// The page escapes what it shows: the definition name, the script and the message can all
// carry text a browser user typed, and must not run as markup in the next viewer's browser.
void MyShowRequestException(TResponse& AResponse, const std::exception& E, bool& Flag) {
  std::string script =
      StringReplace(HtmlEscape(SQLbun), "＃##＃", "\n", rfReplaceAll | rfIgnoreCase);
  script = StringReplace(script, "\n", "<br>", rfReplaceAll | rfIgnoreCase);
  TStringList& c = AResponse.Contents;
  c.Add("<!doctype html>");
  c.Add("<html lang=\"ja\">");
  c.Add("  <head>");
  c.Add("    <meta charset=\"UTF-8\">");
  c.Add("    <title>SQLite実行エラー</title>");
  c.Add("  </head>");
  c.Add("  <body>");
  c.Add("    <big><b>SQLite実行エラー</b></big><hr>");
  c.Add("    SQL名：" + HtmlEscape(SQLname) + "<br>");
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
