#pragma once

// The results writer: proposes a name from the local date, asks where to
// save, and writes the finished download as a tab-separated spreadsheet file
// (.xls) or a text report (.doc), both 8-bit text with lines ending in LF
// only, or as a workbook (.xlsx).

#include <ctime>
#include <optional>
#include <string>

#include "archive/archive_record.h"
#include "archive/results_format.h"
#include "archive/results_sink.h"
#include "archive/text_format.h"

namespace velorix {

inline constexpr const char* FILE_WRITTEN_TEXT = "File is written.";

struct SaveRequest {
  std::string proposedName, filter, defaultExtension;
};

class SaveDialog {
 public:
  virtual ~SaveDialog() = default;
  // The chosen path, or nothing when the operator cancels.
  virtual std::optional<std::string> AskSavePath(const SaveRequest&) = 0;
  // Which entry of the request's filter (from 0) was selected when the last
  // path was chosen.
  virtual int ChosenFilter() const { return 0; }
};

struct WriteOutcome {
  enum Kind { Written, Cancelled, Failed } kind;
  std::string path;   // the chosen path (empty on Cancelled)
  std::string error;  // why it failed, e.g. "Permission denied" (Failed only)
};

// The time a results file is dated with (the workbook's creation date): now,
// or SOURCE_DATE_EPOCH where it is set, so that two runs over the same
// archive write the same bytes.
std::time_t ResultsTime();

// "results<dd>_<mm>_<yy>.xls" (exportExcel non-zero) or ".doc", from the local
// date of `now`; empty if the date cannot be had.
std::string ProposeResultsName(int exportExcel, std::time_t now);

// The proposal, the filter text and the default extension for the dialog.
// For the spreadsheet the filter offers the .xls first and the workbook
// (.xlsx) second.
SaveRequest MakeSaveRequest(int exportExcel, std::time_t now);

// The file the operator asked for: the report when exportExcel is 0, whatever
// the name; otherwise the workbook when its filter entry was chosen or the
// name ends in ".xlsx" (in any case), else the .xls.
ResultsFormat ChosenResultsFormat(int exportExcel, const std::string& path, int chosenFilter);

// "%#.5f " with its first full stop replaced by docDecimalSeparator.
std::string FormatReportValue(double value);

// Asks the dialog for a path and writes the file ChosenResultsFormat names
// there with WriteResultsFileTo. Cancel: nothing is created. The caller
// reports "File is written." and resets the progress bar on Written.
WriteOutcome WriteResultsFile(const DownloadStore& store, int sampleCount, int exportExcel,
                              SaveDialog& dialog, std::time_t now, ResultsSink& sink);

// The same through a FileResultsSink.
WriteOutcome WriteResultsFile(const DownloadStore& store, int sampleCount, int exportExcel,
                              SaveDialog& dialog, std::time_t now);

// Writes slots 0..sampleCount-1 (slots that hold no result are skipped) and
// the empty-cell table to `path` through the sink: the text files chunk by
// chunk, one Write per chunk; the workbook, made in memory first (its
// creation time is `now`), in one Write. On any failure the sink removes
// what this write created or emptied, and the outcome is Failed with the
// reason; a workbook that cannot be made fails before the path is touched.
WriteOutcome WriteResultsFileTo(const DownloadStore& store, int sampleCount, ResultsFormat format,
                                const std::string& path, std::time_t now, ResultsSink& sink);

// The same through a FileResultsSink.
WriteOutcome WriteResultsFileTo(const DownloadStore& store, int sampleCount, ResultsFormat format,
                                const std::string& path, std::time_t now);

// The same for any records: those of `source` that hold a result, in order.
WriteOutcome WriteResultsFileTo(const ResultsSource& source, ResultsFormat format, const std::string& path,
                                std::time_t now, ResultsSink& sink);

}  // namespace velorix
