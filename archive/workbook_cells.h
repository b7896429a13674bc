#pragma once

// What each cell of the results workbook holds. The workbook has the rows and
// columns of the tab-separated .xls, but a spreadsheet reads its cells by
// type, not by guessing from text in its own locale: measured values are
// numbers with a number format showing the .xls's decimals, the test's date
// and time are date and time cells, Nc, sample number and temperature are
// whole numbers. A value no cell type can hold (infinity, NaN, a clock byte
// that is not BCD, a day the calendar does not have) is kept as the text the
// .xls shows for it, so nothing is lost and nothing is made up. Each cell
// carries that text in any case: the .xls is written from it.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive_record.h"

namespace velorix {

// How a cell is shown; the workbook maps each to a number format.
enum class CellStyle {
  General,
  OneDecimal,    // 0.0      U, F
  FourDecimals,  // 0.0000   Ex, Co
  FiveDecimals,  // 0.00000  tgD, tgDo
  Date,          // dd.mm.yy
  Time,          // hh:mm
};

struct WorkbookCell {
  enum Kind { Empty, Number, Date, Time, Text } kind = Empty;
  CellStyle style = CellStyle::General;
  double number = 0;                 // Number
  int year = 0, month = 0, day = 0;  // Date, year with its century
  int hour = 0, minute = 0;          // Time
  // The field as the .xls shows it; the cell's content when kind is Text.
  std::string text;
};

using WorkbookRow = std::vector<WorkbookCell>;

inline constexpr int RECORD_COLUMNS = 10;

// The records' header labels in UTF-8; the unit letter of degrees Celsius is
// the Cyrillic capital Es (U+0421), the byte 0xD1 of the .xls.
const std::array<std::string_view, RECORD_COLUMNS>& RecordHeaderLabels();
// "Nc", "Co,pF", "tgDo": the header of the empty-cell table.
const std::array<std::string_view, 3>& EmptyCellHeaderLabels();

// The ten cells of a record's row (the caller skips records that hold no result).
WorkbookRow RecordRow(const ArchiveRecord& record);

// Cell number index+1, its Co in pF and its tgDo.
WorkbookRow EmptyCellRow(const EmptyCellTable& table, int index);

// When a test was made, read from the record's clock bytes. Nothing when
// they are no date and time (a byte that is not BCD, a day the calendar
// lacks): such a record keeps its text on the sheet. Seconds that are not
// BCD read as 0: no results file shows them.
struct TestTime {
  int year, month, day, hour, minute, second;
};
std::optional<TestTime> TestTimeOf(const ArchiveRecord& record);

// Days in a month (1..12) of the Gregorian calendar.
int DaysInMonth(int year, int month);

// The instrument keeps the year within its century. The rule is the POSIX
// one for two-digit years: 69..99 are 1969..1999, 00..68 are 2000..2068.
int YearOfTwoDigits(int yearInCentury);

}  // namespace velorix
