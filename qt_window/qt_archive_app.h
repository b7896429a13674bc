#pragma once

// The window program: creates the Qt application and runs the main window
// until it closes. Returns the program's exit code.
int RunArchiveWindow(int argc, char** argv);
