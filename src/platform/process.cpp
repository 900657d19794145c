#include "platform/process.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace nv {

namespace {

constexpr const char* kIpconfig = "ipconfig.exe";
constexpr const char* kGetmac = "getmac /FO CSV /NH";

std::atomic<uint64_t> executed_commands{0};

// getifaddrs reports an alias address under its label ("eth0:1"); it belongs to "eth0".
std::string BaseName(const char* ifa_name) {
  std::string name(ifa_name);
  return name.substr(0, name.find(':'));
}

std::string ReadHardwareAddress(const std::string& name) {
  std::ifstream in("/sys/class/net/" + name + "/address");
  std::string line;
  std::getline(in, line);
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  return line;
}

HostInterface& Entry(std::vector<HostInterface>& list, const std::string& name) {
  for (HostInterface& i : list) {
    if (i.name == name) return i;
  }
  list.push_back(HostInterface{name, {}, false, {}});
  return list.back();
}

// "02:fc:00:00:00:01" -> "02-FC-00-00-00-01"; "" for anything but a 6-byte address (tunnels,
// InfiniBand), which getmac would not list with an address either.
std::string WindowsMac(const std::string& mac) {
  if (mac.size() != 17) return "";
  std::string out;
  for (size_t i = 0; i < mac.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(mac[i]);
    if (i % 3 == 2) {
      if (c != ':') return "";
      out += '-';
    } else {
      if (!std::isxdigit(c)) return "";
      out += static_cast<char>(std::toupper(c));
    }
  }
  return out;
}

}  // namespace

std::vector<HostInterface> HostInterfaces() {
  ifaddrs* head = nullptr;
  if (getifaddrs(&head) != 0) throw std::system_error(errno, std::generic_category(), "getifaddrs");
  std::vector<HostInterface> list;
  for (ifaddrs* a = head; a != nullptr; a = a->ifa_next) {
    HostInterface& entry = Entry(list, BaseName(a->ifa_name));
    if (a->ifa_flags & IFF_LOOPBACK) entry.loopback = true;
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
    if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) != nullptr) entry.ipv4.push_back(text);
  }
  freeifaddrs(head);

  // "Interface order" is the kernel's index order; names it cannot index go last. Each index
  // is read once: an interface that vanishes mid-sort must not change its place in the order.
  std::vector<std::pair<unsigned, HostInterface>> keyed;
  keyed.reserve(list.size());
  for (HostInterface& i : list) {
    unsigned n = if_nametoindex(i.name.c_str());
    keyed.emplace_back(n == 0 ? ~0u : n, std::move(i));
  }
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  list.clear();
  for (auto& k : keyed) list.push_back(std::move(k.second));
  for (HostInterface& i : list) i.mac = ReadHardwareAddress(i.name);
  return list;
}

std::string IpconfigOutput(const std::vector<HostInterface>& interfaces) {
  std::string out;
  for (const HostInterface& i : interfaces) {
    if (i.ipv4.empty()) continue;
    out += "\r\n";
    out += i.loopback ? "Loopback adapter " : "Ethernet adapter ";
    out += i.name + ":\r\n\r\n";
    for (const std::string& a : i.ipv4)
      out += "   IPv4 Address. . . . . . . . . . . : " + a + "\r\n";
  }
  return out;
}

std::string GetmacOutput(const std::vector<HostInterface>& interfaces) {
  std::string out;
  for (const HostInterface& i : interfaces) {
    std::string mac = WindowsMac(i.mac);
    if (i.loopback || mac.empty()) continue;
    std::string transport =
        i.ipv4.empty() ? "Media disconnected" : "\\Device\\Tcpip_{" + i.name + "}";
    out += "\"" + mac + "\",\"" + transport + "\"\r\n";
  }
  return out;
}

std::string ExecuteCommand(const std::string& command_line) {
  ++executed_commands;
  int error = ENOENT;
  if (command_line == kIpconfig || command_line == kGetmac) {
    try {
      std::vector<HostInterface> interfaces = HostInterfaces();
      return command_line == kIpconfig ? IpconfigOutput(interfaces) : GetmacOutput(interfaces);
    } catch (const std::system_error& e) {
      error = e.code().value();
    }
  }
  throw std::runtime_error("Failed to execute " + command_line + " : " + std::to_string(error));
}

uint64_t ExecutedCommandCount() { return executed_commands.load(); }

}  // namespace nv
