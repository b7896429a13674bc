#pragma once

// The workbook's second sheet, "Charts": the trends an operator looks for,
// drawn by the spreadsheet program itself. One chart of the samples' tgDx
// and one of the empty cells' tgDo, each against the date and time of the
// test, one series per measuring cell. The points sit in columns of the
// chart sheet beside the charts, a date-and-time and a value column per
// cell in the order of time, so the charts stay live cells, not pictures.
//
// A record is charted when its row on the records sheet holds a date and a
// time cell and its tgD is a number: a clock that is not a valid date or a
// value that is not finite has no place on an axis, and stays on the records
// sheet alone.

#include <xlsxwriter.h>

#include <array>
#include <vector>

#include "archive/archive_record.h"
#include "archive/workbook_cells.h"

namespace velorix {

// One point of a chart: when the test was made, as the spreadsheet's serial
// date and time, and the value measured.
struct TrendPoint {
  double when;
  double value;
};

class TrendCharts {
 public:
  // Takes one record of the records sheet with the cells of its row.
  void Note(const ArchiveRecord& record, const WorkbookRow& row);

  // Adds the sheet "Charts" to the book, after the sheets already in it.
  lxw_error AddSheet(lxw_workbook* book);

 private:
  // Points by cell number, one table per chart.
  using PointsByCell = std::array<std::vector<TrendPoint>, 256>;
  PointsByCell samples_, emptyCells_;
};

}  // namespace velorix
