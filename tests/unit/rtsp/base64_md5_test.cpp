#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "rtsp/base64.h"
#include "rtsp/base_rtsp_client.h"
#include "rtsp/md5.h"

namespace quenlix {
namespace {

std::string Encode(const std::string& in) {
  std::vector<char> out(Base64EncodedLength(in.size()));
  size_t length = 0;
  EXPECT_TRUE(Base64Encode(reinterpret_cast<const uint8_t*>(in.data()), in.size(), out.data(),
                           out.size(), &length));
  return std::string(out.data(), length);
}

std::string Decode(const std::string& in) {
  std::vector<uint8_t> out(64);
  size_t length = out.size();
  EXPECT_TRUE(Base64Decode(in.data(), in.size(), out.data(), &length));
  return std::string(out.begin(), out.begin() + length);
}

// RFC 4648 section 10: the encodings of "", "f", "fo", ... "foobar".
TEST(Base64, RfcVectorsRoundTrip) {
  const char* const encoded[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
  for (size_t n = 0; n < 7; ++n) {
    const std::string plain("foobar", n);
    EXPECT_EQ(encoded[n], Encode(plain)) << plain;
    EXPECT_EQ(plain, Decode(encoded[n])) << plain;
  }
}

// The decoder skips what is not in the alphabet and stops at a zero; out of
// room, it says how much it needed and writes nothing past the room.
TEST(Base64, DecoderIsLenientAndBounded) {
  EXPECT_EQ("foobar", Decode("Zm9v ;-YmFy"));
  EXPECT_EQ("foo", Decode(std::string("Zm9v\0YmFy", 9)));
  EXPECT_EQ("", Decode("===="));
  std::vector<uint8_t> out(4, 0xEE);
  size_t length = 3;
  EXPECT_FALSE(Base64Decode("Zm9vYmFy", 8, out.data(), &length));
  EXPECT_EQ(6u, length);
  EXPECT_EQ(0xEE, out[3]);
  EXPECT_FALSE(Base64Decode(nullptr, 0, out.data(), &length));
  char text[7];
  EXPECT_FALSE(
      Base64Encode(reinterpret_cast<const uint8_t*>("abcdef"), 6, text, sizeof text, &length));
  EXPECT_EQ(0u, length);
}

// RFC 1321 appendix A.5, each text whole and in pieces that straddle blocks.
TEST(MD5, RfcTestSuite) {
  const struct {
    std::string in;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(c.digest, CMD5::HexDigest(c.in));
    CMD5 md5;
    for (size_t i = 0; i < c.in.size(); i += 7)
      md5.Update(&c.in[i], std::min<size_t>(7, c.in.size() - i));
    uint8_t digest[CMD5::kDigestSize];
    md5.Final(digest);
    char hex[2 * CMD5::kDigestSize + 1];
    for (size_t i = 0; i < CMD5::kDigestSize; ++i) snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    EXPECT_EQ(c.digest, std::string(hex));
  }
}

// One header line whatever the length, up to the 100 characters of room:
// 75 bytes of user:password fit exactly, 76 do not.
TEST(BasicCredentials, OneLineUpToCapacity) {
  std::string encodedUs;  // "uuu" 23 times
  for (int i = 0; i < 23; ++i) encodedUs += "dXV1";
  std::string credential;
  ASSERT_TRUE(CBaseRTSPClient::MakeBasicCredentials(std::string(50, 'u'), "secret", &credential));
  EXPECT_EQ(encodedUs.substr(0, 64) + "dXU6c2VjcmV0", credential);
  ASSERT_TRUE(CBaseRTSPClient::MakeBasicCredentials(std::string(70, 'u'), "abcd", &credential));
  EXPECT_EQ(encodedUs + "dTphYmNk", credential);
  EXPECT_FALSE(CBaseRTSPClient::MakeBasicCredentials(std::string(70, 'u'), "abcde", &credential));
}

}  // namespace
}  // namespace quenlix
