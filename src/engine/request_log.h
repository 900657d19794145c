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
// CR and LF inside the line's values become blanks, so every entry is one line of the file.
void AddStartLogLine(const TRequest& ARequest, const std::string& role);
void AddEndLogLine(const TRequest& ARequest, const std::string& role, const std::string& etcName);

}  // namespace nv
