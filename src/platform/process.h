// Process execution as the server needs it. The system asks two Windows tools about the host
// ("ipconfig.exe" for its addresses, "getmac /FO CSV /NH" for the adapter that keys the
// credential cipher). On Linux neither exists, so both command lines are answered here, in
// process, with output of the same shape built from the host's interfaces.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/interface_watch.h"

namespace nv {

// Runs a command line and returns its whole standard output (lines end in CR LF).
// A command line the platform cannot run throws "Failed to execute %s : %d".
std::string ExecuteCommand(const std::string& command_line);

// Number of ExecuteCommand calls made by this process so far, failed ones included. Lets a
// caller show that some path ran no command at all.
uint64_t ExecutedCommandCount();

// One network interface as the two answers see it.
struct HostInterface {
  std::string name;  // "eth0"
  std::string mac;   // "02:fc:00:00:00:01" as the kernel writes it, "" if none
  bool loopback = false;
  std::vector<std::string> ipv4;  // dotted addresses, in the kernel's order
};

// The host's interfaces in interface-index order, read now. Throws when they cannot be listed.
std::vector<HostInterface> HostInterfaces();

// Number of HostInterfaces reads made by this process so far.
uint64_t InterfaceReadCount();

// ipconfig-style text: per interface with an IPv4 address, an adapter header and one
// "IPv4 Address" line per address.
std::string IpconfigOutput(const std::vector<HostInterface>& interfaces);

// getmac CSV text: per non-loopback interface with a 6-byte hardware address, its address
// upper-case and "-" separated, then its transport name when it has an IPv4 address, else
// "Media disconnected".
std::string GetmacOutput(const std::vector<HostInterface>& interfaces);

// Both answers from one read of the interfaces, kept until the watch reports a change, so
// that each call gives what IpconfigOutput / GetmacOutput of HostInterfaces() read now would
// give. Unsubscribed (by choice or because the subscription failed) it reads at every call.
// ExecuteCommand answers from one such object, made at its first host command.
class HostAnswers {
 public:
  explicit HostAnswers(bool subscribe = true) : watch_(subscribe) {}

  std::string Ipconfig() { return Answer(&Answers::ipconfig); }
  std::string Getmac() { return Answer(&Answers::getmac); }
  bool watching() const;

 private:
  struct Answers {
    std::string ipconfig;
    std::string getmac;
  };
  std::string Answer(std::string Answers::*which);

  mutable std::mutex mutex_;
  InterfaceWatch watch_;  // subscribed before the first read
  std::optional<Answers> kept_;
};

}  // namespace nv
