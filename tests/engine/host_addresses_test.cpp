#include "engine/host_addresses.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/process.h"
#include "support/network_namespace.h"

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

TEST(HostAddressList, FollowsEveryChangeOfTheAddresses) {
  GetIpAddrList();  // the process's answers exist before the fork
  const nv::test::NamespaceRun run = nv::test::RunInNetworkNamespace([] {
    const nv::test::ChangeSteps steps = {
        {"", ""},
        {"addr add 127.0.0.1/8 dev lo", ""},
        {"link add nva0 index 50 type veth peer name nva1 index 51", ""},
        {"addr add 10.40.0.1/24 dev nva1", "10.40.0.1"},
        {"addr add 10.40.0.2/24 dev nva1 label nva1:1", "10.40.0.1  10.40.0.2"},
        {"addr add 10.41.0.1/24 dev nva0", "10.41.0.1  10.40.0.1  10.40.0.2"},
        {"addr del 10.40.0.1/24 dev nva1", "10.41.0.1"},
        {"link del nva0", ""},
    };
    return nv::test::FollowChanges(
        steps, GetIpAddrList, [] { return ParseIpAddrList(IpconfigOutput(HostInterfaces())); });
  });
  if (run.skipped) GTEST_SKIP() << run.report;
  EXPECT_EQ(run.report, "");
}
