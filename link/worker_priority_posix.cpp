#include "link/worker_priority.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace velorix {

// On Linux a thread has a nice value of its own.
void LowerThreadPriority() {
  const pid_t tid = ::gettid();
  errno = 0;
  const int current = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  if (errno != 0) return;
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), std::min(19, std::max(current, 0) + 5));
}

}  // namespace velorix
