#pragma once

#include <windows.h>

namespace velorix {

// Runs the main window, a dialog from the program's resources, until it is
// closed; the program's exit status.
int RunArchiveWindow(HINSTANCE instance);

}  // namespace velorix
