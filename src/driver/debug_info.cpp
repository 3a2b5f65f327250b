#include "driver/debug_info.h"

#include <cstring>
#include <new>

namespace quenlix {

CDebugInfo::CDebugInfo(const char* message, uint8_t messageLevel) : level(messageLevel) {
  if (message == nullptr || message[0] == '\0') return;
  const size_t length = std::strlen(message);
  text = new (std::nothrow) char[length + 1];
  if (text != nullptr) std::memcpy(text, message, length + 1);
}

CDebugInfo::~CDebugInfo() { delete[] text; }

uint8_t AdaptMessageLevel(uint32_t level, uint16_t major, uint16_t minor) {
  const uint8_t given = uint8_t(level);
  const uint32_t version = uint32_t(major) << 16 | minor;
  constexpr uint32_t kV5_12 = 5u << 16 | 12u;
  constexpr uint32_t kV6_3 = 6u << 16 | 3u;
  const bool isInfo = given == kLevelInfo || given == kLevelOpened;
  if (version < kV5_12) return isInfo ? uint8_t(kLevelInfoOld) : given;
  if (version < kV6_3) return given == kLevelOpened ? uint8_t(kLevelInfo) : given;
  return given;
}

}  // namespace quenlix
