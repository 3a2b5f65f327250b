#include "rtsp/base64.h"

namespace quenlix {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kBlockBytes = 3;
constexpr size_t kBlockChars = 4;
constexpr unsigned kBitsPerChar = 6;
constexpr char kPad = '=';

int DecodeChar(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

size_t Base64EncodedLength(size_t length) {
  return (length + kBlockBytes - 1) / kBlockBytes * kBlockChars;
}

bool Base64Encode(const uint8_t* source, size_t length, char* out, size_t capacity,
                  size_t* outLength) {
  *outLength = 0;
  if (length != 0 && source == nullptr) return false;
  if (capacity < Base64EncodedLength(length)) return false;
  size_t o = 0;
  size_t i = 0;
  for (; i + kBlockBytes <= length; i += kBlockBytes) {
    const uint32_t v = uint32_t(source[i]) << 16 | uint32_t(source[i + 1]) << 8 | source[i + 2];
    out[o++] = kAlphabet[v >> 18 & 0x3F];
    out[o++] = kAlphabet[v >> 12 & 0x3F];
    out[o++] = kAlphabet[v >> 6 & 0x3F];
    out[o++] = kAlphabet[v & 0x3F];
  }
  const size_t rest = length - i;
  if (rest != 0) {
    uint32_t v = uint32_t(source[i]) << 16;
    if (rest == 2) v |= uint32_t(source[i + 1]) << 8;
    out[o++] = kAlphabet[v >> 18 & 0x3F];
    out[o++] = kAlphabet[v >> 12 & 0x3F];
    out[o++] = rest == 2 ? kAlphabet[v >> 6 & 0x3F] : kPad;
    out[o++] = kPad;
  }
  *outLength = o;
  return true;
}

bool Base64Decode(const char* source, size_t length, uint8_t* out, size_t* capacity) {
  if (source == nullptr) return false;
  const size_t room = *capacity;
  size_t count = 0;
  size_t i = 0;
  while (i < length && source[i] != '\0') {
    uint32_t accumulator = 0;
    unsigned bits = 0;
    size_t chars = 0;
    for (; i < length && chars < kBlockChars; ++i) {
      const int value = DecodeChar(source[i]);
      if (value < 0) continue;
      accumulator = accumulator << kBitsPerChar | uint32_t(value);
      bits += kBitsPerChar;
      ++chars;
    }
    for (unsigned have = bits; have >= 8; have -= 8) {
      if (count < room) out[count] = uint8_t(accumulator >> (have - 8));
      ++count;
    }
  }
  *capacity = count;
  return count <= room;
}

}  // namespace quenlix
