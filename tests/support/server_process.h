// Starts the real executable in a folder of its own.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "support/files.h"
#include "support/http_client.h"

namespace nv::test {

// The name under which the executable serves port: the port follows a full-width colon.
inline std::string ExecutableFor(uint16_t port) {
  return std::string("norvane\xEF\xBC\x9A") + std::to_string(port);
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

  // Ends the process at once, as a power cut would: nothing of its own runs any more.
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    WaitExit(5000);
  }

  pid_t Pid() const { return pid_; }
  int ExitStatus() const { return exit_status_; }
  std::string Stderr() const { return ReadFile(dir_ + "stderr.txt"); }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int exit_status_ = -1;
};

}  // namespace nv::test
