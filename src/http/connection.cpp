#include "http/connection.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "http/file_stream.h"

namespace nv {

namespace {

// Bytes asked for in one read of a head, and of a body.
constexpr size_t kHeadChunk = 16 * 1024;
constexpr size_t kBodyChunk = 256 * 1024;
// Reads of one body in one turn, so that a fast upload does not starve the other connections.
constexpr int kBodyReadsPerTurn = 4;
// Bytes handed to the socket in one turn, for the same reason.
constexpr long long kSendPerTurn = 4 * 1024 * 1024;
// After an early answer (431, 413 ...) the unread rest of the request is drained for a short
// while: closing with unread input makes the kernel reset the connection, which can destroy the
// answer before the client reads it.
constexpr int kLingerMs = 500;
constexpr size_t kLingerBytes = 4 * 1024 * 1024;

bool WouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

std::string ErrorText(const char* what, int err) {
  return std::string(what) + ": " + std::strerror(err);
}

}  // namespace

bool TBodyBudget::Take(long long bytes) {
  if (bytes > small_ && used_ + bytes > limit_) return false;
  used_ += bytes;
  return true;
}

void TRateFloor::Start(TLoopTime now, int grace_ms, long long bytes_per_second, int window_ms) {
  window_ = std::chrono::milliseconds(std::max(window_ms, 1));
  window_end_ = now + std::chrono::milliseconds(grace_ms);
  window_quota_ = bytes_per_second * window_.count() / 1000;
  mark_ = -1;
}

bool TRateFloor::Holds(TLoopTime now, long long moved, long long left) {
  if (now < window_end_) return true;
  if (mark_ >= 0 && moved - mark_ < std::min(window_quota_, left_at_mark_)) return false;
  mark_ = moved;
  left_at_mark_ = left;
  window_end_ = now + window_;
  return true;
}

TConnection::TConnection(int fd, std::string remote, const THTTPLimits& limits, TBodyBudget& budget,
                         TLoopTime now)
    : fd_(fd),
      remote_(std::move(remote)),
      limits_(limits),
      budget_(budget),
      head_deadline_(now + std::chrono::milliseconds(limits.HeadDeadlineMs)),
      request_(std::make_unique<TRequest>()) {}

TConnection::~TConnection() { Close(); }

void TConnection::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  ReleaseBody();
}

void TConnection::ReleaseBody() {
  budget_.Give(charged_);
  charged_ = 0;
  request_.reset();
  std::string().swap(body_);
  std::string().swap(head_);
}

bool TConnection::WantsRead() const {
  switch (state_) {
    case TState::kHead:
    case TState::kBody:
      return true;
    case TState::kLingering:
      return !eof_ && dropped_ < kLingerBytes;
    default:
      return false;
  }
}

bool TConnection::WantsWrite() const {
  // A waiting request's pending bytes (a 100 Continue) go out with its answer.
  return !out_.Empty() && state_ != TState::kWaiting;
}

TStep TConnection::OnReadable(TLoopTime now) {
  switch (state_) {
    case TState::kHead:
      return ReadHead(now);
    case TState::kBody:
      return ReadBody();
    case TState::kLingering:
      return Linger();
    default:
      return TStep::kWait;
  }
}

TStep TConnection::OnWritable(TLoopTime now) {
  return state_ == TState::kWaiting ? TStep::kWait : Flush(now);
}

TStep TConnection::OnTimer(TLoopTime now) {
  switch (state_) {
    case TState::kHead:
      return now < head_deadline_ ? TStep::kWait : Fail("Client read timed out");
    case TState::kBody: {
      const long long got = static_cast<long long>(body_.size());
      const long long left = static_cast<long long>(body_length_) - got;
      return body_rate_.Holds(now, got, left) ? TStep::kWait : Fail("Client read timed out");
    }
    case TState::kAnswering:
      return SendRateHolds(now) ? TStep::kWait : Fail("Client write timed out");
    case TState::kLingering:
      if (!out_.Empty()) return SendRateHolds(now) ? TStep::kWait : Fail("Client write timed out");
      return now < linger_deadline_ ? TStep::kWait : TStep::kDone;
    default:
      return TStep::kWait;
  }
}

// The answer's rate counts what left the socket: the bytes handed to it less those still in
// its send queue (not yet acknowledged by the client). What was handed over says little: a
// send buffer of megabytes fills at once, and epoll reports it writable again only once a
// third of it has drained, so a slow but steady reader could see a whole window pass with
// nothing handed over. Looked at only when a window ends.
bool TConnection::SendRateHolds(TLoopTime now) {
  if (!send_rate_.Due(now)) return true;
  int queued = 0;
  if (ioctl(fd_, SIOCOUTQ, &queued) != 0 || queued < 0) queued = 0;
  return send_rate_.Holds(now, sent_ - queued, out_.Pending() + queued);
}

TStep TConnection::Fail(std::string message) {
  failure_ = std::move(message);
  return TStep::kFailed;
}

