// Wire form of a response and its single send.
#include "http/response.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "http/file_stream.h"
#include "http/request.h"
#include "http/server.h"
#include "support/temp_dir.h"

using namespace nv;

TEST(ResponseWire, LinesHeadersAndLengthInTheirFixedOrder) {
  TResponse resp;
  resp.Code = 401;
  resp.Contents.Add("ab");
  resp.Contents.Add("");
  resp.Contents.Add("日本");
  resp.CustomHeaders.SetValue("X-One", "1");
  resp.CustomHeaders.SetValue("X-Empty", "");
  resp.CustomHeaders.Add("X-Two=a=b");
  resp.SendContent();
  EXPECT_TRUE(resp.ContentSent());
  EXPECT_EQ(resp.Sent(),
            "HTTP/1.1 401 Unauthorized\r\n"
            "Status: 401 OK\r\n"
            "Content-Length: 14\r\n"  // 2 + 0 + 6 bytes, and CR LF after every line
            "Content-Type: text/html; charset=UTF-8\r\n"
            "Connection: close\r\n"
            "X-One: 1\r\n"
            "X-Two: a=b\r\n"
            "\r\n"
            "ab\r\n\r\n日本\r\n");
}

TEST(ResponseWire, StatusLineAndOptionalContentType) {
  struct Case {
    int code;
    const char* text;
    const char* type;
    const char* head;
  };
  const Case cases[] = {
      {200, "OK", "",
       "HTTP/1.1 200 OK\r\nStatus: 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"},
      {404, "Not found", "x/y",
       "HTTP/1.1 404 Not Found\r\nStatus: 404 Not found\r\nContent-Length: 0\r\n"
       "Content-Type: x/y\r\nConnection: close\r\n\r\n"},
      {299, "Odd", "",
       "HTTP/1.1 299 \r\nStatus: 299 Odd\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"},
      {7, "OK", "",
       "HTTP/1.1   7 \r\nStatus: 7 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"},
  };
  for (const Case& c : cases) {
    TResponse resp;
    resp.Code = c.code;
    resp.CodeText = c.text;
    resp.ContentType = c.type;
    resp.SendContent();
    EXPECT_EQ(resp.Sent(), c.head) << c.code;
  }
}

TEST(ResponseWire, ConnectionCloseComesOnceAndAHandlersOwnStandsAlone) {
  struct Case {
    std::vector<std::string> custom;
    const char* headers;  // everything after Content-Type
  };
  const Case cases[] = {
      {{}, "Connection: close\r\n"},
      {{"X-A=1"}, "Connection: close\r\nX-A: 1\r\n"},
      {{"X-A=1", "Connection=close"}, "X-A: 1\r\nConnection: close\r\n"},
      {{"connection=Keep-Alive"}, "connection: Keep-Alive\r\n"},
      {{"Connection=", "X-A=1"}, "Connection: close\r\nX-A: 1\r\n"},  // an empty one is not sent
  };
  for (const Case& c : cases) {
    TResponse resp;
    for (const std::string& h : c.custom) resp.CustomHeaders.Add(h);
    resp.SendContent();
    EXPECT_EQ(resp.Sent(),
              "HTTP/1.1 200 OK\r\nStatus: 200 OK\r\nContent-Length: 0\r\n"
              "Content-Type: text/html; charset=UTF-8\r\n" +
                  std::string(c.headers) + "\r\n")
        << c.headers;
  }
}

TEST(ResponseWire, HeadOnlySendsTheSameHeadWithoutTheBody) {
  std::istringstream in("0123456789");
  TResponse lines, stream;
  lines.SetContent("hello");
  stream.SetContentStream(&in);
  for (TResponse* resp : {&lines, &stream}) {
    resp->SetHeadOnly(true);
    resp->SendContent();
  }
  EXPECT_EQ(lines.Sent(),
            "HTTP/1.1 200 OK\r\nStatus: 200 OK\r\nContent-Length: 7\r\n"
            "Content-Type: text/html; charset=UTF-8\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(stream.Sent(),
            "HTTP/1.1 200 OK\r\nStatus: 200 OK\r\nContent-Length: 10\r\n"
            "Content-Type: text/html; charset=UTF-8\r\nConnection: close\r\n\r\n");
}

