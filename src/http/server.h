// The HTTP application: a one-thread server over non-blocking sockets. It reads and writes every
// connection at once, while handlers run one at a time, in the order in which their requests
// became complete. One request per connection, no keep-alive.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "http/request.h"
#include "http/response.h"
#include "http/router.h"

namespace nv {

// What one client may cost the others. Every connection is held to these by the clock, not by
// the one thread waiting on it.
constexpr size_t kMaxHeadBytes = 64 * 1024;               // 431 beyond
constexpr long long kMaxBodyBytes = 256LL * 1024 * 1024;  // 413 beyond
constexpr int kHeadDeadlineMs = 10 * 1000;                // from the connect to the head's end
constexpr int kBodyGraceMs = 10 * 1000;                   // before the body must keep a rate
constexpr long long kMinBodyBytesPerSecond = 8 * 1024;
constexpr int kSendGraceMs = 10 * 1000;  // before the answer must be taken at a rate
constexpr long long kMinSendBytesPerSecond = 8 * 1024;
constexpr int kRateWindowMs = 5 * 1000;  // a rate is checked over windows of this length
// Open connections; beyond, the oldest one still reading its head is closed.
constexpr size_t kMaxConnections = 4096;
// All request bodies held at once (being received or waiting for their handler); a body that
// would go beyond gets 503, unless it is small.
constexpr long long kBodyBudgetBytes = 1024LL * 1024 * 1024;
constexpr long long kSmallBodyBytes = 64 * 1024;

struct THTTPLimits {
  size_t MaxHeadBytes = kMaxHeadBytes;
  long long MaxBodyBytes = kMaxBodyBytes;
  int HeadDeadlineMs = kHeadDeadlineMs;
  int BodyGraceMs = kBodyGraceMs;
  long long MinBodyBytesPerSecond = kMinBodyBytesPerSecond;
  int SendGraceMs = kSendGraceMs;
  long long MinSendBytesPerSecond = kMinSendBytesPerSecond;
  int RateWindowMs = kRateWindowMs;
  size_t MaxConnections = kMaxConnections;
  long long BodyBudgetBytes = kBodyBudgetBytes;
  long long SmallBodyBytes = kSmallBodyBytes;
};

// What the loop did, for tests and diagnostics. Written by the loop's thread; read anywhere.
struct TServerCounts {
  std::atomic<uint64_t> Accepted{0};      // connections taken from the listener
  std::atomic<uint64_t> EmptyAccepts{0};  // accept calls that found no connection
  std::atomic<uint64_t> EmptyReads{0};    // reads that found nothing (summed as connections close)
  std::atomic<uint64_t> Watches{0};       // changes of a connection's epoll registration
};

class THTTPApplication {
 public:
  THTTPApplication() = default;
  THTTPApplication(const THTTPApplication&) = delete;
  THTTPApplication& operator=(const THTTPApplication&) = delete;

  uint16_t Port = 80;  // 0: any free port (see BoundPort)
  std::string Title;
  std::function<void(TResponse&, const std::exception&, bool& handled)> OnShowRequestException;
  THTTPRouter HTTPRouter;
  std::string BaseFolder;  // where relative file-location folders are taken from
  THTTPLimits Limits;
  TServerCounts Counts;

  // "/" + location + "/..." is served from the folder. Throws "Directory "%s" does not exist".
  void RegisterFileLocation(const std::string& location, const std::string& folder);
  void Initialize();
  // Blocks, serving every connection, until Terminate(). When the port cannot be opened it
  // reports on stderr and returns.
  void Run();
  void Terminate() { terminated_ = true; }  // thread-safe; Run returns soon after
  // The port Run is listening on, 0 while it is not listening.
  uint16_t BoundPort() const { return bound_port_; }

  // Dispatch of a parsed request: route, handler, exception hook, final send (without the body
  // for HEAD).
  void HandleRequest(TRequest& req, TResponse& resp);
  // A failure outside the handlers, on stderr with the application's title.
  void Report(const std::string& message) const;

 private:
  std::atomic<bool> terminated_{false};
  std::atomic<uint16_t> bound_port_{0};
};

extern THTTPApplication Application;  // the process's application object

}  // namespace nv
