// Starts the real executable in a folder of its own and talks raw HTTP to it.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace e2e {

inline std::string MakeTempDir() {
  char tmpl[] = "/tmp/nv_e2e_XXXXXX";
  return std::string(mkdtemp(tmpl)) + "/";
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

constexpr const char* kSqliteLib = "/usr/lib/x86_64-linux-gnu/libsqlite3.so.0";
constexpr const char* kSqlcipherLib = "/usr/lib/x86_64-linux-gnu/libsqlcipher.so.0";

// Connects to 127.0.0.1:port, sends request, reads until the server closes. "" when nothing
// could connect.
inline std::string Exchange(uint16_t port, const std::string& request, int timeout_ms = 10000) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return "";
  }
  size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  std::string reply;
  char buf[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) break;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    reply.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return reply;
}

inline bool CanConnect(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

// The executable copied into dir under exe_name, started there, stopped on destruction.
class ServerProcess {
 public:
  ServerProcess(const std::string& dir, const std::string& exe_name) : dir_(dir) {
    std::string exe = dir + exe_name;
    {
      std::ifstream in(NORVANE_BINARY, std::ios::binary);
      std::ofstream out(exe, std::ios::binary);
      out << in.rdbuf();
    }
    chmod(exe.c_str(), 0755);
    std::string err = dir + "stderr.txt";
    pid_ = fork();
    if (pid_ == 0) {
      int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 2);
      dup2(fd, 1);
      if (chdir(dir.c_str()) != 0) _exit(127);
      execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~ServerProcess() { Stop(); }

  // Waits until the port accepts connections; false when the process ended first.
  bool WaitListening(uint16_t port, int timeout_ms = 10000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < until) {
      if (Exited()) return false;
      if (CanConnect(port)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // True once the process has ended; its status is then in ExitStatus().
  bool Exited() {
    if (pid_ <= 0) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      pid_ = -1;
      return true;
    }
    return false;
  }

  bool WaitExit(int timeout_ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < until) {
      if (Exited()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (!WaitExit(5000)) {
      kill(pid_, SIGKILL);
      WaitExit(5000);
    }
  }

  int ExitStatus() const { return exit_status_; }
  std::string Stderr() const { return ReadFile(dir_ + "stderr.txt"); }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int exit_status_ = -1;
};

}  // namespace e2e
