// multipart/form-data bodies: one posted field per part, files beside them, both in reverse
// part order (the last part first), which is the order the page engine relies on. Nothing of a
// part is copied: its field points into the body, so a body of many tiny parts costs little
// more than itself.
#include "http/multipart.h"

#include <algorithm>
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

// "form-data; name="a"; filename="b"": the value of the first parameter after the first ";"
// whose key is key (ASCII case ignored). A quoted value runs to the next quote; backslashes
// are kept, since browsers send Windows paths unescaped.
bool FindParam(std::string_view header, std::string_view key, std::string_view& found) {
  size_t pos = header.find(';');
  while (pos != std::string_view::npos && pos < header.size()) {
    ++pos;
    size_t eq = header.find_first_of("=;", pos);
    if (eq == std::string_view::npos || header[eq] == ';') {
      pos = eq;
      continue;
    }
    const bool match = SameAsciiIgnoreCase(TrimView(header.substr(pos, eq - pos)), key);
    std::string_view value;
    size_t v = eq + 1;
    while (v < header.size() && (header[v] == ' ' || header[v] == '\t')) ++v;
    if (v < header.size() && header[v] == '"') {
      size_t close = header.find('"', v + 1);
      if (close == std::string_view::npos) close = header.size();
      value = header.substr(v + 1, close - v - 1);
      pos = header.find(';', close);
    } else {
      size_t semi = header.find(';', v);
      value = TrimView(header.substr(v, semi == std::string_view::npos ? semi : semi - v));
      pos = semi;
    }
    if (match) {
      found = value;
      return true;
    }
  }
  return false;
}

struct Part {
  bool has_name = false;
  bool has_file_name = false;
  std::string_view name;
  std::string_view file_name;
  std::string_view content_type;
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
    std::string_view name = TrimView(line.substr(0, colon));
    std::string_view value = line.substr(colon + 1);
    if (SameAsciiIgnoreCase(name, "content-disposition")) {
      std::string_view found;
      if (FindParam(value, "name", found) && !found.empty()) {
        part.has_name = true;
        part.name = found;
      }
      if (FindParam(value, "filename", found)) {
        part.has_file_name = true;
        part.file_name = found;
      }
    } else if (SameAsciiIgnoreCase(name, "content-type")) {
      part.content_type = TrimView(value);
    }
  }
  return true;
}

// Adds the field of part number index and, for a file part with content, its file.
TBodyParse AddPart(const Part& part, uint32_t index, std::string_view body, TPostedFields& fields,
                   std::vector<TUploadedFile>& files) {
  if (fields.GetCount() >= kMaxPostedFields) return TBodyParse::kTooManyFields;
  const auto at = [&](std::string_view piece) { return size_t(piece.data() - body.data()); };
  const std::string_view value = part.has_file_name ? part.file_name : part.content;
  if (!part.has_name) {
    fields.AddNumbered(index, at(value), value.size());
  } else if (part.name.find('=') != std::string_view::npos) {
    // The entry's name ends at its first "=": only a text of its own reads back that way.
    std::string entry(part.name);
    fields.Add(entry.append("=").append(value));
  } else {
    fields.AddSpan(at(part.name), part.name.size(), at(value), value.size());
  }
  // A browser sends an empty part (or a lone line break) when no file was chosen.
  if (!part.has_file_name || part.content.empty() || part.content == "\r\n") {
    return TBodyParse::kOk;
  }
  if (files.size() >= kMaxUploadedFiles) return TBodyParse::kTooManyFiles;
  std::string field_name = part.has_name ? std::string(part.name)
                                         : std::string(kUnnamedPartPrefix) + std::to_string(index);
  files.push_back({std::move(field_name), std::string(part.file_name),
                   std::string(part.content_type), part.content});
  return TBodyParse::kOk;
}

// The parts of the body in body order, each added as it is met. kMalformed unless the body is
// whole: a first delimiter, every part with its header end, a closing delimiter.
TBodyParse AddParts(std::string_view body, std::string_view boundary, TPostedFields& fields,
                    std::vector<TUploadedFile>& files) {
  const std::string delim = "\r\n--" + std::string(boundary);
  std::string_view bare = std::string_view(delim).substr(2);
  size_t pos;
  if (body.substr(0, bare.size()) == bare) {
    pos = bare.size();
  } else {
    pos = Find(body, delim, 0);
    if (pos == std::string_view::npos) return TBodyParse::kMalformed;
    pos += delim.size();
  }
  for (uint32_t index = 0;; ++index) {
    if (body.substr(pos, 2) == "--") return TBodyParse::kOk;  // the closing delimiter
    while (pos < body.size() && (body[pos] == ' ' || body[pos] == '\t')) ++pos;
    if (body.substr(pos, 2) != "\r\n") return TBodyParse::kMalformed;
    pos += 2;
    size_t next = Find(body, delim, pos);
    if (next == std::string_view::npos) return TBodyParse::kMalformed;
    Part part;
    if (!ParsePart(body.substr(pos, next - pos), part)) return TBodyParse::kMalformed;
    if (TBodyParse r = AddPart(part, index, body, fields, files); r != TBodyParse::kOk) return r;
    pos = next + delim.size();
  }
}

}  // namespace

TBodyParse ParseMultipartBody(std::string_view content_type, std::string body,
                              TPostedFields& fields, std::vector<TUploadedFile>& files) {
  fields.Clear();
  files.clear();
  std::string_view boundary;
  if (!FindParam(content_type, "boundary", boundary) || boundary.empty()) {
    return TBodyParse::kMalformed;
  }
  const std::string& buffer = fields.AdoptBuffer(std::move(body));
  const TBodyParse result = AddParts(buffer, boundary, fields, files);
  if (result != TBodyParse::kOk) {
    fields.Clear();
    files.clear();
    return result;
  }
  fields.ReverseFrom(0);
  std::reverse(files.begin(), files.end());
  return result;
}

}  // namespace nv
