// Routing, static file locations and the request-exception hook, dispatched in-process.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "http/request.h"
#include "http/response.h"
#include "http/server.h"
#include "support/http_client.h"
#include "support/server_thread.h"
#include "support/temp_dir.h"

using namespace nv;
using nv::test::TempDir;

namespace {

TRequest Request(const std::string& method, const std::string& target) {
  TRequest req;
  EXPECT_EQ(ParseRequest(method + " " + target + " HTTP/1.1\r\n\r\n", req), 0) << target;
  return req;
}

std::string Dispatch(THTTPApplication& app, const std::string& method, const std::string& target) {
  TRequest req = Request(method, target);
  TResponse resp;
  app.HandleRequest(req, resp);
  EXPECT_TRUE(resp.ContentSent());
  return resp.Sent();
}

THandler Named(std::string name) {
  return [name](TRequest&, TResponse& resp) { resp.Contents.Add(name); };
}

std::string Body(const std::string& wire) { return wire.substr(wire.find("\r\n\r\n") + 4); }

const std::string kEmpty404 =
    "HTTP/1.1 404 Not Found\r\nStatus: 404 Not found\r\nContent-Length: 0\r\n"
    "Content-Type: text/html; charset=UTF-8\r\nConnection: close\r\n\r\n";

}  // namespace

TEST(Router, MatchesLevelByLevelInRegistrationOrder) {
  THTTPApplication app;
  app.HTTPRouter.RegisterRoute("/", Named("root"), true);
  app.HTTPRouter.RegisterRoute("/upload", Named("upload"), false);
  app.HTTPRouter.RegisterRoute("/a/b", Named("ab"), false);
  app.HTTPRouter.RegisterRoute("/A/B/", Named("ab again"), false);  // same path: never reached
  struct Case {
    const char* target;
    const char* handler;
  };
  const Case cases[] = {
      {"/", "root"},          {"/?SQL=x", "root"},
      {"/upload", "upload"},  {"/UPLOAD", "upload"},
      {"/upload/", "upload"}, {"/Upload?x=1", "upload"},
      {"/upload/x", "root"},  // deeper paths fall to the default route
      {"/upload//", "root"},  {"/uploads", "root"},
      {"/a/b", "ab"},         {"/a", "root"},
      {"/a/b/c", "root"},     {"/%75pload", "root"},  // levels are compared as sent
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Body(Dispatch(app, "GET", c.target)), std::string(c.handler) + "\r\n") << c.target;
  }
  EXPECT_EQ(Body(Dispatch(app, "DELETE", "/upload")), "upload\r\n");  // every method
}

TEST(Router, WithoutDefaultRouteUnmatchedPathsGet404) {
  THTTPApplication app;
  app.HTTPRouter.RegisterRoute("/only", Named("only"), false);
  EXPECT_EQ(Dispatch(app, "GET", "/"), kEmpty404);
  EXPECT_EQ(Dispatch(app, "GET", "/other"), kEmpty404);
  EXPECT_EQ(app.HTTPRouter.FindRoute("/ONLY/") != nullptr, true);
}

class StaticFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Write("images/a.bin", std::string("A\0\r\nB", 5));
    dir_.Write("images/sub/c d.txt", "sub file");
    dir_.Write("images/sub/inner/x", "x");
    dir_.Write("secret.txt", "secret");
    // What a replacement cut short by a crash leaves before the next start removes it.
    dir_.Write("images/.norvane-new-123-0", "partial");
    dir_.Write("images/sub/.norvane-new-9-1", "partial");
    std::filesystem::create_symlink(dir_.path() + "/secret.txt", dir_.path() + "/images/link");
    // Links by full path are not followed below the folder: the full-path check decides them.
    dir_.Write("images2/next.txt", "beside the folder");
    std::filesystem::create_symlink(dir_.path() + "/images2/next.txt",
                                    dir_.path() + "/images/sibling");
    app_.BaseFolder = dir_.path() + "/";
    app_.RegisterFileLocation("images", "images\\");
    app_.HTTPRouter.RegisterRoute("/", Named("default"), true);
  }
  TempDir dir_;
  THTTPApplication app_;
};

