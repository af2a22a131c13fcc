// The nice value is the thread's own on Linux: a task of its own, named by its thread id.
#include "platform/Threads.h"

#include <sys/resource.h>
#include <unistd.h>

namespace zel {

void LowerThreadPriority() { ::setpriority(PRIO_PROCESS, id_t(::gettid()), 19); }

}  // namespace zel
