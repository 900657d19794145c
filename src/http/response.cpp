// The response: its wire form and the single send.
#include "http/response.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>

#include "http/file_stream.h"
#include "text/strings.h"

namespace nv {

namespace {

// Bytes of a stream body are sent in pieces of this size, so a large file is never held whole.
constexpr size_t kStreamChunk = 64 * 1024;

// Header text must not break the head apart: a CR or LF in a value (a client's file name sent
// back in Content-Disposition, say) would let the client write headers of its own.
std::string HeaderSafe(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  }
  return out;
}

}  // namespace

std::string_view ReasonPhrase(int code) {
  switch (code) {
    case 100:
      return "Continue";
    case 101:
      return "Switching Protocols";
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 202:
      return "Accepted";
    case 203:
      return "Non-Authoritative Information";
    case 204:
      return "No Content";
    case 205:
      return "Reset Content";
    case 206:
      return "Partial Content";
    case 300:
      return "Multiple Choices";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 305:
      return "Use Proxy";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 402:
      return "Payment Required";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 406:
      return "Not Acceptable";
    case 407:
      return "Proxy Authentication Required";
    case 408:
      return "Request Timeout";
    case 409:
      return "Conflict";
    case 410:
      return "Gone";
    case 411:
      return "Length Required";
    case 412:
      return "Precondition Failed";
    case 413:
      return "Payload Too Large";
    case 414:
      return "URI Too Long";
    case 415:
      return "Unsupported Media Type";
    case 416:
      return "Range Not Satisfiable";
    case 417:
      return "Expectation Failed";
    case 426:
      return "Upgrade Required";
    case 428:
      return "Precondition Required";
    case 429:
      return "Too Many Requests";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "";
  }
}

namespace {

// Appends text by the lines rule of a body: its lines each followed by CR LF, a line ending
// at CR LF, a lone CR or a lone LF, and a last line without a break getting one.
void AppendBodyLines(std::string& out, std::string_view text) {
  ForEachLine(text, [&out](std::string_view line) { out.append(line).append("\r\n"); });
}

}  // namespace

void TResponse::SetContent(std::string text) {
  Contents.Clear();
  content_text_ = std::move(text);
}

void TResponse::ClearContent() {
  Contents.Clear();
  content_text_.clear();
}

TStringList TResponse::ContentLines() const {
  TStringList lines;
  lines.SetTextStr(content_text_);
  for (const std::string& line : Contents.Items()) lines.Add(line);
  return lines;
}

void TResponse::SetContentStream(std::istream* s) {
  ContentStream = s;
  ContentLength = 0;
  if (s == nullptr) return;
  s->clear();
  s->seekg(0, std::ios::end);
  std::streamoff size = s->tellg();
  s->seekg(0, std::ios::beg);
  ContentLength = size > 0 ? static_cast<long long>(size) : 0;
}

namespace {

// value as "%d" writes it, padded with spaces to at least width characters as "%3d" does.
void AppendDecimal(std::string& out, long long value, size_t width = 0) {
  char digits[24];
  const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, value);
  const size_t length = static_cast<size_t>(end.ptr - digits);
  if (length < width) out.append(width - length, ' ');
  out.append(digits, length);
}

// Appends text as HeaderSafe makes it, without the copy when there is nothing to replace.
void AppendHeaderSafe(std::string& out, std::string_view text) {
  if (text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos) {
    out.append(text);
  } else {
    out.append(HeaderSafe(text));
  }
}

}  // namespace

std::string TResponse::HeadText(long long content_length) const {
  std::string head;
  head.reserve(160);
  head.append("HTTP/1.1 ");
  AppendDecimal(head, Code, 3);
  head += ' ';
  head.append(ReasonPhrase(Code));
  head.append("\r\nStatus: ");
  AppendDecimal(head, Code);
  head += ' ';
  AppendHeaderSafe(head, CodeText);
  head.append("\r\nContent-Length: ");
  AppendDecimal(head, content_length);
  head.append("\r\n");
  if (!ContentType.empty()) {
    head.append("Content-Type: ");
    AppendHeaderSafe(head, ContentType);
    head.append("\r\n");
  }
  std::string custom;
  bool own_connection = false;
  for (size_t i = 0; i < CustomHeaders.GetCount(); ++i) {
    std::string value = CustomHeaders.GetValueFromIndex(i);
    if (value.empty()) continue;
    std::string name = CustomHeaders.GetName(i);
    if (SameAsciiIgnoreCase(name, "Connection")) own_connection = true;
    custom += HeaderSafe(name) + ": " + HeaderSafe(value) + "\r\n";
  }
  // The connection always ends after the answer; an HTTP/1.1 client that is not told so sends
  // its next request into the closed socket. A handler's own Connection header is the only one.
  if (!own_connection) head += "Connection: close\r\n";
  head += custom + "\r\n";
  return head;
}

void TResponse::Write(std::string bytes) {
  if (output_) {
    output_(std::move(bytes));
  } else {
    sent_bytes_.append(bytes);
  }
}

void TResponse::SendContent() {
  if (sent_) throw std::runtime_error("HTTP Response content was already sent");
  sent_ = true;
  if (ContentStream == nullptr) {
    // The body is built once, where it goes out: the head and the body leave together, in one
    // write of two pieces.
    size_t length = 0;
    for (const std::string& line : Contents.Items()) length += line.size() + 2;
    std::string body;
    body.reserve(content_text_.size() + content_text_.size() / 16 + 2 + length);
    AppendBodyLines(body, content_text_);
    for (const std::string& line : Contents.Items()) body.append(line).append("\r\n");
    Write(HeadText(static_cast<long long>(body.size())));
    if (!head_only_) Write(std::move(body));
    return;
  }
  long long length = ContentLength > 0 ? ContentLength : 0;
  Write(HeadText(length));
  if (head_only_) return;
  if (auto* file = dynamic_cast<TFileStream*>(ContentStream);
      file != nullptr && file->is_open() && file_output_) {
    file_output_(file->Share(), length);
    return;
  }
  ContentStream->clear();
  ContentStream->seekg(0, std::ios::beg);
  std::string chunk(kStreamChunk, '\0');
  long long left = length;
  while (left > 0) {
    size_t want =
        left < static_cast<long long>(chunk.size()) ? static_cast<size_t>(left) : chunk.size();
    ContentStream->read(chunk.data(), static_cast<std::streamsize>(want));
    std::streamsize got = ContentStream->gcount();
    if (got <= 0) {
      // Fewer bytes than announced: the connection must end here rather than let the client
      // take the next bytes for the missing body.
      throw std::runtime_error("HTTP response stream ended before its Content-Length");
    }
    Write(std::string(chunk.data(), static_cast<size_t>(got)));
    left -= got;
  }
}

}  // namespace nv
