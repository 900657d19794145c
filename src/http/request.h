// The request object and its parsing: head, query string, posted fields. The parsers are pure
// functions over bytes with bounded work and no failure on any input, so the server and the
// fuzzers run the same code.
#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "http/posted_fields.h"
#include "text/text_list.h"

namespace nv {

// An uploaded file. Its content lies in the request's body and is valid while the request
// lives.
struct TUploadedFile {
  std::string FieldName;     // name of the form field that carried the file
  std::string FileName;      // the client's file name, as sent
  std::string ContentType;   // the part's own Content-Type ("" when it has none)
  std::string_view Content;  // the file's bytes
};

// Most posted fields (parts included) and uploaded files one request may carry; a body beyond
// either gets 413. Real forms stay far below, while an entry costs memory beside the body.
constexpr size_t kMaxPostedFields = 1000 * 1000;
constexpr size_t kMaxUploadedFiles = 10 * 1000;

// A request that gets an answer of the layer's own instead of its handler's: a posted body
// that does not parse, or posts too much. Raised when the posted fields are first read.
class TRequestRefused : public std::runtime_error {
 public:
  TRequestRefused(int status, const std::string& message)
      : std::runtime_error(message), status_(status) {}
  int Status() const { return status_; }

 private:
  int status_;
};

class TRequest {
 public:
  TRequest() = default;
  // Uploaded files point into the body: a request is moved, never copied.
  TRequest(const TRequest&) = delete;
  TRequest& operator=(const TRequest&) = delete;
  TRequest(TRequest&&) = default;
  TRequest& operator=(TRequest&&) = default;

  std::string Method;         // as sent
  std::string URL;            // request target exactly as sent (path and query)
  std::string PathInfo;       // path part without the query (still percent-encoded)
  std::string Query;          // text after the first "?" ("" when there is none)
  std::string Protocol;       // "HTTP/1.1" ...
  std::string Authorization;  // value of the Authorization header, trimmed; "" when absent
  std::string RemoteAddress;  // client's IPv4 address, dotted decimal
  TStringList Headers;        // "Name=value" per header, in order (value trimmed)
  TStringList QueryFields;
  // The raw body, until the posted fields are parsed from it; they then hold it.
  std::string Content;
  // Set by the server while the handler runs: waits ms milliseconds while the server goes on
  // serving the other clients (no other request's handler of a route that may not run beside
  // this one starts meanwhile). Empty outside the server.
  std::function<void(int ms)> Pause;

  // The posted fields, parsed from the body when a handler first asks for them (a request
  // refused at the login, or for a static file, costs no parsing); filled when the method is
  // POST or PUT or there is a body. Throws TRequestRefused for a multipart body that does not
  // parse (taking it as an empty form would lose what was posted without a word) and for a
  // body beyond the limits above.
  TPostedFields& ContentFields();
  // The uploaded files in reverse part order, parsed with the posted fields.
  const std::vector<TUploadedFile>& Files();
  // Adds a file as a multipart body would have carried it (handlers' tests).
  void AddFile(std::string field_name, std::string file_name, std::string content_type,
               std::string content);

 private:
  void ParseContent();

  bool content_parsed_ = false;
  TPostedFields content_fields_;
  std::vector<TUploadedFile> files_;
  std::list<std::string> added_contents_;  // contents of files added by AddFile
};

// Pure parsers: bounded work, no failure on any bytes.

// Percent-decoding: "%XX" is that byte (a "%" without two hex digits stays as it is);
// plus_is_blank turns "+" into a blank, as form encoding does.
std::string URLDecode(std::string_view text, bool plus_is_blank = true);

// Splits at "&", skips empty pieces, decodes each piece as a whole, appends in order.
void ParseQueryString(std::string_view query, TStringList& out);

// What parsing a posted body gives.
enum class TBodyParse { kOk, kMalformed, kTooManyFields, kTooManyFiles };

// A form body: split like the query string, each piece decoded in place, the fields left
// pointing into the body.
TBodyParse ParseFormBody(std::string body, TPostedFields& out);

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

// Whole request from memory (head, then Content-Length bytes of body), its posted fields
// parsed: 0, or the status to answer with (a body shorter than announced, or one that does not
// parse, is 400).
int ParseRequest(std::string_view bytes, TRequest& req);

}  // namespace nv
