#pragma once

// What a run without a window takes from its process and its console,
// written once for POSIX (signals, file descriptors) and once for Win32
// (console control events, handles): console_process_posix.cpp and
// console_process_win32.cpp.

#include <cstdio>
#include <string>
#include <vector>

namespace velorix {

// The C library's descriptor of standard output on both systems.
inline constexpr int STANDARD_OUTPUT_FD = 1;

// From here on the ways a run is ended from outside are caught and recorded
// instead of ending the process: SIGINT (Ctrl-C), SIGTERM and SIGHUP on
// POSIX; Ctrl+C, Ctrl+Break and closing the console window on Windows. A
// closed pipe makes writes fail rather than end the process. Also: the
// terminal's width is followed, and the console takes UTF-8.
void CatchInterrupts();
// The interrupt caught so far (it stays set), or 0.
int CaughtInterrupt();
// "SIGINT", "SIGTERM", "SIGHUP"; "Ctrl+C", "Ctrl+Break", "closing the console window".
std::string InterruptName(int interrupt);
// The interrupt a run ends with when the reader of standard output has gone
// (SIGPIPE on POSIX), 0 where there is none to raise.
int ClosedPipeInterrupt();
// Cleaned up: now ends the process as the interrupt would have had it not
// been caught (POSIX: the signal's own status, 130, 143, 129, 141; Windows:
// STATUS_CONTROL_C_EXIT). Returns only where that failed.
void EndAsInterrupted(int interrupt);
// True once for each change of the terminal's size.
bool TakeTerminalResize();

// Whether `out` is a terminal (a console window), whether it takes escape
// sequences, and its width in columns (0 when it doesn't say).
bool IsTerminal(std::FILE* out);
bool TerminalTakesEscapes(std::FILE* out);
int TerminalColumns(std::FILE* out);
// Whether a terminal made narrower rewraps the line under the cursor over
// several rows, the cursor at its end.
bool TerminalRewraps();

// Why standard output can't take a results file ("binary": a workbook, which
// must not go to a terminal); empty when it can.
std::string StandardOutputRefusal(bool binary);
bool StandardOutputIsTerminal();
// Root, to whom no device is refused.
bool RunsAsSuperUser();

// On Windows, holds the mark the installer looks for before it replaces or
// removes the program (shell/running_mark.h) until the process ends; nothing
// on POSIX, where the package manager needs none.
void MarkRunning();

// Started without options where the window is a program of its own (on
// Windows, velorix-archive-window.exe beside this one): starts it and says
// true; false where there is none to start.
bool StartWindowProgram();

// The program's arguments after its name, as UTF-8, and its name without
// folder (nor ".exe") for its messages.
std::vector<std::string> ProgramArguments(int argc, char** argv, std::string& programName);

}  // namespace velorix
