#include "common/TestKnobs.h"

#include <cstdlib>

namespace zel {

bool TestKnobsEnabled() {
#ifdef ZEL_TEST_KNOBS
  return true;
#else
  return false;
#endif
}

std::optional<int64_t> TestKnob(const char* name) {
  if (!TestKnobsEnabled()) return std::nullopt;
  const char* text = std::getenv(name);
  if (!text || !*text) return std::nullopt;
  int64_t value = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9' || value > (INT64_MAX - 9) / 10) return std::nullopt;
    value = value * 10 + (*p - '0');
  }
  return value;
}

}  // namespace zel
