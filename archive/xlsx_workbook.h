#pragma once

// The finished download as an Office Open XML workbook (.xlsx), made with
// libxlsxwriter. The library writes only to a file it opens by name, so the
// workbook is made in an anonymous memory file of this process and handed
// back as bytes: nothing is ever written at the results file's path here,
// and the caller puts the bytes through its results sink like any other
// results file.

#include <ctime>
#include <string>

#include "archive/archive_record.h"

namespace velorix {

struct WorkbookBytes {
  std::string bytes;
  std::string error;  // why no workbook could be made; empty when it was
  bool ok() const { return error.empty(); }
};

// The records sheet: the header row (bold, frozen), one row per record of
// the source that holds a result, an empty row, and the empty-cell table.
// Then the sheet of trend charts drawn from those records (workbook_charts.h).
// `created` is the workbook's creation time; the same inputs and time give
// the same bytes. Library temporary files go to $TMPDIR when it is set.
WorkbookBytes MakeResultsWorkbook(const ResultsSource& source, std::time_t created);

}  // namespace velorix
