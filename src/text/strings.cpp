#include "text/strings.h"

#include <vector>

#include "platform/unicode.h"

namespace nv {

// ---------------------------------------------------------------------------------------------
// Case folding and comparison

namespace {

bool IsAscii(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

}  // namespace

bool SameAsciiIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x -= 32;
    if (y >= 'a' && y <= 'z') y -= 32;
    if (x != y) return false;
  }
  return true;
}

bool SameName(std::string_view a, std::string_view b) {
  if (IsAscii(a) && IsAscii(b)) return SameAsciiIgnoreCase(a, b);
  return UpperUtf8(a) == UpperUtf8(b);
}

int CompareTextIgnoreCase(std::string_view a, std::string_view b) {
  // UTF-8 byte order is code point order, so comparing the folded bytes orders by code point.
  return UpperUtf8(a).compare(UpperUtf8(b));
}

std::string UpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return out;
}

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

std::string_view TrimView(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= 32) --e;
  return text.substr(b, e - b);
}

std::string Trim(std::string_view text) { return std::string(TrimView(text)); }

// ---------------------------------------------------------------------------------------------
// Text replacement

namespace {

// Upper-cased copy of text plus, for every byte of the copy, the offset in text of the character
// it came from (one extra slot for the end). Only needed when a fold changes a character's length.
struct FoldedText {
  std::string upper;
  std::vector<size_t> origin;  // empty: offsets are the same in both texts
};

FoldedText Fold(std::string_view text) {
  FoldedText f;
  f.upper.reserve(text.size());
  size_t pos = 0;
  bool same_length = true;
  std::vector<size_t> origin;
  while (pos < text.size()) {
    size_t start = pos;
    char32_t c = DecodeUtf8(text, pos);
    size_t before = f.upper.size();
    if (pos - start == 1 && static_cast<unsigned char>(text[start]) >= 0x80)
      f.upper += text[start];
    else
      AppendUtf8(f.upper, UpperCodePoint(c));
    size_t grown = f.upper.size() - before;
    if (grown != pos - start && same_length) {
      same_length = false;
      // Fill in the identity mapping for everything folded so far.
      origin.resize(before);
      for (size_t i = 0; i < before; ++i) origin[i] = i;
    }
    if (!same_length) origin.insert(origin.end(), grown, start);
  }
  if (!same_length) {
    origin.push_back(text.size());
    f.origin = std::move(origin);
  }
  return f;
}

}  // namespace

std::string StringReplace(std::string_view text, std::string_view pattern,
                          std::string_view replacement, unsigned flags, size_t limit) {
  if (pattern.empty()) return std::string(text);
  const bool all = flags & rfReplaceAll;
  FoldedText folded;
  std::string folded_pattern;
  std::string_view hay = text, needle = pattern;
  if (flags & rfIgnoreCase) {
    folded = Fold(text);
    folded_pattern = UpperUtf8(pattern);
    hay = folded.upper;
    needle = folded_pattern;
  }
  const auto to_text = [&](size_t p) { return folded.origin.empty() ? p : folded.origin[p]; };

  std::string out;
  size_t copied = 0;  // text offset up to which out holds the original
  size_t pos = 0;     // search position in hay
  size_t count = 0;
  while (pos <= hay.size()) {
    size_t hit = hay.find(needle, pos);
    if (hit == std::string_view::npos) break;
    size_t b = to_text(hit), e = to_text(hit + needle.size());
    if (out.empty()) out.reserve(text.size() + replacement.size());
    out.append(text.substr(copied, b - copied));
    out.append(replacement);
    copied = e;
    pos = hit + needle.size();
    ++count;
    if (!all || (limit && count >= limit)) break;
  }
  if (count == 0) return std::string(text);
  out.append(text.substr(copied));
  return out;
}

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

std::vector<std::string_view> SplitTabRow(std::string_view row) {
  std::vector<std::string_view> values;
  size_t start = 0;
  for (size_t tab = row.find('\t'); tab != std::string_view::npos; tab = row.find('\t', start)) {
    values.push_back(row.substr(start, tab - start));
    start = tab + 1;
  }
  return values;
}

}  // namespace nv
