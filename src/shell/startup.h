// The start-up sequence: globals, engine library search, request log, host addresses, mode
// and routes, title and port, then the HTTP application's run.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nv {

// Runs the server; returns the process's exit status once the run has returned.
int StartUp();

// Port from the executable's full path: the integer after the first full-width colon, up to
// the end with the file extension removed; 80 without one. Low 16 bits of the value.
uint16_t PortFromPath(std::string_view full_path);

// Engine library search: the full path of the matching file below Path (any depth) whose path
// sorts first (last with Desc) in case-insensitive order; "" when none matches.
std::string GetFilePath(const std::string& Path, const std::string& Search, bool Desc);

// The host address list from ipconfig-style output (pure, for tests) and from the host.
std::string ParseIpAddrList(std::string_view output);
std::string GetIpAddrList();

}  // namespace nv
