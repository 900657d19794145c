#include "engine/page_request.h"

#include <string>
#include <string_view>
#include <vector>

#include "auth/basic_auth.h"
#include "engine/date_offsets.h"
#include "engine/definition_lookup.h"
#include "engine/host_addresses.h"
#include "engine/markup_html.h"
#include "engine/page_state.h"
#include "engine/per_record.h"
#include "engine/renderings.h"
#include "engine/request_log.h"
#include "engine/script_executor.h"
#include "globals/globals.h"
#include "http/request.h"
#include "http/response.h"
#include "http/server.h"
#include "platform/clock.h"
#include "text/html_escape.h"
#include "text/strings.h"

namespace nv {

namespace {

constexpr std::string_view kFallbackTemplate = "一覧表";

std::string ReplaceFirst(std::string_view text, std::string_view pattern, std::string_view value) {
  return StringReplace(text, pattern, value, rfNone);
}

std::string ReplaceEvery(std::string_view text, std::string_view pattern, std::string_view value) {
  return StringReplace(text, pattern, value, rfReplaceAll);
}

std::string TemplateText(TPageRequestState& state, std::string_view name) {
  state.etc = GetZURazo(state, "HTML", name, "", "");
  return state.etc.GetTextStr();
}

bool IsLocalClient(const std::string& address) {
  return address == "127.0.0.1" || LowerAscii(address) == "localhost";
}

// A request without any field: the role's menu. The memory variables are not reset, so the
// menu template sees what the latest page request left there.
void MenuPage(TPageRequestState& state, const std::string& org) {
  const std::string text = TemplateText(state, "メニュー");
  state.definition_reads.End();  // the last lookup of the request
  std::string role = org;
  if (IsLocalClient(state.ARequest->RemoteAddress)) {
    if (IPAddess.empty()) IPAddess = GetIpAddrList();
    role += "(" + IPAddess + ")";
  }
  std::string page = InsetHTML(state, text);
  page = ReplaceFirst(page, "＠メニュー＠", DBtoHTML(state.MenuNameList, state.MenuDataList));
  page = ReplaceEvery(page, "＠所属＠", role);
  state.AResponse->SetContent(std::move(page));
}

// No display script to run: the "SQL不明" template, its markup left as written. The name comes
// from the request, so it is escaped before it reaches the page.
void UnknownDefinitionPage(TPageRequestState& state) {
  const std::string text = TemplateText(state, "SQL不明");
  state.definition_reads.End();
  state.AResponse->SetContent(ReplaceFirst(text, "＠SQL＠", HtmlEscape(SQLname)));
}

// Runs one phase script that is not per-record: its date-offset variables first.
void RunPhase(TPageRequestState& state, bool View) {
  const std::string script = state.SQL.GetTextStr();
  if (Contains(script, "『今日+")) DateMemoryValueSet(script);
  SQLexecute(state, "", true, true, View);
}

void SetDateVariables() {
  Memory.SetValue("今日", FormatDate(LocalNow()));
  Memory.SetValue("今日時", FormatDateTime(LocalNow()));
  Memory.SetValue("今時", FormatTime(LocalNow()));
}

constexpr std::string_view kPlaceholderMark = "＠";

// The page while the placeholders of the HTML and JSON output modes are replaced, each in turn
// on the text the previous one left. A result slot's rendering can stand in the page as a gap
// that is written only when the page is put together: when its names and rows hold no "＠", no
// placeholder can be found inside it, nor across its ends, for it begins with "[" or "{" and
// ends with "]" or "}", which no placeholder holds. The later replacements then find on the
// texts around the gaps exactly what they would find on the whole page, and a page of many rows
// is neither searched nor copied again for each of them.
class TPlaceholderPage {
 public:
  TPlaceholderPage(std::string text, bool json) : json_(json) { texts_.push_back(std::move(text)); }

  void PutFirst(std::string_view placeholder, std::string_view value) {
    size_t at = 0;
    if (std::string* text = Find(placeholder, at)) text->replace(at, placeholder.size(), value);
  }

  void PutEvery(std::string_view placeholder, std::string_view value) {
    for (std::string& text : texts_) {
      if (text.find(placeholder) != std::string::npos)
        text = StringReplace(text, placeholder, value, rfReplaceAll);
    }
  }