TEST_F(StaticFiles, ServesAFileWithItsSizeAsOctetStream) {
  const std::string expected =
      "HTTP/1.1 200 OK\r\nStatus: 200 OK\r\nContent-Length: 5\r\n"
      "Content-Type: Application/octet-stream\r\nConnection: close\r\n\r\n" +
      std::string("A\0\r\nB", 5);
  EXPECT_EQ(Dispatch(app_, "GET", "/images/a.bin"), expected);
  EXPECT_EQ(Dispatch(app_, "get", "/IMAGES/a.bin?v=2"), expected);
  EXPECT_EQ(Body(Dispatch(app_, "GET", "/images/sub/c%20d.txt")), "sub file");
  EXPECT_EQ(Body(Dispatch(app_, "GET", "/images/sub%5Cinner\\x")), "x");
  EXPECT_EQ(Body(Dispatch(app_, "GET", "/images/./sub//inner/x")), "x");
  // Links may point anywhere inside the folder, by a relative or a full path.
  std::filesystem::create_symlink("sub/inner/x", dir_.path() + "/images/relative");
  std::filesystem::create_symlink(dir_.path() + "/images/sub/c d.txt",
                                  dir_.path() + "/images/full");
  EXPECT_EQ(Body(Dispatch(app_, "GET", "/images/relative")), "x");
  EXPECT_EQ(Body(Dispatch(app_, "GET", "/images/full")), "sub file");
}

TEST_F(StaticFiles, RefusalsHaveExactHeadsAndEmptyBodies) {
  const std::string k405 =
      "HTTP/1.1 405 Method Not Allowed\r\nStatus: 405 Method not allowed\r\n"
      "Content-Length: 0\r\nContent-Type: text/html; charset=UTF-8\r\nConnection: close\r\n\r\n";
  const std::string k403 =
      "HTTP/1.1 403 Forbidden\r\nStatus: 403 Forbidden\r\nContent-Length: 0\r\n"
      "Content-Type: text/html; charset=UTF-8\r\nConnection: close\r\n\r\n";
  struct Case {
    const char* method;
    const char* target;
    const std::string& wire;
  };
  const Case cases[] = {
      {"POST", "/images/a.bin", k405},
      {"HEAD", "/images/missing", k405},  // the method is refused before anything else
      {"GET", "/images/../secret.txt", k403},
      {"GET", "/images/%2e%2e/secret.txt", k403},
      {"GET", "/images/sub%5C..%5C..%5Csecret.txt", k403},
      {"GET", "/images/sub/../a.bin", k403},
      {"GET", "/images/link", k403},     // a link that leads out of the folder
      {"GET", "/images/sibling", k403},  // into a folder whose name begins like this one's
      {"GET", "/images/a%00.bin", k403},
      {"GET", "/images/missing.png", kEmpty404},
      {"GET", "/images/sub", kEmpty404},  // a folder is no file
      {"GET", "/images/", kEmpty404},
      {"GET", "/images", kEmpty404},
      {"GET", "/images/a.bin/x", kEmpty404},
      {"GET", "/images/.norvane-new-123-0", kEmpty404},
      {"GET", "/images/sub%5C.norvane-new-9-1", kEmpty404},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Dispatch(app_, c.method, c.target), c.wire) << c.method << " " << c.target;
  }
  EXPECT_EQ(Body(Dispatch(app_, "GET", "/imagesX/a.bin")), "default\r\n");
}

TEST_F(StaticFiles, UnreadableFileIsForbidden) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
  dir_.Write("images/locked", "x");
  chmod((dir_.path() + "/images/locked").c_str(), 0);
  EXPECT_NE(Dispatch(app_, "GET", "/images/locked").find(" 403 Forbidden\r\n"), std::string::npos);
}

namespace {

// Descriptors of this process open on path.
int OpenDescriptorsOf(const std::string& path) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error) == path) ++count;
  }
  return count;
}

}  // namespace

