#include "platform/interface_watch.h"

#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/process.h"
#include "support/network_namespace.h"
#include "support/temp_dir.h"

using namespace nv;
using nv::test::Ip;
using nv::test::RunInNetworkNamespace;

namespace {

constexpr const char* kGetmac = "getmac /FO CSV /NH";
constexpr const char* kIpconfig = "ipconfig.exe";

// The answers of `answers` and of ExecuteCommand (the process's own) against a read of the
// interfaces made now. Each set reads the interfaces once after a change, for both answers.
std::string CompareWithFreshRead(HostAnswers& answers, const std::string& step, std::string& getmac,
                                 std::string& ipconfig) {
  const uint64_t before = InterfaceReadCount();
  getmac = answers.Getmac();
  ipconfig = answers.Ipconfig();
  const std::vector<std::string> getmacs = {getmac, answers.Getmac(), ExecuteCommand(kGetmac)};
  const std::vector<std::string> ipconfigs = {ipconfig, ExecuteCommand(kIpconfig)};
  const uint64_t reads = InterfaceReadCount() - before;
  const std::vector<HostInterface> now = HostInterfaces();
  std::string failures;
  for (const std::string& kept : getmacs) {
    if (kept == GetmacOutput(now)) continue;
    failures += step + ": getmac kept\n" + kept + "read now\n" + GetmacOutput(now);
    break;
  }
  for (const std::string& kept : ipconfigs) {
    if (kept == IpconfigOutput(now)) continue;
    failures += step + ": ipconfig kept\n" + kept + "read now\n" + IpconfigOutput(now);
    break;
  }
  if (reads != 2) {
    failures +=
        step + ": " + std::to_string(reads) + " reads of the interfaces for two sets of answers\n";
  }
  return failures;
}

}  // namespace

TEST(InterfaceWatch, WithoutSubscriptionEveryAnswerIsReadNow) {
  InterfaceWatch watch(false);
  EXPECT_FALSE(watch.subscribed());
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(watch.Changed());

  HostAnswers answers(false);
  EXPECT_FALSE(answers.watching());
  for (int i = 0; i < 3; ++i) {
    const uint64_t before = InterfaceReadCount();
    EXPECT_EQ(answers.Getmac(), GetmacOutput(HostInterfaces()));
    EXPECT_EQ(answers.Ipconfig(), IpconfigOutput(HostInterfaces()));
    EXPECT_EQ(InterfaceReadCount(), before + 4);
  }
}

TEST(HostAnswers, FollowEveryChangeOfTheInterfaces) {
  // The process's own answers exist before the fork: the child must not go on with the
  // parent's subscription, which watches the parent's namespace.
  ExecuteCommand(kGetmac);
  const nv::test::NamespaceRun run = RunInNetworkNamespace([] {
    HostAnswers answers;
    if (!answers.watching()) return std::string("no subscription in the namespace\n");
    // No link is ever brought up, so the kernel sends no late report of its own.
    const std::vector<std::pair<std::string, std::string>> steps = {
        {"the namespace as made", ""},
        {"a veth pair without address",
         "link add nvw0 index 20 address 02:00:00:00:20:00 type veth peer name nvw1 index 21 "
         "address 02:00:00:00:21:00"},
        {"an address on its second end", "addr add 10.21.0.1/24 dev nvw1"},
        {"that end's hardware address changed", "link set nvw1 address 02:00:00:00:21:99"},
        {"an alias address", "addr add 10.21.0.2/24 dev nvw1 label nvw1:1"},
        {"a loopback address", "addr add 127.0.0.1/8 dev lo"},
        {"a pair that comes first",
         "link add nvv0 index 10 address 02:00:00:00:10:00 type veth peer name nvv1 index 11 "
         "address 02:00:00:00:11:00"},
        {"an address on it", "addr add 10.11.0.1/24 dev nvv1"},
        {"the first end renamed", "link set nvw1 name nvx1"},
        {"its primary address deleted", "addr del 10.21.0.1/24 dev nvx1"},
        {"the first pair removed", "link del nvv0"},
    };
    std::string failures, getmac, ipconfig;
    for (const auto& [step, change] : steps) {
      if (!change.empty()) failures += Ip(change);
      const std::string previous_getmac = getmac, previous_ipconfig = ipconfig;
      failures += CompareWithFreshRead(answers, step, getmac, ipconfig);
      if (!change.empty() && getmac == previous_getmac && ipconfig == previous_ipconfig)
        failures += step + ": the answers show no change, so the step tests nothing\n";
    }
    // Nothing changes now: the kept answers serve every read.
    const uint64_t before = InterfaceReadCount();
    for (int i = 0; i < 50; ++i) {
      if (answers.Getmac() != getmac || answers.Ipconfig() != ipconfig ||
          ExecuteCommand(kGetmac) != getmac || ExecuteCommand(kIpconfig) != ipconfig) {
        failures += "the answers changed with the interfaces unchanged\n";
        break;
      }
    }
    if (InterfaceReadCount() != before) {
      failures +=
          std::to_string(InterfaceReadCount() - before) + " reads of unchanged interfaces\n";
    }
    return failures;
  });
  if (run.skipped) GTEST_SKIP() << run.report;
  EXPECT_EQ(run.report, "");
}

TEST(HostAnswers, LostReportsDropTheAnswers) {
  const nv::test::NamespaceRun run = RunInNetworkNamespace([] {
    std::string failures = Ip("link add nvo0 type veth peer name nvo1");
    HostAnswers answers;
    // A second subscriber with the same buffer shows that the reports did overflow.
    const int probe = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
    if (probe < 0 || bind(probe, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
      return failures + "no probe subscription\n";
    const std::string kept = answers.Ipconfig();

    nv::test::TempDir dir;
    std::string batch;
    for (int i = 0; i < 2000; ++i) {
      batch += "address add 10.9." + std::to_string(i / 200) + "." + std::to_string(i % 200 + 1) +
               "/32 dev nvo1\n";
    }
    dir.Write("batch", batch);
    failures += Ip("-batch " + dir.file("batch"));
    char report[256];
    if (recv(probe, report, sizeof report, MSG_DONTWAIT) >= 0 || errno != ENOBUFS)
      failures += "the reports did not overflow the socket\n";
    close(probe);

    const std::vector<HostInterface> now = HostInterfaces();
    if (answers.Ipconfig() != IpconfigOutput(now)) failures += "ipconfig kept after the overflow\n";
    if (answers.Ipconfig() == kept) failures += "the addresses did not change the answer\n";
    if (answers.Getmac() != GetmacOutput(now)) failures += "getmac kept after the overflow\n";
    // The subscription goes on reporting after an overflow.
    failures += Ip("link set nvo1 address 02:00:00:00:99:01");
    if (answers.Getmac() != GetmacOutput(HostInterfaces()))
      failures += "getmac kept after a change that followed the overflow\n";
    return failures;
  });
  if (run.skipped) GTEST_SKIP() << run.report;
  EXPECT_EQ(run.report, "");
}
