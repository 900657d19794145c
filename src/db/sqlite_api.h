// The SQLite engine's C functions, resolved at run time from the engine library found at
// start-up. Nothing links libsqlite3 or libsqlcipher: a process that links one and loads the
// other binds the loaded library's internal calls to the linked one's symbols and crashes.
#pragma once

#include <sqlite3.h>

#include <string>

namespace nv {

struct SqliteApi {
  int (*open_v2)(const char*, sqlite3**, int, const char*);
  int (*close_v2)(sqlite3*);
  const char* (*errmsg)(sqlite3*);
  const char* (*errstr)(int);
  int (*prepare_v2)(sqlite3*, const char*, int, sqlite3_stmt**, const char**);
  int (*step)(sqlite3_stmt*);
  int (*finalize)(sqlite3_stmt*);
  int (*bind_text)(sqlite3_stmt*, int, const char*, int, void (*)(void*));
  int (*bind_parameter_count)(sqlite3_stmt*);
  const char* (*bind_parameter_name)(sqlite3_stmt*, int);
  int (*column_count)(sqlite3_stmt*);
  const char* (*column_name)(sqlite3_stmt*, int);
  const unsigned char* (*column_text)(sqlite3_stmt*, int);
  int (*column_bytes)(sqlite3_stmt*, int);
  int (*reset)(sqlite3_stmt*);
  int (*clear_bindings)(sqlite3_stmt*);
  int (*get_autocommit)(sqlite3*);
  sqlite3_stmt* (*next_stmt)(sqlite3*, sqlite3_stmt*);
  int (*set_authorizer)(sqlite3*,
                        int (*)(void*, int, const char*, const char*, const char*, const char*),
                        void*);
  int (*changes)(sqlite3*);
  int (*total_changes)(sqlite3*);
  sqlite3_int64 (*last_insert_rowid)(sqlite3*);
  int (*create_function)(sqlite3*, const char*, int, int, void*,
                         void (*)(sqlite3_context*, int, sqlite3_value**),
                         void (*)(sqlite3_context*, int, sqlite3_value**),
                         void (*)(sqlite3_context*));
  void (*result_int64)(sqlite3_context*, sqlite3_int64);
  // Only SQLCipher exports it; null for plain SQLite, which then ignores passwords.
  int (*key)(sqlite3*, const void*, int);
  // Engines before 3.18 lack it; null there.
  void (*set_last_insert_rowid)(sqlite3*, sqlite3_int64);

  // Reading a row's values one call per column (the column's value, then its parts).
  sqlite3_value* (*column_value)(sqlite3_stmt*, int);
  int (*value_type)(sqlite3_value*);
  sqlite3_int64 (*value_int64)(sqlite3_value*);
  const unsigned char* (*value_text)(sqlite3_value*);
  int (*value_bytes)(sqlite3_value*);
  // From 3.23 on the engine keeps no text beside an integer other than the integer's own
  // decimal digits (older ones could keep the text it was converted from, such as "012").
  bool integer_text_is_decimal = false;
};

// The function table of the library at `path`, loaded on first use and kept for the life of
// the process (one handle per path, so SQLite and SQLCipher can serve side by side). Throws
// std::runtime_error "Can not load SQLite client library "<path>". Check your installation."
// when the file cannot be loaded or lacks one of the functions, and also once the file of a
// loaded library has gone: loading it now would fail.
const SqliteApi& LoadSqliteApi(const std::string& path);

}  // namespace nv
