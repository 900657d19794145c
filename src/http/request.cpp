// Request parsing: the head, the query string and the posted fields. Pure functions over bytes,
// so the server and the fuzzers run the same code.
#include "http/request.h"

#include <cstring>

#include "http/multipart.h"
#include "text/numbers.h"
#include "text/strings.h"

namespace nv {

namespace {

// Percent-decodes text[from, to) into text from position write on (write <= from: decoding
// never lengthens the text). Returns where the decoded bytes end.
size_t DecodeInPlace(std::string& text, size_t from, size_t to, size_t write, bool plus_is_blank) {
  for (size_t i = from; i < to; ++i) {
    char c = text[i];
    if (c == '+' && plus_is_blank) {
      c = ' ';
    } else if (c == '%' && i + 2 < to && HexDigitValue(text[i + 1]) >= 0 &&
               HexDigitValue(text[i + 2]) >= 0) {
      c = static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
      i += 2;
    }
    text[write++] = c;
  }
  return write;
}

// Calls piece(from, to) for each non-empty piece of text between "&"s, in order, until a call
// answers false; false then. The bytes behind the reading position may be rewritten meanwhile.
template <typename Piece>
bool ForEachPiece(std::string_view text, Piece piece) {
  for (size_t start = 0; start <= text.size();) {
    size_t amp = text.find('&', start);
    if (amp == std::string_view::npos) amp = text.size();
    if (amp > start && !piece(start, amp)) return false;
    start = amp + 1;
  }
  return true;
}

// Token characters of a method or header name.
bool IsTokenChar(unsigned char c) {
  if (c >= '0' && c <= '9') return true;
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
  return c != 0 &&
         std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool IsToken(std::string_view s) {
  if (s.empty()) return false;
  for (unsigned char c : s) {
    if (!IsTokenChar(c)) return false;
  }
  return true;
}

// Control characters other than TAB have no place in a head line (a bare CR would let a
// header smuggle another one past a proxy).
bool HasControl(std::string_view s) {
  for (unsigned char c : s) {
    if ((c < 0x20 && c != '\t') || c == 0x7F) return true;
  }
  return false;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && SameAsciiIgnoreCase(s.substr(0, prefix.size()), prefix);
}

bool ContainsNoCase(std::string_view s, std::string_view part) {
  return UpperAscii(s).find(UpperAscii(part)) != std::string::npos;
}

// Content-Length: digits only. Values past 18 digits are reported as "huge" (-2) so that the
// caller answers 413 rather than overflowing.
long long ParseContentLength(std::string_view v) {
  if (v.empty()) return -1;
  long long n = 0;
  size_t digits = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return -1;
    if (digits == 0 && c == '0') continue;  // leading zeros do not count towards the size
    if (++digits > 18) return -2;
    n = n * 10 + (c - '0');
  }
  return n;
}

// Splits the request target into path and query. An absolute-form target
// ("http://host/path?q") is reduced to its path.
bool SplitTarget(std::string_view target, TRequest& req) {
  if (target.empty()) return false;
  for (unsigned char c : target) {
    if (c <= 0x20 || c == 0x7F) return false;
  }
  std::string_view path = target;
  std::string_view query;
  if (StartsWithNoCase(path, "http://") || StartsWithNoCase(path, "https://")) {
    size_t start = path.find_first_of("/?", path.find("//") + 2);
    path = start == std::string_view::npos ? std::string_view() : path.substr(start);
  } else if (path[0] != '/') {
    return false;
  }
  size_t q = path.find('?');
  if (q != std::string_view::npos) {
    query = path.substr(q + 1);
    path = path.substr(0, q);
  }
  req.PathInfo.assign(path.empty() ? std::string_view("/") : path);
  req.Query.assign(query);
  return true;
}

// Splits "Name: value"; false when the line is not a header.
bool SplitHeader(std::string_view line, std::string_view& name, std::string_view& value) {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  name = line.substr(0, colon);
  if (!IsToken(name)) return false;  // also refuses blanks before the colon
  value = TrimView(line.substr(colon + 1));
  return true;
}

}  // namespace

std::string URLDecode(std::string_view text, bool plus_is_blank) {
  std::string out(text);
  out.resize(DecodeInPlace(out, 0, out.size(), 0, plus_is_blank));
  return out;
}

void ParseQueryString(std::string_view query, TStringList& out) {
  ForEachPiece(query, [&](size_t from, size_t to) {
    out.Add(URLDecode(query.substr(from, to - from)));
    return true;
  });
}

TBodyParse ParseFormBody(std::string body, TPostedFields& out) {
  out.Clear();
  // Counted first: a body of millions of tiny fields is refused before anything is built.
  size_t pieces = 0;
  if (!ForEachPiece(body, [&](size_t, size_t) { return ++pieces <= kMaxPostedFields; })) {
    return TBodyParse::kTooManyFields;
  }
  // Each piece is decoded back over the body, behind the reading position, and its field
  // points at the decoded bytes.
  std::string& text = out.AdoptBuffer(std::move(body));
  out.Reserve(pieces);
  size_t write = 0;
  ForEachPiece(text, [&](size_t from, size_t to) {
    const size_t begin = write;
    write = DecodeInPlace(text, from, to, write, true);
    const void* eq = std::memchr(text.data() + begin, '=', write - begin);
    if (eq == nullptr) {
      out.AddBare(begin, write - begin);
    } else {
      const size_t at = static_cast<const char*>(eq) - text.data();
      out.AddSpan(begin, at - begin, at + 1, write - at - 1);
    }
    return true;
  });
  return TBodyParse::kOk;
}

size_t FindHeadEnd(std::string_view bytes, size_t* resume) {
  size_t pos = resume ? *resume : 0;
  while (true) {
    size_t lf = bytes.find('\n', pos);
    if (lf == std::string_view::npos) {
      if (resume) *resume = pos;
      return std::string_view::npos;
    }
    size_t len = lf - pos;
    // An empty line ends the head; an empty first line comes before the request line and is
    // skipped by the parser.
    if (pos > 0 && (len == 0 || (len == 1 && bytes[pos] == '\r'))) return lf + 1;
    pos = lf + 1;
  }
}

THeadInfo ParseRequestHead(std::string_view head, TRequest& req) {
  THeadInfo info;
  info.Status = 400;
  std::vector<std::string_view> lines;
  lines.reserve(16);
  // One empty line before the request line is skipped, as RFC 9112 asks: some clients send a
  // CR LF after a POST body, which then leads their next request.
  size_t pos = head.substr(0, 2) == "\r\n" ? 2 : head.substr(0, 1) == "\n" ? 1 : 0;
  while (pos < head.size()) {
    size_t lf = head.find('\n', pos);
    std::string_view line =
        head.substr(pos, lf == std::string_view::npos ? std::string_view::npos : lf - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos = lf == std::string_view::npos ? head.size() : lf + 1;
    if (line.empty()) break;  // the empty line that ends the head
    if (HasControl(line)) return info;
    lines.push_back(line);
  }
  if (lines.empty()) return info;

  // Request line: method SP target SP version.
  std::string_view rl = lines[0];
  size_t sp1 = rl.find(' ');
  size_t sp2 = sp1 == std::string_view::npos ? sp1 : rl.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos || rl.find(' ', sp2 + 1) != std::string_view::npos) {
    return info;
  }
  std::string_view method = rl.substr(0, sp1);
  std::string_view target = rl.substr(sp1 + 1, sp2 - sp1 - 1);
  std::string_view version = rl.substr(sp2 + 1);
  if (!IsToken(method) || version.size() != 8 || version.substr(0, 5) != "HTTP/" ||
      version[5] < '0' || version[5] > '9' || version[6] != '.' || version[7] < '0' ||
      version[7] > '9') {
    return info;
  }
  // Another major version may frame the rest differently: nothing after this line is read.
  if (version[5] != '1') {
    info.Status = 505;
    return info;
  }
  if (!SplitTarget(target, req)) return info;
  req.Method = std::string(method);
  req.URL = std::string(target);
  req.Protocol = std::string(version);

  bool have_length = false;
  bool have_authorization = false;
  for (size_t i = 1; i < lines.size(); ++i) {
    std::string_view name;
    std::string_view value;
    // A line starting with a blank is an obsolete folded continuation: refused.
    if (lines[i][0] == ' ' || lines[i][0] == '\t' || !SplitHeader(lines[i], name, value)) {
      return info;
    }
    if (SameAsciiIgnoreCase(name, "CONTENT-LENGTH")) {
      long long n = ParseContentLength(value);
      if (n == -1 || (have_length && n != info.ContentLength)) return info;
      info.ContentLength = n;
      have_length = true;
    } else if (SameAsciiIgnoreCase(name, "TRANSFER-ENCODING")) {
      // Chunked bodies are not read; answering keeps the framing of the connection honest.
      info.Status = 501;
      return info;
    } else if (SameAsciiIgnoreCase(name, "EXPECT")) {
      if (SameAsciiIgnoreCase(value, "100-CONTINUE")) info.ExpectContinue = true;
    } else if (SameAsciiIgnoreCase(name, "AUTHORIZATION") && !have_authorization) {
      req.Authorization = value;
      have_authorization = true;
    }
    std::string entry;
    entry.reserve(name.size() + 1 + value.size());
    entry.append(name).append(1, '=').append(value);
    req.Headers.Add(std::move(entry));
  }
  ParseQueryString(req.Query, req.QueryFields);
  info.Status = 0;
  return info;
}

void TRequest::ParseContent() {
  if (content_parsed_) return;
  content_parsed_ = true;
  if (Content.empty() && Method != "POST" && Method != "PUT") return;
  const std::string type = Headers.GetValue("Content-Type");
  TBodyParse result = TBodyParse::kOk;
  if (ContainsNoCase(type, "application/x-www-form-urlencoded")) {
    result = ParseFormBody(std::move(Content), content_fields_);
  } else if (ContainsNoCase(type, "multipart/form-data")) {
    result = ParseMultipartBody(type, std::move(Content), content_fields_, files_);
  } else {
    return;  // other content types post no fields; the body stays as it came
  }
  std::string().swap(Content);
  switch (result) {
    case TBodyParse::kOk:
      return;
    case TBodyParse::kMalformed:
      throw TRequestRefused(400, "The multipart body does not parse");
    case TBodyParse::kTooManyFields:
      throw TRequestRefused(413, "Too many posted fields: a request may post at most " +
                                     std::to_string(kMaxPostedFields));
    case TBodyParse::kTooManyFiles:
      throw TRequestRefused(413, "Too many uploaded files: a request may carry at most " +
                                     std::to_string(kMaxUploadedFiles));
  }
}

TPostedFields& TRequest::ContentFields() {
  ParseContent();
  return content_fields_;
}

const std::vector<TUploadedFile>& TRequest::Files() {
  ParseContent();
  return files_;
}

void TRequest::AddFile(std::string field_name, std::string file_name, std::string content_type,
                       std::string content) {
  ParseContent();
  // A list never moves what it holds, so the view stays good.
  std::string_view bytes = added_contents_.emplace_back(std::move(content));
  files_.push_back({std::move(field_name), std::move(file_name), std::move(content_type), bytes});
}

int ParseRequest(std::string_view bytes, TRequest& req) {
  size_t end = FindHeadEnd(bytes);
  if (end == std::string_view::npos) return 400;
  THeadInfo info = ParseRequestHead(bytes.substr(0, end), req);
  if (info.Status != 0) return info.Status;
  if (info.ContentLength < 0) return 413;
  std::string_view rest = bytes.substr(end);
  if (static_cast<unsigned long long>(info.ContentLength) > rest.size()) return 400;
  req.Content = std::string(rest.substr(0, static_cast<size_t>(info.ContentLength)));
  try {
    req.ContentFields();
  } catch (const TRequestRefused& refused) {
    return refused.Status();
  }
  return 0;
}

}  // namespace nv
