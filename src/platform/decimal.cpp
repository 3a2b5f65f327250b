#include "platform/decimal.h"

namespace quenlix {

DecimalRun ReadDecimal(const char* begin, const char* end, uint64_t limit, size_t maxDigits) {
  DecimalRun run;
  for (const char* p = begin; p < end && run.digits < maxDigits; ++p) {
    if (*p < '0' || *p > '9') break;
    run.value = run.value * 10 + uint64_t(*p - '0');
    ++run.digits;
    if (run.value > limit) {
      run.overflow = true;
      break;
    }
  }
  return run;
}

}  // namespace quenlix