// A file served from the folder is kept open and served from there again while a look at its
// name finds it unchanged; every change to the name or the file makes the answer the one a
// location that never served the file gives.
TEST(FileLocation, AKeptFileAnswersAsAFreshOpenWould) {
  TempDir dir;
  const std::string folder = dir.path() + "/files/";
  const char* names[] = {"keep",       "rewrite", "rename", "inner_link",
                         "outer_link", "deleted", "folder", "chmod"};
  for (const char* name : names) dir.Write(std::string("files/") + name, "old content");
  dir.Write("outside", "outside!!!!");
  dir.Write("files/sub/new", "new content");
  dir.Write("files/sub/other", "new content");
  // Only a file whose last change has settled is kept.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  THTTPApplication served;
  served.RegisterFileLocation("files", folder);
  for (const char* name : names) {
    EXPECT_EQ(Body(Dispatch(served, "GET", std::string("/files/") + name)), "old content");
  }
  EXPECT_EQ(OpenDescriptorsOf(folder + "keep"), 1);
  EXPECT_EQ(Body(Dispatch(served, "GET", "/files/keep")), "old content");
  EXPECT_EQ(OpenDescriptorsOf(folder + "keep"), 1);

  std::ofstream(folder + "rewrite", std::ios::in | std::ios::out) << "new";  // same size
  std::filesystem::rename(folder + "sub/new", folder + "rename");
  std::filesystem::remove(folder + "inner_link");
  std::filesystem::create_symlink("sub/other", folder + "inner_link");
  std::filesystem::remove(folder + "outer_link");
  std::filesystem::create_symlink(dir.path() + "/outside", folder + "outer_link");
  std::filesystem::remove(folder + "deleted");
  std::filesystem::remove(folder + "folder");
  std::filesystem::create_directory(folder + "folder");
  std::filesystem::permissions(folder + "chmod", std::filesystem::perms::none);
  THTTPApplication fresh;
  fresh.RegisterFileLocation("files", folder);
  for (const char* name : names) {
    SCOPED_TRACE(name);
    const std::string target = std::string("/files/") + name;
    const std::string fresh_answer = Dispatch(fresh, "GET", target);
    EXPECT_EQ(Dispatch(served, "GET", target), fresh_answer);
  }
  EXPECT_EQ(Body(Dispatch(served, "GET", "/files/rewrite")), "new content");
  EXPECT_EQ(Body(Dispatch(served, "GET", "/files/rename")), "new content");
  EXPECT_EQ(OpenDescriptorsOf(folder + "deleted (deleted)"), 0);  // its share was let go
}

// At most eight files stay open per location, the least used leaving first.
TEST(FileLocation, FewFilesAreKeptOpen) {
  TempDir dir;
  for (int i = 0; i < 12; ++i) dir.Write("files/f" + std::to_string(i), "f");
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  THTTPApplication app;
  app.RegisterFileLocation("files", dir.path() + "/files");
  for (int i = 0; i < 12; ++i) Dispatch(app, "GET", "/files/f" + std::to_string(i));
  int open = 0;
  for (int i = 0; i < 12; ++i)
    open += OpenDescriptorsOf(dir.path() + "/files/f" + std::to_string(i));
  EXPECT_EQ(open, 8);
  EXPECT_EQ(OpenDescriptorsOf(dir.path() + "/files/f0"), 0);
  EXPECT_EQ(OpenDescriptorsOf(dir.path() + "/files/f11"), 1);
}

TEST(FileLocation, CountsAsARouteAtItsPlaceInTheOrder) {
  TempDir dir;
  dir.Write("files/x", "from folder");
  THTTPApplication app;
  app.HTTPRouter.RegisterRoute("/files/x", Named("route first"), false);
  app.RegisterFileLocation("files", dir.path() + "/files");
  app.HTTPRouter.RegisterRoute("/files/y", Named("route after"), false);
  EXPECT_EQ(Body(Dispatch(app, "GET", "/files/x")), "route first\r\n");
  EXPECT_EQ(Dispatch(app, "GET", "/files/y"), kEmpty404);  // the location took it
}

