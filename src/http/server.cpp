// The server loop: one thread, every connection at once over epoll and non-blocking sockets.
// Reading and writing never wait on one client; handlers run one at a time, each request in
// its turn, and their answers go out while the loop goes on with the others.
#include "http/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <list>
#include <stdexcept>
#include <thread>

#include "http/connection.h"
#include "http/static_files.h"

namespace nv {

THTTPApplication Application;

namespace {

using SteadyClock = std::chrono::steady_clock;

// The clock's resolution for the limits, and how soon Terminate() is noticed.
constexpr int kSweepMs = 100;
constexpr int kMaxEvents = 256;
// Descriptors kept for everything but the sockets: databases, the log, files being sent.
constexpr long long kSpareDescriptors = 64;
// The kernel cuts a listen() backlog to the value in this file: asking for it asks for the most.
constexpr char kSomaxconnFile[] = "/proc/sys/net/core/somaxconn";

void Count(std::atomic<uint64_t>& counter) { counter.fetch_add(1, std::memory_order_relaxed); }

std::string ErrorText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

void ResetForFailure(TResponse& resp) {
  resp.Code = 500;
  resp.CodeText = "Internal Server Error";
  resp.ClearContent();
  resp.ContentStream = nullptr;
  resp.ContentLength = 0;
  resp.CustomHeaders.Clear();
}

int ListenBacklog() {
  long long value = 0;
  std::ifstream in(kSomaxconnFile);
  if (!(in >> value) || value < SOMAXCONN) return SOMAXCONN;
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

// Every connection is a descriptor: the soft limit goes up to the hard one. Returns the limit.
long long RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? (1LL << 20) : static_cast<long long>(limit.rlim_cur);
}

class TServerLoop {
 public:
  TServerLoop(THTTPApplication& app, int listener, const std::atomic<bool>& stop)
      : app_(app),
        limits_(app.Limits),
        listener_(listener),
        stop_(stop),
        budget_(limits_.BodyBudgetBytes, limits_.SmallBodyBytes) {
    // A connection may hold a socket and a file being sent.
    long long room = (RaiseDescriptorLimit() - kSpareDescriptors) / 2;
    max_connections_ = static_cast<size_t>(room < 1 ? 1 : room);
    if (limits_.MaxConnections < max_connections_) max_connections_ = limits_.MaxConnections;
  }
  ~TServerLoop() {
    ready_.clear();
    entries_.clear();
    if (epoll_ >= 0) close(epoll_);
  }

  void Run() {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) {
      app_.Report(ErrorText("Cannot create the event queue"));
      return;
    }
    WatchListener(true);
    last_sweep_ = SteadyClock::now();
    while (!stop_) {
      if (!Turn(ready_.empty() ? kSweepMs : 0)) return;
      HandleNext();
    }
  }

 private:
  struct Entry {
    Entry(int fd, std::string remote, const THTTPLimits& limits, TBodyBudget& budget, TLoopTime now)
        : conn(fd, std::move(remote), limits, budget, now), fd(fd) {}
    TConnection conn;
    int fd;
    uint32_t watched = 0;  // events registered with epoll; 0: not registered
    bool closed = false;
    bool idle = false;         // in idle_, still reading its head
    bool runs_beside = false;  // its request's handler may run while another one pauses
    std::list<Entry>::iterator self;
    std::list<Entry*>::iterator idle_at;
  };

  // The loop's clock stands still while a handler runs (nobody is served meanwhile), and runs
  // again while a handler's pause turns the loop.
  TLoopTime Now() const {
    return (clock_stopped_ ? stopped_at_ : SteadyClock::now()) - handler_time_;
  }
  void StopClock() {
    stopped_at_ = SteadyClock::now();
    clock_stopped_ = true;
  }
  void StartClock() {
    handler_time_ += SteadyClock::now() - stopped_at_;
    clock_stopped_ = false;
  }

  // One turn of the loop: waits for the sockets at most wait_ms, serves what they have, and
  // holds every connection to its limits when it is time. False when the sockets cannot be
  // waited for.
  bool Turn(int wait_ms) {
    epoll_event events[kMaxEvents];
    int n = epoll_wait(epoll_, events, kMaxEvents, wait_ms);
    if (n < 0 && errno != EINTR) {
      app_.Report(ErrorText("Waiting for the sockets failed"));
      return false;
    }
    // A connection that waits to be accepted may hold a request that became complete before
    // the bytes the open connections bring in this turn: it is taken first.
    for (int i = 0; i < n; ++i) {
      if (events[i].data.ptr == nullptr) Accept();
    }
    for (int i = 0; i < n; ++i) {
      if (events[i].data.ptr != nullptr) OnEvent(events[i]);
    }
    Bury();
    if (SteadyClock::now() - last_sweep_ >= std::chrono::milliseconds(kSweepMs)) {
      last_sweep_ = SteadyClock::now();
      Sweep();
      Bury();
    }
    return true;
  }

