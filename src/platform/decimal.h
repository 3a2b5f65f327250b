// Decimal numbers in text from cameras and hosts: every reader of one goes
// through ReadDecimal, so that each is bounded and overflow-checked alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quenlix {

struct DecimalRun {
  uint64_t value = 0;     // of the digits taken
  size_t digits = 0;      // how many were taken
  bool overflow = false;  // the last digit taken carried value past the limit
};

// Reads the decimal digits at the start of [begin, end). Stops at the first
// non-digit, after maxDigits digits, or right after the digit that carries the
// value past limit: overflow is then set and value is that first value past
// limit. limit must be below UINT64_MAX / 10.
DecimalRun ReadDecimal(const char* begin, const char* end, uint64_t limit,
                       size_t maxDigits = SIZE_MAX);

// The same from text[pos] to the end of text.
inline DecimalRun ReadDecimal(const std::string& text, size_t pos, uint64_t limit,
                              size_t maxDigits = SIZE_MAX) {
  if (pos > text.size()) pos = text.size();
  return ReadDecimal(text.data() + pos, text.data() + text.size(), limit, maxDigits);
}

}  // namespace quenlix
