#include "platform/process.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <system_error>

namespace nv {

namespace {

constexpr const char* kIpconfig = "ipconfig.exe";
constexpr const char* kGetmac = "getmac /FO CSV /NH";

std::atomic<uint64_t> executed_commands{0};
std::atomic<uint64_t> interface_reads{0};

// getifaddrs reports an alias address under its label ("eth0:1"); it belongs to "eth0".
std::string BaseName(const char* ifa_name) {
  std::string name(ifa_name);
  return name.substr(0, name.find(':'));
}

// The link-layer address as the kernel writes it in /sys/class/net/<name>/address: its bytes
// in lower-case hex, ":" between them.
std::string HardwareAddress(const sockaddr_ll& link) {
  std::string text;
  for (int i = 0; i < link.sll_halen && i < static_cast<int>(sizeof link.sll_addr); ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, i == 0 ? "%02x" : ":%02x", link.sll_addr[i]);
    text += byte;
  }
  return text;
}

// An interface as it is being gathered: its entry and its index (0 while not known).
struct Gathered {
  HostInterface entry;
  unsigned index = 0;
};

Gathered& Entry(std::vector<Gathered>& list, const std::string& name) {
  for (Gathered& g : list) {
    if (g.entry.name == name) return g;
  }
  list.push_back(Gathered{HostInterface{name, {}, false, {}}, 0});
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
  ++interface_reads;
  ifaddrs* head = nullptr;
  if (getifaddrs(&head) != 0) throw std::system_error(errno, std::generic_category(), "getifaddrs");
  std::vector<Gathered> list;
  for (ifaddrs* a = head; a != nullptr; a = a->ifa_next) {
    Gathered& g = Entry(list, BaseName(a->ifa_name));
    if (a->ifa_flags & IFF_LOOPBACK) g.entry.loopback = true;
    if (a->ifa_addr == nullptr) continue;
    if (a->ifa_addr->sa_family == AF_PACKET) {
      // Every link comes once with its link-layer address and index, read in the same dump as
      // the IP addresses: no further look at the interface is needed.
      const auto& link = *reinterpret_cast<const sockaddr_ll*>(a->ifa_addr);
      g.index = static_cast<unsigned>(link.sll_ifindex);
      g.entry.mac = HardwareAddress(link);
    } else if (a->ifa_addr->sa_family == AF_INET) {
      char text[INET_ADDRSTRLEN] = {};
      const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
      if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) != nullptr)
        g.entry.ipv4.push_back(text);
    }
  }
  freeifaddrs(head);

  // "Interface order" is the kernel's index order; names without a link entry are asked for
  // their index, and those it cannot index go last.
  for (Gathered& g : list) {
    if (g.index == 0) g.index = if_nametoindex(g.entry.name.c_str());
    if (g.index == 0) g.index = ~0u;
  }
  std::stable_sort(list.begin(), list.end(),
                   [](const Gathered& a, const Gathered& b) { return a.index < b.index; });
  std::vector<HostInterface> interfaces;
  interfaces.reserve(list.size());
  for (Gathered& g : list) interfaces.push_back(std::move(g.entry));
  return interfaces;
}

uint64_t InterfaceReadCount() { return interface_reads.load(); }

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

std::string HostAnswers::Answer(std::string Answers::*which) {
  std::lock_guard lock(mutex_);
  if (watch_.Changed()) kept_.reset();
  if (kept_) return (*kept_).*which;
  std::vector<HostInterface> interfaces = HostInterfaces();
  Answers fresh{IpconfigOutput(interfaces), GetmacOutput(interfaces)};
  if (!watch_.subscribed()) return std::move(fresh.*which);
  kept_ = std::move(fresh);
  return (*kept_).*which;
}

bool HostAnswers::watching() const {
  std::lock_guard lock(mutex_);
  return watch_.subscribed();
}

std::string ExecuteCommand(const std::string& command_line) {
  ++executed_commands;
  int error = ENOENT;
  if (command_line == kIpconfig || command_line == kGetmac) {
    // Every authentication and every encrypted open asks for the adapter: the interfaces are
    // read again only after the kernel reported a change.
    static HostAnswers answers;
    try {
      return command_line == kIpconfig ? answers.Ipconfig() : answers.Getmac();
    } catch (const std::system_error& e) {
      error = e.code().value();
    }
  }
  throw std::runtime_error("Failed to execute " + command_line + " : " + std::to_string(error));
}

uint64_t ExecutedCommandCount() { return executed_commands.load(); }

}  // namespace nv
