#include "link/worker_priority.h"

#include <windows.h>

namespace velorix {

void LowerThreadPriority() { ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL); }

}  // namespace velorix
