// Base64 with the standard alphabet and "=" padding, as RTSP credentials and
// SDP parameter sets carry it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quenlix {

// Characters needed to encode length bytes on one line (no line breaks).
size_t Base64EncodedLength(size_t length);

// Encodes on one line: an HTTP-style header cannot carry a line break.
// *outLength receives the characters written; the output is not
// zero-terminated. Fails, writing nothing, when capacity is too small.
bool Base64Encode(const uint8_t* source, size_t length, char* out, size_t capacity,
                  size_t* outLength);

// Lenient decoder: characters outside the alphabet (padding, blanks, ";")
// are skipped; decoding stops at a zero character. *capacity is the room in
// out on entry and the decoded length on return, which may exceed the room:
// then nothing past the room is written and the result is false.
bool Base64Decode(const char* source, size_t length, uint8_t* out, size_t* capacity);

}  // namespace quenlix
