// String helpers shared by every layer: name comparison, the system's text replacement,
// ASCII case, trimming and TAB rows.
#pragma once

#include <cstddef>
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

}  // namespace nv
