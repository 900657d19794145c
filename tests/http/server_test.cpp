// The server over real sockets: exact bytes on the wire, and clients that misbehave.
#include "http/server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>

#include "http/file_stream.h"
#include "http/request.h"
#include "http/response.h"
#include "support/http_client.h"
#include "support/server_thread.h"
#include "support/temp_dir.h"

using namespace nv;
using nv::test::Client;
using nv::test::Exchange;
using nv::test::RunningServer;
using nv::test::TempDir;

namespace {

using Clock = std::chrono::steady_clock;

std::string Body(const std::string& wire) {
  size_t end = wire.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : wire.substr(end + 4);
}

long long MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

const char kHello[] = "GET /hello HTTP/1.1\r\nHost: x\r\n\r\n";
const char kHelloAnswer[] =
    "HTTP/1.1 200 OK\r\nStatus: 200 OK\r\nContent-Length: 7\r\n"
    "Content-Type: text/html; charset=UTF-8\r\nConnection: close\r\n\r\nhello\r\n";

// Limits short enough for a test to see them act.
void ShortLimits(THTTPLimits& limits) {
  limits.HeadDeadlineMs = 300;
  limits.BodyGraceMs = 300;
  limits.SendGraceMs = 300;
  limits.RateWindowMs = 300;
}

class Server : public ::testing::Test {
 protected:
  Server() {
    ShortLimits(app_.Limits);
    app_.HTTPRouter.RegisterRoute(
        "/hello", [](TRequest&, TResponse& resp) { resp.Contents.Add("hello"); }, false);
    app_.HTTPRouter.RegisterRoute(
        "/",
        [this](TRequest& req, TResponse& resp) {
          resp.Contents.Add("posted " + std::to_string(req.ContentFields().GetCount()));
          last_ = std::move(req);
        },
        true);
    app_.HTTPRouter.RegisterRoute(
        "/challenge",
        [](TRequest&, TResponse& resp) {
          resp.Code = 401;
          resp.CustomHeaders.SetValue("WWW-Authenticate", "Basic realm=\"SECRET AREA\"");
          resp.CustomHeaders.SetValue("Connection", "close");
        },
        false);
    server_ = std::make_unique<RunningServer>(app_);  // routes first: Run reads them
  }
  uint16_t port() const { return server_->port(); }
  // The server still answers a well-behaved client, promptly.
  void ExpectServed() {
    Clock::time_point t = Clock::now();
    EXPECT_EQ(Exchange(port(), kHello), kHelloAnswer);
    EXPECT_LT(MsSince(t), 3000);
  }

  THTTPApplication app_;
  TRequest last_;
  std::unique_ptr<RunningServer> server_;
};

}  // namespace

TEST_F(Server, ExactBytesOfAnAnswerAndOfTheChallenge) {
  EXPECT_EQ(Exchange(port(), kHello), kHelloAnswer);
  EXPECT_EQ(Exchange(port(), "GET /challenge HTTP/1.1\r\n\r\n"),
            "HTTP/1.1 401 Unauthorized\r\n"
            "Status: 401 OK\r\n"
            "Content-Length: 0\r\n"
            "Content-Type: text/html; charset=UTF-8\r\n"
            "WWW-Authenticate: Basic realm=\"SECRET AREA\"\r\n"
            "Connection: close\r\n"
            "\r\n");
}

