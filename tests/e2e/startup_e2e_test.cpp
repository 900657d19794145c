// The real executable, started in a folder of its own: name-borne port, mode choice, static
// files, start-up failures and the exact bytes of its answers.
#include <gtest/gtest.h>

#include "support/engines.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

using namespace nv::test;

namespace {

std::string NormalModeFolder(const TempDir& temp) {
  const std::string dir = temp.folder();
  WriteFile(dir + "ZURazo.db", "");
  mkdir((dir + "images").c_str(), 0755);
  mkdir((dir + "images/sub").c_str(), 0755);
  WriteFile(dir + "images/a.bin", std::string("\x00\x01\r\nbytes", 9));
  WriteFile(dir + "secret.txt", "beside the executable");
  symlink(kSqlite.c_str(), (dir + "libsqlite3.so.0").c_str());
  return dir;
}

}  // namespace

TEST(StartUp, PortFromTheExecutableName) {
  TempDir temp;
  const std::string dir = temp.folder();
  ServerProcess server(dir, ExecutableFor(18080));
  ASSERT_TRUE(server.WaitListening(18080)) << server.Stderr();
  // First-run mode: every path, /images/ and /upload included, reaches the set-up page.
  for (const char* path : {"/", "/images/a.bin", "/upload", "/x/y?z=1"}) {
    std::string reply = Exchange(18080, std::string("GET ") + path + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << path << reply;
    EXPECT_NE(reply.find("<title>初期設定画面</title>"), std::string::npos) << path;
  }
}

TEST(StartUp, DefaultPortIs80) {
  TempDir temp;
  const std::string dir = temp.folder();
  ServerProcess server(dir, "norvane");
  ASSERT_TRUE(server.WaitListening(80)) << server.Stderr();
  EXPECT_EQ(Exchange(80, "GET / HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
}

TEST(StartUp, NormalModeNeedsImagesFolder) {
  TempDir temp;
  const std::string dir = temp.folder();
  WriteFile(dir + "ZURazo.db", "");
  ServerProcess server(dir, ExecutableFor(18081));
  ASSERT_TRUE(server.WaitExit(10000));
  EXPECT_NE(server.ExitStatus(), 0);
  EXPECT_NE(server.Stderr().find("Directory \"" + dir + "images/\" does not exist"),
            std::string::npos)
      << server.Stderr();
  EXPECT_FALSE(CanConnect(18081));
}

TEST(StartUp, StaticFilesExactBytes) {
  TempDir temp;
  std::string dir = NormalModeFolder(temp);
  ServerProcess server(dir, ExecutableFor(18082));
  ASSERT_TRUE(server.WaitListening(18082)) << server.Stderr();
  EXPECT_EQ(Exchange(18082, "GET /images/a.bin HTTP/1.1\r\nHost: x\r\n\r\n"),
            "HTTP/1.1 200 OK\r\nStatus: 200 OK\r\nContent-Length: 9\r\n"
            "Content-Type: Application/octet-stream\r\nConnection: close\r\n\r\n" +
                std::string("\x00\x01\r\nbytes", 9));
  struct Case {
    const char* request;
    const char* status_lines;
  } cases[] = {
      {"POST /images/a.bin HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
       "HTTP/1.1 405 Method Not Allowed\r\nStatus: 405 Method not allowed\r\n"},
      {"GET /images/../secret.txt HTTP/1.1\r\n\r\n",
       "HTTP/1.1 403 Forbidden\r\nStatus: 403 Forbidden\r\n"},
      {"GET /images/%2e%2e/secret.txt HTTP/1.1\r\n\r\n",
       "HTTP/1.1 403 Forbidden\r\nStatus: 403 Forbidden\r\n"},
      {"GET /images/missing.bin HTTP/1.1\r\n\r\n",
       "HTTP/1.1 404 Not Found\r\nStatus: 404 Not found\r\n"},
      {"GET /images/sub HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found\r\nStatus: 404 Not found\r\n"},
  };
  for (const auto& c : cases) {
    std::string reply = Exchange(18082, c.request);
    EXPECT_EQ(reply.rfind(c.status_lines, 0), 0u) << c.request << reply;
    EXPECT_EQ(reply.substr(reply.find("\r\n\r\n")), "\r\n\r\n") << c.request;  // empty body
    EXPECT_NE(reply.find("\r\nContent-Length: 0\r\n"), std::string::npos) << reply;
  }
}

TEST(StartUp, ChallengeBytesWithoutCredentials) {
  TempDir temp;
  std::string dir = NormalModeFolder(temp);
  ServerProcess server(dir, ExecutableFor(18083));
  ASSERT_TRUE(server.WaitListening(18083)) << server.Stderr();
  const std::string challenge =
      "HTTP/1.1 401 Unauthorized\r\nStatus: 401 OK\r\nContent-Length: 0\r\n"
      "Content-Type: text/html; charset=UTF-8\r\nWWW-Authenticate: Basic realm=\"SECRET AREA\"\r\n"
      "Connection: close\r\n\r\n";
  EXPECT_EQ(Exchange(18083, "GET /upload HTTP/1.1\r\n\r\n"), challenge);
  EXPECT_EQ(Exchange(18083, "GET /?SQL=x HTTP/1.1\r\nAuthorization: basic eDp5\r\n\r\n"),
            challenge);
  // Garbage does not stop the server from answering the next client.
  Exchange(18083, std::string("\x00\xff\r\n\r\n\x01", 7), 2000);
  EXPECT_EQ(Exchange(18083, "GET /UPLOAD/ HTTP/1.1\r\n\r\n"), challenge);
}

// Edges of the request framing, each on a raw socket: another major version, an empty line
// before the request line, multipart bodies that do not parse.
TEST(StartUp, RequestFramingEdges) {
  TempDir temp;
  std::string dir = NormalModeFolder(temp);
  ServerProcess server(dir, ExecutableFor(18243));
  ASSERT_TRUE(server.WaitListening(18243)) << server.Stderr();
  const std::string file = AnswerHead("200 OK", "200 OK", 9, "Application/octet-stream") +
                           std::string("\x00\x01\r\nbytes", 9);
  EXPECT_EQ(Exchange(18243, "\r\nGET /images/a.bin HTTP/1.1\r\n\r\n"), file);
  EXPECT_EQ(Exchange(18243, "GET /images/a.bin HTTP/1.0\r\n\r\n"), file);
  EXPECT_EQ(HeadOf(Exchange(18243, "HEAD /images/a.bin HTTP/1.1\r\n\r\n")),
            AnswerHead("405 Method Not Allowed", "405 Method not allowed", 0));
  const std::string k505 =
      AnswerHead("505 HTTP Version Not Supported", "505 HTTP Version Not Supported", 0);
  for (const char* request :
       {"GET /images/a.bin HTTP/2.0\r\n\r\n", "PRI * HTTP/2.0\r\n\r\n", "GET / HTTP/0.9\r\n\r\n"}) {
    EXPECT_EQ(Exchange(18243, request), k505) << request;
  }
  EXPECT_EQ(Exchange(18243, "\r\n\r\nGET /images/a.bin HTTP/1.1\r\n\r\n").substr(0, 12),
            "HTTP/1.1 400");  // a second empty line is one too many

  auto post = [](const std::string& type, const std::string& body) {
    return "POST / HTTP/1.1\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  const std::string type = "multipart/form-data; boundary=XyZ";
  const std::string part = "--XyZ\r\nContent-Disposition: form-data; name=\"SQL\"\r\n\r\nx\r\n";
  // The posted fields are parsed only when a handler reads them: the page handler asks for
  // credentials first, so a body that does not parse costs nothing there.
  EXPECT_EQ(Exchange(18243, post(type, part)).substr(0, 12), "HTTP/1.1 401");
  EXPECT_EQ(Exchange(18243, post(type, part + "--XyZ--\r\n")).substr(0, 12), "HTTP/1.1 401");

  // The set-up page reads the posted fields at once: a body that does not parse gets 400 and
  // its reason, a whole one the page.
  TempDir first_run;
  ServerProcess setup(first_run.folder(), ExecutableFor(18244));
  ASSERT_TRUE(setup.WaitListening(18244)) << setup.Stderr();
  const std::string reason = "The multipart body does not parse\r\n";
  const std::string k400 = AnswerHead("400 Bad Request", "400 Bad Request", reason.size()) + reason;
  EXPECT_EQ(Exchange(18244, post(type, part)), k400);         // no closing boundary
  EXPECT_EQ(Exchange(18244, post(type, "SQL=x\r\n")), k400);  // boundary not in the body
  EXPECT_EQ(Exchange(18244, post("multipart/form-data", part + "--XyZ--")), k400);  // none named
  EXPECT_EQ(Exchange(18244, post(type, part + "--XyZ--\r\n")).substr(0, 15), "HTTP/1.1 200 OK");
}
