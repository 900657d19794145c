// What the fuzz targets share: a failed property ends the run as a crash the fuzzer records.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/unicode.h"

namespace nv::fuzz {

inline void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// True when no byte of text is left over by the UTF-8 decoding (each would stand for itself).
inline bool IsUtf8(std::string_view text) {
  for (size_t pos = 0; pos < text.size();) {
    size_t start = pos;
    DecodeUtf8(text, pos);
    if (pos - start == 1 && static_cast<unsigned char>(text[start]) >= 0x80) return false;
  }
  return true;
}

}  // namespace nv::fuzz
