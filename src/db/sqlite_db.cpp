#include "db/sqlite_db.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "db/sqlite_api.h"
#include "text/strings.h"

namespace nv {

std::string SQLiteDefaultLibrary = "libsqlite3.so.0";

namespace {

const char kEnginePrefix[] = "TSQLite3Connection : ";

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

TSQLite3Connection::TSQLite3Connection() = default;

TSQLite3Connection::~TSQLite3Connection() {
  Close();
  for (TSQLQuery* query : queries_) query->database_ = nullptr;
  transaction_.reset();
}

void TSQLite3Connection::Open() {
  if (db_ != nullptr) return;
  api_ = &LoadSqliteApi(SQLiteDefaultLibrary);
  sqlite3* db = nullptr;
  // No busy time-out: a locked database fails at once, and the caller's lock wait decides.
  int rc =
      api_->open_v2(DatabaseName.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc == SQLITE_OK && !Password.empty() && api_->key != nullptr) {
    // The key is the password's bytes up to its first zero byte.
    rc = api_->key(db, Password.c_str(), static_cast<int>(std::strlen(Password.c_str())));
  }
  if (rc != SQLITE_OK) {
    const std::string message = db != nullptr ? api_->errmsg(db) : api_->errstr(rc);
    api_->close_v2(db);
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
  api_->close_v2(db_);
  db_ = nullptr;
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

sqlite3_stmt* TSQLite3Connection::prepare(const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  // Only the first statement is compiled; whatever follows it is ignored.
  if (api_->prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr) !=
      SQLITE_OK) {
    fail();
  }
  return stmt;  // null for a text without a statement (blanks, comments)
}

void TSQLite3Connection::run_to_end(sqlite3_stmt* stmt) {
  if (stmt == nullptr) return;
  int rc;
  while ((rc = api_->step(stmt)) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) {
    const std::string message = api_->errmsg(db_);
    api_->finalize(stmt);
    throw std::runtime_error(kEnginePrefix + message);
  }
  api_->finalize(stmt);
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
  const SqliteApi& api = *connection_->api_;
  sqlite3* db = connection_->db_;
  sqlite3_stmt* stmt = nullptr;
  int rc = api.prepare_v2(db, sql, -1, &stmt, nullptr);
  if (rc == SQLITE_OK) {
    rc = api.step(stmt);
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
  }
  const std::string message = rc == SQLITE_OK ? "" : api.errmsg(db);
  api.finalize(stmt);
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
      api.finalize(stmt);
      c.fail();
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
  const int count = c.api_->column_count(stmt_);
  fields_.reserve(count);
  for (int i = 0; i < count; ++i) {
    const char* name = c.api_->column_name(stmt_, i);
    TField field;
    field.name_ = UniqueName(name != nullptr ? name : "", fields_);
    fields_.push_back(std::move(field));
  }
  eof_ = false;
  step();
}

void TSQLQuery::ExecSQL() {
  Close();
  sqlite3_stmt* stmt = prepare_bound();
  connection().run_to_end(stmt);
}

void TSQLQuery::Close() {
  if (stmt_ != nullptr) database_->api_->finalize(stmt_);
  stmt_ = nullptr;
  fields_.clear();
  eof_ = true;
  record_count_ = 0;
}

void TSQLQuery::Next() {
  if (!eof_) step();
}

void TSQLQuery::step() {
  const SqliteApi& api = *database_->api_;
  const int rc = api.step(stmt_);
  if (rc == SQLITE_ROW) {
    read_row();
    ++record_count_;
  } else if (rc == SQLITE_DONE) {
    eof_ = true;
  } else {
    const std::string message = api.errmsg(database_->db_);
    Close();
    throw std::runtime_error(kEnginePrefix + message);
  }
}

void TSQLQuery::read_row() {
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
}

const TField& TSQLQuery::FieldByName(std::string_view name) const {
  for (const TField& field : fields_) {
    if (SameAsciiIgnoreCase(field.name_, name)) return field;
  }
  throw std::runtime_error("Field not found : \"" + std::string(name) + "\"");
}

void TSQLQuery::GetFieldNames(TStringList& list) const {
  list.Clear();
  for (const TField& field : fields_) list.Add(field.name_);
}

}  // namespace nv
