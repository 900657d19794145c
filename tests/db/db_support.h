// Shared pieces of the database tests: the two real engine libraries, a private temporary
// folder per test, and small helpers that build fixtures through the layer itself.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/sqlite_db.h"

namespace nv::test {

inline const std::string kSqlite = "/usr/lib/x86_64-linux-gnu/libsqlite3.so.0";
inline const std::string kCipher = "/usr/lib/x86_64-linux-gnu/libsqlcipher.so.0";

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "nv_db_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

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
