// Test databases: small helpers that build fixtures and read them back through the database
// layer itself, on the real engine libraries.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/sqlite_db.h"
#include "support/engines.h"
#include "support/temp_dir.h"

namespace nv::test {

// An open connection with its transaction, on `library`.
inline std::unique_ptr<TSQLite3Connection> Connect(const std::string& path,
                                                   const std::string& library,
                                                   const std::string& password = "") {
  auto conn = std::make_unique<TSQLite3Connection>();
  SQLiteDefaultLibrary = library;
  conn->DatabaseName = path;
  conn->Password = password;
  conn->Open();
  conn->CreateTransaction();
  return conn;
}

// Runs each statement and commits.
inline void RunAll(const std::string& path, const std::vector<std::string>& statements,
                   const std::string& library = kSqlite, const std::string& password = "") {
  auto conn = Connect(path, library, password);
  for (const std::string& sql : statements) conn->ExecuteDirect(sql);
  conn->Transaction()->Commit();
}

using Value = std::optional<std::string>;  // nullopt stands for NULL

// Runs one statement whose "?" parameters take `values` in order, and commits.
inline void Insert(const std::string& path, const std::string& sql,
                   const std::vector<Value>& values, const std::string& library = kSqlite) {
  auto conn = Connect(path, library);
  TSQLQuery query;
  query.SetDatabase(conn.get());
  query.SetSQL(sql);
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i]) query.Params().at(i).SetAsString(*values[i]);
  }
  query.ExecSQL();
  conn->Transaction()->Commit();
}

// Every row of a SELECT, each as its column texts.
inline std::vector<std::vector<std::string>> Rows(TSQLite3Connection& conn,
                                                  const std::string& sql) {
  TSQLQuery query;
  query.SetDatabase(&conn);
  query.SetSQL(sql);
  query.Open();
  std::vector<std::vector<std::string>> rows;
  for (; !query.Eof(); query.Next()) {
    std::vector<std::string> row;
    for (const TField& field : query.Fields()) row.push_back(field.AsString());
    rows.push_back(std::move(row));
  }
  return rows;
}

inline std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

}  // namespace nv::test
