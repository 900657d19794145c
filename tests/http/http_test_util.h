// Helpers for the HTTP tests: a server on a free port in a thread, a raw socket client and a
// temporary folder.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/http.h"

namespace nv::test {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "nv_http_XXXXXX").string();
    char* made = mkdtemp(tmpl.data());
    EXPECT_NE(made, nullptr);
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  void Write(const std::string& rel, const std::string& bytes) const {
    std::filesystem::path p = std::filesystem::path(path_) / rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
  }

 private:
  std::string path_;
};

// Runs app.Run() in a thread on a port the system picks; stops it when destroyed.
class RunningServer {
 public:
  explicit RunningServer(THTTPApplication& app) : app_(app) {
    app_.Port = 0;
    thread_ = std::thread([this] { app_.Run(); });
    for (int i = 0; i < 500 && app_.BoundPort() == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    port_ = app_.BoundPort();
    EXPECT_NE(port_, 0);
  }
  ~RunningServer() {
    app_.Terminate();
    thread_.join();
  }
  uint16_t port() const { return port_; }

 private:
  THTTPApplication& app_;
  std::thread thread_;
  uint16_t port_ = 0;
};

class Client {
 public:
  explicit Client(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    EXPECT_TRUE(connected_);
  }
  ~Client() { close(fd_); }

  // Sends what the peer still takes; false once it has gone.
  bool Send(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

  // Everything until the server closes; closed() tells whether it did within timeout_ms.
  std::string ReadAll(int timeout_ms = 5000) {
    std::string out;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    closed_ = false;
    while (true) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      until - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) return out;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) return out;
      char buf[65536];
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) {
        closed_ = true;  // end of stream, or a reset
        return out;
      }
      out.append(buf, static_cast<size_t>(n));
    }
  }
  bool closed() const { return closed_; }

 private:
  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
};

// One request, the whole answer.
inline std::string Exchange(uint16_t port, std::string_view request) {
  Client c(port);
  c.Send(request);
  return c.ReadAll();
}

}  // namespace nv::test
