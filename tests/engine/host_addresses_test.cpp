#include "engine/host_addresses.h"

#include <gtest/gtest.h>

using namespace nv;

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