TStep TConnection::ReadHead(TLoopTime now) {
  while (true) {
    // Read beside the head, so that a connection that sends nothing holds no buffer.
    char chunk[kHeadChunk];
    ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0) {
      if (WouldBlock(errno)) {
        ++empty_reads_;
        return TStep::kWait;
      }
      return Fail(ErrorText("Client read failed", errno));
    }
    if (n == 0) {
      if (head_.empty()) return TStep::kDone;  // connected and left without a word
      return Fail("Client closed the connection inside the request head");
    }
    head_.append(chunk, static_cast<size_t>(n));
    size_t end = FindHeadEnd(head_, &head_scan_);
    if (end != std::string::npos) return StartBody(end, now);
    if (head_.size() > limits_.MaxHeadBytes) return EarlyAnswer(431, now);
    // A short read took all there was: waiting costs less than a read that finds nothing.
    if (static_cast<size_t>(n) < kHeadChunk) return TStep::kWait;
  }
}

TStep TConnection::StartBody(size_t head_end, TLoopTime now) {
  if (head_end > limits_.MaxHeadBytes) return EarlyAnswer(431, now);
  THeadInfo info = ParseRequestHead(std::string_view(head_).substr(0, head_end), *request_);
  if (info.Status == 0 && (info.ContentLength < 0 || info.ContentLength > limits_.MaxBodyBytes)) {
    info.Status = 413;
  }
  if (info.Status != 0) return EarlyAnswer(info.Status, now);
  if (!budget_.Take(info.ContentLength)) return EarlyAnswer(503, now);
  charged_ = info.ContentLength;
  body_length_ = static_cast<size_t>(info.ContentLength);
  body_.reserve(body_length_);
  // Bytes beyond the announced body belong to no request.
  body_.append(head_, head_end, std::min(head_.size() - head_end, body_length_));
  std::string().swap(head_);
  if (body_.size() == body_length_) return Complete();
  state_ = TState::kBody;
  body_rate_.Start(now, limits_.BodyGraceMs, limits_.MinBodyBytesPerSecond, limits_.RateWindowMs);
  if (info.ExpectContinue) {
    out_.Append("HTTP/1.1 100 Continue\r\n\r\n");
    send_rate_.Start(now, limits_.SendGraceMs, limits_.MinSendBytesPerSecond, limits_.RateWindowMs);
    if (TStep step = Flush(now); step != TStep::kWait) return step;
  }
  return ReadBody();
}

TStep TConnection::ReadBody() {
  for (int i = 0; i < kBodyReadsPerTurn; ++i) {
    const size_t old = body_.size();
    const size_t want = std::min(body_length_ - old, kBodyChunk);
    body_.resize(old + want);  // within the reserved buffer: no copy
    ssize_t n = recv(fd_, body_.data() + old, want, 0);
    body_.resize(old + (n > 0 ? static_cast<size_t>(n) : 0));
    if (n < 0) {
      if (WouldBlock(errno)) {
        ++empty_reads_;
        return TStep::kWait;
      }
      return Fail(ErrorText("Client read failed", errno));
    }
    if (n == 0) return Fail("Client closed the connection inside the request body");
    if (body_.size() == body_length_) return Complete();
    if (static_cast<size_t>(n) < want) return TStep::kWait;
  }
  return TStep::kWait;
}

TStep TConnection::Complete() {
  // The posted fields are parsed when the handler first reads them.
  request_->Content = std::move(body_);
  request_->RemoteAddress = remote_;
  state_ = TState::kWaiting;
  return TStep::kRequest;
}

void TConnection::Attach(TResponse& resp) {
  resp.SetOutput([this](std::string bytes) { out_.Append(std::move(bytes)); });
  resp.SetFileOutput([this](std::shared_ptr<TSharedFile> file, long long length) {
    out_.AppendFile(std::move(file), length);
  });
}

TStep TConnection::Answer(TLoopTime now) {
  ReleaseBody();
  state_ = TState::kAnswering;
  send_rate_.Start(now, limits_.SendGraceMs, limits_.MinSendBytesPerSecond, limits_.RateWindowMs);
  return Flush(now);
}

TStep TConnection::EarlyAnswer(int code, TLoopTime now) {
  ReleaseBody();
  state_ = TState::kLingering;
  TResponse resp;
  resp.Code = code;
  resp.CodeText = std::string(ReasonPhrase(code));
  Attach(resp);
  resp.SendContent();
  send_rate_.Start(now, limits_.SendGraceMs, limits_.MinSendBytesPerSecond, limits_.RateWindowMs);
  return Flush(now);
}

TStep TConnection::Flush(TLoopTime now) {
  try {
    sent_ += out_.Send(fd_, kSendPerTurn);
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
  if (!out_.Empty()) return TStep::kWait;
  if (state_ == TState::kAnswering) return TStep::kDone;
  if (state_ == TState::kLingering && !shut_) {
    shut_ = true;
    shutdown(fd_, SHUT_WR);
    linger_deadline_ = now + std::chrono::milliseconds(kLingerMs);
    if (eof_ || dropped_ >= kLingerBytes) return TStep::kDone;
  }
  return TStep::kWait;
}

TStep TConnection::Linger() {
  char scrap[16 * 1024];
  ssize_t n = recv(fd_, scrap, sizeof scrap, 0);
  if (n < 0 && WouldBlock(errno)) return TStep::kWait;
  if (n <= 0) {
    eof_ = true;  // the end, or a reset: nothing more to drop either way
  } else {
    dropped_ += static_cast<size_t>(n);
  }
  if (WantsRead() || !out_.Empty()) return TStep::kWait;
  return TStep::kDone;
}

}  // namespace nv
