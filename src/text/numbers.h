// The integer reading shared by the port rule, column markers and date-offset markers.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace nv {

// Reads text as a signed 32-bit integer: optional leading blanks or TABs, an optional sign,
// then decimal digits, or hexadecimal digits after "$", "x" or "0x", binary after "%", octal
// after "&". Nothing may follow the digits. No value for anything else or out of range.
std::optional<int32_t> ReadInteger(std::string_view text);

// The value of a hexadecimal digit (either case), -1 for any other character.
int HexDigitValue(char c);

inline int32_t ReadIntegerDef(std::string_view text, int32_t fallback) {
  return ReadInteger(text).value_or(fallback);
}

}  // namespace nv
