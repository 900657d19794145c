// A raw socket client for HTTP tests: what a browser sends, byte for byte, and everything the
// server answers until it closes.
#pragma once

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

namespace nv::test {

class Client {
 public:
  explicit Client(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
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
  std::string ReadAll(int timeout_ms = 10000) {
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
  // What arrives until at least bytes have come, the server closes, or timeout_ms passes.
  std::string ReadSome(size_t bytes, int timeout_ms = 10000) {
    std::string out;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out.size() < bytes) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      until - std::chrono::steady_clock::now())
                      .count();
      pollfd p{fd_, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
      char buf[65536];
      ssize_t n = recv(fd_, buf, std::min(sizeof buf, bytes - out.size()), 0);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }
  bool closed() const { return closed_; }
  bool connected() const { return connected_; }
  // Waits until every byte sent has reached the server's socket (none unacknowledged), at most
  // timeout_ms; false when some are still on their way.
  bool WaitDelivered(int timeout_ms = 5000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int queued = 0;
    while (ioctl(fd_, SIOCOUTQ, &queued) == 0 && queued > 0) {
      if (std::chrono::steady_clock::now() >= until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
};

// One request, the whole answer up to the server's close (or timeout_ms); "" when nothing
// accepted the connection.
inline std::string Exchange(uint16_t port, std::string_view request, int timeout_ms = 10000) {
  Client c(port);
  if (!c.connected()) return "";
  c.Send(request);
  return c.ReadAll(timeout_ms);
}

inline bool CanConnect(uint16_t port) { return Client(port).connected(); }

// The head the server sends without custom headers: status line ("404 Not Found"), Status line
// ("404 Not found"), the standard headers with "Connection: close" last.
inline std::string AnswerHead(std::string_view status, std::string_view status_text, size_t length,
                              std::string_view type = "text/html; charset=UTF-8") {
  return "HTTP/1.1 " + std::string(status) + "\r\nStatus: " + std::string(status_text) +
         "\r\nContent-Length: " + std::to_string(length) +
         "\r\nContent-Type: " + std::string(type) + "\r\nConnection: close\r\n\r\n";
}

// An answer up to and with its empty line ("" when its head never ended).
inline std::string HeadOf(const std::string& reply) {
  size_t end = reply.find("\r\n\r\n");
  return end == std::string::npos ? "" : reply.substr(0, end + 4);
}

}  // namespace nv::test