  // The first occurrence becomes the rendering of a result slot; a slot that no placeholder
  // asks for is never rendered.
  void PutFirstSlot(std::string_view placeholder, const TStringList& names, const TRowList& rows) {
    size_t at = 0;
    std::string* text = Find(placeholder, at);
    if (text == nullptr) return;
    if (!CanStandApart(names, rows)) {
      text->replace(at, placeholder.size(), json_ ? DBtoJSON(names, rows) : DBtoHTML(names, rows));
      return;
    }
    const size_t i = static_cast<size_t>(text - texts_.data());
    std::string after = text->substr(at + placeholder.size());
    text->resize(at);
    texts_.insert(texts_.begin() + static_cast<long>(i) + 1, std::move(after));
    gaps_.insert(gaps_.begin() + static_cast<long>(i), Gap{&names, &rows});
  }

  // The whole page, the renderings written in their places.
  std::string Text() const {
    size_t size = 0;
    for (const std::string& text : texts_) size += text.size();
    for (const Gap& gap : gaps_)
      size += json_ ? DBtoJSONRoom(*gap.names, *gap.rows) : DBtoHTMLRoom(*gap.names, *gap.rows);
    std::string page;
    page.reserve(size);
    for (size_t i = 0; i < texts_.size(); ++i) {
      page += texts_[i];
      if (i == gaps_.size()) break;
      if (json_) {
        AppendDBtoJSON(page, *gaps_[i].names, *gaps_[i].rows);
      } else {
        AppendDBtoHTML(page, *gaps_[i].names, *gaps_[i].rows);
      }
    }
    return page;
  }

 private:
  struct Gap {
    const TStringList* names;
    const TRowList* rows;
  };

  // The text that holds the first occurrence, and where in it; nullptr when none does.
  std::string* Find(std::string_view placeholder, size_t& at) {
    for (std::string& text : texts_) {
      at = text.find(placeholder);
      if (at != std::string::npos) return &text;
    }
    return nullptr;
  }

  // Whether the slot's rendering begins and ends with a bracket and holds no "＠". An empty
  // slot renders as nothing and simply replaces its placeholder.
  static bool CanStandApart(const TStringList& names, const TRowList& rows) {
    if (names.GetCount() == 0 || rows.GetCount() == 0) return false;
    for (const std::string& name : names.Items()) {
      if (Contains(name, kPlaceholderMark)) return false;
    }
    return !Contains(rows.Bytes(), kPlaceholderMark);
  }

