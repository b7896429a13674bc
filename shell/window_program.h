#pragma once

// The window, for a program that opens it in its own process: defined by the
// window face linked into the program (qt_window/ on Linux), so the command
// line reaches it without knowing which face it is. Runs the main window
// until it closes and returns the program's exit code.
int RunArchiveWindow(int argc, char** argv);