TEST_F(Server, ReadsTheBodyByContentLengthAndKnowsTheClient) {
  Client c(port());
  c.Send("POST /x?q=1 HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n");
  c.Send("Content-Length: 7\r\n\r\na=1");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the body comes in pieces
  c.Send("&b=2");
  EXPECT_EQ(c.ReadAll().substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_TRUE(c.closed());  // one request per connection
  EXPECT_EQ(last_.RemoteAddress, "127.0.0.1");
  EXPECT_EQ(last_.URL, "/x?q=1");
  EXPECT_EQ(last_.ContentFields().Items(), (std::vector<std::string>{"a=1", "b=2"}));
}

TEST_F(Server, AnswersExpectContinueBeforeTheBody) {
  Client c(port());
  c.Send("POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\n");
  std::string interim = c.ReadAll(200);
  EXPECT_EQ(interim, "HTTP/1.1 100 Continue\r\n\r\n");
  c.Send("abc");
  EXPECT_EQ(c.ReadAll().substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_EQ(last_.Content, "abc");
}

TEST(ServerFiles, StreamsALargeFileWhole) {
  TempDir dir;
  std::string bytes(3 * 1024 * 1024 + 17, '\0');
  std::mt19937 rng(7);
  for (char& b : bytes) b = static_cast<char>(rng());
  dir.Write("big.bin", bytes);
  THTTPApplication app;
  app.RegisterFileLocation("files", dir.path());
  RunningServer server(app);
  std::string wire = Exchange(server.port(), "GET /files/big.bin HTTP/1.1\r\n\r\n");
  const std::string head =
      "HTTP/1.1 200 OK\r\nStatus: 200 OK\r\nContent-Length: 3145745\r\n"
      "Content-Type: Application/octet-stream\r\nConnection: close\r\n\r\n";
  ASSERT_EQ(wire.size(), head.size() + bytes.size());
  EXPECT_TRUE(wire == head + bytes);
}

// Handlers run one at a time, in the order in which their requests became complete, however
// the clients interleave: a client that connected first but finishes its head last comes last.
TEST(ServerOrder, HandlersRunOneAtATimeInTheOrderRequestsComplete) {
  THTTPApplication app;
  std::vector<std::string> journal;  // written by the server's thread only
  bool busy = false;
  app.HTTPRouter.RegisterRoute(
      "/work",
      [&](TRequest& req, TResponse& resp) {
        journal.push_back((busy ? "overlap " : "start ") + req.Query);
        busy = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        busy = false;
        journal.push_back("end " + req.Query);
        resp.Contents.Add(req.Query);
      },
      false);
  RunningServer server(app);
  Client a(server.port());
  a.Send("GET /work?a HTTP/1.1\r\n");
  Client b(server.port());
  b.Send("GET /work?b HTTP/1.1\r\n\r\n");
  Client c(server.port());
  c.Send("GET /work?c HTTP/1.1\r\n\r\n");
  EXPECT_EQ(b.ReadAll().substr(0, 15), "HTTP/1.1 200 OK");
  a.Send("\r\n");  // complete only now, while c waits for its turn or runs
  for (Client* client : {&a, &c}) EXPECT_EQ(client->ReadAll().substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_EQ(journal,
            (std::vector<std::string>{"start b", "end b", "start c", "end c", "start a", "end a"}));
}

// A handler's pause turns the loop: a download goes on, a file is served, the loop's clock runs
// (a client that sends nothing is dropped by its deadline), while the next handler waits for
// the paused one to end.
TEST(ServerPause, APauseServesTheOthersWhileHandlersWaitTheirTurn) {
  testing::internal::CaptureStderr();
  TempDir dir;
  const size_t big = 32 * 1024 * 1024;
  dir.Write("big.bin", std::string(big, 'b'));
  dir.Write("small.txt", "small");
  THTTPApplication app;
  app.Limits.HeadDeadlineMs = 300;
  app.RegisterFileLocation("files", dir.path());
  std::atomic<bool> paused{false};
  std::atomic<bool> release{false};
  std::atomic<bool> overlap{false};
  app.HTTPRouter.RegisterRoute(
      "/page",
      [&](TRequest& req, TResponse& resp) {
        paused = true;
        // Paused until the test has seen everything, however slow the machine: at most 20 s.
        for (int i = 0; i < 100 && !release; ++i) req.Pause(200);
        paused = false;
        resp.Contents.Add("page");
      },
      false);
  app.HTTPRouter.RegisterRoute(
      "/next",
      [&](TRequest&, TResponse& resp) {
        if (paused) overlap = true;
        resp.Contents.Add("next");
      },
      false);
  RunningServer server(app);

  Client download(server.port());
  download.Send("GET /files/big.bin HTTP/1.1\r\n\r\n");
  std::string got = download.ReadSome(1024 * 1024);
  ASSERT_EQ(got.size(), 1024u * 1024);
  Client page(server.port());
  page.Send("GET /page HTTP/1.1\r\n\r\n");
  for (int i = 0; i < 200 && !paused; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(paused);
  Client next(server.port());
  next.Send("GET /next HTTP/1.1\r\n\r\n");
  Client idle(server.port());

  Clock::time_point t = Clock::now();
  EXPECT_EQ(Body(Exchange(server.port(), "GET /files/small.txt HTTP/1.1\r\n\r\n")), "small");
  EXPECT_LT(MsSince(t), 1000);
  EXPECT_EQ(idle.ReadAll(2000), "");
  EXPECT_TRUE(idle.closed());
  got += download.ReadAll();
  EXPECT_TRUE(download.closed());
  EXPECT_EQ(Body(got).size(), big);
  EXPECT_TRUE(paused) << "all of that while the page was paused";
  release = true;

  EXPECT_EQ(Body(page.ReadAll()), "page\r\n");
  EXPECT_EQ(Body(next.ReadAll()), "next\r\n");
  EXPECT_FALSE(overlap);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Client read timed out"),
            std::string::npos);
}

TEST_F(Server, OversizedHeadIsRefusedWith431) {
  Client c(port());
  c.Send("GET / HTTP/1.1\r\nX-Big: " + std::string(70 * 1024, 'a'));
  std::string answer = c.ReadAll();
  EXPECT_EQ(answer.substr(0, answer.find("\r\n")), "HTTP/1.1 431 Request Header Fields Too Large");
  EXPECT_TRUE(c.closed());
  ExpectServed();
}

TEST_F(Server, OversizedBodyIsRefusedWith413BeforeItIsRead) {
  app_.Limits.MaxBodyBytes = 1000;
  const struct {
    const char* length;
    size_t sent;
    const char* status;
  } cases[] = {
      {"1000", 1000, "HTTP/1.1 200 OK"},  // exactly the limit
      {"1001", 1001, "HTTP/1.1 413 Payload Too Large"},
      {"99999999999999999999999", 1001, "HTTP/1.1 413 Payload Too Large"},
  };
  for (const auto& c : cases) {
    Client client(port());
    client.Send(std::string("POST / HTTP/1.1\r\nContent-Length: ") + c.length + "\r\n\r\n");
    client.Send(std::string(c.sent, 'x'));
    std::string answer = client.ReadAll();
    EXPECT_EQ(answer.substr(0, answer.find("\r\n")), c.status) << c.length;
  }
  app_.Limits.MaxBodyBytes = 256LL * 1024 * 1024;
  Client c(port());
  c.Send("POST / HTTP/1.1\r\nContent-Length: 268435457\r\n\r\n");  // one byte over the default
  EXPECT_EQ(c.ReadAll().substr(0, 12), "HTTP/1.1 413");
  ExpectServed();
}

TEST_F(Server, MalformedAndGarbageRequestsGet400) {
  std::mt19937 rng(11);
  for (int round = 0; round < 5; ++round) {
    std::string junk(512, '\0');
    for (char& b : junk) b = static_cast<char>(rng());
    std::string answer = Exchange(port(), junk + "\r\n\r\n");
    // Random bytes may happen to contain an empty line early, or none at all before the end.
    EXPECT_TRUE(answer.rfind("HTTP/1.1 400 Bad Request\r\n", 0) == 0) << round;
  }
  EXPECT_EQ(Exchange(port(), "GET / HTTP/1.1\r\nContent-Length: x\r\n\r\n").substr(0, 12),
            "HTTP/1.1 400");
  EXPECT_EQ(Exchange(port(), "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n").substr(0, 12),
            "HTTP/1.1 501");
  ExpectServed();
}

TEST_F(Server, StalledClientsAreDroppedAfterTheTimeOutAndOthersServed) {
  testing::internal::CaptureStderr();
  struct Case {
    const char* what;
    std::string bytes;
  };
  const Case cases[] = {
      {"half a request line", "GET /hel"},
      {"head without its empty line", "GET / HTTP/1.1\r\nHost: x\r\n"},
      {"body shorter than announced", "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc"},
      {"binary garbage", std::string("\x00\xff\x13\x10\x80", 5)},
      {"nothing at all", ""},
  };
  for (const Case& c : cases) {
    Clock::time_point t = Clock::now();
    Client stalled(port());
    stalled.Send(c.bytes);
    // Waiting behind the stalled one: served once its time-out has passed.
    Client next(port());
    next.Send(kHello);
    EXPECT_EQ(next.ReadAll(), kHelloAnswer) << c.what;
    EXPECT_LT(MsSince(t), 3000) << c.what;
    EXPECT_EQ(stalled.ReadAll(1000), "") << c.what;  // dropped without an answer
    EXPECT_TRUE(stalled.closed()) << c.what;
  }
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Client read timed out"),
            std::string::npos);
}

TEST_F(Server, ABodyBelowTheMinimumRateIsDroppedAndOneAboveItServed) {
  testing::internal::CaptureStderr();
  const std::string head = "POST / HTTP/1.1\r\nContent-Length: 100000\r\n\r\n";
  Client slow(port());
  Client fast(port());
  slow.Send(head);
  fast.Send(head);
  for (int i = 0; i < 25; ++i) {  // 2 KB/s and 80 KB/s, against a floor of 8 KiB/s
    slow.Send(std::string(100, 's'));
    fast.Send(std::string(4000, 'f'));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(fast.ReadAll().substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_EQ(slow.ReadAll(), "");
  EXPECT_TRUE(slow.closed());
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Client read timed out"),
            std::string::npos);
}

TEST_F(Server, ClientsThatLeaveEarlyCostNothing) {
  testing::internal::CaptureStderr();
  {
    Client gone(port());
    gone.Send("POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\nabc");
  }  // closed mid-body
  { Client probe(port()); }
  ExpectServed();
  testing::internal::GetCapturedStderr();
}

// Bodies held at once have a budget: a large one beyond it is refused at its head, small ones
// always pass, and the budget comes back when a request is done.
TEST(ServerLimits, ALargeBodyBeyondTheBudgetGets503) {
  THTTPApplication app;
  app.Limits.BodyBudgetBytes = 100000;
  app.Limits.SmallBodyBytes = 1000;
  app.HTTPRouter.RegisterRoute(
      "/", [](TRequest& req, TResponse& resp) { resp.Contents.Add(req.Content.substr(0, 1)); },
      true);
  RunningServer server(app);
  auto post = [](char c, size_t size) {
    return "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n" +
           std::string(size, c);
  };
  auto status = [](const std::string& answer) { return answer.substr(0, answer.find("\r\n")); };
  Client holder(server.port());
  std::string held = post('h', 80000);
  holder.Send(held.substr(0, held.size() / 2));
  EXPECT_EQ(Body(Exchange(server.port(), post('s', 1000))), "s\r\n");
  EXPECT_EQ(status(Exchange(server.port(), post('l', 30000))), "HTTP/1.1 503 Service Unavailable");
  holder.Send(held.substr(held.size() / 2));
  EXPECT_EQ(Body(holder.ReadAll()), "h\r\n");
  EXPECT_EQ(Body(Exchange(server.port(), post('l', 30000))), "l\r\n");
}

// Beyond the cap the oldest connection that is still sending its head makes room; when every
// connection is busy, the new one is refused.
TEST(ServerLimits, BeyondTheCapTheOldestIdleConnectionIsClosed) {
  testing::internal::CaptureStderr();
  THTTPApplication app;
  app.Limits.MaxConnections = 3;
  app.HTTPRouter.RegisterRoute(
      "/hello", [](TRequest&, TResponse& resp) { resp.Contents.Add("hello"); }, false);
  RunningServer server(app);
  Client oldest(server.port());
  Client younger(server.port());
  younger.Send("GET /hel");
  Client body(server.port());
  body.Send("POST /hello HTTP/1.1\r\nContent-Length: 10\r\n\r\nab");
  EXPECT_EQ(Exchange(server.port(), kHello), kHelloAnswer);
  EXPECT_EQ(oldest.ReadAll(1000), "");
  EXPECT_TRUE(oldest.closed());
  younger.ReadAll(1);
  EXPECT_FALSE(younger.closed());
  Client busy1(server.port());
  busy1.Send("POST /hello HTTP/1.1\r\nContent-Length: 10\r\n\r\nab");
  Client busy2(server.port());  // takes the younger one's place
  busy2.Send("POST /hello HTTP/1.1\r\nContent-Length: 10\r\n\r\nab");
  EXPECT_EQ(younger.ReadAll(1000), "");
  EXPECT_TRUE(younger.closed());
  EXPECT_EQ(Exchange(server.port(), kHello), "");  // nobody left to make room
  body.Send("cdefghij");
  EXPECT_EQ(Body(body.ReadAll()), "hello\r\n");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Too many open connections"),
            std::string::npos);
}

TEST(ServerPort, PortInUseIsReportedAndRunReturns) {
  THTTPApplication first;
  RunningServer running(first);
  THTTPApplication second;
  second.Title = "Norvane";
  second.Port = running.port();
  testing::internal::CaptureStderr();
  Clock::time_point t = Clock::now();
  second.Run();
  EXPECT_LT(MsSince(t), 1000);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Norvane: Cannot listen on port " + std::to_string(running.port())),
            std::string::npos)
      << err;
}

TEST(ServerPort, TerminateBeforeRunMakesRunReturn) {
  THTTPApplication app;
  app.Port = 0;
  app.Terminate();
  app.Run();  // must not block
  SUCCEED();
}

// A file shorter than its announced length ends the connection where the file ends: the client
// must not take later bytes for the rest of the body.
TEST(ServerFiles, AFileShorterThanAnnouncedEndsTheConnection) {
  testing::internal::CaptureStderr();
  TempDir dir;
  dir.Write("short.bin", "12345");
  THTTPApplication app;
  app.HTTPRouter.RegisterRoute(
      "/short",
      [&](TRequest&, TResponse& resp) {
        TFileStream in(dir.file("short.bin"));
        resp.ContentStream = &in;
        resp.ContentLength = 10;
        resp.SendContent();
      },
      false);
  RunningServer server(app);
  std::string wire = Exchange(server.port(), "GET /short HTTP/1.1\r\n\r\n");
  EXPECT_NE(wire.find("Content-Length: 10\r\n"), std::string::npos);
  EXPECT_EQ(Body(wire), "12345");
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "HTTP response stream ended before its Content-Length"),
            std::string::npos);
}