  std::vector<std::string> texts_;  // gaps_[i] stands between texts_[i] and texts_[i + 1]
  std::vector<Gap> gaps_;
  bool json_;
};

// The nine placeholders of the HTML and JSON output modes, in their fixed order. Each works
// on the text the previous one left, so a slot's value may carry a later placeholder. The
// template and definition names come from the request, so they are shown escaped.
std::string FillPlaceholders(const TPageRequestState& state, std::string text, bool json,
                             const std::string& org, const std::string& etcName) {
  TPlaceholderPage page(std::move(text), json);
  page.PutFirstSlot("＠データ＠", state.NameList1, state.DataList1);
  page.PutFirstSlot("＠データ2＠", state.NameList2, state.DataList2);
  page.PutFirstSlot("＠データ3＠", state.NameList3, state.DataList3);
  page.PutFirstSlot("＠データ4＠", state.NameList4, state.DataList4);
  const std::string menu = json ? DBtoJSON(state.MenuNameList, state.MenuDataList)
                                : DBtoHTML(state.MenuNameList, state.MenuDataList);
  page.PutFirst("＠メニュー＠", menu);
  page.PutEvery("＠所属＠", org);
  page.PutEvery("＠HTML＠", HtmlEscape(etcName));
  page.PutEvery("＠SQL＠", HtmlEscape(SQLname));
  page.PutEvery("＠Port＠", std::to_string(Application.Port));
  return page.Text();
}

// The page in the output mode that the query fields ask for.
std::string OutputPage(TPageRequestState& state, const std::string& org,
                       const std::string& etcName) {
  const TStringList& query = state.ARequest->QueryFields;
  const std::string query_sql = query.GetValue("SQL");
  std::string page = InsetHTML(state, state.etc.GetTextStr());
  if (query_sql == "HTML編集") return page;
  if (Contains(UpperAscii(query_sql), "JSON"))
    return FillPlaceholders(state, std::move(page), true, org, etcName);
  if (Contains(UpperAscii(query.GetValue("HTML")), "AI2"))
    return ReplaceFirst(page, "＠データ＠", DBtoAI2CSV(state.NameList1, state.DataList1));
  return FillPlaceholders(state, std::move(page), false, org, etcName);
}

// Everything after the menu-page test. False when the request ended on the
// unknown-definition page.
bool RunPage(TPageRequestState& state, const std::string& user, const std::string& org,
             std::string& etcName) {
  TRequest& request = *state.ARequest;
  const std::string query_sql = request.QueryFields.GetValue("SQL");
  const std::string query_html = request.QueryFields.GetValue("HTML");

  // An AI2 client sends everything as query fields; they stand in for the posted form.
  TPostedFields& posted = request.ContentFields();
  if (UpperAscii(query_html) == "AI2" && posted.GetCount() == 0) {
    for (const std::string& field : request.QueryFields.Items()) posted.Add(field);
  }
  SQLname = posted.GetValue("SQL");
  AddStartLogLine(request, user, org);

  Memory.Clear();
  SetDateVariables();
  state.SQLexecFirst = true;
  state.TABset = false;
  if (Contains(UpperAscii(query_sql), "TABSET")) {
    state.TABset = true;
    SQLname = query_sql;
  }

  if (SQLname.empty()) {
    SQLname = query_sql;  // a plain request: the display phase alone
  } else {
    state.SQL = GetZURazo(state, "SQL", SQLname, "入力開始時のSQL文等", org);
    if (state.SQL.GetCount() > 0) {
      RunPhase(state, false);
      state.TABset = false;
    }
    RunPerRecordPhase(state, org);
  }

  state.SQL = GetZURazo(state, "SQL", SQLname, "表示用のSQL文等", org);
  if (state.SQL.GetCount() == 0) {
    UnknownDefinitionPage(state);
    return false;
  }
  RunPhase(state, true);

  etcName = posted.GetValue("HTML");
  if (etcName.empty()) etcName = query_html;
  if (etcName.empty()) etcName = kFallbackTemplate;
  // The phases are over: the template lookups share a read transaction of their own, which
  // sees what the phases wrote.
  state.definition_reads.Share();
  state.etc = GetZURazo(state, "HTML", etcName, "", "");
  if (state.etc.GetCount() == 0) state.etc = GetZURazo(state, "HTML", kFallbackTemplate, "", "");
  state.definition_reads.End();

  state.AResponse->SetContent(OutputPage(state, org, etcName));
  return true;
}

}  // namespace

// The default route: one page request of the stored application, from the authentication
// gate to the END log line. Failures are not caught here: the request-exception hook answers
// them, and releasing the state on the way out rolls back a phase connection a failure left
// and ends the lookups' read transaction.
void CGI(TRequest& ARequest, TResponse& AResponse) {
  TPageRequestState state;
  state.ARequest = &ARequest;
  state.AResponse = &AResponse;
  state.SW = 0;

  // Decoded once: the gate and both log lines take the user name from here.
  const BasicCredentials credentials = DecodeBasicAuth(ARequest.Authorization);
  // From the gate to the first phase (whose connection ends it) the lookups read in one
  // transaction.
  state.definition_reads.Share();
  const std::string org = BasicAuthorization(credentials, state.definition_reads);
  if (org == "null") {
    BasicAuthorizationView(AResponse);
    return;
  }
  GetZURazo(state, "MENU", "", "", org);
  // The posted fields are read (and parsed) only here, after the authentication gate. A body
  // takes as long to parse as the client makes it, while the lookups' read lock would keep
  // other programs from writing the definition database.
  if (!ARequest.Content.empty()) state.definition_reads.End();
  if (ARequest.QueryFields.GetCount() + ARequest.ContentFields().GetCount() == 0) {
    MenuPage(state, org);
    return;
  }

  std::string etcName;
  if (RunPage(state, credentials.user, org, etcName))
    AddEndLogLine(ARequest, credentials.user, org, etcName);
}

}  // namespace nv
