// The HTTP layer: request and response objects, the router, the static file locations and a
// small one-thread server over POSIX sockets. One request per connection, no keep-alive.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text_list.h"

namespace nv {

struct TUploadedFile {
  std::string FieldName;    // name of the form field that carried the file
  std::string FileName;     // the client's file name, as sent
  std::string ContentType;  // the part's own Content-Type ("" when it has none)
  std::string Content;      // the file's bytes
};

class TRequest {
 public:
  std::string Method;         // as sent
  std::string URL;            // request target exactly as sent (path and query)
  std::string PathInfo;       // path part without the query (still percent-encoded)
  std::string Query;          // text after the first "?" ("" when there is none)
  std::string Protocol;       // "HTTP/1.1" ...
  std::string Authorization;  // value of the Authorization header, trimmed; "" when absent
  std::string RemoteAddress;  // client's IPv4 address, dotted decimal
  TStringList Headers;        // "Name=value" per header, in order (value trimmed)
  TStringList QueryFields;
  TStringList ContentFields;
  std::vector<TUploadedFile> Files;  // reverse part order
  std::string Content;               // raw body
};

class TResponse {
 public:
  using TOutput = std::function<void(std::string_view bytes)>;

  int Code = 200;
  std::string CodeText = "OK";
  std::string ContentType = "text/html";
  TStringList Contents;  // body lines, each sent followed by CR LF
  // Non-owning: the stream must outlive SendContent. Sent from its start.
  std::istream* ContentStream = nullptr;
  // Body size when ContentStream is set; a body from Contents always sends its own length.
  long long ContentLength = 0;
  TStringList CustomHeaders;  // "name=value"; entries with an empty value are not sent

  void SetContent(std::string_view text) { Contents.SetTextStr(text); }
  // Sets ContentStream and ContentLength to the stream's size.
  void SetContentStream(std::istream* s);

  // Sends status line, headers and body at once. The response counts as sent from the first
  // byte on, so a failed write is never followed by a second answer.
  // Throws "HTTP Response content was already sent" on a second call.
  void SendContent();
  bool ContentSent() const { return sent_; }

  // Where SendContent writes (the server attaches its socket). Without one the bytes are kept
  // and can be read back with Sent(): handy for tests of handlers.
  void SetOutput(TOutput out) { output_ = std::move(out); }
  const std::string& Sent() const { return sent_bytes_; }

  // Status line and headers exactly as SendContent writes them, for the current state.
  std::string HeadText(long long content_length) const;

 private:
  void Write(std::string_view bytes);

  bool sent_ = false;
  TOutput output_;
  std::string sent_bytes_;
};

// Standard reason phrase of a status code ("" for a code without one).
std::string_view ReasonPhrase(int code);

using THandler = std::function<void(TRequest&, TResponse&)>;

class THTTPRouter {
 public:
  // Routes are tried in registration order. A path matches level by level, ASCII letters
  // compared without regard to case; a trailing "/" is ignored ("/upload/" is "/upload"), and
  // "/" matches only the root. A default route gets whatever nothing else takes; registering
  // another default replaces it as the default.
  void RegisterRoute(const std::string& path, THandler h, bool is_default = false);
  // A location takes its own path and everything below it ("/images/a/b.png").
  void RegisterLocation(const std::string& path, THandler h);
  // The handler for a request path (without query): the first match, else the default route;
  // nullptr when there is neither.
  const THandler* FindRoute(std::string_view path_info) const;
  void Clear();

 private:
  struct Route {
    std::vector<std::string> levels;  // upper-cased ASCII
    THandler handler;
    bool below = false;  // also matches every path below it
  };
  std::vector<Route> routes_;
  long default_ = -1;
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
  std::string BaseFolder;   // where relative file-location folders are taken from
  int IoTimeoutMs = 30000;  // reading one request, and each wait for write progress
  // Writing an answer may take IoTimeoutMs plus one second per this many bytes sent.
  long long WriteCreditBytesPerSecond = 64 * 1024;
  size_t MaxHeadBytes = 64 * 1024;
  long long MaxBodyBytes = 256LL * 1024 * 1024;

  // "/" + location + "/..." is served from the folder. Throws "Directory "%s" does not exist".
  void RegisterFileLocation(const std::string& location, const std::string& folder);
  void Initialize();
  // Blocks, answering one connection at a time, until Terminate(). When the port cannot be
  // opened it reports on stderr and returns.
  void Run();
  void Terminate() { terminated_ = true; }  // thread-safe; Run returns soon after
  // The port Run is listening on, 0 while it is not listening.
  uint16_t BoundPort() const { return bound_port_; }

  // Dispatch of a parsed request: route, handler, exception hook, final send.
  void HandleRequest(TRequest& req, TResponse& resp);

 private:
  void ServeConnection(int fd, const std::string& remote);
  void Report(const std::string& message) const;

  std::atomic<bool> terminated_{false};
  std::atomic<uint16_t> bound_port_{0};
};

extern THTTPApplication Application;  // the process's application object

// ---- Pure parsers: bounded work, no failure on any bytes ----

// Percent-decoding: "%XX" is that byte (a "%" without two hex digits stays as it is);
// plus_is_blank turns "+" into a blank, as form encoding does.
std::string URLDecode(std::string_view text, bool plus_is_blank = true);

// Splits at "&", skips empty pieces, decodes each piece as a whole, appends in order.
void ParseQueryString(std::string_view query, TStringList& out);

// Body of a multipart/form-data request, boundary taken from content_type. Appends one field
// per part in reverse part order: "name=value", for a file part "name=client file name", for a
// part without a name "DummyFileItem<i>" (i: the part's position in the body, from 0). Files
// come in reverse part order too; a file part whose content is empty or exactly CR LF gives none.
void ParseMultipart(std::string_view content_type, std::string_view body, TStringList& fields,
                    std::vector<TUploadedFile>& files);

// Where the request head ends: the position just after its empty line, or npos when the empty
// line has not arrived yet. Lines may end in CR LF or LF. With resume, the scan starts at
// *resume (the start of a line) and, on npos, *resume is left at the start of the last,
// incomplete line, so a head arriving byte by byte is scanned once in all.
size_t FindHeadEnd(std::string_view bytes, size_t* resume = nullptr);

struct THeadInfo {
  int Status = 0;  // 0: well-formed; otherwise the status to answer with (400, 501)
  long long ContentLength = 0;
  bool ExpectContinue = false;
};

// Parses the head (request line and header lines, the empty line optional) into req: Method,
// URL, PathInfo, Query, Protocol, Headers, Authorization, QueryFields.
THeadInfo ParseRequestHead(std::string_view head, TRequest& req);

// Fills ContentFields and Files from req.Content and its Content-Type header.
void ParseRequestContent(TRequest& req);

// Whole request from memory (head, then Content-Length bytes of body): 0, or the status to
// answer with (a body shorter than announced is 400).
int ParseRequest(std::string_view bytes, TRequest& req);

// The path below a file location, percent-decoded, "\" and "/" both separating folders, empty
// and "." levels dropped. False when a ".." level or a NUL byte would lead out of the folder.
bool StaticRelativePath(std::string_view encoded, std::string& relative);

}  // namespace nv
