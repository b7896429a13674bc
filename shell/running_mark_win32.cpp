#include "shell/running_mark.h"

#include <windows.h>

namespace velorix {

void HoldRunningMark() {
  // The handle is never closed: the system closes it with the process, also
  // one that ends abruptly, and the mark goes with the last handle.
  if (::CreateMutexW(nullptr, FALSE, RUNNING_MARK_NAME) != nullptr) return;
  // Made by another user's copy, whose default security lets us open it to
  // wait on at most: enough to keep it there.
  ::OpenMutexW(SYNCHRONIZE, FALSE, RUNNING_MARK_NAME);
}

}  // namespace velorix
