// The database layer every access goes through: a connection, the one transaction it owns and
// queries on it. Callers use it in one fixed order:
//
//   auto conn = std::make_unique<TSQLite3Connection>();
//   SQLiteDefaultLibrary = SQLiteCipher;
//   conn->DatabaseName = path;  conn->Password = key;   // empty: no key
//   conn->Open();
//   conn->CreateTransaction();
//   TSQLQuery query;  query.SetDatabase(conn.get());
//   query.SetSQL("SELECT * FROM t WHERE a == :a;");
//   query.ParamByName("a").SetAsString("x");
//   query.Open();  while (!query.Eof()) { ... query.Next(); }
//   conn->Transaction()->Commit();                      // nothing commits by itself
//
// Failures are std::runtime_error: engine errors read "TSQLite3Connection : <engine message>",
// except a failing BEGIN, COMMIT or ROLLBACK, which carries the engine's message alone.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "db/kept_handle.h"
#include "text/text_list.h"

namespace nv {

struct SqliteApi;
struct ConnectionSession;
class TSQLQuery;
class TSQLTransaction;

// Path of the engine library the next connection loads. Callers set it to `SQLiteCipher`
// before every open; the initial value is the system's plain SQLite.
extern std::string SQLiteDefaultLibrary;

class TSQLite3Connection {
 public:
  TSQLite3Connection();
  // Closes its queries, rolls back an active transaction and closes the database.
  ~TSQLite3Connection();
  TSQLite3Connection(const TSQLite3Connection&) = delete;
  TSQLite3Connection& operator=(const TSQLite3Connection&) = delete;

  std::string DatabaseName;  // file path, UTF-8
  std::string Password;      // key text; empty means no key
  // false: a missing file fails the open instead of becoming a new, empty database.
  bool CreateMissing = true;

  // Loads the engine from `SQLiteDefaultLibrary`, opens the file read-write (creating it when
  // missing and CreateMissing is set) with no busy time-out, and keys it with Password when
  // the engine can. Does nothing when already open.
  void Open();
  void Close();
  bool Connected() const { return db_ != nullptr; }
  // Whether the engine has a transaction open on this connection. Statements can end one
  // (COMMIT, ROLLBACK) behind the transaction object, which then still counts as active.
  bool EngineInTransaction() const;

  // From the next Open on, a connection without Password takes its engine handle from keeper
  // when it holds one for this file, and Close leaves the handle there instead of closing it.
  void KeepHandleWith(KeptHandle* keeper) { keeper_ = keeper; }

  // A connection that is reused for a new unit of work must pass for a freshly opened one.
  // WatchSession notes, from now on, every statement that leaves something in the connection
  // besides the file's content: a pragma, an attached database, a temporary object.
  void WatchSession();
  // Open, no transaction or statement running, watched since it was opened and nothing noted
  // (on engines that cannot reset last_insert_rowid(), also nothing inserted): Renew can make
  // it stand in for a new connection to the same file.
  bool Renewable() const;
  // The counters a new connection starts from: last_insert_rowid() 0, changes() and
  // total_changes() counted from here. False when the engine refused (use a new connection).
  bool Renew();
  // Renewable, and opened as a connection to path with password and the engine
  // `SQLiteDefaultLibrary` would be now (that library still there to load).
  bool CanStandInFor(const std::string& path, const std::string& password) const;

  // Makes a new, inactive transaction the connection's own; it lives as long as the
  // connection (or until the next call).
  TSQLTransaction& CreateTransaction();
  TSQLTransaction* Transaction() const { return transaction_.get(); }

  // Runs the first statement of the text in the connection's transaction, beginning it when
  // inactive. The transaction object keeps its state whatever the statement does, so "End
  // Transaction" / "Begin Transaction" sent here leave Active set.
  void ExecuteDirect(std::string_view sql);

 private:
  friend class TSQLQuery;
  friend class TSQLTransaction;

  void ensure_open();
  TSQLTransaction& transaction_in_use();
  void close_queries();
  [[noreturn]] void fail() const;  // throws "TSQLite3Connection : <engine message>"
  // The engine's result code; a kept handle may hand back a statement compiled before.
  int compile(std::string_view sql, sqlite3_stmt*& stmt);
  sqlite3_stmt* prepare(const std::string& sql);  // throws fail()'s error
  // Done with stmt: kept (reset) when the handle keeps it, else finalized.
  void finish(sqlite3_stmt* stmt);
  void run_to_end(sqlite3_stmt* stmt);  // finishes stmt on every path

