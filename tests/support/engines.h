// The engine libraries the tests load, as the build found them on this machine.
#pragma once

#include <string>

namespace nv::test {

inline const std::string kSqlite = NORVANE_SQLITE_LIB;         // Debian's libsqlite3
inline const std::string kCipher = NORVANE_SQLCIPHER_LIB;      // Debian's libsqlcipher
inline const std::string kNotSqlite = NORVANE_NOT_SQLITE_LIB;  // a shared library, no engine

}  // namespace nv::test
