// fuzz-module: io
// Any poll reply either yields one of the two input states or leaves the
// state untouched.
#include <string>

#include "io/digital_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint32_t number = data[0];
  const std::string reply(reinterpret_cast<const char*>(data + 1), size - 1);
  uint32_t state = 77;
  const bool ok = quenlix::CDigitalIO::ReadInputState(number, reply, &state);
  if (ok && state != quenlix::CIOBase::kStateInactive && state != quenlix::CIOBase::kStateActive) {
    __builtin_trap();
  }
  if (!ok && state != 77) __builtin_trap();
  return 0;
}
