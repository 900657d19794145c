#include "auth/cipher.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/process.h"
#include "support/network_namespace.h"

using namespace nv;

namespace {

const std::string kKey = "0123456789AB";

size_t CipherSize(size_t n) { return (4 + n + 7) / 8 * 8; }

std::string Bytes(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += static_cast<char>((i * 37 + 11) & 0xFF);
  return s;
}

}  // namespace

// Fixed value that ties the byte order of each half-block to what existing stored cipher
// texts hold; a plain big-endian Blowfish gives other bytes.
TEST(Cipher, KnownStoredCipherText) {
  EXPECT_EQ(EncodeStringBase64(EncryptString("abc", kKey)), "u5J5Rc1CeZE=");
  EXPECT_EQ(DecryptString(DecodeStringBase64("u5J5Rc1CeZE="), kKey), "abc");
}

TEST(Cipher, RoundTripAndCipherSize) {
  std::vector<std::string> values;
  for (size_t n : {0, 1, 4, 5, 12, 13, 1000}) values.push_back(Bytes(n));
  values.push_back(std::string("\0\0\0", 3));
  values.push_back(std::string("a\0b\0", 4) + std::string(9, '\0'));
  values.push_back("パスワード:with:colons");
  for (const std::string& key : {std::string("k"), kKey, std::string(60, 'x') + "tail"}) {
    for (const std::string& v : values) {
      SCOPED_TRACE("key size " + std::to_string(key.size()) + ", value size " +
                   std::to_string(v.size()));
      std::string cipher = EncryptString(v, key);
      EXPECT_EQ(cipher.size(), CipherSize(v.size()));
      EXPECT_EQ(DecryptString(cipher, key), v);
    }
  }
}

// The key schedule is kept between calls: every change of key must be seen, also a change back
// to an earlier key and one in a byte the previous key did not have.
TEST(Cipher, EachCallUsesItsOwnKey) {
  const std::string keys[] = {kKey, "0123456789AC", kKey, "0123456789ABX", "", kKey};
  const std::string known = "u5J5Rc1CeZE=";  // "abc" under kKey
  for (const std::string& key : keys) {
    SCOPED_TRACE(key);
    const std::string cipher = EncryptString("abc", key);
    if (key.empty()) {
      EXPECT_EQ(cipher, "Error");
      continue;
    }
    EXPECT_EQ(EncodeStringBase64(cipher) == known, key == kKey);
    EXPECT_EQ(DecryptString(cipher, key), "abc");
  }
}

TEST(Cipher, BlockCountFollowsLengthField) {
  for (size_t n = 0; n <= 12; ++n) {
    EXPECT_EQ(EncryptString(std::string(n, 'v'), kKey).size(), n <= 4 ? 8u : 16u) << n;
  }
}

TEST(Cipher, OnlyFirst56KeyBytesCount) {
  std::string base(56, 'K');
  EXPECT_EQ(EncryptString("secret", base + "A"), EncryptString("secret", base + "B"));
  EXPECT_EQ(EncryptString("secret", base), EncryptString("secret", base + "whatever"));
  std::string other = base;
  other[55] = 'L';
  EXPECT_NE(EncryptString("secret", base), EncryptString("secret", other));
  EXPECT_NE(EncryptString("secret", "key1"), EncryptString("secret", "key2"));
}

TEST(Cipher, FailuresGiveError) {
  EXPECT_EQ(EncryptString("abc", ""), "Error");
  EXPECT_EQ(DecryptString(EncryptString("abc", kKey), ""), "Error");
  EXPECT_EQ(DecryptString("", kKey), "Error");
  // The first block of a 12-byte value announces 12 bytes but only 4 follow it.
  EXPECT_EQ(DecryptString(EncryptString("twelve bytes", kKey).substr(0, 8), kKey), "Error");
}

TEST(Cipher, DecryptReadsBlocksOnTheirOwn) {
  // ECB: the second block of a 12-byte value, alone, decrypts to a stream whose length field
  // is the value's bytes 4 to 7.
  std::string cipher = EncryptString(std::string("abcd\xff\xff\xff\xffwxyz"), kKey);
  EXPECT_EQ(DecryptString(cipher.substr(8), kKey), "");  // length -1
  cipher = EncryptString(std::string("abcd\x02\0\0\0wxyz", 12), kKey);
  EXPECT_EQ(DecryptString(cipher.substr(8), kKey), "wx");
  // A short last block is filled with zeros and decrypted; the length field still rules.
  EXPECT_EQ(DecryptString(EncryptString("abc", kKey) + "junk!", kKey), "abc");
}

TEST(Base64, EncodeAndDecodeStandardVectors) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\xff\xfe", "//4="},
  };
  for (const auto& [plain, text] : cases) {
    EXPECT_EQ(EncodeStringBase64(plain), text);
    EXPECT_EQ(DecodeStringBase64(text), plain);
  }
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(DecodeStringBase64(EncodeStringBase64(all)), all);
  EXPECT_EQ(EncodeStringBase64(all).find_first_of("\r\n"), std::string::npos);
}

