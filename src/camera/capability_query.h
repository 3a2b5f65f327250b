// Internal view of the capability query, for tests and diagnostics. The host
// uses only the four exports of quenlix/capability.h.
#pragma once

#include <cstdint>

namespace quenlix {

constexpr uint32_t kQueryTimeoutMs = 40000;
constexpr uint32_t kQuerySignalTimeoutMs = 10000;
constexpr uint32_t kUninitWaitMs = 5000;

// Exit code of the last query thread, once it has ended; false while it runs
// or when none was started.
bool CapabilityQueryExitCode(uint32_t* exitCode);

}  // namespace quenlix
