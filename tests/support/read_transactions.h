// Counts the engine's read transactions on the definition database, through the override of
// system calls that the engine's Unix layer offers for testing: every read transaction begins
// by taking a shared lock from no lock, one fcntl call that read-locks the byte range the
// engine keeps for shared locks. (Connections of one process share their locks, so a count is
// only exact while one connection at a time reads the file, as in a page request.)
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdarg>
#include <stdexcept>
#include <string>
#include <utility>

#include "db/sqlite_api.h"
#include "support/engines.h"

namespace nv::test {

class DefinitionReadCounter {
 public:
  // Counts from now on, on the plain engine, until destroyed.
  DefinitionReadCounter() {
    LoadSqliteApi(kSqlite);  // the library is loaded and stays so
    void* library = dlopen(kSqlite.c_str(), RTLD_NOW | RTLD_NOLOAD);
    auto find =
        library
            ? reinterpret_cast<sqlite3_vfs* (*)(const char*)>(dlsym(library, "sqlite3_vfs_find"))
            : nullptr;
    if (library) dlclose(library);
    vfs_ = find ? find(nullptr) : nullptr;
    if (vfs_ == nullptr || vfs_->iVersion < 3 || vfs_->xSetSystemCall == nullptr)
      throw std::runtime_error("the engine offers no override of its system calls");
    real_ = reinterpret_cast<Fcntl>(vfs_->xGetSystemCall(vfs_, "fcntl"));
    count_ = 0;
    vfs_->xSetSystemCall(vfs_, "fcntl", reinterpret_cast<sqlite3_syscall_ptr>(&Counting));
  }
  ~DefinitionReadCounter() { vfs_->xSetSystemCall(vfs_, "fcntl", nullptr); }
  DefinitionReadCounter(const DefinitionReadCounter&) = delete;
  DefinitionReadCounter& operator=(const DefinitionReadCounter&) = delete;

  // Read transactions begun on a file named "ZURazo.db" since the last Take (or the start).
  int Take() { return std::exchange(count_, 0); }

 private:
  using Fcntl = int (*)(int, int, ...);
  // The engine's shared-lock range: from 2 bytes after its pending byte (1 GiB), 510 bytes.
  static constexpr off_t kSharedFirst = 0x40000002;
  static constexpr off_t kSharedSize = 510;

  static int Counting(int fd, int op, ...) {
    va_list args;
    va_start(args, op);
    void* arg = va_arg(args, void*);
    va_end(args);
    const auto* lock = static_cast<const struct flock*>(arg);
    if (op == F_SETLK && lock->l_type == F_RDLCK && lock->l_start == kSharedFirst &&
        lock->l_len == kSharedSize && NamesDefinitions(fd)) {
      ++count_;
    }
    return real_(fd, op, arg);
  }

  static bool NamesDefinitions(int fd) {
    char path[4096];
    const ssize_t n =
        readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof(path) - 1);
    return n >= 10 && std::string(path, n).ends_with("/ZURazo.db");
  }

  sqlite3_vfs* vfs_ = nullptr;
  static inline Fcntl real_ = nullptr;
  static inline int count_ = 0;
};

}  // namespace nv::test