  const SqliteApi* api_ = nullptr;
  std::string library_;  // where api_ was loaded from
  sqlite3* db_ = nullptr;
  KeptHandle* keeper_ = nullptr;
  KeptHandle::Lease lease_;
  bool leased_ = false;                         // db_ came from, and goes back to, keeper_
  std::unique_ptr<ConnectionSession> session_;  // what WatchSession and Renew keep track of
  std::unique_ptr<TSQLTransaction> transaction_;
  std::vector<TSQLQuery*> queries_;
};

// Made only by TSQLite3Connection::CreateTransaction, so it always has its connection.
class TSQLTransaction {
 public:
  // Rolls back while active (errors cannot leave a destructor and are dropped).
  ~TSQLTransaction();
  TSQLTransaction(const TSQLTransaction&) = delete;
  TSQLTransaction& operator=(const TSQLTransaction&) = delete;

  bool Active() const { return active_; }
  // true: begins when inactive; false: rolls back when active.
  void SetActive(bool active);
  void StartTransaction();
  // When active: closes the connection's queries, sends COMMIT, becomes inactive. A failed
  // COMMIT leaves it active, so the work can still be rolled back.
  void Commit();
  void Rollback();

 private:
  friend class TSQLite3Connection;
  TSQLTransaction() = default;
  void send(const char* sql);  // BEGIN / COMMIT / ROLLBACK: the engine's message alone

  TSQLite3Connection* connection_ = nullptr;
  bool active_ = false;
};

class TField {
 public:
  const std::string& FieldName() const { return name_; }
  // SQLite's own text of the value, whole; NULL reads as "".
  const std::string& AsString() const { return value_; }

 private:
  friend class TSQLQuery;
  std::string name_;
  std::string value_;
};

class TParam {
 public:
  explicit TParam(std::string name) : Name(std::move(name)) {}
  std::string Name;  // empty for a positional "?"
  void SetAsString(std::string value) {
    value_ = std::move(value);
    assigned_ = true;
  }
  const std::string& AsString() const { return value_; }
  bool IsNull() const { return !assigned_; }  // never assigned: bound as NULL
  void Clear() {
    value_.clear();
    assigned_ = false;
  }

 private:
  std::string value_;
  bool assigned_ = false;
};

class TSQLQuery {
 public:
  TSQLQuery() = default;
  ~TSQLQuery();
  TSQLQuery(const TSQLQuery&) = delete;
  TSQLQuery& operator=(const TSQLQuery&) = delete;

  // Attaches the query to a connection; it runs in that connection's transaction.
  void SetDatabase(TSQLite3Connection* connection);
  TSQLite3Connection* Database() const { return database_; }

  // Closes the query and scans the new text for parameters (":name" and "?"), all unassigned.
  void SetSQL(std::string sql);
  const std::string& SQL() const { return sql_; }
  std::vector<TParam>& Params() { return params_; }
  // Ignores ASCII letter case; throws "Parameter "<name>" not found".
  TParam& ParamByName(std::string_view name);

  // Runs the first statement of SQL and stands on its first row. A statement without result
  // columns has run and then fails with "Cannot open a non-select statement".
  void Open();
  // Runs the first statement of SQL to its end, discarding rows; never commits.
  void ExecSQL();
  void Close();
  bool Active() const { return stmt_ != nullptr; }

  void Next();
  // True when no row is current (also when closed). Named after the system's EOF, which the
  // C library claims as a macro.
  bool Eof() const { return eof_; }
  // Rows read so far: positive exactly when the open query has a row.
  long RecordCount() const { return record_count_; }

  // The current row's fields. Values are read from the engine when first asked for; with no
  // row current they are those of the latest row asked for.
  const std::vector<TField>& Fields() const;
  // Ignores ASCII letter case; throws "Field not found : "<name>"".
  const TField& FieldByName(std::string_view name) const;
  // Appends the current row as a TAB row (every value followed by a TAB), straight from the
  // engine: a row taken this way is never copied into Fields.
  void AppendTabRow(std::string& row) const;
  // Clears the list, then adds one name per column in column order.
  void GetFieldNames(TStringList& list) const;

 private:
  friend class TSQLite3Connection;
  TSQLite3Connection& connection() const;
  sqlite3_stmt* prepare_bound();
  void name_fields();
  void read_row() const;
  int step_engine();
  void take_step(int rc);  // the row that step_engine reached, the end, or its error

  TSQLite3Connection* database_ = nullptr;
  std::string sql_;
  std::string compiled_;  // sql_ with parameter n rewritten as ":<n>"
  std::vector<TParam> params_;
  sqlite3_stmt* stmt_ = nullptr;
  mutable std::vector<TField> fields_;
  mutable bool row_read_ = false;  // fields_ hold the current row
  bool eof_ = true;
  long record_count_ = 0;
};

}  // namespace nv
