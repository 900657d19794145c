#include "engine/host_addresses.h"

#include <algorithm>

#include "platform/process.h"
#include "text/strings.h"
#include "text/text_list.h"

namespace nv {

std::string ParseIpAddrList(std::string_view output) {
  TStringList lines;
  lines.SetTextStr(output);
  std::string result;
  for (const std::string& line : lines.Items()) {
    if (line.find("IPv4") == std::string::npos && line.find("IP-") == std::string::npos &&
        line.find("IP Address") == std::string::npos)
      continue;
    size_t colon = line.find(':');
    std::string value = colon == std::string::npos ? line : line.substr(colon + 1, 999);
    value = Trim(value);
    if (value.find(':') != std::string::npos) continue;  // IPv6 and the like
    result += value;
    result += "  ";
  }
  result = StringReplace(result, "127.0.0.1", "", rfNone);
  return Trim(result);
}

std::string GetIpAddrList() {
  // The output is read the way a pipe is drained after the command has had its head start:
  // reads of 1,024 bytes, doubling, until one comes back short.
  std::string output = ExecuteCommand("ipconfig.exe");
  std::string taken;
  size_t want = 1024, pos = 0;
  for (;;) {
    size_t got = std::min(want, output.size() - pos);
    taken.append(output, pos, got);
    pos += got;
    if (got < want) break;
    want *= 2;
  }
  return ParseIpAddrList(taken);
}

}  // namespace nv
