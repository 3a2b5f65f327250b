#include <gtest/gtest.h>

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

std::string Decode(const std::string& in, size_t room = 64, bool* ok = nullptr) {
  std::vector<uint8_t> out(room);
  size_t length = room;
  const bool result = Base64Decode(in.data(), in.size(), out.data(), &length);
  if (ok) *ok = result;
  if (!result) return std::string();
  return std::string(out.begin(), out.begin() + length);
}

// RFC 4648 section 10 test vectors.
TEST(Base64, RfcVectorsRoundTrip) {
  const struct {
    const char* plain;
    const char* encoded;
  } cases[] = {{"", ""},
               {"f", "Zg=="},
               {"fo", "Zm8="},
               {"foo", "Zm9v"},
               {"foob", "Zm9vYg=="},
               {"fooba", "Zm9vYmE="},
               {"foobar", "Zm9vYmFy"}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.encoded, Encode(c.plain)) << c.plain;
    EXPECT_EQ(c.plain, Decode(c.encoded)) << c.encoded;
  }
}

TEST(Base64, EncodeNeverBreaksLines) {
  const std::string text(300, 'x');
  const std::string encoded = Encode(text);
  EXPECT_EQ(400u, encoded.size());
  EXPECT_EQ(std::string::npos, encoded.find_first_of("\r\n"));
}

TEST(Base64, EncodeFailsWithoutRoom) {
  char out[7];
  size_t length = 99;
  EXPECT_FALSE(
      Base64Encode(reinterpret_cast<const uint8_t*>("abcdef"), 6, out, sizeof out, &length));
  EXPECT_EQ(0u, length);
}

TEST(Base64, DecodeSkipsForeignCharactersAndStopsAtZero) {
  EXPECT_EQ("foobar", Decode("Zm9v ;-YmFy"));
  EXPECT_EQ("foo", Decode(std::string("Zm9v\0YmFy", 9)));
  EXPECT_EQ("", Decode("===="));
}

TEST(Base64, DecodeReportsLengthBeyondRoomButWritesNothingPastIt) {
  std::vector<uint8_t> out(4, 0xEE);
  size_t length = 3;
  EXPECT_FALSE(Base64Decode("Zm9vYmFy", 8, out.data(), &length));
  EXPECT_EQ(6u, length);
  EXPECT_EQ(0xEE, out[3]);
  EXPECT_FALSE(Base64Decode(nullptr, 0, out.data(), &length));
}

// RFC 1321 appendix A.5, plus a two-block input.
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
  for (const auto& c : cases) EXPECT_EQ(c.digest, CMD5::HexDigest(c.in)) << c.in;
}

TEST(MD5, PiecewiseUpdateMatchesWhole) {
  const std::string text(1000, 'q');
  CMD5 md5;
  for (size_t i = 0; i < text.size(); i += 37)
    md5.Update(text.data() + i, std::min<size_t>(37, text.size() - i));
  uint8_t digest[CMD5::kDigestSize];
  md5.Final(digest);
  CMD5 whole;
  whole.Update(text.data(), text.size());
  uint8_t expected[CMD5::kDigestSize];
  whole.Final(expected);
  EXPECT_EQ(std::vector<uint8_t>(expected, expected + sizeof expected),
            std::vector<uint8_t>(digest, digest + sizeof digest));
}

// RFC 2617 section 3.5: user Mufasa, password "Circle Of Life".
TEST(Digest, Rfc2617WorkedExample) {
  const std::string ha1 = CMD5::HexDigest("Mufasa:testrealm@host.com:Circle Of Life");
  const std::string ha2 = CMD5::HexDigest("GET:/dir/index.html");
  EXPECT_EQ("939e7578ed9e3c518a452acee763bce9", ha1);
  EXPECT_EQ("39aff3a2bab6126f332b942af96d3366", ha2);
  const std::string response = CBaseRTSPClient::MakeDigestHash(
      ha1, "dcd98b7102dd2f0e8b11d0f600bfb0c093:00000001:0a4f113b:auth:" + ha2);
  EXPECT_EQ("6629fae49393a05397450978507c4ef1", response);
}

TEST(BasicCredentials, OneLineUpToCapacity) {
  std::string credential;
  // 57 bytes of text: the old layout broke the line after 76 characters.
  const std::string user57(50, 'u');
  ASSERT_TRUE(CBaseRTSPClient::MakeBasicCredentials(user57, "secret", &credential));
  EXPECT_EQ(76u, credential.size());
  EXPECT_EQ(std::string::npos, credential.find_first_of("\r\n"));
  // 75 bytes encode to exactly the 100 characters of room, 76 do not fit.
  EXPECT_TRUE(CBaseRTSPClient::MakeBasicCredentials(std::string(70, 'u'), "abcd", &credential));
  EXPECT_EQ(100u, credential.size());
  EXPECT_FALSE(CBaseRTSPClient::MakeBasicCredentials(std::string(70, 'u'), "abcde", &credential));
  ASSERT_TRUE(CBaseRTSPClient::MakeBasicCredentials("", "", &credential));
  EXPECT_EQ("Og==", credential);
  ASSERT_TRUE(CBaseRTSPClient::MakeBasicCredentials("Aladdin", "open sesame", &credential));
  EXPECT_EQ("QWxhZGRpbjpvcGVuIHNlc2FtZQ==", credential);
}

}  // namespace
}  // namespace quenlix
