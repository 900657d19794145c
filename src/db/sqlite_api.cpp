#include "db/sqlite_api.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace nv {

namespace {

struct Library {
  void* handle;
  const char* missing = nullptr;  // first required symbol not found

  template <typename Fn>
  void Resolve(Fn*& slot, const char* name, bool required = true) {
    slot = reinterpret_cast<Fn*>(dlsym(handle, name));
    if (slot == nullptr && required && missing == nullptr) missing = name;
  }
};

std::unique_ptr<SqliteApi> ResolveAll(void* handle) {
  auto api = std::make_unique<SqliteApi>();
  Library lib{handle};
  lib.Resolve(api->open_v2, "sqlite3_open_v2");
  lib.Resolve(api->close_v2, "sqlite3_close_v2");
  lib.Resolve(api->errmsg, "sqlite3_errmsg");
  lib.Resolve(api->errstr, "sqlite3_errstr");
  lib.Resolve(api->prepare_v2, "sqlite3_prepare_v2");
  lib.Resolve(api->step, "sqlite3_step");
  lib.Resolve(api->finalize, "sqlite3_finalize");
  lib.Resolve(api->bind_text, "sqlite3_bind_text");
  lib.Resolve(api->bind_parameter_count, "sqlite3_bind_parameter_count");
  lib.Resolve(api->bind_parameter_name, "sqlite3_bind_parameter_name");
  lib.Resolve(api->column_count, "sqlite3_column_count");
  lib.Resolve(api->column_name, "sqlite3_column_name");
  lib.Resolve(api->column_text, "sqlite3_column_text");
  lib.Resolve(api->column_bytes, "sqlite3_column_bytes");
  lib.Resolve(api->reset, "sqlite3_reset");
  lib.Resolve(api->clear_bindings, "sqlite3_clear_bindings");
  lib.Resolve(api->get_autocommit, "sqlite3_get_autocommit");
  lib.Resolve(api->next_stmt, "sqlite3_next_stmt");
  lib.Resolve(api->set_authorizer, "sqlite3_set_authorizer");
  lib.Resolve(api->changes, "sqlite3_changes");
  lib.Resolve(api->total_changes, "sqlite3_total_changes");
  lib.Resolve(api->last_insert_rowid, "sqlite3_last_insert_rowid");
  lib.Resolve(api->create_function, "sqlite3_create_function");
  lib.Resolve(api->result_int64, "sqlite3_result_int64");
  lib.Resolve(api->key, "sqlite3_key", false);
  lib.Resolve(api->set_last_insert_rowid, "sqlite3_set_last_insert_rowid", false);
  lib.Resolve(api->column_value, "sqlite3_column_value");
  lib.Resolve(api->value_type, "sqlite3_value_type");
  lib.Resolve(api->value_int64, "sqlite3_value_int64");
  lib.Resolve(api->value_text, "sqlite3_value_text");
  lib.Resolve(api->value_bytes, "sqlite3_value_bytes");
  int (*libversion_number)() = nullptr;
  lib.Resolve(libversion_number, "sqlite3_libversion_number");
  if (lib.missing != nullptr) return nullptr;
  api->integer_text_is_decimal = libversion_number() >= 3023000;
  return api;
}

// A loaded library whose file is no longer there: the system loads the engine when its first
// connection opens, so from now on that load would fail. A bare name ("libsqlite3.so.0") is
// found by the dynamic loader's own search and has no file of ours to look at.
bool FileGone(const std::string& path) {
  struct stat st;
  return path.find('/') != std::string::npos && stat(path.c_str(), &st) != 0;
}

}  // namespace

const SqliteApi& LoadSqliteApi(const std::string& path) {
  // Loaded libraries are never unloaded: reloading per connection is pure cost, and tables
  // handed out earlier must stay valid.
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<SqliteApi>> loaded;
  const auto failure = [&] {
    return std::runtime_error("Can not load SQLite client library \"" + path +
                              "\". Check your installation.");
  };
  std::lock_guard lock(mutex);
  if (auto it = loaded.find(path); it != loaded.end()) {
    if (FileGone(path)) throw failure();
    return *it->second;
  }

  // dlopen("") would hand back the main program instead of failing.
  if (path.empty()) throw failure();
  // RTLD_LOCAL keeps each engine's symbols to itself, so both engines can be loaded at once.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) throw failure();
  auto api = ResolveAll(handle);
  if (!api) {
    dlclose(handle);
    throw failure();
  }
  return *loaded.emplace(path, std::move(api)).first->second;
}

}  // namespace nv
