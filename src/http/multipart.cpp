// multipart/form-data bodies: one posted field per part, files beside them, both in reverse
// part order (the last part first), which is the order the page engine relies on.
#include "http/multipart.h"

#include <cstring>

#include "text/strings.h"

namespace nv {

namespace {

// Delimiters are searched with memmem: linear time however hostile the body. An empty view
// may hold a null pointer, which memmem must never get, so a hay shorter than the needle is
// answered here.
size_t Find(std::string_view hay, std::string_view needle, size_t from) {
  if (from > hay.size() || hay.size() - from < needle.size()) return std::string_view::npos;
  if (needle.empty()) return from;
  const void* hit = memmem(hay.data() + from, hay.size() - from, needle.data(), needle.size());
  return hit ? static_cast<const char*>(hit) - hay.data() : std::string_view::npos;
}

struct Param {
  std::string key;  // lower-cased ASCII
  std::string value;
};

// "form-data; name="a"; filename="b"": the parameters after the first ";". A quoted value runs
// to the next quote; backslashes are kept, since browsers send Windows paths unescaped.
std::vector<Param> ParseParams(std::string_view header) {
  std::vector<Param> params;
  size_t pos = header.find(';');
  while (pos != std::string_view::npos && pos < header.size()) {
    ++pos;
    size_t eq = header.find_first_of("=;", pos);
    if (eq == std::string_view::npos || header[eq] == ';') {
      pos = eq;
      continue;
    }
    Param p;
    p.key = LowerAscii(Trim(header.substr(pos, eq - pos)));
    size_t v = eq + 1;
    while (v < header.size() && (header[v] == ' ' || header[v] == '\t')) ++v;
    if (v < header.size() && header[v] == '"') {
      size_t close = header.find('"', v + 1);
      if (close == std::string_view::npos) close = header.size();
      p.value = std::string(header.substr(v + 1, close - v - 1));
      pos = header.find(';', close);
    } else {
      size_t semi = header.find(';', v);
      p.value = Trim(header.substr(v, semi == std::string_view::npos ? semi : semi - v));
      pos = semi;
    }
    params.push_back(std::move(p));
  }
  return params;
}

const Param* FindParam(const std::vector<Param>& params, std::string_view key) {
  for (const Param& p : params) {
    if (p.key == key) return &p;
  }
  return nullptr;
}

struct Part {
  bool has_name = false;
  bool has_file_name = false;
  std::string name;
  std::string file_name;
  std::string content_type;
  std::string_view content;
};

// One part between two delimiters: header lines, an empty line, the content. False when the
// empty line is missing.
bool ParsePart(std::string_view segment, Part& part) {
  size_t content_at;
  std::string_view headers;
  if (segment.substr(0, 2) == "\r\n") {
    content_at = 2;
  } else {
    size_t blank = Find(segment, "\r\n\r\n", 0);
    if (blank == std::string_view::npos) return false;
    headers = segment.substr(0, blank);
    content_at = blank + 4;
  }
  part.content = segment.substr(content_at);
  size_t pos = 0;
  while (pos < headers.size()) {
    size_t end = Find(headers, "\r\n", pos);
    if (end == std::string_view::npos) end = headers.size();
    std::string_view line = headers.substr(pos, end - pos);
    pos = end + 2;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string name = LowerAscii(Trim(line.substr(0, colon)));
    std::string_view value = line.substr(colon + 1);
    if (name == "content-disposition") {
      std::vector<Param> params = ParseParams(value);
      if (const Param* p = FindParam(params, "name"); p && !p->value.empty()) {
        part.has_name = true;
        part.name = p->value;
      }
      if (const Param* p = FindParam(params, "filename")) {
        part.has_file_name = true;
        part.file_name = p->value;
      }
    } else if (name == "content-type") {
      part.content_type = Trim(value);
    }
  }
  return true;
}

std::string BoundaryOf(std::string_view content_type) {
  const Param* p = nullptr;
  std::vector<Param> params = ParseParams(content_type);
  p = FindParam(params, "boundary");
  return p ? p->value : std::string();
}

// The parts of the body in body order. False unless the body is whole: a first delimiter, every
// part with its header end, a closing delimiter.
bool SplitParts(std::string_view body, const std::string& boundary, std::vector<Part>& parts) {
  const std::string delim = "\r\n--" + boundary;
  std::string_view bare = std::string_view(delim).substr(2);
  size_t pos;
  if (body.substr(0, bare.size()) == bare) {
    pos = bare.size();
  } else {
    pos = Find(body, delim, 0);
    if (pos == std::string_view::npos) return false;
    pos += delim.size();
  }
  while (true) {
    if (body.substr(pos, 2) == "--") return true;  // the closing delimiter
    while (pos < body.size() && (body[pos] == ' ' || body[pos] == '\t')) ++pos;
    if (body.substr(pos, 2) != "\r\n") return false;
    pos += 2;
    size_t next = Find(body, delim, pos);
    if (next == std::string_view::npos) return false;
    Part part;
    if (!ParsePart(body.substr(pos, next - pos), part)) return false;
    parts.push_back(std::move(part));
    pos = next + delim.size();
  }
}

// Appends the fields and files of the parts. With owner (the buffer the parts lie in), the
// longest content takes the buffer over instead of being copied: every other one is copied
// out first, while the buffer still holds it.
void AddParts(const std::vector<Part>& parts, std::string* owner, TStringList& fields,
              std::vector<TUploadedFile>& files) {
  size_t longest = parts.size();
  if (owner != nullptr) {
    for (size_t i = 0; i < parts.size(); ++i) {
      if (longest == parts.size() || parts[i].content.size() > parts[longest].content.size()) {
        longest = i;
      }
    }
  }
  std::vector<std::string> entries;
  std::vector<TUploadedFile> found;
  constexpr size_t kNone = static_cast<size_t>(-1);
  size_t taker_entry = kNone;  // where the longest content goes
  size_t taker_file = kNone;
  for (size_t i = parts.size(); i-- > 0;) {
    const Part& part = parts[i];
    std::string name = part.has_name ? part.name : "DummyFileItem" + std::to_string(i);
    const bool take = i == longest;
    if (!part.has_file_name) {
      if (take) taker_entry = entries.size();
      entries.push_back(name + "=");
      if (!take) entries.back().append(part.content);
      continue;
    }
    entries.push_back(name + "=" + part.file_name);
    // A browser sends an empty part (or a lone line break) when no file was chosen.
    if (part.content.empty() || part.content == "\r\n") continue;
    if (take) taker_file = found.size();
    found.push_back(TUploadedFile{name, part.file_name, part.content_type,
                                  take ? std::string() : std::string(part.content)});
  }
  if (taker_entry != kNone || taker_file != kNone) {
    std::string_view content = parts[longest].content;
    std::string prefix = taker_entry != kNone ? std::move(entries[taker_entry]) : std::string();
    const size_t at = static_cast<size_t>(content.data() - owner->data());
    owner->resize(at + content.size());
    owner->replace(0, at, prefix);  // in place: the part's headers took more room than this
    (taker_entry != kNone ? entries[taker_entry] : found[taker_file].Content) = std::move(*owner);
  }
  for (std::string& e : entries) fields.Add(std::move(e));
  for (TUploadedFile& f : found) files.push_back(std::move(f));
}

}  // namespace

bool ParseMultipart(std::string_view content_type, std::string_view body, TStringList& fields,
                    std::vector<TUploadedFile>& files) {
  std::string boundary = BoundaryOf(content_type);
  std::vector<Part> parts;
  if (boundary.empty() || !SplitParts(body, boundary, parts)) return false;
  AddParts(parts, nullptr, fields, files);
  return true;
}

bool ParseMultipartBody(std::string_view content_type, std::string&& body, TStringList& fields,
                        std::vector<TUploadedFile>& files) {
  std::string boundary = BoundaryOf(content_type);
  std::vector<Part> parts;
  const bool whole = !boundary.empty() && SplitParts(body, boundary, parts);
  if (whole) AddParts(parts, &body, fields, files);
  std::string().swap(body);
  return whole;
}

}  // namespace nv