TEST(ResponseWire, SetContentSplitsTheTextIntoLines) {
  TResponse resp;
  resp.SetContent("a\r\nb\nc");
  resp.SendContent();
  EXPECT_NE(resp.Sent().find("Content-Length: 9\r\n"), std::string::npos);
  EXPECT_EQ(resp.Sent().substr(resp.Sent().size() - 9), "a\r\nb\r\nc\r\n");
}

TEST(ResponseWire, HeaderTextCannotStartNewHeaders) {
  TResponse resp;
  resp.CustomHeaders.SetValue("Content-Disposition", "attachment; filename=a\r\nSet-Cookie: x");
  resp.SendContent();
  EXPECT_NE(resp.Sent().find("Content-Disposition: attachment; filename=a  Set-Cookie: x\r\n"),
            std::string::npos);
  EXPECT_EQ(resp.Sent().find("\nSet-Cookie"), std::string::npos);
}

TEST(ResponseStream, SendsTheStreamFromItsStartWithItsSize) {
  std::string bytes(200000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  std::istringstream in(bytes);
  in.seekg(1234);
  TResponse resp;
  resp.Contents.Add("ignored when a stream is set");
  resp.SetContentStream(&in);
  EXPECT_EQ(resp.ContentLength, 200000);
  in.seekg(999);  // moved again before the send
  std::vector<size_t> writes;
  std::string out;
  resp.SetOutput([&](std::string_view b) {
    writes.push_back(b.size());
    out.append(b);
  });
  resp.SendContent();
  const std::string head =
      "HTTP/1.1 200 OK\r\nStatus: 200 OK\r\nContent-Length: 200000\r\n"
      "Content-Type: text/html; charset=UTF-8\r\nConnection: close\r\n\r\n";
  EXPECT_EQ(out, head + bytes);
  EXPECT_GT(writes.size(), 2u);  // a large body goes out in pieces
  EXPECT_EQ(resp.Sent(), "");    // an attached output takes every byte
}

TEST(ResponseStream, ContentLengthSetDirectlyBoundsTheBody) {
  std::istringstream in("0123456789");
  TResponse resp;
  resp.SetContentStream(&in);
  resp.ContentLength = 4;
  resp.SendContent();
  EXPECT_EQ(resp.Sent().substr(resp.Sent().find("\r\n\r\n")), "\r\n\r\n0123");
  EXPECT_NE(resp.Sent().find("Content-Length: 4\r\n"), std::string::npos);

  // More announced than the stream holds: the send fails instead of leaving the client
  // waiting for bytes that never come.
  std::istringstream short_in("abc");
  TResponse shorter;
  shorter.SetContentStream(&short_in);
  shorter.ContentLength = 10;
  EXPECT_THROW(shorter.SendContent(), std::runtime_error);
  EXPECT_TRUE(shorter.ContentSent());
}

TEST(ResponseSend, SecondSendFailsWithTheExactMessage) {
  TResponse resp;
  resp.SendContent();
  std::string first = resp.Sent();
  try {
    resp.SendContent();
    FAIL() << "second send did not fail";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "HTTP Response content was already sent");
  }
  EXPECT_EQ(resp.Sent(), first);
}

TEST(ResponseSend, CountsAsSentEvenWhenTheOutputFails) {
  TResponse resp;
  resp.SetOutput([](std::string_view) { throw std::runtime_error("Client write failed"); });
  EXPECT_THROW(resp.SendContent(), std::runtime_error);
  EXPECT_TRUE(resp.ContentSent());
}

