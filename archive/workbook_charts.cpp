#include "archive/workbook_charts.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <string>
#include <vector>

namespace velorix {
namespace {

constexpr char kSheetName[] = "Charts";

// The charts fill the left of the sheet, one above the other; their columns
// start to the right of them, under three header rows: the chart's title,
// the cell, the quantity.
constexpr double kChartScaleX = 2.0, kChartScaleY = 1.5;  // 960 x 432 pixels
constexpr int kChartOffset = 10;                          // pixels from the top left of its cell
constexpr lxw_row_t kFirstChartRow = 0, kSecondChartRow = 23;
constexpr lxw_row_t kLastChartRow = 45;
constexpr lxw_col_t kLastChartColumn = 15;  // P
constexpr lxw_col_t kFirstDataColumn = kLastChartColumn + 2;
constexpr lxw_row_t kHeaderRows = 3;

// A spreadsheet program takes at most 255 series in one chart.
constexpr std::size_t kMostSeries = 255;
// Past this many points in a series, markers hide the line they are on.
constexpr std::size_t kMostMarkedPoints = 60;
// A quantity that spans two decades or more reads on a logarithmic axis.
constexpr double kLogarithmicSpan = 100.0;

// One colour per cell, the same in both charts.
constexpr lxw_color_t kCellColours[] = {0x1F77B4, 0xFF7F0E, 0x2CA02C, 0xD62728, 0x9467BD,
                                        0x8C564B, 0xE377C2, 0x7F7F7F, 0xBCBD22, 0x17BECF};

struct Quantity {
  const char* title;
  const char* label;  // the axis title and the column header
  const char* none;   // in place of a chart that has no point
};

constexpr Quantity kSampleTgD = {"tgDx of the samples", "tgDx",
                                 "No sample has a valid date and a finite tgDx to chart."};
constexpr Quantity kEmptyCellTgD = {"tgDo of the empty cells", "tgDo",
                                    "No empty-cell record has a valid date and a finite tgDo to chart."};

// The whole days the charts' time axis spans, the same for both charts.
struct TimeSpan {
  double first = HUGE_VAL, last = -HUGE_VAL;
  void Take(double when) {
    first = std::min(first, std::floor(when));
    last = std::max(last, std::floor(when) + 1);
  }
};

class ChartSheet {
 public:
  ChartSheet(lxw_workbook* book, lxw_worksheet* sheet) : book_(book), sheet_(sheet) {
    bold_ = workbook_add_format(book);
    format_set_bold(bold_);
    when_ = workbook_add_format(book);
    format_set_num_format(when_, "dd.mm.yy hh:mm");
    value_ = workbook_add_format(book);
    format_set_num_format(value_, "0.00000");
  }

  // The chart of one quantity with its top left in `row`, and its columns.
  void Add(const Quantity& quantity, const std::vector<const std::vector<TrendPoint>*>& series,
           const std::vector<int>& cells, const TimeSpan& span, lxw_row_t row) {
    if (series.empty()) {
      Check(worksheet_write_string(sheet_, row + 1, 1, quantity.none, nullptr));
      return;
    }
    std::size_t longest = 0;
    double least = HUGE_VAL, most = -HUGE_VAL;
    for (const auto* points : series) {
      longest = std::max(longest, points->size());
      for (const TrendPoint& point : *points) least = std::min(least, point.value), most = std::max(most, point.value);
    }
    const bool marked = longest <= kMostMarkedPoints;
    lxw_chart* chart =
        workbook_add_chart(book_, marked ? LXW_CHART_SCATTER_STRAIGHT_WITH_MARKERS : LXW_CHART_SCATTER_STRAIGHT);
    if (chart == nullptr) return Check(LXW_ERROR_MEMORY_MALLOC_FAILED);

    Check(worksheet_write_string(sheet_, 0, column_, quantity.title, bold_));
    for (std::size_t i = 0; i < series.size(); ++i) AddSeries(chart, quantity, *series[i], cells[i], marked);
    ++column_;  // an empty column before the next chart's

    chart_title_set_name(chart, quantity.title);
    chart_axis_set_name(chart->x_axis, "Date and time of the test");
    chart_axis_set_num_format(chart->x_axis, span.last - span.first <= 3 ? "dd.mm.yy hh:mm" : "dd.mm.yy");
    chart_axis_set_min(chart->x_axis, span.first);
    chart_axis_set_max(chart->x_axis, span.last);
    chart_axis_set_name(chart->y_axis, quantity.label);
    if (least > 0 && most / least >= kLogarithmicSpan) chart_axis_set_log_base(chart->y_axis, 10);
    chart_axis_set_crossing_min(chart->y_axis);  // the time axis at the foot of the chart
    chart_legend_set_position(chart, LXW_CHART_LEGEND_RIGHT);

    lxw_chart_options options = {};
    options.x_offset = kChartOffset;
    options.y_offset = kChartOffset;
    options.x_scale = kChartScaleX;
    options.y_scale = kChartScaleY;
    Check(worksheet_insert_chart_opt(sheet_, row, 0, chart, &options));
  }

  // Printing the sheet prints the two charts on one page.
  void Finish() {
    Check(worksheet_print_area(sheet_, 0, 0, kLastChartRow, kLastChartColumn));
    worksheet_set_landscape(sheet_);
    worksheet_fit_to_pages(sheet_, 1, 1);
  }

