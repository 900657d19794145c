// The credential cipher under a fixed host phrase: every value comes back from its cipher
// bytes and from its stored cipher text, and arbitrary cipher bytes decrypt without harm.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "auth/cipher.h"
#include "fuzz_checks.h"

namespace {

constexpr std::string_view kPhrase = "02FC00000001";

}  // namespace

using nv::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  const std::string cipher = nv::EncryptString(input, kPhrase);
  Check(cipher.size() % 8 == 0 && cipher.size() >= input.size() + 4);
  Check(nv::DecryptString(cipher, kPhrase) == input);
  // The way the administrator's password is read back from the user table.
  const std::string stored = nv::StoredCipherText(input, std::string(kPhrase));
  Check(nv::DecryptString(nv::DecodeStringBase64(stored), kPhrase) == input);

  // The input as cipher bytes: a value no longer than the padded bytes minus the length field.
  const std::string plain = nv::DecryptString(input, kPhrase);
  Check(plain == "Error" || plain.size() + 4 <= (input.size() + 7) / 8 * 8);
  return 0;
}
