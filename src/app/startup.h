// The start-up sequence: globals, engine library search, request log, host addresses, mode
// and routes, title and port, then the HTTP application's run.
#pragma once

#include <cstdint>
#include <string_view>

namespace nv {

// Runs the server; returns the process's exit status once the run has returned.
int StartUp();

// Port from the executable's full path: the integer after the first full-width colon, up to
// the end with the file extension removed; 80 without one. Low 16 bits of the value.
uint16_t PortFromPath(std::string_view full_path);

}  // namespace nv