TEST(ServerFiles, ClientThatStopsReadingIsDropped) {
  testing::internal::CaptureStderr();
  TempDir dir;
  dir.Write("big.bin", std::string(64 * 1024 * 1024, 'x'));
  THTTPApplication app;
  ShortLimits(app.Limits);
  app.RegisterFileLocation("files", dir.path());
  app.HTTPRouter.RegisterRoute(
      "/hello", [](TRequest&, TResponse& resp) { resp.Contents.Add("hello"); }, false);
  RunningServer server(app);
  Client reader(server.port());
  reader.Send("GET /files/big.bin HTTP/1.1\r\n\r\n");  // and never reads
  Clock::time_point t = Clock::now();
  EXPECT_EQ(Exchange(server.port(), kHello), kHelloAnswer);
  EXPECT_LT(MsSince(t), 3000);
  // Past the grace and one window without progress the server gives up on it: the reader then
  // finds only what the kernel had buffered, and the end.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  std::string got = reader.ReadAll();
  EXPECT_TRUE(reader.closed());
  EXPECT_LT(got.size(), 64u * 1024 * 1024);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Client write timed out"),
            std::string::npos);
}

namespace {

// A route that holds the loop until the test lets it go, so that clients can connect and send
// meanwhile and find the server exactly as a busy one would.
struct Hold {
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
  void Register(THTTPApplication& app) {
    app.HTTPRouter.RegisterRoute(
        "/hold",
        [this](TRequest&, TResponse& resp) {
          entered = true;
          for (int i = 0; i < 1000 && !release; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
          resp.Contents.Add("held");
        },
        false);
  }
  void WaitEntered() {
    for (int i = 0; i < 1000 && !entered; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(entered);
  }
};

}  // namespace

// A request that is whole when its connection is accepted, and whose answer the socket takes at
// once, costs one accept, one read and the answer's writes: the connection never reaches epoll.
TEST(ServerCalls, AStaticFileThatCameWithItsConnectNeverWaitsInEpoll) {
  TempDir dir;
  dir.Write("a.txt", "file a");
  THTTPApplication app;
  app.RegisterFileLocation("files", dir.path());
  Hold hold;
  hold.Register(app);
  RunningServer server(app);
  Client holder(server.port());
  holder.Send("GET /hold HTTP/1.1\r\n\r\n");
  hold.WaitEntered();
  const uint64_t accepted = app.Counts.Accepted, watches = app.Counts.Watches,
                 empty_reads = app.Counts.EmptyReads;
  Client file(server.port());
  file.Send("GET /files/a.txt HTTP/1.1\r\n\r\n");
  // The request must lie in the server's socket when it is accepted: on a busy machine loopback
  // delivery can lag behind the send.
  ASSERT_TRUE(file.WaitDelivered());
  hold.release = true;
  EXPECT_EQ(Body(holder.ReadAll()), "held\r\n");
  EXPECT_EQ(Body(file.ReadAll()), "file a");
  EXPECT_TRUE(file.closed());
  EXPECT_EQ(app.Counts.Accepted - accepted, 1u);
  EXPECT_EQ(app.Counts.Watches - watches, 0u);
  EXPECT_EQ(app.Counts.EmptyReads - empty_reads, 0u);
  // One accept per report of the listener: none of them found the queue empty.
  EXPECT_EQ(Body(Exchange(server.port(), "GET /files/a.txt HTTP/1.1\r\n\r\n")), "file a");
  EXPECT_EQ(app.Counts.EmptyAccepts, 0u);
}

// A crowd that connects at once is accepted one connection per turn of the loop: a connection
// that was open before it is read and handled first, and the crowd is taken in all the same.
TEST(ServerCalls, AFloodOfConnectsWaitsBehindTheOpenConnections) {
  constexpr uint64_t kFlood = 300;  // more than any batch of accepts a turn could take
  THTTPApplication app;
  Hold hold;
  hold.Register(app);
  std::atomic<uint64_t> accepted_when_handled{0};
  app.HTTPRouter.RegisterRoute(
      "/count",
      [&](TRequest&, TResponse& resp) {
        accepted_when_handled = app.Counts.Accepted.load();
        resp.Contents.Add("counted");
      },
      false);
  app.HTTPRouter.RegisterRoute(
      "/hello", [](TRequest&, TResponse& resp) { resp.Contents.Add("hello"); }, false);
  RunningServer server(app);
  Client open(server.port());
  open.Send("GET /count HTTP/1.1\r\n");
  Client holder(server.port());
  holder.Send("GET /hold HTTP/1.1\r\n\r\n");
  hold.WaitEntered();
  const uint64_t before = app.Counts.Accepted;
  std::vector<std::unique_ptr<Client>> flood;
  for (uint64_t i = 0; i < kFlood; ++i) flood.push_back(std::make_unique<Client>(server.port()));
  open.Send("\r\n");
  hold.release = true;
  EXPECT_EQ(Body(open.ReadAll()), "counted\r\n");
  EXPECT_LE(accepted_when_handled - before, 1u);
  for (int i = 0; i < 1000 && app.Counts.Accepted < before + kFlood; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(app.Counts.Accepted - before, kFlood);
  EXPECT_EQ(Exchange(server.port(), kHello), kHelloAnswer);
}
