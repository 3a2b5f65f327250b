// Big-endian fields read from and written to network buffers, with the
// bounds checked at every step, so that a parser cannot read past its input
// whatever the length fields inside it say.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace quenlix {

// Reads forward through size bytes at data. A read that does not fit fails
// the reader: it returns 0 (Take: null), and so does every later one, and
// Remaining() is 0 from then on. Check ok() once after a run of reads.
class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(data != nullptr ? size : 0) {}

  uint8_t U8() { return uint8_t(Field(1)); }
  uint16_t U16() { return uint16_t(Field(2)); }
  uint32_t U24() { return Field(3); }
  uint32_t U32() { return Field(4); }

  // The next n bytes, in place; null when fewer remain.
  const uint8_t* Take(size_t n) {
    if (!Has(n)) return nullptr;
    const uint8_t* at = data_ + at_;
    at_ += n;
    return at;
  }
  void Skip(size_t n) {
    if (Has(n)) at_ += n;
  }

  size_t Remaining() const { return size_ - at_; }
  // Bytes read so far.
  size_t Offset() const { return at_; }
  bool ok() const { return ok_; }

 private:
  bool Has(size_t n) {
    if (n <= size_ - at_) return true;
    ok_ = false;
    at_ = size_;
    return false;
  }
  uint32_t Field(size_t n) {
    const uint8_t* p = Take(n);
    uint32_t value = 0;
    for (size_t i = 0; p != nullptr && i < n; ++i) value = value << 8 | p[i];
    return value;
  }

  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
  bool ok_ = true;
};

// Writes forward into a caller's buffer of capacity bytes, or appends to a
// vector. A write that does not fit the buffer is not made and fails the
// writer, and so is every later one.
class ByteWriter {
 public:
  ByteWriter(uint8_t* out, size_t capacity) : out_(out), capacity_(out != nullptr ? capacity : 0) {}
  explicit ByteWriter(std::vector<uint8_t>* out) : vector_(out) {}

  ByteWriter& U8(uint8_t v) { return Field(v, 1); }
  ByteWriter& U16(uint16_t v) { return Field(v, 2); }
  ByteWriter& U24(uint32_t v) { return Field(v, 3); }
  ByteWriter& U32(uint32_t v) { return Field(v, 4); }
  ByteWriter& Bytes(const uint8_t* p, size_t n) {
    if (n == 0 || !ok_) return *this;
    if (vector_ != nullptr) {
      vector_->insert(vector_->end(), p, p + n);
    } else if (n <= capacity_ - size_) {
      std::memcpy(out_ + size_, p, n);
    } else {
      ok_ = false;
      return *this;
    }
    size_ += n;
    return *this;
  }
  ByteWriter& Bytes(const std::vector<uint8_t>& bytes) { return Bytes(bytes.data(), bytes.size()); }

  // Bytes written through this writer.
  size_t Size() const { return size_; }
  bool ok() const { return ok_; }

 private:
  ByteWriter& Field(uint32_t v, size_t n) {
    uint8_t bytes[4];
    for (size_t i = 0; i < n; ++i) bytes[i] = uint8_t(v >> (8 * (n - 1 - i)));
    return Bytes(bytes, n);
  }

  uint8_t* out_ = nullptr;
  size_t capacity_ = 0;
  std::vector<uint8_t>* vector_ = nullptr;
  size_t size_ = 0;
  bool ok_ = true;
};

}  // namespace quenlix
