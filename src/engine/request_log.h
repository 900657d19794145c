// The request log: START and END lines of page requests, kept in `log` and in "log.txt".
#pragma once

#include <string>

#include "http/request.h"
#include "http/response.h"

namespace nv {

// Each adds its line to `log` and writes it to Folder + "log.txt"; a write failure throws.
void AddStartLogLine(const TRequest& ARequest, const std::string& role);
void AddEndLogLine(const TRequest& ARequest, const std::string& role, const std::string& etcName);

}  // namespace nv
