#include "platform/process.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

using namespace nv;

namespace {

// Lines of a CR LF text; fails the test on a line end of another kind.
std::vector<std::string> CrLfLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    EXPECT_NE(end, std::string::npos) << "last line without CR LF";
    if (end == std::string::npos) break;
    std::string line = text.substr(start, end - start);
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
    lines.push_back(line);
    start = end + 2;
  }
  return lines;
}

std::string SysFile(const std::string& name, const std::string& file) {
  std::ifstream in("/sys/class/net/" + name + "/" + file);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string WindowsMac(std::string mac) {
  std::replace(mac.begin(), mac.end(), ':', '-');
  for (char& c : mac) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return mac;
}

const std::vector<HostInterface> kFixture = {
    {"lo", "00:00:00:00:00:00", true, {"127.0.0.1"}},
    {"wlan0", "aa:bb:cc:dd:ee:0f", false, {}},
    {"eth0", "02:fc:00:00:00:01", false, {"192.0.2.2", "198.51.100.7"}},
    {"sit0", "00:00:00:00", false, {"10.1.1.1"}},  // no 6-byte hardware address
    {"tun0", "", false, {"10.8.0.1"}},
};

// One getmac CSV line: "AA-BB-CC-DD-EE-FF","\Device\Tcpip_{name}" (name set) or
// "AA-BB-CC-DD-EE-FF","Media disconnected" (name left empty).
bool ParseGetmacLine(const std::string& line, std::string& mac, std::string& name) {
  if (line.size() < 21 || line[0] != '"' || line.compare(18, 3, "\",\"") != 0) return false;
  mac = line.substr(1, 17);
  for (size_t i = 0; i < mac.size(); ++i) {
    bool ok = i % 3 == 2 ? mac[i] == '-'
                         : std::string("0123456789ABCDEF").find(mac[i]) != std::string::npos;
    if (!ok) return false;
  }
  const std::string rest = line.substr(21);
  name.clear();
  if (rest == "Media disconnected\"") return true;
  const std::string open = "\\Device\\Tcpip_{", close = "}\"";
  if (rest.size() <= open.size() + close.size() || rest.rfind(open, 0) != 0 ||
      rest.compare(rest.size() - close.size(), close.size(), close) != 0) {
    return false;
  }
  name = rest.substr(open.size(), rest.size() - open.size() - close.size());
  return true;
}

}  // namespace

TEST(Process, GetmacOutputShape) {
  EXPECT_EQ(GetmacOutput(kFixture),
            "\"AA-BB-CC-DD-EE-0F\",\"Media disconnected\"\r\n"
            "\"02-FC-00-00-00-01\",\"\\Device\\Tcpip_{eth0}\"\r\n");
  EXPECT_EQ(GetmacOutput({}), "");
}

TEST(Process, IpconfigOutputShape) {
  EXPECT_EQ(IpconfigOutput(kFixture),
            "\r\nLoopback adapter lo:\r\n\r\n"
            "   IPv4 Address. . . . . . . . . . . : 127.0.0.1\r\n"
            "\r\nEthernet adapter eth0:\r\n\r\n"
            "   IPv4 Address. . . . . . . . . . . : 192.0.2.2\r\n"
            "   IPv4 Address. . . . . . . . . . . : 198.51.100.7\r\n"
            "\r\nEthernet adapter sit0:\r\n\r\n"
            "   IPv4 Address. . . . . . . . . . . : 10.1.1.1\r\n"
            "\r\nEthernet adapter tun0:\r\n\r\n"
            "   IPv4 Address. . . . . . . . . . . : 10.8.0.1\r\n");
}

TEST(Process, IpconfigListsEveryIpv4AddressOfThisHost) {
  std::vector<std::string> lines = CrLfLines(ExecuteCommand("ipconfig.exe"));
  std::vector<std::string> addresses;
  const std::string marker = "   IPv4 Address. . . . . . . . . . . : ";
  for (const std::string& line : lines) {
    if (line.find("IPv4") == std::string::npos && line.find("IP-") == std::string::npos &&
        line.find("IP Address") == std::string::npos) {
      continue;
    }
    ASSERT_EQ(line.rfind(marker, 0), 0u) << line;
    std::string a = line.substr(marker.size());
    in_addr parsed;
    EXPECT_EQ(inet_pton(AF_INET, a.c_str(), &parsed), 1) << a;
    addresses.push_back(a);
  }
  EXPECT_NE(std::find(addresses.begin(), addresses.end(), "127.0.0.1"), addresses.end());
  size_t expected = 0;
  for (const HostInterface& i : HostInterfaces()) expected += i.ipv4.size();
  EXPECT_EQ(addresses.size(), expected);
}

TEST(Process, GetmacListsThisHostsAdapters) {
  // Independent of HostInterfaces: every non-loopback entry of /sys/class/net with an
  // Ethernet-style address must appear, with its own address.
  std::set<std::string> expected;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/class/net")) {
    std::string name = entry.path().filename();
    std::string mac = SysFile(name, "address");
    if (SysFile(name, "type") == "772" || mac.size() != 17) continue;  // 772: loopback
    expected.insert(WindowsMac(mac) + "/" + name);
  }
  std::set<std::string> listed_macs;
  for (const std::string& line : CrLfLines(ExecuteCommand("getmac /FO CSV /NH"))) {
    std::string mac, name;
    ASSERT_TRUE(ParseGetmacLine(line, mac, name)) << line;
    listed_macs.insert(mac);
    if (!name.empty()) {
      EXPECT_TRUE(expected.count(mac + "/" + name)) << line;
    }
  }
  std::set<std::string> expected_macs;
  for (const std::string& e : expected) expected_macs.insert(e.substr(0, 17));
  EXPECT_EQ(listed_macs, expected_macs);
}

TEST(Process, OtherCommandsFailAndEveryCallIsCounted) {
  uint64_t before = ExecutedCommandCount();
  for (const char* line : {"rename a b", "getmac", "IPCONFIG.EXE", ""}) {
    try {
      ExecuteCommand(line);
      ADD_FAILURE() << line;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), std::string("Failed to execute ") + line + " : 2");
    }
  }
  ExecuteCommand("ipconfig.exe");
  EXPECT_EQ(ExecutedCommandCount(), before + 5);
}
