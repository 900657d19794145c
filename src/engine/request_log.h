// The request log: START and END lines of page requests, kept in `log` and in "log.txt".
#pragma once

#include <string>

#include "http/request.h"
#include "http/response.h"

namespace nv {

// The start-up's load: `log` holds the lines of Folder + "log.txt" when that file exists (an
// unreadable one throws), else nothing. A file that already holds the list as a save writes it
// is appended to from the first new line on.
void LoadRequestLog();

// Each adds its line to `log` and writes it to Folder + "log.txt"; a write failure throws.
// user is the user name of the request's Basic credentials (GetBasicAuth's "User"), decoded
// once by the handler. CR and LF inside the line's values become blanks, so every entry is
// one line of the file.
void AddStartLogLine(const TRequest& ARequest, const std::string& user, const std::string& role);
void AddEndLogLine(const TRequest& ARequest, const std::string& user, const std::string& role,
                   const std::string& etcName);

}  // namespace nv
