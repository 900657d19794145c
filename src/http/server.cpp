// The server loop: one thread, one request per connection. Every read and write waits with
// poll() under a time-out, so a slow or hostile client cannot hold the only thread for ever.
#include "http/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "http/static_files.h"

namespace nv {

THTTPApplication Application;

namespace {

using Clock = std::chrono::steady_clock;

// Waits are cut into slices of this length so that Terminate() is noticed promptly.
constexpr int kSliceMs = 100;
// After an early answer (431, 413 ...) the unread rest of the request is drained for a short
// while: closing with unread input makes the kernel reset the connection, which can destroy the
// answer before the client reads it.
constexpr int kLingerMs = 500;
constexpr size_t kLingerBytes = 4 * 1024 * 1024;

std::string ErrorText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

class Connection {
 public:
  Connection(int fd, int timeout_ms, long long write_credit, const std::atomic<bool>& stop)
      : fd_(fd),
        timeout_ms_(timeout_ms),
        write_credit_(write_credit > 0 ? write_credit : 1),
        stop_(stop),
        deadline_(Clock::now() + std::chrono::milliseconds(timeout_ms)) {}

  // Appends what arrives (at most max bytes) to buf; false at the end of the input. Throws when
  // the request's time-out (plus the credit for what has arrived) passes first.
  bool Read(std::string& buf, size_t max) {
    while (true) {
      if (!WaitFor(POLLIN, deadline_)) throw std::runtime_error("Client read timed out");
      size_t old = buf.size();
      buf.resize(old + max);
      ssize_t n = recv(fd_, buf.data() + old, max, 0);
      buf.resize(old + (n > 0 ? static_cast<size_t>(n) : 0));
      if (n > 0) {
        // A large body earns time as it arrives, at the rate writes do.
        deadline_ += std::chrono::microseconds(static_cast<long long>(n) * 1000000 / write_credit_);
        return true;
      }
      if (n == 0) return false;
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        throw std::runtime_error(ErrorText("Client read failed"));
      }
    }
  }

  // Writes all bytes. The answer gets the time-out plus one second for every write_credit
  // bytes it has sent, so a large download can take as long as it needs at a modest rate, while a
  // client that reads a byte now and then cannot hold the only thread for ever.
  void Write(std::string_view bytes) {
    if (!writing_) {
      writing_ = true;
      write_deadline_ = Clock::now() + std::chrono::milliseconds(timeout_ms_);
    }
    while (!bytes.empty()) {
      ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n > 0) {
        bytes.remove_prefix(static_cast<size_t>(n));
        write_deadline_ +=
            std::chrono::microseconds(static_cast<long long>(n) * 1000000 / write_credit_);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        throw std::runtime_error(ErrorText("Client write failed"));
      }
      if (!WaitFor(POLLOUT, write_deadline_)) throw std::runtime_error("Client write timed out");
    }
  }

  // Ends our side, then reads and drops what the client still sends, for a short while.
  void Linger() {
    shutdown(fd_, SHUT_WR);
    Clock::time_point until = Clock::now() + std::chrono::milliseconds(kLingerMs);
    size_t dropped = 0;
    char scrap[16 * 1024];
    while (dropped < kLingerBytes && WaitFor(POLLIN, until)) {
      ssize_t n = recv(fd_, scrap, sizeof scrap, 0);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
      if (n > 0) dropped += static_cast<size_t>(n);
    }
  }

 private:
  bool WaitFor(short events, Clock::time_point until) {
    while (!stop_) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd_, events, 0};
      int r = poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), kSliceMs)));
      if (r > 0) return true;
      if (r < 0 && errno != EINTR) throw std::runtime_error(ErrorText("poll failed"));
    }
    throw std::runtime_error("Server is stopping");
  }

  int fd_;
  int timeout_ms_;
  long long write_credit_;
  const std::atomic<bool>& stop_;
  Clock::time_point deadline_;
  bool writing_ = false;
  Clock::time_point write_deadline_;
};

// The layer's own answer to a request it does not hand to a route.
void SendStatus(Connection& conn, int code) {
  TResponse resp;
  resp.Code = code;
  resp.CodeText = std::string(ReasonPhrase(code));
  resp.SetOutput([&conn](std::string_view b) { conn.Write(b); });
  resp.SendContent();
}

void ResetForFailure(TResponse& resp) {
  resp.Code = 500;
  resp.CodeText = "Internal Server Error";
  resp.Contents.Clear();
  resp.ContentStream = nullptr;
  resp.ContentLength = 0;
  resp.CustomHeaders.Clear();
}

}  // namespace

void THTTPApplication::RegisterFileLocation(const std::string& location,
                                            const std::string& folder) {
  nv::RegisterFileLocation(HTTPRouter, BaseFolder, location, folder);
}

