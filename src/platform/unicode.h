// Unicode helpers over UTF-8 text: case folding for name comparison and ignore-case
// replacement, and UTF-16 positions where the bracket markup counts in them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nv {

// Upper-case form of one code point (Latin, Greek, Cyrillic, full-width letters ...).
char32_t UpperCodePoint(char32_t c);

// Decodes the code point at text[pos]; advances pos. Invalid bytes decode as themselves
// (one byte each), so every byte sequence round-trips.
char32_t DecodeUtf8(std::string_view text, size_t& pos);
void AppendUtf8(std::string& out, char32_t c);

// Whole text upper-cased code point by code point (invalid bytes kept as they are).
std::string UpperUtf8(std::string_view text);

}  // namespace nv
