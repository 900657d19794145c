// Change reports of the host's network interfaces. What is built from the interfaces (the
// in-process "ipconfig.exe" and "getmac" answers) may be kept for as long as the kernel reports
// no change of a link or an IPv4 address, instead of being read again at every use.
#pragma once

namespace nv {

// A netlink socket subscribed to the kernel's reports on links and IPv4 addresses.
class InterfaceWatch {
 public:
  // Subscribes now, so that a caller who reads the interfaces after this cannot miss a change
  // made after its read. With subscribe false, or when the subscription fails, the watch is
  // unsubscribed and reports a possible change at every call.
  explicit InterfaceWatch(bool subscribe = true);
  ~InterfaceWatch();
  InterfaceWatch(const InterfaceWatch&) = delete;
  InterfaceWatch& operator=(const InterfaceWatch&) = delete;

  bool subscribed() const { return fd_ >= 0; }

  // True when the interfaces may have changed since the previous call (or since subscribing):
  // the kernel reported a change, reports were lost because the socket overflowed, the
  // subscription broke, or there is none. Takes every waiting report and never blocks; with
  // none waiting it costs one recv.
  bool Changed();

 private:
  bool wanted_;         // subscribe was asked for
  int fd_ = -1;         // the subscribed socket, -1 when unsubscribed
  unsigned forks_ = 0;  // the process's fork count when fd_ was opened
};

}  // namespace nv