TEST(Base64, LenientDecoding) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Zg", "f"},           // missing padding
      {"Zm8", "fo"},         //
      {"Z", ""},             // a lone character gives no byte
      {"Zm 9v\r\n", "foo"},  // characters outside the alphabet are skipped
      {"*Z*m*9*v*", "foo"},  //
      {"Zg==Zm9v", "f"},     // decoding ends at the first "="
      {"Zm9=v", "fo"},       // "=" third in its group
      {"=Zm9v", ""},         //
      {"!!!!", ""},          //
      {"dXNlcjpwYXNz", "user:pass"},
  };
  for (const auto& [text, plain] : cases) EXPECT_EQ(DecodeStringBase64(text), plain) << text;
}

TEST(Phrase, FromGetmacOutput) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"\"00-1A-2B-3C-4D-5E\",\"\\Device\\Tcpip_{4D36E972}\"\r\n", "001A2B3C4D5E"},
      // The first line holding TCPIP wins, whatever comes before or after it.
      {"\"AA-AA-AA-AA-AA-AA\",\"Media disconnected\"\r\n"
       "\"02-fc-00-00-00-01\",\"\\Device\\Tcpip_{eth0}\"\r\n"
       "\"BB-BB-BB-BB-BB-BB\",\"\\Device\\Tcpip_{eth1}\"\r\n",
       "02FC00000001"},
      // Letters of TCPIP in any case; hex digits come out upper-case.
      {"\"0a-0b-0c-0d-0e-0f\",\"\\device\\tcpip_{x}\"", "0A0B0C0D0E0F"},
      // Lone CR and lone LF end lines too.
      {"x\r\"11-22-33-44-55-66\",TcpIp\n\"77-88\",TCPIP", "112233445566"},
      {"\"77-88\",TCPIP", "7788\",TCPIP"},  // characters 2 to 18 of a short line
      {"\"00-1A-2B-3C-4D-5E\",\"Media disconnected\"\r\n", ""},
      {"", ""},
  };
  for (const auto& [output, phrase] : cases) EXPECT_EQ(PhraseFromGetmac(output), phrase) << output;
}

TEST(Phrase, HostPhraseComesFromAConnectedAdapter) {
  std::string phrase = GeneratePhrase();
  EXPECT_EQ(phrase, PhraseFromGetmac(ExecuteCommand("getmac /FO CSV /NH")));
  if (phrase.empty()) GTEST_SKIP() << "no adapter with an IPv4 address on this host";
  EXPECT_EQ(phrase.size(), 12u);
  EXPECT_EQ(phrase.find_first_not_of("0123456789ABCDEF"), std::string::npos) << phrase;
  bool found = false;
  for (const HostInterface& i : HostInterfaces()) {
    std::string mac;
    for (char c : i.mac) {
      if (c != ':') mac += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    found |= !i.loopback && !i.ipv4.empty() && mac == phrase;
  }
  EXPECT_TRUE(found);
}

TEST(Phrase, FollowsEveryChangeOfTheInterfaces) {
  // The phrase was read before the fork: the child must not go on with the parent's answers.
  GeneratePhrase();
  const nv::test::NamespaceRun run = nv::test::RunInNetworkNamespace([] {
    const nv::test::ChangeSteps steps = {
        {"", ""},  // loopback only
        {"link add nvp0 index 30 address 02:00:00:00:30:00 type veth peer name nvp1 index 31 "
         "address 02:00:00:00:31:00",
         ""},  // adapters without IPv4 are not bound to TCP/IP
        {"addr add 10.31.0.1/24 dev nvp1", "020000003100"},
        {"link set nvp1 address 02:00:00:00:31:99", "020000003199"},
        {"addr add 10.30.0.1/24 dev nvp0", "020000003000"},  // the lower index comes first
        {"link add nvq0 index 5 address 02:00:00:00:05:00 type veth peer name nvq1 index 6 "
         "address 02:00:00:00:06:00",
         "020000003000"},
        {"addr add 10.6.0.1/24 dev nvq1", "020000000600"},
        {"link del nvq0", "020000003000"},
        {"addr flush dev nvp0", "020000003199"},
        {"link del nvp0", ""},
    };
    return nv::test::FollowChanges(steps, GeneratePhrase,
                                   [] { return PhraseFromGetmac(GetmacOutput(HostInterfaces())); });
  });
  if (run.skipped) GTEST_SKIP() << run.report;
  EXPECT_EQ(run.report, "");
}

TEST(StoredCipherText, RefusesEmptyPhrase) {
  try {
    StoredCipherText("password", "");
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("host phrase"), std::string::npos) << e.what();
  }
}

TEST(StoredCipherText, IsBase64OfCipherBytes) {
  std::string stored = StoredCipherText("abc", kKey);
  EXPECT_EQ(stored, "u5J5Rc1CeZE=");
  std::string phrase = GeneratePhrase();
  if (phrase.empty()) {
    EXPECT_THROW(StoredCipherText("abc"), std::runtime_error);
  } else {
    EXPECT_EQ(DecryptString(DecodeStringBase64(StoredCipherText("abc")), phrase), "abc");
  }
}
