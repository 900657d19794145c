#include "text/text_list.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "platform/files.h"
#include "platform/unicode.h"
#include "text/strings.h"

namespace nv {

namespace {

// Folded name of an entry, or false when the entry has no "=" and so no name.
bool EntryKey(const std::string& entry, std::string& key) {
  size_t eq = entry.find('=');
  if (eq == std::string::npos) return false;
  key = UpperUtf8(std::string_view(entry).substr(0, eq));
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TStringList

TStringList::TStringList(const TStringList& other) = default;
TStringList& TStringList::operator=(const TStringList& other) = default;

void TStringList::InvalidateIndex() const {
  index_valid_ = false;
  index_.clear();
}

void TStringList::IndexEntry(size_t i) const {
  std::string key;
  if (EntryKey(items_[i], key)) index_.emplace(std::move(key), i);  // first entry wins
}

void TStringList::BuildIndex() const {
  index_.clear();
  index_.reserve(items_.size());
  for (size_t i = 0; i < items_.size(); ++i) IndexEntry(i);
  index_valid_ = true;
}

void TStringList::Add(std::string text) {
  items_.push_back(std::move(text));
  if (index_valid_) IndexEntry(items_.size() - 1);
}

void TStringList::Insert(size_t i, std::string text) {
  if (i > items_.size()) throw std::out_of_range("List index out of bounds");
  if (i == items_.size()) return Add(std::move(text));
  items_.insert(items_.begin() + static_cast<long>(i), std::move(text));
  InvalidateIndex();
}

void TStringList::Put(size_t i, std::string text) {
  std::string& entry = items_.at(i);
  if (index_valid_) {
    std::string old_key, new_key;
    bool had = EntryKey(entry, old_key), has = EntryKey(text, new_key);
    if (had != has || old_key != new_key) InvalidateIndex();
  }
  entry = std::move(text);
}

void TStringList::Delete(size_t i) {
  if (i >= items_.size()) throw std::out_of_range("List index out of bounds");
  if (index_valid_ && i + 1 == items_.size()) {
    // Removing the last entry shifts nothing: only its own key can point at it.
    std::string key;
    if (EntryKey(items_[i], key)) {
      auto it = index_.find(key);
      if (it != index_.end() && it->second == i) index_.erase(it);
    }
  } else {
    InvalidateIndex();
  }
  items_.erase(items_.begin() + static_cast<long>(i));
}

void TStringList::Clear() {
  items_.clear();
  InvalidateIndex();
}

void TStringList::Assign(const TStringList& other) {
  if (&other == this) return;
  items_ = other.items_;
  InvalidateIndex();
}

long TStringList::IndexOfName(std::string_view name) const {
  // A name never holds "=": the name of an entry ends at its first one.
  if (name.find('=') != std::string_view::npos) return -1;
  if (!index_valid_) BuildIndex();
  auto it = index_.find(UpperUtf8(name));
  return it == index_.end() ? -1 : static_cast<long>(it->second);
}

std::string TStringList::GetValue(std::string_view name) const {
  long i = IndexOfName(name);
  if (i < 0) return std::string();
  const std::string& e = items_[static_cast<size_t>(i)];
  return e.substr(e.find('=') + 1);
}

void TStringList::SetValue(std::string_view name, std::string_view value) {
  std::string entry;
  entry.reserve(name.size() + 1 + value.size());
  entry.append(name).append("=").append(value);
  long i = IndexOfName(name);
  if (i < 0)
    Add(std::move(entry));
  else
    items_[static_cast<size_t>(i)] = std::move(entry);  // same folded name: index stays valid
}

std::string TStringList::GetName(size_t i) const {
  const std::string& e = items_.at(i);
  size_t eq = e.find('=');
  return eq == std::string::npos ? std::string() : e.substr(0, eq);
}

std::string TStringList::GetValueFromIndex(size_t i) const {
  const std::string& e = items_.at(i);
  size_t eq = e.find('=');
  return eq == std::string::npos ? e : e.substr(eq + 1);
}

void TStringList::SetValueFromIndex(size_t i, std::string_view value) {
  if (value.empty()) return Delete(i);
  std::string entry = GetName(i);
  entry.append("=").append(value);
  Put(i, std::move(entry));
}

long TStringList::IndexOf(std::string_view text) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (SameName(items_[i], text)) return static_cast<long>(i);
  return -1;
}

std::string TStringList::GetTextStr() const {
  size_t n = 0;
  for (const auto& e : items_) n += e.size() + 2;
  std::string out;
  out.reserve(n);
  for (const auto& e : items_) out.append(e).append("\r\n");
  return out;
}

void TStringList::SetTextStr(std::string_view text) {
  items_.clear();
  InvalidateIndex();
  ForEachLine(text, [this](std::string_view line) { items_.emplace_back(line); });
}

void TStringList::SetDelimitedText(std::string_view line) {
  items_.clear();
  InvalidateIndex();
  size_t pos = 0;
  bool first = true;
  while (first || pos < line.size()) {
    if (line.empty()) break;
    if (!first && line[pos] == ',') ++pos;
    first = false;
    std::string field;
    if (pos < line.size() && line[pos] == '"') {
      ++pos;
      while (pos < line.size()) {
        if (line[pos] == '"') {
          if (pos + 1 < line.size() && line[pos + 1] == '"') {
            field += '"';
            pos += 2;
            continue;
          }
          ++pos;  // closing quote
          break;
        }
        field += line[pos++];
      }
    } else {
      size_t end = line.find(',', pos);
      if (end == std::string_view::npos) end = line.size();
      field.assign(line.substr(pos, end - pos));
      pos = end;
    }
    items_.push_back(std::move(field));
  }
}

// ---------------------------------------------------------------------------------------------
// Files

namespace {

void AppendUtf16(std::string& out, std::string_view bytes, bool big_endian) {
  size_t i = 0;
  auto unit = [&](size_t k) -> char32_t {
    unsigned char a = bytes[k], b = bytes[k + 1];
    return big_endian ? (a << 8 | b) : (b << 8 | a);
  };
  while (i + 1 < bytes.size()) {
    char32_t c = unit(i);
    i += 2;
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < bytes.size()) {
      char32_t d = unit(i);
      if (d >= 0xDC00 && d <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00);
        i += 2;
      }
    }
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;  // lone surrogate
    AppendUtf8(out, c);
  }
  if (i < bytes.size()) AppendUtf8(out, 0xFFFD);  // odd trailing byte
}

std::string ToUtf16(std::string_view text, bool big_endian) {
  std::string out;
  out.reserve(text.size() * 2);
  auto put = [&](char32_t u) {
    char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    if (big_endian) {
      out += hi;
      out += lo;
    } else {
      out += lo;
      out += hi;
    }
  };
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t c = DecodeUtf8(text, pos);
    if (c >= 0x10000) {
      c -= 0x10000;
      put(0xD800 + (c >> 10));
      put(0xDC00 + (c & 0x3FF));
    } else {
      put(c);
    }
  }
  return out;
}

}  // namespace

