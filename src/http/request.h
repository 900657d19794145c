// The request object and its parsing: head, query string, posted fields. The parsers are pure
// functions over bytes with bounded work and no failure on any input, so the server and the
// fuzzers run the same code.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "text/text_list.h"

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
  // The raw body. A form or multipart body is given over to ContentFields and Files when they
  // are parsed from it (it is then empty): a large upload is held once, not twice.
  std::string Content;
  // Set by the server while the handler runs: waits ms milliseconds while the server goes on
  // serving the other clients (no other request's handler of a route that may not run beside
  // this one starts meanwhile). Empty outside the server.
  std::function<void(int ms)> Pause;
};

// Pure parsers: bounded work, no failure on any bytes.

// Percent-decoding: "%XX" is that byte (a "%" without two hex digits stays as it is);
// plus_is_blank turns "+" into a blank, as form encoding does.
std::string URLDecode(std::string_view text, bool plus_is_blank = true);

// Splits at "&", skips empty pieces, decodes each piece as a whole, appends in order.
void ParseQueryString(std::string_view query, TStringList& out);
// The same over a text that is used up: decoded in place, its longest field takes the buffer
// over. text is left empty.
void ParseFormBody(std::string&& text, TStringList& out);

// Where the request head ends: the position just after its empty line, or npos when the empty
// line has not arrived yet. Lines may end in CR LF or LF. With resume, the scan starts at
// *resume (the start of a line) and, on npos, *resume is left at the start of the last,
// incomplete line, so a head arriving byte by byte is scanned once in all.
size_t FindHeadEnd(std::string_view bytes, size_t* resume = nullptr);

struct THeadInfo {
  int Status = 0;  // 0: well-formed; otherwise the status to answer with (400, 501, 505)
  long long ContentLength = 0;
  bool ExpectContinue = false;
};

// Parses the head (one empty line before the request line is skipped, the closing empty line is
// optional) into req: Method, URL, PathInfo, Query, Protocol, Headers, Authorization, QueryFields.
THeadInfo ParseRequestHead(std::string_view head, TRequest& req);

// Fills ContentFields and Files from req.Content and its Content-Type header, when the method is
// POST or PUT or there is a body. False when a multipart body does not parse (answered with 400:
// taking it as an empty form would lose what was posted without a word).
bool ParseRequestContent(TRequest& req);

// Whole request from memory (head, then Content-Length bytes of body): 0, or the status to
// answer with (a body shorter than announced, or one that does not parse, is 400).
int ParseRequest(std::string_view bytes, TRequest& req);

}  // namespace nv
