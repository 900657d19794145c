// The host address list: the host's IPv4 addresses, two blanks apart, loopback left out.
#pragma once

#include <string>
#include <string_view>

namespace nv {

// From ipconfig-style output (pure, for tests) and from the host.
std::string ParseIpAddrList(std::string_view output);
std::string GetIpAddrList();

}  // namespace nv
