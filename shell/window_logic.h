#pragma once

// What the main window does that is not drawing or routing events, once for
// every toolkit the window is built with: the clock's two lines, the reading
// of the count's edit box, the status line, and writing the results file
// until it is written or the operator gives up.

#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "archive/archive_download.h"
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

// The status line's text once the operator has given up after a failed
// write: the download's records are not in any file.
inline constexpr const char* NO_FILE_WRITTEN_TEXT = "No file was written.";

// The menu item that reads the records stored since the last download, and
// its command in the system menu (after About's 0x0010).
inline constexpr const char* READ_NEW_RECORDS_TEXT = "Read new records";
inline constexpr int IDM_READ_NEW_RECORDS = 0x0020;

// The status line when a download of new records found none.
inline constexpr const char* NOTHING_NEW_STATUS = "No new records since the last download.";

// The status suffix while a download of new records reads the whole
// archive, short enough for the status line; the full reason goes to its
// tooltip (WholeArchiveText).
std::string WholeArchiveSuffix(WholeArchiveReason reason);

// The status line at the end of a download whose records the history could
// not keep: the end text with the reason's short form after it.
std::string WithoutHistory(std::string_view endText);

// What the status line says once the writer is done: FILE_WRITTEN_TEXT,
// NO_FILE_WRITTEN_TEXT after a failed write, nothing when the operator
// cancelled the dialog (the line stays as the download left it).
const char* DownloadEndText(const WriteOutcome& outcome);

// The results file at the end of a download: the save dialog, then the file
// (WriteResultsFile). A write that fails (the file was opened by another
// program meanwhile, the disk is full) is told with `tell` and the save
// dialog opens again, so that the operator can choose another name instead
// of losing the download. Written; Cancelled when the operator cancels the
// first dialog; Failed, with the last failure, when they cancel after one.
WriteOutcome WriteResultsFileUntilWritten(const DownloadStore& store, int sampleCount, int exportExcel,
                                          SaveDialog& dialog, const std::function<void(const std::string&)>& tell);

}  // namespace velorix
