#include "archive/xlsx_workbook.h"

#include <xlsxwriter.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <vector>

#include "archive/classic_locale.h"
#include "archive/results_sink.h"
#include "archive/workbook_cells.h"
#include "archive/workbook_charts.h"
#include "fileio/file_system.h"

namespace velorix {
namespace {

// Column widths in characters of the default font: the longest text shown
// in a column, with room for the cell margins.
class ColumnWidths {
 public:
  void Note(int column, std::string_view text) {
    if (column >= static_cast<int>(widths_.size())) widths_.resize(static_cast<std::size_t>(column) + 1, 0);
    // Count characters, not bytes: a UTF-8 continuation byte starts none.
    const auto chars = std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; });
    widths_[static_cast<std::size_t>(column)] = std::max(widths_[static_cast<std::size_t>(column)], static_cast<int>(chars));
  }
  void Apply(lxw_worksheet* sheet) const {
    constexpr int kMargin = 2, kNarrowest = 4, kWidest = 255;  // the widest a column can be
    for (std::size_t column = 0; column < widths_.size(); ++column) {
      const int width = std::clamp(widths_[column] + kMargin, kNarrowest, kWidest);
      worksheet_set_column(sheet, static_cast<lxw_col_t>(column), static_cast<lxw_col_t>(column), width, nullptr);
    }
  }

 private:
  std::vector<int> widths_;
};

class SheetWriter {
 public:
  SheetWriter(lxw_workbook* book, lxw_worksheet* sheet) : sheet_(sheet) {
    bold_ = workbook_add_format(book);
    format_set_bold(bold_);
    oneDecimal_ = NumberFormat(book, "0.0");
    fourDecimals_ = NumberFormat(book, "0.0000");
    fiveDecimals_ = NumberFormat(book, "0.00000");
    date_ = NumberFormat(book, "dd.mm.yy");
    time_ = NumberFormat(book, "hh:mm");
  }

  void Header(lxw_row_t row, const std::string_view* labels, std::size_t count) {
    for (std::size_t column = 0; column < count; ++column) {
      const std::string label(labels[column]);
      Check(worksheet_write_string(sheet_, row, static_cast<lxw_col_t>(column), label.c_str(), bold_));
      widths_.Note(static_cast<int>(column), label);
    }
  }

  void Row(lxw_row_t row, const WorkbookRow& cells) {
    for (std::size_t column = 0; column < cells.size(); ++column) {
      Cell(row, static_cast<lxw_col_t>(column), cells[column]);
      widths_.Note(static_cast<int>(column), cells[column].text);
    }
  }

  void Finish() {
    worksheet_freeze_panes(sheet_, 1, 0);
    widths_.Apply(sheet_);
  }

  lxw_error error() const { return error_; }

 private:
  static lxw_format* NumberFormat(lxw_workbook* book, const char* code) {
    lxw_format* format = workbook_add_format(book);
    format_set_num_format(format, code);
    return format;
  }

  lxw_format* Format(CellStyle style) const {
    switch (style) {
      case CellStyle::General: return nullptr;
      case CellStyle::OneDecimal: return oneDecimal_;
      case CellStyle::FourDecimals: return fourDecimals_;
      case CellStyle::FiveDecimals: return fiveDecimals_;
      case CellStyle::Date: return date_;
      case CellStyle::Time: return time_;
    }
    return nullptr;
  }

  void Cell(lxw_row_t row, lxw_col_t column, const WorkbookCell& cell) {
    switch (cell.kind) {
      case WorkbookCell::Empty:
        break;
      case WorkbookCell::Number:
        Check(worksheet_write_number(sheet_, row, column, cell.number, Format(cell.style)));
        break;
      case WorkbookCell::Date: {
        lxw_datetime date = {cell.year, cell.month, cell.day, 0, 0, 0.0};
        Check(worksheet_write_datetime(sheet_, row, column, &date, Format(cell.style)));
        break;
      }
      case WorkbookCell::Time: {
        lxw_datetime time = {0, 0, 0, cell.hour, cell.minute, 0.0};
        Check(worksheet_write_datetime(sheet_, row, column, &time, Format(cell.style)));
        break;
      }
      case WorkbookCell::Text:
        Check(worksheet_write_string(sheet_, row, column, cell.text.c_str(), Format(cell.style)));
        break;
    }
  }

  void Check(lxw_error error) {
    if (error_ == LXW_NO_ERROR) error_ = error;
  }

  lxw_worksheet* sheet_;
  lxw_format *bold_, *oneDecimal_, *fourDecimals_, *fiveDecimals_, *date_, *time_;
  ColumnWidths widths_;
  lxw_error error_ = LXW_NO_ERROR;
};

std::string LibraryError(lxw_error error) { return std::string("the workbook could not be made: ") + lxw_strerror(error); }

}  // namespace

WorkbookBytes MakeResultsWorkbook(const ResultsSource& source, std::time_t created) {
  ScratchFile file;
  if (!file.Error().empty()) return {{}, file.Error()};

  lxw_error closed;
  lxw_error written;
  {
    ClassicLocaleForThisThread classic;
    const std::string& name = file.Name();
    std::string tmpdir = file.Folder();
    lxw_workbook_options options = {};
    options.tmpdir = tmpdir.empty() ? nullptr : tmpdir.data();
    lxw_workbook* book = workbook_new_opt(name.c_str(), &options);
    if (book == nullptr) return {{}, LibraryError(LXW_ERROR_MEMORY_MALLOC_FAILED)};
    lxw_doc_properties properties = {};
    properties.created = created;
    workbook_set_properties(book, &properties);
    lxw_worksheet* sheet = workbook_add_worksheet(book, "Results");

    SheetWriter out(book, sheet);
    lxw_row_t row = 0;
    out.Header(row++, RecordHeaderLabels().data(), RecordHeaderLabels().size());
    TrendCharts charts;
    ForEachWrittenRecord(source, [&](const ArchiveRecord& record) {
      const WorkbookRow cells = RecordRow(record);
      out.Row(row++, cells);
      charts.Note(record, cells);
    });
    ++row;  // the empty row before the table, as in the .xls
    out.Header(row++, EmptyCellHeaderLabels().data(), EmptyCellHeaderLabels().size());
    for (int cell = 0; cell < EMPTY_CELL_COUNT; ++cell) out.Row(row++, EmptyCellRow(source.emptyCells, cell));
    out.Finish();
    written = out.error();
    if (written == LXW_NO_ERROR) written = charts.AddSheet(book);
    closed = workbook_close(book);  // writes the file and frees the workbook
  }
  if (written != LXW_NO_ERROR) return {{}, LibraryError(written)};
  if (closed != LXW_NO_ERROR) return {{}, LibraryError(closed)};

  WorkbookBytes result;
  if (!file.ReadAll(result.bytes)) return {{}, file.Error()};
  return result;
}

}  // namespace velorix
