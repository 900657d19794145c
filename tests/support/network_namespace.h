// Runs a test body in a network namespace of its own, where it may add, change and remove
// interfaces without touching the host's. The body runs in a forked child (a namespace is
// left only by ending the process) and reports back through a pipe.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace nv::test {

struct NamespaceRun {
  bool skipped = false;
  std::string report;  // the reason of a skip, else the body's failures ("" when none)
};

// Runs "ip <arguments>"; "" when it succeeded, else the command and what it printed.
inline std::string Ip(const std::string& arguments) {
  const std::string command = "ip " + arguments;
  FILE* out = popen((command + " 2>&1").c_str(), "r");
  if (out == nullptr) return command + ": " + std::strerror(errno) + "\n";
  std::string printed;
  char buffer[512];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, out)) > 0;) printed.append(buffer, n);
  const int status = pclose(out);
  if (status == 0) return "";
  return command + ": status " + std::to_string(status) + ": " + printed;
}

// A change made with ip ("" for none) and the value expected after it.
using ChangeSteps = std::vector<std::pair<std::string, std::string>>;

// Makes each change in turn and checks that read() gives, at once, the value expected after it
// and what fresh() gives. Returns the failures.
inline std::string FollowChanges(const ChangeSteps& steps, const std::function<std::string()>& read,
                                 const std::function<std::string()>& fresh) {
  std::string failures;
  for (const auto& [change, expected] : steps) {
    if (!change.empty()) failures += Ip(change);
    const std::string value = read();
    const std::string now = fresh();
    if (value != expected || value != now) {
      failures += "after \"" + change + "\": " + value + ", expected " + expected + ", read now " +
                  now + "\n";
    }
  }
  return failures;
}

namespace internal {

inline bool WriteFileText(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  return static_cast<bool>(out.flush());
}

// Enters a new network and mount namespace, as root or, failing that, as root of a new user
// namespace. "" on success, else why not.
inline std::string EnterNamespace() {
  const uid_t uid = getuid();
  const gid_t gid = getgid();
  if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
    const int as_root = errno;
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWNS) != 0) {
      return std::string("no network namespace can be made here: ") + std::strerror(as_root) +
             ", and in a user namespace: " + std::strerror(errno);
    }
    if (!WriteFileText("/proc/self/setgroups", "deny") ||
        !WriteFileText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !WriteFileText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
      return "the user namespace cannot map this user";
    }
  }
  // /sys/class/net shows the namespace that mounted sysfs: a fresh one matches this namespace.
  // Mounts stay private, so nothing of this reaches the host.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0) {
    return std::string("sysfs cannot be mounted in the namespace: ") + std::strerror(errno);
  }
  if (std::string failed = Ip("link add nvprobe0 type veth peer name nvprobe1"); !failed.empty())
    return "no veth pair can be made here: " + failed;
  if (std::string failed = Ip("link del nvprobe0"); !failed.empty()) return failed;
  return "";
}

}  // namespace internal

// body returns its failures, one a line, "" when every check held. A namespace that cannot be
// made, or one where veth pairs cannot be made, gives a skip with the reason.
inline NamespaceRun RunInNetworkNamespace(const std::function<std::string()>& body) {
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) return {false, "pipe2 failed"};
  fflush(nullptr);  // nothing buffered is written twice
  const pid_t child = fork();
  if (child < 0) return {false, "fork failed"};
  if (child == 0) {
    close(pipe_ends[0]);
    std::string reason = internal::EnterNamespace();
    std::string message = "S" + reason;
    if (reason.empty()) {
      try {
        message = "R" + body();
      } catch (const std::exception& e) {
        message = std::string("Rexception: ") + e.what() + "\n";
      }
    }
    for (size_t at = 0; at < message.size();) {
      const ssize_t n = write(pipe_ends[1], message.data() + at, message.size() - at);
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
    _exit(0);
  }
  close(pipe_ends[1]);
  std::string message;
  char buffer[4096];
  for (ssize_t n; (n = read(pipe_ends[0], buffer, sizeof buffer)) != 0;) {
    if (n > 0) message.append(buffer, static_cast<size_t>(n));
    if (n < 0 && errno != EINTR) break;
  }
  close(pipe_ends[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || message.empty())
    return {false, "the child ended with status " + std::to_string(status) + ": " + message};
  return {message[0] == 'S', message.substr(1)};
}

}  // namespace nv::test
