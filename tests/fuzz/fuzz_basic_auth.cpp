// Feeds arbitrary Authorization headers to the Basic credential decoding, and arbitrary
// credentials through the encoding a browser applies and back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "auth/basic_auth.h"
#include "auth/cipher.h"
#include "fuzz_checks.h"

using nv::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  // Any header: the user name never holds the ":" that ends it, and both parts come from the
  // decoded bytes, which are at most three for every four characters.
  const std::string user = nv::GetBasicAuth(input, "User");
  const std::string pass = nv::GetBasicAuth(input, "Pass");
  Check(user.find(':') == std::string::npos);
  Check(user.size() + pass.size() <= input.size() / 4 * 3 + 2);
  if (input.compare(0, 5, "Basic") != 0) Check(user.empty() && pass.empty());

  // The input as "user:password": encoded as a browser does, it decodes to the same two parts.
  Check(nv::DecodeStringBase64(nv::EncodeStringBase64(input)) == input);
  const size_t colon = input.find(':');
  if (colon != std::string::npos) {
    const std::string header = "Basic " + nv::EncodeStringBase64(input);
    Check(nv::GetBasicAuth(header, "User") == input.substr(0, colon));
    Check(nv::GetBasicAuth(header, "Pass") == input.substr(colon + 1));
  }
  return 0;
}
