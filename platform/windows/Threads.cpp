#include "platform/Threads.h"

#include <windows.h>

namespace zel {

void LowerThreadPriority() { ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_LOWEST); }

}  // namespace zel