TEST(FileLocation, MissingFolderFailsWithItsFullPath) {
  TempDir dir;
  dir.Write("plain", "not a folder");
  THTTPApplication app;
  app.BaseFolder = dir.path() + "/";
  for (const char* folder : {"images\\", "plain"}) {
    try {
      app.RegisterFileLocation("images", folder);
      FAIL() << folder;
    } catch (const std::runtime_error& e) {
      std::string full = dir.path() + "/" + std::string(folder);
      if (full.back() == '\\') full.back() = '/';
      EXPECT_EQ(e.what(), "Directory \"" + full + "\" does not exist");
    }
  }
  EXPECT_EQ(app.HTTPRouter.FindRoute("/images/a"), nullptr);  // nothing was registered
}

class Hook : public ::testing::Test {
 protected:
  void SetUp() override {
    app_.HTTPRouter.RegisterRoute(
        "/",
        [this](TRequest&, TResponse& resp) {
          resp.Contents.Add("partial");
          resp.CustomHeaders.SetValue("X-Handler", "1");
          if (send_first_) resp.SendContent();
          throw std::runtime_error("boom <&>");
        },
        true);
  }
  std::string Run() {
    TRequest req = Request("GET", "/");
    TResponse resp;
    app_.HandleRequest(req, resp);
    return resp.Sent();
  }
  THTTPApplication app_;
  bool send_first_ = false;
  int calls_ = 0;
};

TEST_F(Hook, HandledHookSendsItsPage) {
  app_.OnShowRequestException = [this](TResponse& resp, const std::exception& e, bool& handled) {
    ++calls_;
    EXPECT_FALSE(handled);
    resp.Contents.Add(std::string("error: ") + e.what());
    resp.SendContent();
    handled = true;
  };
  EXPECT_EQ(Run(),
            "HTTP/1.1 200 OK\r\nStatus: 200 OK\r\nContent-Length: 26\r\n"
            "Content-Type: text/html; charset=UTF-8\r\nConnection: close\r\nX-Handler: "
            "1\r\n\r\npartial\r\nerror: boom <&>\r\n");
  EXPECT_EQ(calls_, 1);
}

TEST_F(Hook, UnhandledOrMissingHookGivesAnEmpty500) {
  const std::string k500 =
      "HTTP/1.1 500 Internal Server Error\r\nStatus: 500 Internal Server Error\r\n"
      "Content-Length: 0\r\nContent-Type: text/html; charset=UTF-8\r\nConnection: close\r\n\r\n";
  EXPECT_EQ(Run(), k500);
  app_.OnShowRequestException = [this](TResponse&, const std::exception&, bool&) { ++calls_; };
  EXPECT_EQ(Run(), k500);
  EXPECT_EQ(calls_, 1);
  // A hook that sends without saying so is not answered twice.
  app_.OnShowRequestException = [](TResponse& resp, const std::exception&, bool&) {
    resp.SendContent();
  };
  EXPECT_EQ(Body(Run()), "partial\r\n");
}

TEST_F(Hook, NotCalledOnceTheResponseWasSent) {
  send_first_ = true;
  app_.OnShowRequestException = [this](TResponse&, const std::exception&, bool&) { ++calls_; };
  testing::internal::CaptureStderr();
  EXPECT_EQ(Body(Run()), "partial\r\n");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("boom <&>"), std::string::npos);
  EXPECT_EQ(calls_, 0);
}

TEST(Dispatch, HandlerThatDoesNotSendIsSentByTheLayer) {
  THTTPApplication app;
  app.HTTPRouter.RegisterRoute(
      "/", [](TRequest& req, TResponse& resp) { resp.SetContent("got " + req.URL); }, true);
  EXPECT_EQ(Dispatch(app, "GET", "/x?y"),
            "HTTP/1.1 200 OK\r\nStatus: 200 OK\r\nContent-Length: 10\r\n"
            "Content-Type: text/html; charset=UTF-8\r\nConnection: close\r\n\r\ngot /x?y\r\n");
}

TEST(Dispatch, NonStandardExceptionsReachTheHook) {
  THTTPApplication app;
  app.HTTPRouter.RegisterRoute(
      "/", [](TRequest&, TResponse&) { throw 42; }, true);
  std::string seen;
  app.OnShowRequestException = [&](TResponse&, const std::exception& e, bool&) { seen = e.what(); };
  Dispatch(app, "GET", "/");
  EXPECT_EQ(seen, "Unknown exception");
}