void THTTPApplication::Report(const std::string& message) const {
  std::string line = (Title.empty() ? std::string() : Title + ": ") + message + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void THTTPApplication::Initialize() {
  // A client that goes away mid-answer must cost an error return, not the process.
  signal(SIGPIPE, SIG_IGN);
}

void THTTPApplication::HandleRequest(TRequest& req, TResponse& resp) {
  // The handler still runs for HEAD (routes accept every method); only the body stays home.
  resp.SetHeadOnly(req.Method == "HEAD");
  const THandler* found = HTTPRouter.FindRoute(req.PathInfo);
  if (found == nullptr) {
    resp.Code = 404;
    resp.CodeText = "Not found";
    resp.SendContent();
    return;
  }
  auto failed = [&](const std::exception& e) {
    if (resp.ContentSent()) {
      Report(e.what());  // the client already has its answer; nothing more can be said
      return;
    }
    bool handled = false;
    if (OnShowRequestException) OnShowRequestException(resp, e, handled);
    if (!handled && !resp.ContentSent()) {
      ResetForFailure(resp);
      resp.SendContent();
    }
  };
  THandler handler = *found;  // a handler may register routes; keep our own copy
  try {
    handler(req, resp);
  } catch (const std::exception& e) {
    failed(e);
    return;
  } catch (...) {
    failed(std::runtime_error("Unknown exception"));
    return;
  }
  if (!resp.ContentSent()) resp.SendContent();
}

void THTTPApplication::ServeConnection(int fd, const std::string& remote) {
  Connection conn(fd, IoTimeoutMs, WriteCreditBytesPerSecond, terminated_);
  std::string buf;
  size_t scan = 0;
  size_t head_end;
  while ((head_end = FindHeadEnd(buf, &scan)) == std::string::npos) {
    if (buf.size() > MaxHeadBytes) {
      SendStatus(conn, 431);
      conn.Linger();
      return;
    }
    if (!conn.Read(buf, 16 * 1024)) {
      if (buf.empty()) return;  // connected and left without a word
      throw std::runtime_error("Client closed the connection inside the request head");
    }
  }
  TRequest req;
  THeadInfo info;
  if (head_end > MaxHeadBytes) {
    info.Status = 431;
  } else {
    info = ParseRequestHead(std::string_view(buf).substr(0, head_end), req);
    if (info.Status == 0 && (info.ContentLength < 0 || info.ContentLength > MaxBodyBytes)) {
      info.Status = 413;
    }
  }
  if (info.Status != 0) {
    SendStatus(conn, info.Status);
    conn.Linger();
    return;
  }
  const size_t length = static_cast<size_t>(info.ContentLength);
  std::string body = buf.substr(head_end);
  buf.clear();
  if (info.ExpectContinue && body.size() < length) conn.Write("HTTP/1.1 100 Continue\r\n\r\n");
  while (body.size() < length) {
    if (!conn.Read(body, std::min<size_t>(length - body.size(), 256 * 1024))) {
      throw std::runtime_error("Client closed the connection inside the request body");
    }
  }
  body.resize(length);  // bytes beyond the announced body belong to no request
  req.Content = std::move(body);
  req.RemoteAddress = remote;
  if (!ParseRequestContent(req)) {
    SendStatus(conn, 400);
    return;
  }

  TResponse resp;
  resp.SetOutput([&conn](std::string_view b) { conn.Write(b); });
  HandleRequest(req, resp);
}

void THTTPApplication::Run() {
  Initialize();
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) {
    Report(ErrorText("Cannot create the listening socket"));
    return;
  }
  // The server closes every connection itself; without this a restart finds the port in
  // TIME_WAIT and cannot bind for a minute.
  int yes = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(Port);
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener, 64) != 0) {
    Report(ErrorText(("Cannot listen on port " + std::to_string(Port)).c_str()));
    close(listener);
    return;
  }
  socklen_t len = sizeof addr;
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  bound_port_ = ntohs(addr.sin_port);

  while (!terminated_) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, kSliceMs) <= 0) continue;
    sockaddr_in peer{};
    socklen_t peer_len = sizeof peer;
    int fd = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &peer_len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors, say: pause instead of spinning on a listener that stays readable.
      if (errno != EINTR && errno != EAGAIN) poll(nullptr, 0, 10);
      continue;
    }
    char ip[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
    try {
      ServeConnection(fd, ip);
    } catch (const std::exception& e) {
      Report(e.what());
    } catch (...) {
      Report("Unknown exception");
    }
    close(fd);
  }
  close(listener);
  bound_port_ = 0;
  terminated_ = false;
}

}  // namespace nv
