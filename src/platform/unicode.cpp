#include "platform/unicode.h"

#include <locale.h>
#include <wctype.h>

namespace nv {

namespace {

// glibc's C.UTF-8 carries the full Unicode case tables; the object is made once and never
// changes, so sharing it is safe.
locale_t Utf8Locale() {
  static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return loc;
}

}  // namespace

char32_t UpperCodePoint(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? c - 32 : c;
  locale_t loc = Utf8Locale();
  if (loc == static_cast<locale_t>(0)) return c;
  return static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), loc));
}

char32_t DecodeUtf8(std::string_view text, size_t& pos) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char b0 = byte(pos);
  size_t need;
  char32_t c;
  if (b0 < 0x80) {
    ++pos;
    return b0;
  } else if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    c = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    c = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    c = b0 & 0x07;
  } else {
    ++pos;
    return b0;  // stray byte: stands for itself
  }
  if (pos + need >= text.size()) {
    ++pos;
    return b0;
  }
  for (size_t k = 1; k <= need; ++k) {
    unsigned char b = byte(pos + k);
    if ((b & 0xC0) != 0x80) {
      ++pos;
      return b0;
    }
    c = (c << 6) | (b & 0x3F);
  }
  // Reject overlong forms and surrogates so that decoding and re-encoding is the identity.
  if ((need == 2 && c < 0x800) || (need == 3 && (c < 0x10000 || c > 0x10FFFF)) ||
      (c >= 0xD800 && c <= 0xDFFF)) {
    ++pos;
    return b0;
  }
  pos += need + 1;
  return c;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string UpperUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    size_t start = pos;
    char32_t c = DecodeUtf8(text, pos);
    if (pos - start == 1 && static_cast<unsigned char>(text[start]) >= 0x80) {
      out += text[start];  // invalid byte, kept as it is
      continue;
    }
    AppendUtf8(out, UpperCodePoint(c));
  }
  return out;
}

}  // namespace nv