// A file body is handed over as its descriptor where the output takes files (the server sends
// it with sendfile); elsewhere it is read like any stream.
TEST(ResponseStream, AFileGoesToTheFileOutputWhole) {
  nv::test::TempDir dir;
  const std::string bytes(100000, 'f');
  dir.Write("f.bin", bytes + "tail");
  const std::string head =
      "HTTP/1.1 200 OK\r\nStatus: 200 OK\r\nContent-Length: 100000\r\n"
      "Content-Type: text/html; charset=UTF-8\r\nConnection: close\r\n\r\n";
  {
    TFileStream in(dir.file("f.bin"));
    TResponse resp;
    resp.SetContentStream(&in);
    EXPECT_EQ(resp.ContentLength, 100004);
    resp.ContentLength = 100000;
    resp.SendContent();
    EXPECT_EQ(resp.Sent(), head + bytes);
  }
  std::string out;
  std::shared_ptr<TSharedFile> shared;
  long long shared_length = 0;
  {
    TFileStream in(dir.file("f.bin"));
    in.seekg(7);  // sent from its start all the same
    TResponse resp;
    resp.SetOutput([&](std::string b) { out.append(b); });
    resp.SetFileOutput([&](std::shared_ptr<TSharedFile> file, long long length) {
      shared = std::move(file);
      shared_length = length;
    });
    resp.SetContentStream(&in);
    resp.ContentLength = 100000;
    resp.SendContent();
  }
  EXPECT_EQ(out, head);
  // The body's file outlives the stream: it is read when it is sent.
  ASSERT_TRUE(shared);
  std::string file(static_cast<size_t>(shared_length), '\0');
  EXPECT_EQ(pread(shared->Descriptor(), file.data(), file.size(), 0), shared_length);
  EXPECT_EQ(file, bytes);
}

// A text set whole goes out by the lines rule, exactly as its lines split into Contents would:
// CR LF, a lone CR and a lone LF each end a line (LF then CR is two), and a last line without
// a break gets one.
TEST(ResponseWire, ATextSetWholeGoesOutAsItsLines) {
  const std::string texts[] = {"",
                               "one line",
                               "ends\r\n",
                               "a\nb\rc\r\nd",
                               "\n\r\r\n\n",
                               "lf then cr\n\rx",
                               "cr at the end\r",
                               "two\r\n\r\n",
                               std::string(100000, 'x') + "\n" + std::string(5, '\r') + "y"};
  for (const std::string& text : texts) {
    SCOPED_TRACE(testing::PrintToString(text.substr(0, 40)));
    TResponse whole;
    whole.SetContent(text);
    TResponse lines;
    lines.Contents.SetTextStr(text);
    EXPECT_EQ(whole.ContentLines().Items(), lines.Contents.Items());
    whole.SendContent();
    lines.SendContent();
    EXPECT_EQ(whole.Sent(), lines.Sent());
  }
}

// Lines added after the text follow it; the text replaces lines added before; ClearContent
// takes both away; HEAD announces the same length and sends no body.
TEST(ResponseWire, LinesAroundATextSetWhole) {
  TResponse after;
  after.Contents.Add("dropped");
  after.SetContent("page\nend");
  after.Contents.Add("error line");
  EXPECT_EQ(after.ContentLines().GetTextStr(), "page\r\nend\r\nerror line\r\n");
  after.SendContent();
  EXPECT_NE(after.Sent().find("Content-Length: 23\r\n"), std::string::npos);
  EXPECT_EQ(after.Sent().substr(after.Sent().size() - 23), "page\r\nend\r\nerror line\r\n");

  TResponse cleared;
  cleared.SetContent("page");
  cleared.Contents.Add("line");
  cleared.ClearContent();
  EXPECT_EQ(cleared.ContentLines().GetCount(), 0u);
  cleared.SendContent();
  EXPECT_NE(cleared.Sent().find("Content-Length: 0\r\n"), std::string::npos);

  TResponse head;
  head.SetHeadOnly(true);
  head.SetContent("a\nb");
  head.SendContent();
  EXPECT_NE(head.Sent().find("Content-Length: 6\r\n"), std::string::npos);
  EXPECT_EQ(head.Sent().substr(head.Sent().size() - 4), "\r\n\r\n");
}
