#include "archive/workbook_cells.h"

#include <cmath>
#include <cstdint>

#include "archive/text_format.h"

namespace velorix {
namespace {

// The decimals the .xls prints for each kind of value.
constexpr int kVoltageFrequencyDecimals = 1;
constexpr int kExCoDecimals = 4;
constexpr int kTgDDecimals = 5;

// The two decimal digits of a packed BCD byte, or -1 when a nibble is not a digit.
int FromBcd(std::uint8_t byte) {
  const int tens = byte >> 4, units = byte & 0x0F;
  if (tens > 9 || units > 9) return -1;
  return tens * 10 + units;
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

WorkbookCell TextCell(std::string text) {
  WorkbookCell cell;
  cell.kind = WorkbookCell::Text;
  cell.text = std::move(text);
  return cell;
}

WorkbookCell WholeNumberCell(long long value) {
  WorkbookCell cell;
  cell.kind = WorkbookCell::Number;
  cell.number = static_cast<double>(value);
  AppendDecimal(cell.text, value);
  return cell;
}

// A real with the .xls's decimals ("%.Nf", or "%#.Nf" with alternateForm).
// Infinities and NaNs have no number cell; they stay the .xls's text.
WorkbookCell RealCell(double value, int decimals, bool alternateForm, CellStyle style) {
  WorkbookCell cell;
  AppendFixedWithSeparator(cell.text, value, decimals, alternateForm, xlsDecimalSeparator);
  if (!std::isfinite(value)) {
    cell.kind = WorkbookCell::Text;
    return cell;
  }
  cell.kind = WorkbookCell::Number;
  cell.style = style;
  cell.number = value;
  return cell;
}

WorkbookCell TimeCell(std::uint8_t bcdHour, std::uint8_t bcdMin) {
  WorkbookCell cell;
  AppendHexByte(cell.text, bcdHour, true);
  cell.text += ':';
  AppendHexByte(cell.text, bcdMin, true);
  const int hour = FromBcd(bcdHour), minute = FromBcd(bcdMin);
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59) {
    cell.kind = WorkbookCell::Text;
    return cell;
  }
  cell.kind = WorkbookCell::Time;
  cell.style = CellStyle::Time;
  cell.hour = hour;
  cell.minute = minute;
  return cell;
}

WorkbookCell DateCell(std::uint8_t bcdDay, std::uint8_t bcdMonth, std::uint8_t bcdYear) {
  WorkbookCell cell;
  AppendHexByte(cell.text, bcdDay, true);
  cell.text += '.';
  AppendHexByte(cell.text, bcdMonth, true);
  cell.text += '.';
  AppendHexByte(cell.text, bcdYear, true);
  const int day = FromBcd(bcdDay), month = FromBcd(bcdMonth), yearInCentury = FromBcd(bcdYear);
  if (day < 1 || month < 1 || month > 12 || yearInCentury < 0) {
    cell.kind = WorkbookCell::Text;
    return cell;
  }
  const int year = YearOfTwoDigits(yearInCentury);
  if (day > DaysInMonth(year, month)) {
    cell.kind = WorkbookCell::Text;
    return cell;
  }
  cell.kind = WorkbookCell::Date;
  cell.style = CellStyle::Date;
  cell.year = year;
  cell.month = month;
  cell.day = day;
  return cell;
}

}  // namespace

const std::array<std::string_view, RECORD_COLUMNS>& RecordHeaderLabels() {
  static constexpr std::array<std::string_view, RECORD_COLUMNS> kLabels = {
      "Time", "Date", "Nc", "Sample", "Temp.,\u0421", "U,V", "F,Hz", "", "Ex,Co", "tgDx"};
  return kLabels;
}

const std::array<std::string_view, 3>& EmptyCellHeaderLabels() {
  static constexpr std::array<std::string_view, 3> kLabels = {"Nc", "Co,pF", "tgDo"};
  return kLabels;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

int YearOfTwoDigits(int yearInCentury) { return yearInCentury >= 69 ? 1900 + yearInCentury : 2000 + yearInCentury; }

WorkbookRow RecordRow(const ArchiveRecord& r) {
  WorkbookRow row;
  row.reserve(RECORD_COLUMNS);
  row.push_back(TimeCell(r.bcdHour(), r.bcdMin()));
  row.push_back(DateCell(r.bcdDay(), r.bcdMonth(), r.bcdYear()));
  row.push_back(WholeNumberCell(r.nc()));
  row.push_back(WholeNumberCell(r.sample()));
  row.push_back(hasTemperature(r) ? WholeNumberCell(r.temp()) : WorkbookCell{});
  row.push_back(RealCell(r.u(), kVoltageFrequencyDecimals, false, CellStyle::OneDecimal));
  row.push_back(RealCell(r.f(), kVoltageFrequencyDecimals, false, CellStyle::OneDecimal));
  row.push_back(TextCell(r.kind() == KIND_EMPTY_CELL ? "Co,pF" : "Ex"));
  row.push_back(RealCell(r.exCo(), kExCoDecimals, true, CellStyle::FourDecimals));
  row.push_back(RealCell(r.tgD(), kTgDDecimals, true, CellStyle::FiveDecimals));
  return row;
}

std::optional<TestTime> TestTimeOf(const ArchiveRecord& r) {
  const WorkbookCell date = DateCell(r.bcdDay(), r.bcdMonth(), r.bcdYear());
  const WorkbookCell time = TimeCell(r.bcdHour(), r.bcdMin());
  if (date.kind != WorkbookCell::Date || time.kind != WorkbookCell::Time) return std::nullopt;
  const int second = FromBcd(r.bcdSec());
  return TestTime{date.year, date.month, date.day, time.hour, time.minute, second >= 0 && second <= 59 ? second : 0};
}

WorkbookRow EmptyCellRow(const EmptyCellTable& table, int index) {
  WorkbookRow row;
  row.push_back(WholeNumberCell(index + 1));
  row.push_back(RealCell(EmptyCellPicofarads(table, index), kExCoDecimals, true, CellStyle::FourDecimals));
  row.push_back(RealCell(table.tgDo[index], kTgDDecimals, true, CellStyle::FiveDecimals));
  return row;
}

}  // namespace velorix
