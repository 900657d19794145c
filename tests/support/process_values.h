// Puts the process-wide values back to a known state, so no test sees what another left.
#pragma once

#include <string>

#include "globals/globals.h"
#include "support/engines.h"

namespace nv::test {

// Every process-wide value as at start-up, with `Folder` set to folder and the plain engine.
inline void ResetProcessValues(const std::string& folder = "") {
  Folder = folder;
  SQLiteCipher = kSqlite;
  CipherMode = false;
  log = TRequestLog();  // not Clear(): that keeps the encoding of an earlier load
  Memory = TStringList();
  IPAddess.clear();
  SQLname.clear();
  SQLbun.clear();
}

}  // namespace nv::test
