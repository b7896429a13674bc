#pragma once

namespace velorix {

// Below normal scheduling priority for the calling thread only, so the link's
// worker never takes time from the window or the rest of the desktop.
void LowerThreadPriority();

}  // namespace velorix
