#pragma once

// What the main window does that is not drawing or routing events, once for
// every toolkit the window is built with: the clock's two lines, the reading
// of the count's edit box, the status line and the text of a file that was
// not written.

#include <ctime>
#include <string>
#include <string_view>

#include "archive/results_file.h"

namespace velorix {

// The month names the clock shows; index 0 stands for a time that could not
// be had.
extern const char* const MONTH_NAMES[13];

// "  9:05:07" and "    6 dec" for a local time; "  -1:-1:-1" and "    0 ii"
// for none.
std::string ClockLine1(const std::tm* local);
std::string ClockLine2(const std::tm* local);

// An edit box's text read as an unsigned decimal number: leading blanks
// skipped, the digits up to the first other character; no digits, or more
// than an unsigned holds, gives 0.
unsigned DlgItemIntFromText(std::string_view text);

// The status line: the worker's text with the window's own suffix right
// after it, no separator.
std::string StatusLineText(std::string_view workerText, std::string_view suffix);

// The status line once the link's port has gone: "The port COM2
// (/dev/ttyUSB0) is gone." The link has ended; the window says so alone.
std::string PortGoneText(int portNumber, const std::string& device);

// The error box's text for a results file that was not written.
std::string NotWrittenText(const WriteOutcome& outcome);

}  // namespace velorix
