// One client connection of the server: its request read as it arrives, within the limits, and
// its answer written as the socket takes it. The server's loop drives it; nothing here waits.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "http/output_queue.h"
#include "http/request.h"
#include "http/response.h"
#include "http/server.h"

namespace nv {

// The loop's clock: steady time without the time spent in handlers, so that a slow handler
// never counts against the clients that wait for the thread.
using TLoopTime = std::chrono::steady_clock::time_point;

// The request bodies held at once, against their limit.
class TBodyBudget {
 public:
  TBodyBudget(long long limit, long long small) : limit_(limit), small_(small) {}
  // False when a body larger than the small size would take the total beyond the limit.
  bool Take(long long bytes);
  void Give(long long bytes) { used_ -= bytes; }

 private:
  long long limit_;
  long long small_;
  long long used_ = 0;
};

// A floor under the rate at which bytes move: none during a grace period, then in every window
// at least the rate's share, or whatever was left to move when the window began.
class TRateFloor {
 public:
  void Start(TLoopTime now, int grace_ms, long long bytes_per_second, int window_ms);
  // False once a window ended short. moved: bytes moved so far; left: bytes still to move.
  bool Holds(TLoopTime now, long long moved, long long left);
  // Whether Holds looks at the bytes now: the grace period or a window has ended.
  bool Due(TLoopTime now) const { return now >= window_end_; }

 private:
  TLoopTime window_end_;
  long long window_quota_ = 0;
  long long mark_ = -1;  // bytes moved when the current window began; -1 during the grace
  long long left_at_mark_ = 0;
  std::chrono::milliseconds window_{0};
};

// What the loop does next with a connection.
enum class TStep {
  kWait,     // wait for the socket (or the clock)
  kRequest,  // the request is complete: queue it for its handler
  kDone,     // close it
  kFailed,   // close it and report Failure()
};

class TConnection {
 public:
  enum class TState {
    kHead,       // reading the request head
    kBody,       // reading the body
    kWaiting,    // complete, waiting for its handler
    kAnswering,  // the handler is done; its answer goes out, then the connection closes
    kLingering,  // an answer of the layer's own goes out; the rest of the request is dropped
  };

  TConnection(int fd, std::string remote, const THTTPLimits& limits, TBodyBudget& budget,
              TLoopTime now);
  TConnection(const TConnection&) = delete;
  TConnection& operator=(const TConnection&) = delete;
  ~TConnection();

  TState State() const { return state_; }
  // Reads that found no bytes waiting (the client had not sent them yet).
  uint64_t EmptyReads() const { return empty_reads_; }
  const std::string& Failure() const { return failure_; }
  bool WantsRead() const;
  bool WantsWrite() const;

  TStep OnReadable(TLoopTime now);
  TStep OnWritable(TLoopTime now);
  TStep OnTimer(TLoopTime now);

  // The complete request, while kWaiting.
  TRequest& Request() { return *request_; }
  // Makes resp write into this connection's output.
  void Attach(TResponse& resp);
  // The handler is done: the request is released and the answer starts to go out.
  TStep Answer(TLoopTime now);
  // Closes the socket and gives back what the connection held.
  void Close();

 private:
  TStep ReadHead(TLoopTime now);
  TStep StartBody(size_t head_end, TLoopTime now);
  TStep ReadBody();
  TStep Complete();
  TStep Linger();
  TStep EarlyAnswer(int code, TLoopTime now);
  TStep Flush(TLoopTime now);
  TStep Fail(std::string message);
  bool SendRateHolds(TLoopTime now);
  void ReleaseBody();

  int fd_;
  std::string remote_;
  const THTTPLimits& limits_;
  TBodyBudget& budget_;
  TState state_ = TState::kHead;
  std::string failure_;

  TLoopTime head_deadline_;
  std::string head_;      // bytes of the head as they arrive (and the body's first bytes)
  size_t head_scan_ = 0;  // where the search for the head's end goes on
  std::unique_ptr<TRequest> request_;
  std::string body_;  // the body, received into its final buffer
  size_t body_length_ = 0;
  long long charged_ = 0;  // taken from the body budget
  TRateFloor body_rate_;

  TOutputQueue out_;
  long long sent_ = 0;
  TRateFloor send_rate_;
  bool shut_ = false;  // our side is shut down after an early answer
  bool eof_ = false;
  size_t dropped_ = 0;  // bytes thrown away while lingering
  TLoopTime linger_deadline_;
  uint64_t empty_reads_ = 0;
};

}  // namespace nv
