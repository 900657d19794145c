// Credential cipher: values (passwords, encrypted posted values) are kept as stored cipher
// text, the Base64 form of Blowfish cipher bytes under the host phrase. The phrase comes from
// the first adapter bound to TCP/IP and is rebuilt at every use, never stored, so stored
// cipher texts only read back on the machine that made them.
#pragma once

#include <string>
#include <string_view>

namespace nv {

// The host phrase, built now from "getmac /FO CSV /NH"; "" when no adapter qualifies.
std::string GeneratePhrase();
// The phrase that a getmac output gives (upper-cased; first line holding "TCPIP"; its
// characters 2 to 18 without "-").
std::string PhraseFromGetmac(std::string_view output);

// Cipher bytes of aString under Key (first 56 bytes count), or "Error". A genuine result is
// always a multiple of 8 bytes long, which "Error" is not.
std::string EncryptString(std::string_view aString, std::string_view Key);
// The value back from cipher bytes, "" for a length field of 0 or less, or "Error".
std::string DecryptString(std::string_view aString, std::string_view Key);

// Standard Base64 with "=" padding and no line breaks.
std::string EncodeStringBase64(std::string_view bytes);
// Lenient Base64: skips characters outside the alphabet, stops at the first "=", never fails.
std::string DecodeStringBase64(std::string_view text);

// The stored cipher text of value under phrase. Throws std::runtime_error when the phrase is
// empty: every value would then get the same cipher text and any password would pass.
std::string StoredCipherText(const std::string& value, const std::string& phrase);
// The same under the host phrase built now.
std::string StoredCipherText(const std::string& value);

}  // namespace nv
