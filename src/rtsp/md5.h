// MD5 message digest, for Digest access authentication.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quenlix {

class CMD5 {
 public:
  static constexpr size_t kDigestSize = 16;

  CMD5();
  void Update(const void* data, size_t length);
  // Pads and yields the digest; the object must be Reset before reuse.
  void Final(uint8_t digest[kDigestSize]);
  void Reset();

  // 32 lowercase hexadecimal digits of the digest of text.
  static std::string HexDigest(const std::string& text);

 private:
  void Transform(const uint8_t block[64]);

  uint32_t state_[4];
  uint64_t bitCount_;
  uint8_t buffer_[64];
};

}  // namespace quenlix
