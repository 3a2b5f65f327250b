// The record that carries one log message to the host's debug sink, and the
// level adaptation to what the installed host understands.
#pragma once

#include <cstdint>
#include <string>

#include "quenlix/debug.h"
#include "quenlix/driver.h"

namespace quenlix {

class CDebugInfo : public CDebugInfoIf {
 public:
  QUENLIX_IMPLEMENTS_DESTRUCTOR()

  // A null or empty text gives a record whose GetText is null.
  CDebugInfo(const char* message, uint8_t messageLevel);
  virtual ~CDebugInfo();
  CDebugInfo(const CDebugInfo&) = delete;
  CDebugInfo& operator=(const CDebugInfo&) = delete;

  uint8_t GetLevel() override { return level; }
  const char* GetText() override { return text; }

 private:
  uint8_t level;
  char* text = nullptr;
};

// The level a host of version major.minor understands for `level`.
uint8_t AdaptMessageLevel(uint32_t level, uint16_t major, uint16_t minor);

}  // namespace quenlix
