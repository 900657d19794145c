#include "engine/definition_lookup.h"

#include <exception>
#include <memory>
#include <string>

#include "db/definition_db.h"
#include "db/sqlite_db.h"
#include "globals/globals.h"
#include "text/strings.h"

namespace nv {

namespace {

// The lookup's connection (without a key, also under SQLCipher) and query, in state.Conn and
// state.Query for the call. A lookup that read without error hands its connection back to the
// request's definition reads, which keep it while the lookups share a read transaction; any
// other end releases both (rolling back, committing nothing), so no failed lookup leaves the
// definition database open or locked.
class Lookup {
 public:
  explicit Lookup(TPageRequestState& state) : state_(state) {
    state_.Conn = state_.definition_reads.Open();
    state_.Query = std::make_unique<TSQLQuery>();
    state_.Query->SetDatabase(state_.Conn.get());
  }
  ~Lookup() {
    state_.Query.reset();
    state_.Conn.reset();
  }
  Lookup(const Lookup&) = delete;
  Lookup& operator=(const Lookup&) = delete;

  TPageRequestState& state() { return state_; }
  TSQLQuery& query() { return *state_.Query; }

  // The name and the role travel as parameters, never as statement text: a quote in them is
  // just a character of the value looked up.
  bool OpenSwallowing() {
    try {
      query().Open();
      return true;
    } catch (const std::exception&) {
      // A missing table or a locked file reads as "no such row". What the engine's transaction
      // is left as is not looked into: the connection goes, and the next lookup reads afresh.
      query().Close();
      failed_ = true;
      return false;
    }
  }

  // The lookup is through: its connection goes back unless a query failed.
  void Finish() {
    state_.Query.reset();
    if (!failed_) state_.definition_reads.Done(std::move(state_.Conn));
    state_.Conn.reset();
  }

 private:
  TPageRequestState& state_;
  bool failed_ = false;
};

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

TStringList DefinitionOrTemplate(Lookup& lookup, std::string_view mode, std::string_view Namae,
                                 std::string_view Kubun, std::string_view org) {
  TStringList result;
  TSQLQuery& query = lookup.query();
  query.SetSQL("SELECT * FROM " + std::string(mode) + " WHERE 名称 == :名称;");
  query.ParamByName("名称").SetAsString(std::string(Namae));
  if (!lookup.OpenSwallowing() || query.RecordCount() == 0) return result;

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

void MenuRows(Lookup& lookup, std::string_view org) {
  TPageRequestState& state = lookup.state();
  TSQLQuery& query = lookup.query();
  query.SetSQL("SELECT * FROM メニュー WHERE 所属 == :所属 ORDER BY 親 ASC, 子 ASC, 孫 ASC;");
  query.ParamByName("所属").SetAsString(std::string(org));
  if (!lookup.OpenSwallowing() || query.RecordCount() == 0) return;

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

  Lookup lookup(state);
  TStringList result;
  if (mode == "MENU") {
    MenuRows(lookup, org);
  } else {
    result = DefinitionOrTemplate(lookup, mode, Namae, Kubun, org);
  }
  lookup.Finish();
  return result;
}

}  // namespace nv
