#include "platform/interface_watch.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace nv {

namespace {

// A forked child shares its parent's socket: its drains would take reports the parent still
// needs, and it may go on in another network namespace. The watch notices a fork by this count
// (bumped in the child, read without a system call) and subscribes anew there.
std::atomic<unsigned> forks{0};

void CountFork() { forks.fetch_add(1, std::memory_order_relaxed); }

bool ForkHookInstalled() {
  static const bool installed = pthread_atfork(nullptr, nullptr, CountFork) == 0;
  return installed;
}

// The answers are built from links (names, indexes, flags, hardware addresses) and IPv4
// addresses only; IPv6 reports would drop them for nothing.
int Subscribe() {
  if (!ForkHookInstalled()) return -1;
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return -1;
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

InterfaceWatch::InterfaceWatch(bool subscribe) : wanted_(subscribe) {
  if (!wanted_) return;
  fd_ = Subscribe();
  forks_ = forks.load(std::memory_order_relaxed);
}

InterfaceWatch::~InterfaceWatch() {
  if (fd_ >= 0) close(fd_);
}

bool InterfaceWatch::Changed() {
  if (!wanted_) return true;
  const unsigned now = forks.load(std::memory_order_relaxed);
  if (now != forks_) {
    if (fd_ >= 0) close(fd_);
    fd_ = Subscribe();
    forks_ = now;
    return true;
  }
  if (fd_ < 0) return true;
  // What a report says does not matter, only that one came: a short buffer takes each
  // datagram whole (the rest of a longer one is discarded).
  char report[256];
  bool changed = false;
  for (;;) {
    if (recv(fd_, report, sizeof report, MSG_DONTWAIT) >= 0) {
      changed = true;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return changed;
    } else if (errno == ENOBUFS) {
      changed = true;  // reports were lost; those still queued are taken all the same
    } else if (errno != EINTR) {
      // A socket that fails otherwise can no longer vouch for anything.
      close(fd_);
      fd_ = -1;
      return true;
    }
  }
}

}  // namespace nv
