// String helpers shared by every layer: name comparison, the system's text replacement,
// ASCII case, trimming and TAB rows.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace nv {

// Name comparison of text lists: equal when equal with case ignored for every script.
bool SameName(std::string_view a, std::string_view b);
// Equal when equal with ASCII letters compared without regard to case (other bytes exact).
bool SameAsciiIgnoreCase(std::string_view a, std::string_view b);
// Case-insensitive order: <0, 0, >0.
int CompareTextIgnoreCase(std::string_view a, std::string_view b);

enum ReplaceFlags : unsigned { rfNone = 0, rfReplaceAll = 1, rfIgnoreCase = 2 };

// Replaces the first (or every) occurrence left to right, never rescanning inserted text.
// `limit` bounds the number of occurrences replaced (0: no bound).
std::string StringReplace(std::string_view text, std::string_view pattern,
                          std::string_view replacement, unsigned flags, size_t limit = 0);

// Upper-cases only the ASCII letters of text (keyword tests).
std::string UpperAscii(std::string_view text);
std::string LowerAscii(std::string_view text);
// Removes leading and trailing characters with codes 0 to 32.
std::string Trim(std::string_view text);
// The same, as a view into text.
std::string_view TrimView(std::string_view text);

bool Contains(std::string_view text, std::string_view part);

// The values of a TAB row: the text before each TAB; text after the last TAB is no value.
std::vector<std::string_view> SplitTabRow(std::string_view row);

// Calls line(view) for each line of text in order, a line ending at CR LF, a lone CR or a lone
// LF; a last line without a break is a line, and no line follows a final break. Breaks are
// searched with memchr: a page or an upload of megabytes is mostly one long line.
template <typename Line>
void ForEachLine(std::string_view text, Line line) {
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const auto find = [end](const char* from, char c) {
    const void* hit = std::memchr(from, c, static_cast<size_t>(end - from));
    return hit != nullptr ? static_cast<const char*>(hit) : end;
  };
  const char* start = begin;
  const char* lf = find(start, '\n');
  const char* cr = find(start, '\r');
  while (start < end) {
    const char* brk = cr < lf ? cr : lf;
    if (brk == end) break;
    line(std::string_view(start, static_cast<size_t>(brk - start)));
    start = brk + ((*brk == '\r' && brk + 1 < end && brk[1] == '\n') ? 2 : 1);
    if (lf < start) lf = find(start, '\n');
    if (cr < start) cr = find(start, '\r');
  }
  if (start < end) line(std::string_view(start, static_cast<size_t>(end - start)));
}

}  // namespace nv
