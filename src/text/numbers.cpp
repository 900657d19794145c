#include "text/numbers.h"

namespace nv {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<int32_t> ReadInteger(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  unsigned base = 10;
  if (i < text.size()) {
    char c = text[i];
    if (c == '$' || c == 'x' || c == 'X') {
      base = 16;
      ++i;
    } else if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
      base = 16;
      i += 2;
    } else if (c == '%') {
      base = 2;
      ++i;
    } else if (c == '&') {
      base = 8;
      ++i;
    }
  }
  if (i >= text.size()) return std::nullopt;
  // Decimal must fit the signed range; the other bases may use all 32 bits, as a bit pattern.
  const uint64_t limit = base == 10 ? (negative ? 2147483648ull : 2147483647ull) : 0xFFFFFFFFull;
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    int d = HexDigitValue(text[i]);
    if (d < 0 || d >= static_cast<int>(base)) return std::nullopt;
    value = value * base + static_cast<unsigned>(d);
    if (value > limit) return std::nullopt;
  }
  uint32_t bits = static_cast<uint32_t>(value);
  if (negative) bits = 0u - bits;
  return static_cast<int32_t>(bits);
}

}  // namespace nv
