// fuzz-module: io
// The two readers of camera HTTP replies, the input poll reply and the
// parameter list, over replies as long as the body cap lets through: the
// input after its first byte is one unit of text, repeated as the first byte
// says, so that a few bytes reach the long repetitive replies that a camera
// can send. Run with -timeout: a reader that is not linear in the reply
// fails on time.
#include <cstdlib>
#include <string>

#include "camera/http_sender.h"
#include "camera/tavrik_camera_properties.h"
#include "io/digital_io.h"

namespace {

constexpr size_t kRepeatsPerStep = 512;

std::string Reply(const uint8_t* data, size_t size) {
  const std::string unit(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t repeats = size_t(data[0]) * kRepeatsPerStep + 1;
  std::string reply;
  reply.reserve(Web::kMaxBodySize);
  for (size_t i = 0; i < repeats && reply.size() + unit.size() <= Web::kMaxBodySize; ++i) {
    reply += unit;
  }
  return reply;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::string reply = Reply(data, size);

  uint32_t state = 77;
  const bool ok = quenlix::CDigitalIO::ReadInputState(1, reply, &state);
  if (ok && state != quenlix::CIOBase::kStateInactive && state != quenlix::CIOBase::kStateActive) {
    std::abort();
  }
  if (!ok && state != 77) std::abort();

  quenlix::DEVICE_INFO info;
  info.address = "127.0.0.1";
  info.port = 1;
  quenlix::CTavrikCameraProperties properties(info);
  properties.ParseParameterList(reply);
  if (properties.rtspPort < 1 || properties.rtspPort > 65535) std::abort();
  return 0;
}
