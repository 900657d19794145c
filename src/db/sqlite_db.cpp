#include "db/sqlite_db.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "db/sqlite_api.h"
#include "text/strings.h"

namespace nv {

std::string SQLiteDefaultLibrary = "libsqlite3.so.0";

namespace {

const char kEnginePrefix[] = "TSQLite3Connection : ";

// An integer's decimal digits ("-" first when it is negative), then a TAB.
void AppendDecimalAndTab(std::string& out, sqlite3_int64 value) {
  char text[24];
  char* end = std::to_chars(text, text + sizeof text - 1, value).ptr;
  *end++ = '\t';
  out.append(text, static_cast<size_t>(end - text));
}

// The characters that end a parameter name.
bool EndsName(char c) { return c != '\0' && std::strchr("\t\n\r ()*+,-/;<=>[\\]|", c); }

// Copies a quoted string, identifier or comment starting at text[i] (the caller has checked
// the opening characters) and returns the position after it; an unclosed one runs to the end.
size_t SkipLiteral(std::string_view text, size_t i, std::string& out) {
  size_t end;
  if (text.compare(i, 2, "--") == 0) {
    end = text.find('\n', i + 2);
    end = end == std::string_view::npos ? text.size() : end + 1;
  } else if (text.compare(i, 2, "/*") == 0) {
    end = text.find("*/", i + 2);
    end = end == std::string_view::npos ? text.size() : end + 2;
  } else {
    const char close = text[i] == '[' ? ']' : text[i];
    end = text.find(close, i + 1);  // a doubled quote simply reopens at the next step
    end = end == std::string_view::npos ? text.size() : end + 1;
  }
  out.append(text.substr(i, end - i));
  return end;
}

bool StartsLiteral(std::string_view text, size_t i) {
  const char c = text[i];
  if (c == '\'' || c == '"' || c == '`' || c == '[') return true;
  return text.compare(i, 2, "--") == 0 || text.compare(i, 2, "/*") == 0;
}

// A character the engine's tokenizer takes into a parameter name.
bool EngineNameChar(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return std::isalnum(u) || c == '_' || c == '$' || u >= 0x80;
}

// Prefix of the names we give parameters the engine would read differently: U+FFFF, which no
// script writes, so such a name never meets one written in the text.
constexpr std::string_view kOwnName = "\xEF\xBF\xBF";

// Finds ":name" and "?" parameters outside literals and comments. Each distinct name (ASCII
// case ignored) and each "?" becomes one parameter. The text reaches the engine as written, so
// column names and error messages quote the script itself; only a name that the engine would
// end elsewhere (":a.b", ":a(") is rewritten as ":<U+FFFF><n>", n its 1-based position in
// `params`, and "?NNN" is sent as a lone "?".
std::string ScanParams(std::string_view text, std::vector<TParam>& params) {
  std::string out;
  out.reserve(text.size() + 8);
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (StartsLiteral(text, i)) {
      i = SkipLiteral(text, i, out);
    } else if (c == '?') {
      size_t end = i + 1;
      while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
      params.emplace_back("");
      out += '?';
      // Keep a following word a word of its own, as it was after the "?".
      if (end > i + 1 && end < text.size() && EngineNameChar(text[end])) out += ' ';
      i = end;
    } else if (c == ':') {
      const char next = i + 1 < text.size() ? text[i + 1] : ' ';
      size_t end = i + 1;
      if (next != ' ' && next != '=' && next != ':') {
        while (end < text.size() && !EndsName(text[end])) ++end;
      }
      const std::string_view name = text.substr(i + 1, end - i - 1);
      if (name.empty()) {
        // "::" stays as written, both colons; ": " and ":=" leave the colon alone.
        const size_t n = next == ':' ? 2 : 1;
        out.append(text.substr(i, n));
        i += n;
        continue;
      }
      auto found = std::find_if(params.begin(), params.end(),
                                [&](const TParam& p) { return SameAsciiIgnoreCase(p.Name, name); });
      if (found == params.end()) {
        params.emplace_back(std::string(name));
        found = params.end() - 1;
      }
      const bool engine_agrees = std::all_of(name.begin(), name.end(), EngineNameChar) &&
                                 (end >= text.size() || text[end] != '(');
      out += ':';
      if (engine_agrees) {
        out.append(name);
      } else {
        out.append(kOwnName);
        out += std::to_string(found - params.begin() + 1);
      }
      i = end;
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

// Column names as the engine gives them, a repeat (ASCII case ignored) of an earlier one
// getting "_" and the smallest number that makes it unique.
std::string UniqueName(std::string name, const std::vector<TField>& earlier) {
  auto taken = [&](std::string_view candidate) {
    return std::any_of(earlier.begin(), earlier.end(), [&](const TField& f) {
      return SameAsciiIgnoreCase(f.FieldName(), candidate);
    });
  };
  if (!taken(name)) return name;
  for (int n = 1;; ++n) {
    std::string candidate = name + "_" + std::to_string(n);
    if (!taken(candidate)) return candidate;
  }
}

}  // namespace

// ---- connection -------------------------------------------------------------------------

// The engine holds this record's address (authorizer, SQL functions) while the handle is open.
struct ConnectionSession {
  const SqliteApi* api = nullptr;
  sqlite3* db = nullptr;
  bool watched = false;
  bool left_state = false;  // a statement left something in the connection (WatchSession)
  bool counting = false;    // changes() and total_changes() are ours (Renew)
  int total_changes_before = 0;
};

namespace {

using Session = ConnectionSession;

// Asked about every action of every statement being compiled; allows them all and notes the
// ones whose effect may outlive the unit of work: every pragma (reading ones too, rather than
// telling them apart), attaching and detaching, and any action on the connection's own
// temporary database, whose objects a new connection would not have.
int NoteSessionState(void* data, int action, const char* arg1, const char*, const char* database,
                     const char*) {
  auto& session = *static_cast<Session*>(data);
  switch (action) {
    case SQLITE_PRAGMA:
    case SQLITE_ATTACH:
    case SQLITE_DETACH:
    case SQLITE_CREATE_TEMP_INDEX:
    case SQLITE_CREATE_TEMP_TABLE:
    case SQLITE_CREATE_TEMP_TRIGGER:
    case SQLITE_CREATE_TEMP_VIEW:
      session.left_state = true;
      break;
    case SQLITE_ALTER_TABLE:  // names its database first
      if (arg1 != nullptr && std::strcmp(arg1, "temp") == 0) session.left_state = true;
      break;
    default:
      if (database != nullptr && std::strcmp(database, "temp") == 0) session.left_state = true;
  }
  return SQLITE_OK;
}

// The session whose statement is stepping on this thread: the SQL functions below are called
// from within a step and answer for that connection.
thread_local const Session* stepping_session = nullptr;

class Stepping {
 public:
  explicit Stepping(const Session* session) : saved_(stepping_session) {
    stepping_session = session;
  }
  ~Stepping() { stepping_session = saved_; }
  Stepping(const Stepping&) = delete;
  Stepping& operator=(const Stepping&) = delete;

 private:
  const Session* saved_;
};

// total_changes() of a renewed connection: what it has counted since its Renew.
void TotalChangesSinceRenew(sqlite3_context* context, int, sqlite3_value**) {
  if (stepping_session == nullptr) return;  // not from a step of ours: NULL
  const Session& s = *stepping_session;
  s.api->result_int64(context, s.api->total_changes(s.db) - s.total_changes_before);
}

// changes(): the rows of the latest completed change, or 0 while none has counted a row since
// the Renew. A completed change of no row leaves both counts as a new connection's would.
void ChangesSinceRenew(sqlite3_context* context, int, sqlite3_value**) {
  if (stepping_session == nullptr) return;
  const Session& s = *stepping_session;
  const bool counted = s.api->total_changes(s.db) != s.total_changes_before;
  s.api->result_int64(context, counted ? s.api->changes(s.db) : 0);
}

}  // namespace

TSQLite3Connection::TSQLite3Connection() = default;

TSQLite3Connection::~TSQLite3Connection() {
  Close();
  for (TSQLQuery* query : queries_) query->database_ = nullptr;
  transaction_.reset();
}

void TSQLite3Connection::Open() {
  if (db_ != nullptr) return;
  api_ = &LoadSqliteApi(SQLiteDefaultLibrary);
  library_ = SQLiteDefaultLibrary;
  if (keeper_ != nullptr && Password.empty()) {
    lease_ = keeper_->Take(*api_, DatabaseName);
    leased_ = true;
    if (lease_.db != nullptr) {
      db_ = lease_.db;
      return;
    }
  }
  sqlite3* db = nullptr;
  // No busy time-out: a locked database fails at once, and the caller's lock wait decides.
  // No engine mutex either: a connection is only ever used by one thread at a time.
  const int flags =
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (CreateMissing ? SQLITE_OPEN_CREATE : 0);
  int rc = api_->open_v2(DatabaseName.c_str(), &db, flags, nullptr);
  if (rc == SQLITE_OK && !Password.empty() && api_->key != nullptr) {
    // The key is the password's bytes up to its first zero byte.
    rc = api_->key(db, Password.c_str(), static_cast<int>(std::strlen(Password.c_str())));
  }
  if (rc != SQLITE_OK) {
    const std::string message = db != nullptr ? api_->errmsg(db) : api_->errstr(rc);
    api_->close_v2(db);
    leased_ = false;
    throw std::runtime_error(kEnginePrefix + message);
  }
  db_ = db;
}

void TSQLite3Connection::Close() {
  if (db_ == nullptr) return;
  close_queries();
  if (transaction_ && transaction_->active_) {
    // Closing the database discards uncommitted work anyway; ROLLBACK only says so early.
    try {
      transaction_->Rollback();
    } catch (const std::exception&) {
    }
  }
  if (leased_) {
    keeper_->Give(*api_, DatabaseName, db_, std::move(lease_));
    lease_ = KeptHandle::Lease();
  } else {
    api_->close_v2(db_);
  }
  db_ = nullptr;
  leased_ = false;
  session_.reset();
}

void TSQLite3Connection::WatchSession() {
  if (db_ == nullptr) return;
  if (!session_) session_ = std::make_unique<ConnectionSession>();
  session_->api = api_;
  session_->db = db_;
  session_->watched = true;
  api_->set_authorizer(db_, NoteSessionState, session_.get());
}

bool TSQLite3Connection::Renewable() const {
  // Engines before 3.18 cannot set last_insert_rowid() back: there only a connection that has
  // inserted nothing yet reads 0 as a new one does.
  const bool rowid_renewable = db_ != nullptr && (api_->set_last_insert_rowid != nullptr ||
                                                  api_->last_insert_rowid(db_) == 0);
  return rowid_renewable && session_ && session_->watched && !session_->left_state &&
         !(transaction_ && transaction_->active_) && api_->get_autocommit(db_) != 0 &&
         api_->next_stmt(db_, nullptr) == nullptr;
}

bool TSQLite3Connection::CanStandInFor(const std::string& path, const std::string& password) const {
  if (!Renewable() || DatabaseName != path || Password != password ||
      library_ != SQLiteDefaultLibrary) {
    return false;
  }
  try {
    return &LoadSqliteApi(library_) == api_;
  } catch (const std::exception&) {
    return false;  // a new connection would fail to load it: let it
  }
}

bool TSQLite3Connection::Renew() {
  ConnectionSession& session = *session_;
  if (!session.counting) {
    if (api_->create_function(db_, "changes", 0, SQLITE_UTF8, nullptr, ChangesSinceRenew, nullptr,
                              nullptr) != SQLITE_OK ||
        api_->create_function(db_, "total_changes", 0, SQLITE_UTF8, nullptr, TotalChangesSinceRenew,
                              nullptr, nullptr) != SQLITE_OK) {
      return false;
    }
    session.counting = true;
  }
  session.total_changes_before = api_->total_changes(db_);
  if (api_->set_last_insert_rowid != nullptr) api_->set_last_insert_rowid(db_, 0);
  return true;
}

bool TSQLite3Connection::EngineInTransaction() const {
  return db_ != nullptr && api_->get_autocommit(db_) == 0;
}

TSQLTransaction& TSQLite3Connection::CreateTransaction() {
  transaction_.reset(new TSQLTransaction());
  transaction_->connection_ = this;
  return *transaction_;
}

void TSQLite3Connection::ExecuteDirect(std::string_view sql) {
  TSQLTransaction& transaction = transaction_in_use();
  const std::string text = Trim(sql);
  if (text.empty()) throw std::runtime_error("SQL statement not set");
  ensure_open();
  if (!transaction.active_) transaction.StartTransaction();
  run_to_end(prepare(text));
}

void TSQLite3Connection::ensure_open() {
  if (db_ == nullptr) Open();
}

TSQLTransaction& TSQLite3Connection::transaction_in_use() {
  if (!transaction_) throw std::runtime_error("Transaction not set");
  return *transaction_;
}

void TSQLite3Connection::close_queries() {
  for (TSQLQuery* query : queries_) query->Close();
}

void TSQLite3Connection::fail() const {
  throw std::runtime_error(kEnginePrefix + std::string(api_->errmsg(db_)));
}

int TSQLite3Connection::compile(std::string_view sql, sqlite3_stmt*& stmt) {
  if (leased_) {
    for (KeptHandle::Statement& kept : lease_.statements) {
      if (!kept.in_use && kept.sql == sql) {
        kept.in_use = true;
        stmt = kept.stmt;
        return SQLITE_OK;
      }
    }
  }
  stmt = nullptr;
  // Only the first statement is compiled; whatever follows it is ignored.
  const int rc = api_->prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr);
  // A kept handle keeps what it compiled, up to a few statements: the definition lookups and
  // the authentication run the same handful of texts on every request.
  constexpr size_t kKeptStatements = 16;
  if (rc == SQLITE_OK && stmt != nullptr && leased_ && lease_.statements.size() < kKeptStatements) {
    lease_.statements.push_back(KeptHandle::Statement{std::string(sql), stmt, true});
  }
  return rc;
}

sqlite3_stmt* TSQLite3Connection::prepare(const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  if (compile(sql, stmt) != SQLITE_OK) fail();
  return stmt;  // null for a text without a statement (blanks, comments)
}

void TSQLite3Connection::finish(sqlite3_stmt* stmt) {
  if (stmt == nullptr) return;
  if (leased_) {
    for (KeptHandle::Statement& kept : lease_.statements) {
      if (kept.stmt == stmt) {
        // Back to its start with nothing bound, as a new compilation would be.
        api_->reset(stmt);
        api_->clear_bindings(stmt);
        kept.in_use = false;
        return;
      }
    }
  }
  api_->finalize(stmt);
}

void TSQLite3Connection::run_to_end(sqlite3_stmt* stmt) {
  if (stmt == nullptr) return;
  Stepping guard(session_.get());
  int rc;
  while ((rc = api_->step(stmt)) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) {
    const std::string message = api_->errmsg(db_);
    finish(stmt);
    throw std::runtime_error(kEnginePrefix + message);
  }
  finish(stmt);
}

// ---- transaction ------------------------------------------------------------------------

TSQLTransaction::~TSQLTransaction() {
  try {
    Rollback();
  } catch (const std::exception&) {
  }
}

void TSQLTransaction::SetActive(bool active) {
  if (active && !active_) StartTransaction();
  if (!active && active_) Rollback();
}

void TSQLTransaction::StartTransaction() {
  connection_->ensure_open();
  send("BEGIN");
  active_ = true;
}

void TSQLTransaction::Commit() {
  if (!active_) return;
  connection_->close_queries();
  send("COMMIT");
  active_ = false;
}

void TSQLTransaction::Rollback() {
  if (!active_) return;
  // Whatever the engine answers, there is nothing left to undo through this object.
  active_ = false;
  if (connection_->db_ == nullptr) return;
  connection_->close_queries();
  send("ROLLBACK");
}

void TSQLTransaction::send(const char* sql) {
  TSQLite3Connection& c = *connection_;
  sqlite3_stmt* stmt = nullptr;
  int rc = c.compile(sql, stmt);
  if (rc == SQLITE_OK) {
    Stepping guard(c.session_.get());
    rc = c.api_->step(stmt);
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
  }
  const std::string message = rc == SQLITE_OK ? "" : c.api_->errmsg(c.db_);
  c.finish(stmt);
  if (rc != SQLITE_OK) throw std::runtime_error(message);
}

// ---- query ------------------------------------------------------------------------------

TSQLQuery::~TSQLQuery() { SetDatabase(nullptr); }

void TSQLQuery::SetDatabase(TSQLite3Connection* connection) {
  if (connection == database_) return;
  Close();
  if (database_ != nullptr) std::erase(database_->queries_, this);
  database_ = connection;
  if (database_ != nullptr) database_->queries_.push_back(this);
}

void TSQLQuery::SetSQL(std::string sql) {
  Close();
  sql_ = std::move(sql);
  params_.clear();
  compiled_ = ScanParams(sql_, params_);
}

TParam& TSQLQuery::ParamByName(std::string_view name) {
  for (TParam& param : params_) {
    if (!param.Name.empty() && SameAsciiIgnoreCase(param.Name, name)) return param;
  }
  throw std::runtime_error("Parameter \"" + std::string(name) + "\" not found");
}

TSQLite3Connection& TSQLQuery::connection() const {
  if (database_ == nullptr) throw std::runtime_error("Database not set");
  return *database_;
}

sqlite3_stmt* TSQLQuery::prepare_bound() {
  TSQLite3Connection& c = connection();
  TSQLTransaction& transaction = c.transaction_in_use();
  c.ensure_open();
  // Nothing runs outside the transaction, and nothing commits by itself.
  if (!transaction.Active()) transaction.StartTransaction();
  sqlite3_stmt* stmt = c.prepare(compiled_);
  if (stmt == nullptr) return nullptr;
  const SqliteApi& api = *c.api_;
  const int count = api.bind_parameter_count(stmt);
  size_t next_unnamed = 0;  // "?" parameters come in text order
  for (int i = 1; i <= count; ++i) {
    const TParam* param = nullptr;
    const char* name = api.bind_parameter_name(stmt, i);
    if (name == nullptr) {
      while (next_unnamed < params_.size() && !params_[next_unnamed].Name.empty()) ++next_unnamed;
      if (next_unnamed < params_.size()) param = &params_[next_unnamed++];
    } else if (name[0] == ':') {
      std::string_view n(name + 1);
      if (n.starts_with(kOwnName)) {
        const size_t k = std::strtoul(name + 1 + kOwnName.size(), nullptr, 10);
        if (k >= 1 && k <= params_.size()) param = &params_[k - 1];
      } else {
        for (const TParam& p : params_)
          if (!p.Name.empty() && SameAsciiIgnoreCase(p.Name, n)) {
            param = &p;
            break;
          }
      }
    }
    // Unassigned parameters, and other spellings ("$x", "@x"), stay NULL.
    if (param == nullptr || param->IsNull()) continue;
    const std::string& value = param->AsString();
    if (api.bind_text(stmt, i, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT) !=
        SQLITE_OK) {
      const std::string message = api.errmsg(c.db_);
      c.finish(stmt);
      throw std::runtime_error(kEnginePrefix + message);
    }
  }
  return stmt;
}

void TSQLQuery::Open() {
  Close();
  sqlite3_stmt* stmt = prepare_bound();
  TSQLite3Connection& c = connection();
  if (stmt == nullptr || c.api_->column_count(stmt) == 0) {
    c.run_to_end(stmt);
    throw std::runtime_error("Cannot open a non-select statement");
  }
  stmt_ = stmt;
  eof_ = false;
  // Names after the first step: a statement that the engine had to compile again (the schema
  // changed since) may have other columns than before it.
  const int rc = step_engine();
  name_fields();
  take_step(rc);
}

void TSQLQuery::name_fields() {
  const SqliteApi& api = *database_->api_;
  const int count = api.column_count(stmt_);
  fields_.reserve(count);
  for (int i = 0; i < count; ++i) {
    const char* name = api.column_name(stmt_, i);
    TField field;
    field.name_ = UniqueName(name != nullptr ? name : "", fields_);
    fields_.push_back(std::move(field));
  }
}

void TSQLQuery::ExecSQL() {
  Close();
  sqlite3_stmt* stmt = prepare_bound();
  connection().run_to_end(stmt);
}

void TSQLQuery::Close() {
  if (stmt_ != nullptr) database_->finish(stmt_);
  stmt_ = nullptr;
  fields_.clear();
  row_read_ = false;
  eof_ = true;
  record_count_ = 0;
}

void TSQLQuery::Next() {
  if (!eof_) take_step(step_engine());
}

int TSQLQuery::step_engine() {
  Stepping guard(database_->session_.get());
  return database_->api_->step(stmt_);
}

void TSQLQuery::take_step(int rc) {
  const SqliteApi& api = *database_->api_;
  if (rc == SQLITE_ROW) {
    row_read_ = false;
    ++record_count_;
  } else if (rc == SQLITE_DONE) {
    eof_ = true;
  } else {
    const std::string message = api.errmsg(database_->db_);
    Close();
    throw std::runtime_error(kEnginePrefix + message);
  }
}

void TSQLQuery::read_row() const {
  const SqliteApi& api = *database_->api_;
  for (size_t i = 0; i < fields_.size(); ++i) {
    // The engine's own text of the value, every byte of it; NULL gives a null pointer.
    const int col = static_cast<int>(i);
    const unsigned char* text = api.column_text(stmt_, col);
    const int bytes = api.column_bytes(stmt_, col);
    if (text == nullptr) {
      fields_[i].value_.clear();
    } else {
      fields_[i].value_.assign(reinterpret_cast<const char*>(text), static_cast<size_t>(bytes));
    }
  }
  row_read_ = true;
}

const std::vector<TField>& TSQLQuery::Fields() const {
  if (!row_read_ && !eof_) read_row();
  return fields_;
}

void TSQLQuery::AppendTabRow(std::string& row) const {
  if (eof_) return;
  const SqliteApi& api = *database_->api_;
  for (size_t i = 0; i < fields_.size(); ++i) {
    // One call into the engine for the column; its parts are then read from the value itself.
    // sqlite3_column_text is sqlite3_value_text of this value.
    sqlite3_value* value = api.column_value(stmt_, static_cast<int>(i));
    const int type = api.value_type(value);
    if (type == SQLITE_INTEGER && api.integer_text_is_decimal) {
      // The engine's text of an integer is its decimal digits: written here, without the
      // engine's conversion into a text of its own.
      AppendDecimalAndTab(row, api.value_int64(value));
      continue;
    }
    if (type != SQLITE_NULL) {
      const unsigned char* text = api.value_text(value);
      if (text != nullptr) {
        row.append(reinterpret_cast<const char*>(text),
                   static_cast<size_t>(api.value_bytes(value)));
      }
    }
    row += '\t';
  }
}

const TField& TSQLQuery::FieldByName(std::string_view name) const {
  for (const TField& field : Fields()) {
    if (SameAsciiIgnoreCase(field.name_, name)) return field;
  }
  throw std::runtime_error("Field not found : \"" + std::string(name) + "\"");
}

void TSQLQuery::GetFieldNames(TStringList& list) const {
  list.Clear();
  for (const TField& field : fields_) list.Add(field.name_);
}

}  // namespace nv
