#pragma once

// The results writer: proposes a name from the local date, asks where to
// save, and writes the finished download as a tab-separated spreadsheet file
// (.xls) or a text report (.doc). 8-bit text, lines end with LF only.

#include <ctime>
#include <optional>
#include <string>

#include "archive/archive_record.h"
#include "archive/results_sink.h"

namespace velorix {

// Both files print every real with a full stop; the point is overwritten with
// these after formatting.
inline constexpr char xlsDecimalSeparator = '.';
inline constexpr char docDecimalSeparator = '.';

inline constexpr const char* FILE_WRITTEN_TEXT = "File is written.";

struct SaveRequest {
  std::string proposedName, filter, defaultExtension;
};

class SaveDialog {
 public:
  virtual ~SaveDialog() = default;
  // The chosen path, or nothing when the operator cancels.
  virtual std::optional<std::string> AskSavePath(const SaveRequest&) = 0;
};

struct WriteOutcome {
  enum Kind { Written, Cancelled, Failed } kind;
  std::string path;   // the chosen path (empty on Cancelled)
  std::string error;  // why it failed, e.g. "Permission denied" (Failed only)
};

// "results<dd>_<mm>_<yy>.xls" (exportExcel non-zero) or ".doc", from the local
// date of `now`; empty if the date cannot be had.
std::string ProposeResultsName(int exportExcel, std::time_t now);

// The proposal, the filter text and the default extension for the dialog.
SaveRequest MakeSaveRequest(int exportExcel, std::time_t now);

// "%#.5f " with its first full stop replaced by docDecimalSeparator.
std::string FormatReportValue(double value);

// Asks the dialog for a path and writes slots 0..sampleCount-1 (slots that
// hold no result are skipped) and the empty-cell table, chunk by chunk
// through the sink, one Write per chunk. Cancel: nothing is created. On any
// failure the sink removes what this write created or emptied, and the
// outcome is Failed with the reason. The caller reports "File is written."
// and resets the progress bar on Written.
WriteOutcome WriteResultsFile(const DownloadStore& store, int sampleCount, int exportExcel,
                              SaveDialog& dialog, std::time_t now, ResultsSink& sink);

// The same through a PosixResultsSink.
WriteOutcome WriteResultsFile(const DownloadStore& store, int sampleCount, int exportExcel,
                              SaveDialog& dialog, std::time_t now);

}  // namespace velorix
