#include "shell/startup.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>

#include "platform/numbers.h"

using namespace nv;

TEST(IntegerReading, Forms) {
  struct Case {
    const char* text;
    int32_t expected;  // -999: no value
  } cases[] = {
      {"8080", 8080},
      {" \t12", 12},
      {"+7", 7},
      {"-1", -1},
      {"$1F90", 8080},
      {"x1f90", 8080},
      {"0X1F90", 8080},
      {"%101", 5},
      {"&17", 15},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"2147483648", -999},
      {"$FFFFFFFF", -1},
      {"$100000000", -999},
      {"", -999},
      {"web", -999},
      {"12 ", -999},
      {"1\\app", -999},
      {"$", -999},
      {"0x", -999},
      {"-", -999},
      {"%102", -999},
      {"&8", -999},
      {"0", 0},
      {"-$10", -16},
      {"12a", -999},
  };
  for (const auto& c : cases) EXPECT_EQ(ReadIntegerDef(c.text, -999), c.expected) << c.text;
}

TEST(PortRule, FromExecutablePath) {
  struct Case {
    const char* path;
    uint16_t port;
  } cases[] = {
      {"/srv/app：8080.exe", 8080},  {"/srv/app：8080", 8080},    {"/srv/app.exe", 80},
      {"/srv/app：web.exe", 80},     {"/srv：1/app.exe", 80},     {"/srv/app：$1F90.exe", 8080},
      {"/srv/app：70000.exe", 4464}, {"/srv/app：-1.exe", 65535}, {"/srv：8/app：9.x", 80},
      {"/a.b/app：18080", 18080},    {"/srv/a.b：8080", 80},      {"/srv：81/app", 80},
      {"/srv/app：0x50.tar.gz", 80},
  };
  for (const auto& c : cases) EXPECT_EQ(PortFromPath(c.path), c.port) << c.path;
}

TEST(HostAddressList, Parsing) {
  struct Case {
    const char* output;
    const char* expected;
  } cases[] = {
      {"   IPv4 Address. . . : 127.0.0.1\r\n   IPv4 Address. . . : 192.168.1.10\r\n"
       "   IPv4 Address. . . : 10.0.0.5\r\n",
       "192.168.1.10  10.0.0.5"},
      {"IPv4: 192.0.2.1\nIPv4: 127.0.0.1\nIPv4: 192.0.2.2\n", "192.0.2.1    192.0.2.2"},
      {"IPv4: 127.0.0.15\nIPv4: 127.0.0.1\n", "5  127.0.0.1"},
      {"IPv6 and IPv4 Address: fe80::1\nIP-Adresse: 10.1.1.1\n", "10.1.1.1"},
      {"   IP Address   \n", "IP Address"},
      {"ipv4: 1.2.3.4\nEthernet adapter eth0:\n", ""},
      {"", ""},
      {"IPv4 Address: 127.0.0.1\r\n", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseIpAddrList(c.output), c.expected) << c.output;
}

TEST(HostAddressList, FromThisHost) {
  // The loopback address is always there and always removed; what is left are dotted values.
  std::string list = GetIpAddrList();
  EXPECT_EQ(list.find("127.0.0.1  "), std::string::npos);
  EXPECT_EQ(list, ParseIpAddrList(list.empty() ? "" : "IPv4: " + list));
}

namespace {

void Touch(const std::string& path) { std::ofstream(path) << "x"; }

}  // namespace

TEST(EngineLibrarySearch, SortedCaseInsensitiveAnyDepth) {
  char tmpl[] = "/tmp/nv_search_XXXXXX";
  std::string dir = std::string(mkdtemp(tmpl)) + "/";
  EXPECT_EQ(GetFilePath(dir, "libsqlcipher.so*", true), "");
  mkdir((dir + "a").c_str(), 0755);
  mkdir((dir + "Z").c_str(), 0755);
  mkdir((dir + "Z/deep").c_str(), 0755);
  Touch(dir + "a/libsqlite3.so.0");
  EXPECT_EQ(GetFilePath(dir, "libsqlite3.so*", true), dir + "a/libsqlite3.so.0");
  Touch(dir + "LIBSQLITE3.SO");
  // Beside the executable wins over a sub-folder named a; a sub-folder named z wins over both.
  EXPECT_EQ(GetFilePath(dir, "libsqlite3.so*", true), dir + "LIBSQLITE3.SO");
  Touch(dir + "Z/deep/libsqlite3.so.0");
  EXPECT_EQ(GetFilePath(dir, "libsqlite3.so*", true), dir + "Z/deep/libsqlite3.so.0");
  EXPECT_EQ(GetFilePath(dir, "libsqlite3.so*", false), dir + "a/libsqlite3.so.0");
  // A link loop does not make the search endless; a dangling link is no library.
  symlink(dir.c_str(), (dir + "a/loop").c_str());
  symlink((dir + "gone").c_str(), (dir + "libsqlite3.so.9").c_str());
  EXPECT_EQ(GetFilePath(dir, "libsqlite3.so*", true), dir + "Z/deep/libsqlite3.so.0");
  // Uploaded files are never taken for the engine.
  mkdir((dir + "images").c_str(), 0755);
  Touch(dir + "images/libsqlcipher.so");
  EXPECT_EQ(GetFilePath(dir, "libsqlcipher.so*", true), "");
}
