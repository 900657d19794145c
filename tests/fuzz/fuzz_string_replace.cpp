// Feeds arbitrary text, pattern and replacement (separated by NUL bytes) to the ignore-case
// text replacement, which works on an upper-cased copy whose characters may change length.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_checks.h"
#include "platform/unicode.h"
#include "text/strings.h"

namespace {

// The next NUL-separated piece of input; the last piece runs to the end.
std::string_view Piece(std::string_view& input) {
  size_t nul = input.find('\0');
  std::string_view piece = input.substr(0, nul);
  input.remove_prefix(nul == std::string_view::npos ? input.size() : nul + 1);
  return piece;
}

}  // namespace

using nv::fuzz::Check;
using nv::fuzz::IsUtf8;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string_view text = Piece(input);
  const std::string_view pattern = Piece(input);
  const std::string_view replacement = Piece(input);
  const unsigned all = nv::rfIgnoreCase | nv::rfReplaceAll;

  const std::string once = nv::StringReplace(text, pattern, replacement, nv::rfIgnoreCase);
  const std::string every = nv::StringReplace(text, pattern, replacement, all);
  Check(nv::StringReplace(text, pattern, replacement, all, 1) == once);

  const std::string upper_text = nv::UpperUtf8(text);
  const bool matches =
      !pattern.empty() && upper_text.find(nv::UpperUtf8(pattern)) != std::string::npos;
  if (!matches) Check(once == text && every == text);

  // Putting the pattern in place of what it matched changes at most the letter case. A pattern
  // that is no UTF-8 may match part of a character, so only a valid one is held to that.
  if (IsUtf8(pattern))
    Check(nv::UpperUtf8(nv::StringReplace(text, pattern, pattern, all)) == upper_text);
  return 0;
}
