// The MPEG-4 header library's one operation: the picture size of a key frame.
#pragma once

#include <cstdint>

#include "quenlix/abi.h"

#if defined(KELVARDEC_BUILDING) && !defined(_WIN32)
#define KELVARDEC_API __attribute__((visibility("default")))
#else
#define KELVARDEC_API
#endif

extern "C" {

// data: configuration headers followed by an intra-coded VOP. Fills width
// and height from the video object layer header; > 0 on success, 0 when no
// usable header is found.
KELVARDEC_API int32_t QUENLIX_STDCALL ParseMpegHeader(const uint8_t* data, uint32_t length,
                                                      uint32_t* width, uint32_t* height);
}
