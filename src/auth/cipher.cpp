#include "auth/cipher.h"

#include <nettle/base64.h>
#include <nettle/blowfish.h>

#include <climits>
#include <cstdint>
#include <mutex>
#include <stdexcept>

#include "platform/process.h"
#include "text/strings.h"
#include "text/text_list.h"

namespace nv {

namespace {

constexpr std::string_view kError = "Error";
constexpr size_t kBlock = BLOWFISH_BLOCK_SIZE;

// The stored cipher texts read each 32-bit half of a block least significant byte first;
// nettle reads them most significant first. Reversing every 4 bytes before and after the
// block cipher bridges the two.
void SwapHalves(std::string& data) {
  for (size_t at = 0; at + 4 <= data.size(); at += 4) {
    std::swap(data[at], data[at + 3]);
    std::swap(data[at + 1], data[at + 2]);
  }
}

// The key schedule of the latest key. Building it is most of the work of one authentication,
// and the key is nearly always the host phrase, which changes only with the machine's first
// adapter: the phrase is still read every time, the schedule only rebuilt when it differs.
class KeySchedule {
 public:
  blowfish_ctx For(std::string_view key) {
    std::lock_guard lock(mutex_);
    if (!built_ || key != key_) {
      // Weak keys (duplicate S-box entries) are still valid keys for this purpose.
      blowfish_set_key(&ctx_, key.size(), reinterpret_cast<const uint8_t*>(key.data()));
      key_.assign(key);
      built_ = true;
    }
    return ctx_;
  }

 private:
  std::mutex mutex_;
  bool built_ = false;
  std::string key_;
  blowfish_ctx ctx_;
};

// ECB over data, whose size is a multiple of the block size.
void Blowfish(std::string_view key, std::string& data, bool encrypt) {
  static KeySchedule schedule;
  const blowfish_ctx ctx = schedule.For(key.substr(0, BLOWFISH_MAX_KEY_SIZE));
  auto* bytes = reinterpret_cast<uint8_t*>(data.data());
  SwapHalves(data);
  if (encrypt) {
    blowfish_encrypt(&ctx, data.size(), bytes, bytes);
  } else {
    blowfish_decrypt(&ctx, data.size(), bytes, bytes);
  }
  SwapHalves(data);
}

std::string Encrypt(std::string_view value, std::string_view key) {
  if (key.empty() || value.size() > static_cast<size_t>(INT32_MAX)) return std::string(kError);
  // Plain stream: length (signed 32 bits, little-endian), the bytes, zeros to a whole block.
  const uint32_t n = static_cast<uint32_t>(value.size());
  std::string data;
  data.reserve((4 + value.size() + kBlock - 1) / kBlock * kBlock);
  for (int shift = 0; shift < 32; shift += 8) data += static_cast<char>((n >> shift) & 0xFF);
  data += value;
  data.resize((data.size() + kBlock - 1) / kBlock * kBlock, '\0');
  Blowfish(key, data, true);
  return data;
}

std::string Decrypt(std::string_view cipher, std::string_view key) {
  if (key.empty() || cipher.empty()) return std::string(kError);
  std::string data(cipher);
  data.resize((data.size() + kBlock - 1) / kBlock * kBlock, '\0');
  Blowfish(key, data, false);
  uint32_t raw = 0;
  for (int i = 0; i < 4; ++i)
    raw |= static_cast<uint32_t>(static_cast<uint8_t>(data[i])) << (8 * i);
  const int32_t length = static_cast<int32_t>(raw);
  if (length <= 0) return "";
  if (static_cast<size_t>(length) > data.size() - 4) return std::string(kError);
  return data.substr(4, static_cast<size_t>(length));
}

int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string PhraseFromGetmac(std::string_view output) {
  const std::string text = UpperAscii(output);
  size_t start = 0;
  while (start < text.size()) {
    // A plain scan: find_first_of asks memchr about every character.
    size_t end = start;
    while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
    std::string_view line(text.data() + start, end - start);
    if (line.find("TCPIP") != std::string_view::npos) {
      std::string phrase;
      for (char c : line.substr(1, 17)) {
        if (c != '-') phrase += c;
      }
      return phrase;
    }
    // CR LF counts as one line end; a lone CR or LF as one too.
    start = end + ((text.compare(end, 2, "\r\n") == 0) ? 2 : 1);
  }
  return "";
}

std::string GeneratePhrase() {
  std::string output;
  try {
    output = ExecuteCommand("getmac /FO CSV /NH");
  } catch (const std::exception&) {
    // A command that cannot run gives no output, hence no phrase.
  }
  return PhraseFromGetmac(output);
}

std::string EncryptString(std::string_view aString, std::string_view Key) {
  try {
    return Encrypt(aString, Key);
  } catch (...) {
    return std::string(kError);
  }
}

std::string DecryptString(std::string_view aString, std::string_view Key) {
  try {
    return Decrypt(aString, Key);
  } catch (...) {
    return std::string(kError);
  }
}

std::string EncodeStringBase64(std::string_view bytes) {
  std::string out(BASE64_ENCODE_RAW_LENGTH(bytes.size()), '\0');
  base64_encode_raw(out.data(), bytes.size(), reinterpret_cast<const uint8_t*>(bytes.data()));
  return out;
}

std::string DecodeStringBase64(std::string_view text) {
  // Padding the text with "=" to whole groups changes nothing here: decoding collects six bits
  // per alphabet character and gives a byte for every eight, so a group cut short by "=" or by
  // the end of the text gives its 1 or 2 bytes and leftover bits are dropped.
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (char ch : text) {
    if (ch == '=') break;
    int v = Base64Value(static_cast<unsigned char>(ch));
    if (v < 0) continue;
    bits = (bits << 6) | static_cast<uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

std::string StoredCipherText(const std::string& value, const std::string& phrase) {
  if (phrase.empty()) {
    throw std::runtime_error(
        "No network adapter bound to TCP/IP gives a host phrase, so values cannot be encrypted");
  }
  std::string cipher = EncryptString(value, phrase);
  if (cipher.size() % kBlock != 0) throw std::runtime_error("The value could not be encrypted");
  return EncodeStringBase64(cipher);
}

std::string StoredCipherText(const std::string& value) {
  return StoredCipherText(value, GeneratePhrase());
}

}  // namespace nv
