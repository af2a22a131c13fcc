// The process-wide stop request. The service's stop control sets it once; every socket wait and
// long loop of the exchange looks at it at each 100 ms slice and gives up its work, leaving
// tickets as they were, so a run ends within two seconds even in the middle of a transfer.
#pragma once

#include <atomic>

namespace zel {

inline std::atomic<bool>& StopFlag() {
  static std::atomic<bool> flag{false};
  return flag;
}
inline void RequestStop() { StopFlag().store(true); }
inline bool StopRequested() { return StopFlag().load(std::memory_order_relaxed); }
// A new run (or a test) starts without a stop request.
inline void ClearStopRequest() { StopFlag().store(false); }

}  // namespace zel
