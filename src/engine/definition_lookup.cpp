#include "engine/definition_lookup.h"

#include <exception>
#include <string>

#include "db/definition_db.h"
#include "db/sqlite_db.h"
#include "globals/globals.h"
#include "text/strings.h"

namespace nv {

namespace {

// Releases the lookup's query and connection (rolling back, committing nothing) however the
// lookup ends, so no lookup leaves the definition database open or locked.
struct ReleaseOnExit {
  TPageRequestState& state;
  ~ReleaseOnExit() {
    state.Query.reset();
    state.Conn.reset();
  }
};

// The definition database is always opened without a key, also under SQLCipher.
void OpenDefinitions(TPageRequestState& state) {
  state.Conn = OpenDefinitionDatabase();
  state.Query = std::make_unique<TSQLQuery>();
  state.Query->SetDatabase(state.Conn.get());
}

// The name and the role travel as parameters, never as statement text: a quote in them is
// just a character of the value looked up.
bool OpenSwallowing(TSQLQuery& query) {
  try {
    query.Open();
    return true;
  } catch (const std::exception&) {
    // A missing table or a locked file reads as "no such row".
    query.Close();
    return false;
  }
}

// The role may run the definition when "実行権限" is empty or holds the role anywhere in it.
// An empty role is part of nothing.
bool RoleMayRun(const std::string& rights, std::string_view org) {
  if (rights.empty()) return true;
  return !org.empty() && rights.find(org) != std::string::npos;
}

// A leading "./" stands for the executable's folder; both "/" and "\" separate folders.
std::string DataDatabasePath(std::string_view stored) {
  std::string prefix;
  if (stored.starts_with("./")) {
    prefix = Folder;
    stored.remove_prefix(2);
  }
  std::string path(stored);
  for (char& c : path) {
    if (c == '\\' || c == '/') c = '/';
  }
  return prefix + path;
}

TStringList DefinitionOrTemplate(TPageRequestState& state, std::string_view mode,
                                 std::string_view Namae, std::string_view Kubun,
                                 std::string_view org) {
  TStringList result;
  TSQLQuery& query = *state.Query;
  query.SetSQL("SELECT * FROM " + std::string(mode) + " WHERE 名称 == :名称;");
  query.ParamByName("名称").SetAsString(std::string(Namae));
  if (!OpenSwallowing(query) || query.RecordCount() == 0) return result;

  if (mode == "HTML") {
    result.Add(query.FieldByName("内容").AsString());
    return result;
  }
  // Columns are read only as far as the tests get, so a missing one fails only where used.
  if (!RoleMayRun(query.FieldByName("実行権限").AsString(), org)) return result;
  const std::string& script = query.FieldByName(Kubun).AsString();
  if (Trim(script).empty()) return result;
  result.Add(DataDatabasePath(query.FieldByName("データベース").AsString()));
  result.Add(query.FieldByName("暗号化").AsString());
  result.Add(script);
  return result;
}

void MenuRows(TPageRequestState& state, std::string_view org) {
  TSQLQuery& query = *state.Query;
  query.SetSQL("SELECT * FROM メニュー WHERE 所属 == :所属 ORDER BY 親 ASC, 子 ASC, 孫 ASC;");
  query.ParamByName("所属").SetAsString(std::string(org));
  if (!OpenSwallowing(query) || query.RecordCount() == 0) return;

  query.GetFieldNames(state.MenuNameList);
  std::string row;
  for (; !query.Eof(); query.Next()) {
    row.clear();
    for (const TField& field : query.Fields()) {
      row += field.AsString();
      row += '\t';
    }
    state.MenuDataList.Add(row);
  }
}

}  // namespace

TStringList GetZURazo(TPageRequestState& state, std::string_view SQLorHTMLorMENU,
                      std::string_view Namae, std::string_view Kubun, std::string_view org) {
  const std::string_view mode = SQLorHTMLorMENU;
  if (mode != "SQL" && mode != "HTML" && mode != "MENU") return {};

  ReleaseOnExit release{state};
  OpenDefinitions(state);
  if (mode == "MENU") {
    MenuRows(state, org);
    return {};
  }
  return DefinitionOrTemplate(state, mode, Namae, Kubun, org);
}

}  // namespace nv
