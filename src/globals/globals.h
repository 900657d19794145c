// The process-wide values of the server. Everything else lives in one request.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/files.h"
#include "text/text_list.h"

namespace nv {

// The request log's entries, and what this process knows of "log.txt": adding an entry can
// then tell without reading the file whether writing it at the end keeps file and list equal.
struct TRequestLog : TStringList {
  using TStringList::operator=;
  size_t saved_count = 0;                // entries the file held after this process wrote it
  std::optional<FileStamp> saved_stamp;  // the file as that write left it; none: not known
  AppendFile file;  // kept open on the file of saved_stamp once this process has written it
};

extern std::string Folder;        // the executable's folder, host separator at the end
extern std::string SQLiteCipher;  // engine library found at start-up ("" when none)
extern bool CipherMode;           // the engine found is SQLCipher
extern TRequestLog log;           // the request log, kept whole
extern TStringList Memory;        // memory variables
extern std::string IPAddess;      // host address list
extern std::string SQLname;       // definition name of the latest page request
extern std::string SQLbun;        // split phase script of the latest executor run

}  // namespace nv