std::string_view DecodeListText(std::string_view bytes, std::string& decoded,
                                TextEncoding* encoding) {
  auto starts = [&](const char* mark, size_t n) {
    return bytes.size() >= n && std::memcmp(bytes.data(), mark, n) == 0;
  };
  TextEncoding found = TextEncoding::Utf8;
  std::string_view text = bytes;
  if (starts("\xFF\xFE", 2) || starts("\xFE\xFF", 2)) {
    const bool big_endian = bytes[0] == '\xFE';
    decoded.clear();
    AppendUtf16(decoded, bytes.substr(2), big_endian);
    text = decoded;
    found = big_endian ? TextEncoding::Utf16BE : TextEncoding::Utf16LE;
  } else if (starts("\xEF\xBB\xBF", 3)) {
    text = bytes.substr(3);
    found = TextEncoding::Utf8Bom;
  }
  if (encoding != nullptr) *encoding = found;
  return text;
}

void TStringList::LoadFromBytes(std::string_view bytes) {
  std::string decoded;
  TextEncoding encoding;
  SetTextStr(DecodeListText(bytes, decoded, &encoding));
  encoding_ = encoding;
}

void TStringList::LoadFromFile(const std::string& path) {
  const auto fail = [&](int err) {
    throw std::runtime_error("Unable to open file \"" + path + "\": " + std::strerror(err));
  };
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail(errno);
  std::string bytes;
  char buf[64 * 1024];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      bytes.append(buf, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      int err = errno;
      close(fd);
      fail(err);
    }
  }
  close(fd);
  LoadFromBytes(bytes);
}

void TStringList::SaveToFile(const std::string& path) const {
  WriteFileOrThrow(path, SavedBytes());
}

std::string TStringList::SavedBytes() const {
  std::string text = GetTextStr();
  switch (encoding_) {
    case TextEncoding::Utf8:
      break;
    case TextEncoding::Utf8Bom:
      text.insert(0, "\xEF\xBB\xBF");
      break;
    case TextEncoding::Utf16LE:
      text = "\xFF\xFE" + ToUtf16(text, false);
      break;
    case TextEncoding::Utf16BE:
      text = "\xFE\xFF" + ToUtf16(text, true);
      break;
  }
  return text;
}

void TStringList::Sort() {
  std::vector<std::pair<std::string, std::string>> keyed;
  keyed.reserve(items_.size());
  for (auto& e : items_) keyed.emplace_back(UpperUtf8(e), std::move(e));
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (size_t i = 0; i < items_.size(); ++i) items_[i] = std::move(keyed[i].second);
  InvalidateIndex();
}

}  // namespace nv
