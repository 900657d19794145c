// The process-wide values of the server. Everything else lives in one request.
#pragma once

#include <string>

#include "text/text_list.h"

namespace nv {

extern std::string Folder;        // the executable's folder, host separator at the end
extern std::string SQLiteCipher;  // engine library found at start-up ("" when none)
extern bool CipherMode;           // the engine found is SQLCipher
extern TStringList log;           // the request log, kept whole
extern TStringList Memory;        // memory variables
extern std::string IPAddess;      // host address list
extern std::string SQLname;       // definition name of the latest page request
extern std::string SQLbun;        // split phase script of the latest executor run

}  // namespace nv