  void WatchListener(bool on) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = nullptr;
    epoll_ctl(epoll_, on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, listener_, &ev);
    listening_ = on;
  }

  void OnEvent(const epoll_event& ev) {
    Entry& e = *static_cast<Entry*>(ev.data.ptr);
    if (e.closed) return;
    const uint32_t broken = EPOLLERR | EPOLLHUP;
    const uint32_t wanted = Wanted(e);
    if ((ev.events & (EPOLLIN | broken)) && (wanted & EPOLLIN)) {
      Apply(e, e.conn.OnReadable(Now()));
      if (e.closed) return;
    }
    if ((ev.events & (EPOLLOUT | broken)) && e.conn.WantsWrite()) {
      Apply(e, e.conn.OnWritable(Now()));
      if (e.closed) return;
    }
    // An event the connection had no use for (bytes or an end behind a complete request): the
    // registration narrows to what it waits for, so that the event does not come again.
    if ((ev.events & (EPOLLIN | EPOLLOUT) & ~wanted) != 0 || (wanted == 0 && (ev.events & broken)))
      SetWatch(e, Wanted(e));
  }

  // One connection per report of the listener: while more wait, epoll reports it again in the
  // next turn, so the connections already open are served between any two accepts however
  // many clients connect at once, and no accept is made only to find the queue empty.
  void Accept() {
    sockaddr_in peer{};
    int fd = -1;
    while (true) {
      socklen_t peer_len = sizeof peer;
      fd = accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &peer_len,
                   SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd >= 0) break;
      Count(app_.Counts.EmptyAccepts);
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors: make room, or stop accepting until the next sweep instead of
        // spinning on a listener that stays readable.
        if (DropOldestIdle()) continue;
        WatchListener(false);
      }
      return;  // EAGAIN: another turn took it, or the client is gone
    }
    if (open_ >= max_connections_ && !DropOldestIdle()) {
      close(fd);
      app_.Report("Too many open connections: a new one was refused");
      return;
    }
    char ip[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
    Count(app_.Counts.Accepted);
    Entry& e = entries_.emplace_back(fd, ip, limits_, budget_, Now());
    e.self = std::prev(entries_.end());
    ++open_;
    e.idle = true;
    e.idle_at = idle_.insert(idle_.end(), &e);
    // Most requests are there already: read before asking epoll, which then hears of the
    // connection only when it must wait.
    Apply(e, e.conn.OnReadable(Now()));
  }

  // Runs the handler of the first complete request; false when there is none.
  bool HandleNext() {
    if (ready_.empty()) return false;
    Entry& e = *ready_.front();
    ready_.pop_front();
    if (e.runs_beside) --beside_ready_;
    Handle(e);
    Bury();
    return true;
  }

  bool DropOldestIdle() {
    if (idle_.empty()) return false;
    Close(*idle_.front(), "Too many open connections: the oldest idle one was closed");
    return true;
  }

  void Apply(Entry& e, TStep step) {
    if (e.idle && e.conn.State() != TConnection::TState::kHead) {
      idle_.erase(e.idle_at);
      e.idle = false;
    }
    switch (step) {
      case TStep::kDone:
        return Close(e, "");
      case TStep::kFailed:
        return Close(e, e.conn.Failure());
      case TStep::kRequest:
        e.runs_beside = app_.HTTPRouter.RunsBeside(e.conn.Request().PathInfo);
        if (e.runs_beside) ++beside_ready_;
        ready_.push_back(&e);
        [[fallthrough]];
      case TStep::kWait:
        Watch(e);
        return;
    }
  }

  static uint32_t Wanted(const Entry& e) {
    return (e.conn.WantsRead() ? EPOLLIN : 0u) | (e.conn.WantsWrite() ? EPOLLOUT : 0u);
  }

  // Registers what e waits for. A registration wider than that stays: a request that became
  // complete keeps its read interest, which costs nothing while the client keeps quiet, until
  // an event shows it in the way (OnEvent). So a connection reaches epoll only when it must
  // wait, and never when its request came whole with the accept and its answer fit the socket.
  void Watch(Entry& e) {
    if ((Wanted(e) & ~e.watched) != 0) SetWatch(e, Wanted(e));
  }

  void SetWatch(Entry& e, uint32_t want) {
    if (want == e.watched) return;
    epoll_event ev{};
    ev.events = want;
    ev.data.ptr = &e;
    int op = want == 0 ? EPOLL_CTL_DEL : e.watched == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    Count(app_.Counts.Watches);
    if (epoll_ctl(epoll_, op, e.fd, &ev) != 0 && want != 0) {
      return Close(e, ErrorText("Cannot watch a connection"));
    }
    e.watched = want;
  }

  // Closed at once (the descriptor may be reused by the next accept); freed after the batch of
  // events, which may still name it.
  void Close(Entry& e, const std::string& report) {
    if (e.closed) return;
    if (!report.empty()) app_.Report(report);
    if (e.idle) idle_.erase(e.idle_at);
    e.idle = false;
    e.closed = true;
    app_.Counts.EmptyReads.fetch_add(e.conn.EmptyReads(), std::memory_order_relaxed);
    e.conn.Close();
    --open_;
    graveyard_.push_back(e.self);
  }

  void Bury() {
    for (auto it : graveyard_) entries_.erase(it);
    graveyard_.clear();
  }

  void Sweep() {
    if (!listening_) WatchListener(true);
    const TLoopTime now = Now();
    for (Entry& e : entries_) {
      if (!e.closed) Apply(e, e.conn.OnTimer(now));
    }
  }

  // Runs the handler of e's request, alone on the thread; its answer starts to go out. The
  // request's pause turns the loop. e stays as it is until the handler returns: a waiting
  // request is watched for nothing and has no deadline, so no turn can close it.
  void Handle(Entry& e) {
    TRequest& req = e.conn.Request();
    req.Pause = [this](int ms) { TurnFor(ms); };
    StopClock();
    {
      TResponse resp;
      e.conn.Attach(resp);
      try {
        app_.HandleRequest(req, resp);
      } catch (const std::exception& ex) {
        app_.Report(ex.what());
      } catch (...) {
        app_.Report("Unknown exception");
      }
    }
    StartClock();
    Apply(e, e.conn.Answer(Now()));
  }

  // A handler's pause of ms milliseconds: the loop goes on reading and writing every connection
  // and accepting new ones, and runs the handlers that may run beside the paused one (static
  // files) in their order. Every other request keeps its place in the queue: handlers that may
  // touch what the paused one holds still run one at a time, in order.
  void TurnFor(int ms) {
    const SteadyClock::time_point until = SteadyClock::now() + std::chrono::milliseconds(ms);
    StartClock();
    while (true) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - SteadyClock::now());
      if (left.count() <= 0) break;
      const int wait =
          beside_ready_ > 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), kSweepMs));
      if (!Turn(wait)) {
        std::this_thread::sleep_until(until);  // the pause keeps its length
        break;
      }
      if (Entry* e = TakeBeside()) {
        Handle(*e);
        Bury();
      }
    }
    StopClock();
  }

  // The first queued request whose handler may run beside a paused one, out of the queue.
  Entry* TakeBeside() {
    if (beside_ready_ == 0) return nullptr;
    for (auto it = ready_.begin(); it != ready_.end(); ++it) {
      if ((*it)->runs_beside) {
        Entry* e = *it;
        ready_.erase(it);
        --beside_ready_;
        return e;
      }
    }
    return nullptr;
  }

  THTTPApplication& app_;
  const THTTPLimits& limits_;  // read as they are used
  int listener_;
  const std::atomic<bool>& stop_;
  int epoll_ = -1;
  bool listening_ = false;
  size_t max_connections_ = 0;
  size_t open_ = 0;
  TBodyBudget budget_;
  SteadyClock::duration handler_time_{0};  // the loop's clock stood still this long
  bool clock_stopped_ = false;
  SteadyClock::time_point stopped_at_;
  SteadyClock::time_point last_sweep_;
  size_t beside_ready_ = 0;   // queued requests that may run beside a paused handler
  std::list<Entry> entries_;  // in accept order
  std::list<Entry*> idle_;    // those still reading their head, in accept order
  std::deque<Entry*> ready_;  // complete requests, in the order they became complete
  std::vector<std::list<Entry>::iterator> graveyard_;
};

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
  } catch (const TRequestRefused& refused) {
    // The request itself is at fault (its body does not parse, or posts too much): the client
    // gets the status and the reason, not the application's error page.
    if (resp.ContentSent()) return Report(refused.what());
    ResetForFailure(resp);
    resp.Code = refused.Status();
    resp.CodeText = std::string(ReasonPhrase(refused.Status()));
    resp.Contents.Add(refused.what());
    resp.SendContent();
    return;
  } catch (const std::exception& e) {
    failed(e);
    return;
  } catch (...) {
    failed(std::runtime_error("Unknown exception"));
    return;
  }
  if (!resp.ContentSent()) resp.SendContent();
}

void THTTPApplication::Run() {
  Initialize();
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
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
  // A burst of clients waits in the kernel's queue instead of being refused.
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener, ListenBacklog()) != 0) {
    Report(ErrorText(("Cannot listen on port " + std::to_string(Port)).c_str()));
    close(listener);
    return;
  }
  socklen_t len = sizeof addr;
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  bound_port_ = ntohs(addr.sin_port);
  {
    TServerLoop loop(*this, listener, terminated_);
    loop.Run();
  }
  close(listener);
  bound_port_ = 0;
  terminated_ = false;
}

}  // namespace nv