  lxw_error error() const { return error_; }

 private:
  void AddSeries(lxw_chart* chart, const Quantity& quantity, const std::vector<TrendPoint>& points, int cell,
                 bool marked) {
    const std::string name = "Cell " + std::to_string(cell);
    const lxw_col_t whenColumn = column_++, valueColumn = column_++;
    Check(worksheet_write_string(sheet_, 1, whenColumn, name.c_str(), bold_));
    Check(worksheet_write_string(sheet_, 2, whenColumn, "Date and time", bold_));
    Check(worksheet_write_string(sheet_, 2, valueColumn, quantity.label, bold_));
    lxw_row_t row = kHeaderRows;
    for (const TrendPoint& point : points) {
      Check(worksheet_write_number(sheet_, row, whenColumn, point.when, when_));
      Check(worksheet_write_number(sheet_, row, valueColumn, point.value, value_));
      ++row;
    }
    worksheet_set_column(sheet_, whenColumn, whenColumn, 15, nullptr);
    worksheet_set_column(sheet_, valueColumn, valueColumn, 9, nullptr);

    lxw_chart_series* series = chart_add_series(chart, nullptr, nullptr);
    if (series == nullptr) return Check(LXW_ERROR_MEMORY_MALLOC_FAILED);
    const lxw_row_t last = row - 1;
    chart_series_set_categories(series, kSheetName, kHeaderRows, whenColumn, last, whenColumn);
    chart_series_set_values(series, kSheetName, kHeaderRows, valueColumn, last, valueColumn);
    chart_series_set_name_range(series, kSheetName, 1, whenColumn);
    // The library would copy every point into the chart as well, for programs
    // that draw a chart without reading its cells. Spreadsheet programs read
    // the cells, and the copy would cost a long history more time than the
    // rest of its sheet; it would also make the Windows build's file differ
    // (its C library writes three-digit exponents there) and miscount a
    // series of more than 65535 points.
    series->categories->ignore_cache = series->values->ignore_cache = LXW_TRUE;

    const lxw_color_t colour = kCellColours[static_cast<std::size_t>(cell + 9) % std::size(kCellColours)];
    lxw_chart_line line = {};
    line.color = colour;
    line.width = marked ? 1.25f : 0.75f;
    chart_series_set_line(series, &line);
    if (!marked) return chart_series_set_marker_type(series, LXW_CHART_MARKER_NONE);
    chart_series_set_marker_type(series, LXW_CHART_MARKER_CIRCLE);
    chart_series_set_marker_size(series, 5);
    lxw_chart_fill fill = {};
    fill.color = colour;
    chart_series_set_marker_fill(series, &fill);
    lxw_chart_line border = {};
    border.color = colour;
    chart_series_set_marker_line(series, &border);
  }

  void Check(lxw_error error) {
    if (error_ == LXW_NO_ERROR) error_ = error;
  }

  lxw_workbook* book_;
  lxw_worksheet* sheet_;
  lxw_format *bold_, *when_, *value_;
  lxw_col_t column_ = kFirstDataColumn;
  lxw_error error_ = LXW_NO_ERROR;
};

}  // namespace

void TrendCharts::Note(const ArchiveRecord& record, const WorkbookRow& row) {
  const WorkbookCell &time = row[0], &date = row[1], &value = row[RECORD_COLUMNS - 1];
  if (date.kind != WorkbookCell::Date || time.kind != WorkbookCell::Time || value.kind != WorkbookCell::Number) return;
  PointsByCell* table = record.kind() == KIND_SAMPLE ? &samples_ : record.kind() == KIND_EMPTY_CELL ? &emptyCells_ : nullptr;
  if (table == nullptr) return;
  lxw_datetime when = {date.year, date.month, date.day, time.hour, time.minute, 0.0};
  (*table)[record.nc()].push_back({lxw_datetime_to_excel_datetime(&when), value.number});
}

lxw_error TrendCharts::AddSheet(lxw_workbook* book) {
  lxw_worksheet* sheet = workbook_add_worksheet(book, kSheetName);
  if (sheet == nullptr) return LXW_ERROR_MEMORY_MALLOC_FAILED;

  // Each series in the order of time, so its line runs forward; records of
  // one moment keep their order in the file.
  TimeSpan span;
  struct Chart {
    std::vector<const std::vector<TrendPoint>*> series;
    std::vector<int> cells;
  } charts[2];
  PointsByCell* tables[2] = {&samples_, &emptyCells_};
  for (int c = 0; c < 2; ++c) {
    for (int cell = 0; cell < static_cast<int>(tables[c]->size()); ++cell) {
      std::vector<TrendPoint>& points = (*tables[c])[static_cast<std::size_t>(cell)];
      if (points.empty() || charts[c].series.size() == kMostSeries) continue;
      std::stable_sort(points.begin(), points.end(), [](const TrendPoint& a, const TrendPoint& b) { return a.when < b.when; });
      span.Take(points.front().when);
      span.Take(points.back().when);
      charts[c].series.push_back(&points);
      charts[c].cells.push_back(cell);
    }
  }

  ChartSheet out(book, sheet);
  out.Add(kSampleTgD, charts[0].series, charts[0].cells, span, kFirstChartRow);
  out.Add(kEmptyCellTgD, charts[1].series, charts[1].cells, span, kSecondChartRow);
  out.Finish();
  return out.error();
}

}  // namespace velorix
