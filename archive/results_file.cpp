#include "archive/results_file.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "archive/text_format.h"
#include "archive/workbook_cells.h"
#include "archive/xlsx_workbook.h"

namespace velorix {
namespace {

constexpr std::string_view kSpreadsheetHeader =
    "Time\tDate\tNc\tSample\tTemp.,\xD1\tU,V\tF,Hz\t\tEx,Co\ttgDx\n";
constexpr std::string_view kSeparatorLine =
    "*****************************************************\n";

// Writes chunk after chunk until one fails; after that it writes nothing.
class ChunkWriter {
 public:
  explicit ChunkWriter(ResultsSink& sink) : sink_(sink) {}
  void Put(std::string_view chunk) {
    if (ok_) ok_ = sink_.Write(chunk);
  }
  bool ok() const { return ok_; }

 private:
  ResultsSink& sink_;
  bool ok_ = true;
};

// The .xls's fields are the texts of the workbook's cells: one place says how
// each field is printed. The chunks are those of the file's layout, one write
// each.
void WriteSpreadsheet(ChunkWriter& out, const ResultsSource& source) {
  out.Put(kSpreadsheetHeader);
  ForEachWrittenRecord(source, [&](const ArchiveRecord& r) {
    if (!out.ok()) return;
    const WorkbookRow f = RecordRow(r);
    out.Put(f[0].text + '\t' + f[1].text + '\t');  // "%02x:%02x\t%02x.%02x.%02x\t"
    out.Put(f[2].text + '\t');                     // nc
    out.Put(f[3].text + '\t');                     // sample
    out.Put(f[4].text + '\t');                     // temperature, empty without a sensor
    out.Put(f[5].text + '\t' + f[6].text + '\t');  // "%.1f\t%.1f\t"
    out.Put(f[7].text + '\t' + f[8].text + '\t');  // "Ex\t%#.4f\t" or "Co,pF\t%#.4f\t"
    out.Put(f[9].text + '\n');                     // "%#.5f\n"
  });

  out.Put("\nNc\tCo,pF\ttgDo\n");
  for (int i = 0; i < EMPTY_CELL_COUNT; ++i) {
    const WorkbookRow f = EmptyCellRow(source.emptyCells, i);
    out.Put(f[0].text + '\t');
    out.Put(f[1].text + '\t');
    out.Put(f[2].text + '\n');
  }
}

void WriteReport(ChunkWriter& out, const ResultsSource& source) {
  constexpr char sep = docDecimalSeparator;
  std::string chunk;
  ForEachWrittenRecord(source, [&](const ArchiveRecord& r) {
    if (!out.ok()) return;
    const bool emptyCell = r.kind() == KIND_EMPTY_CELL;

    out.Put(kSeparatorLine);

    chunk.assign("Time of test: ");  // "%2x:%02x %02x/%02x/%02x\n"
    AppendHexByte(chunk, r.bcdHour(), false);
    chunk += ':';
    AppendHexByte(chunk, r.bcdMin(), true);
    chunk += ' ';
    AppendHexByte(chunk, r.bcdDay(), true);
    chunk += '/';
    AppendHexByte(chunk, r.bcdMonth(), true);
    chunk += '/';
    AppendHexByte(chunk, r.bcdYear(), true);
    chunk += '\n';
    out.Put(chunk);

    chunk.assign("Measuring ceil N");
    AppendDecimal(chunk, r.nc());
    chunk += '\n';
    out.Put(chunk);

    chunk.assign("Sample number ");
    AppendDecimal(chunk, r.sample());
    chunk += '\n';
    out.Put(chunk);

    if (hasTemperature(r)) {
      chunk.assign("Temperature ");
      AppendDecimal(chunk, r.temp());
      chunk += " deg C.\n";
    } else {
      chunk.assign("Temperature sensor is not available\n");
    }
    out.Put(chunk);

    chunk.assign("U=");
    AppendFixedWithSeparator(chunk, r.u(), 1, false, sep);
    chunk += " V  F=";
    AppendFixedWithSeparator(chunk, r.f(), 1, false, sep);
    chunk += " Hz\n";
    out.Put(chunk);

    if (emptyCell) {
      chunk.assign("Co=");
      AppendFixedWithSeparator(chunk, r.exCo(), 4, true, sep);
      chunk += " pF ";
    } else {
      chunk.assign("Ex=");
      chunk += FormatReportValue(r.exCo());
      chunk += ' ';
    }
    out.Put(chunk);

    chunk.assign(emptyCell ? "tgDo=" : "tgDx=");
    chunk += FormatReportValue(r.tgD());
    chunk += '\n';
    out.Put(chunk);
  });

  out.Put(kSeparatorLine);
  out.Put("Capacitance and dissipation factor of free ceils:\n");
  for (int i = 0; i < EMPTY_CELL_COUNT; ++i) {
    chunk.assign("Ceil N");
    AppendDecimal(chunk, i + 1);
    chunk += ' ';
    out.Put(chunk);

    chunk.assign("Co=");
    AppendFixedWithSeparator(chunk, EmptyCellPicofarads(source.emptyCells, i), 4, true, sep);
    chunk += ' ';
    out.Put(chunk);

    chunk.assign("tgDo=");
    AppendFixedWithSeparator(chunk, source.emptyCells.tgDo[i], 5, true, sep);
    chunk += '\n';
    out.Put(chunk);
  }
  out.Put(kSeparatorLine);
}

}  // namespace

std::time_t ResultsTime() {
  if (const char* fixed = std::getenv("SOURCE_DATE_EPOCH"); fixed != nullptr && *fixed != '\0') {
    long long seconds = 0;
    const char* end = fixed + std::strlen(fixed);
    if (auto [stop, error] = std::from_chars(fixed, end, seconds); error == std::errc() && stop == end && seconds >= 0)
      return static_cast<std::time_t>(seconds);
  }
  return std::time(nullptr);
}

std::string ProposeResultsName(int exportExcel, std::time_t now) {
  std::tm local{};
  if (::localtime_r(&now, &local) == nullptr) return {};
  const char* pattern = exportExcel ? "results%d_%m_%y.xls" : "results%d_%m_%y.doc";
  // The pattern gives 19 characters; the room is only a safe upper bound.
  std::string name(64, '\0');
  const std::size_t length = std::strftime(name.data(), name.size(), pattern, &local);
  name.resize(length);
  return name;
}

SaveRequest MakeSaveRequest(int exportExcel, std::time_t now) {
  SaveRequest request;
  request.proposedName = ProposeResultsName(exportExcel, now);
  if (exportExcel) {
    request.filter = "Results Files (*.xls)|*.xls|Excel Workbook (*.xlsx)|*.xlsx| All Files (*.*)|*.*||";
    request.defaultExtension = "xls";
  } else {
    request.filter = "Results Files (*.doc)|*.doc| All Files (*.*)|*.*||";
    request.defaultExtension = "doc";
  }
  return request;
}

std::string FormatReportValue(double value) {
  std::string text;
  AppendFixedWithSeparator(text, value, 5, true, docDecimalSeparator);
  text += ' ';
  return text;
}

ResultsFormat ChosenResultsFormat(int exportExcel, const std::string& path, int chosenFilter) {
  if (!exportExcel) return ResultsFormat::Report;
  constexpr int kWorkbookFilter = 1;
  constexpr std::string_view kWorkbookExtension = ".xlsx";
  const bool workbookName =
      path.size() >= kWorkbookExtension.size() &&
      std::equal(kWorkbookExtension.begin(), kWorkbookExtension.end(), path.end() - kWorkbookExtension.size(),
                 [](char want, char have) { return want == (have >= 'A' && have <= 'Z' ? have - 'A' + 'a' : have); });
  return chosenFilter == kWorkbookFilter || workbookName ? ResultsFormat::Workbook : ResultsFormat::Spreadsheet;
}

WriteOutcome WriteResultsFile(const DownloadStore& store, int sampleCount, int exportExcel,
                              SaveDialog& dialog, std::time_t now, ResultsSink& sink) {
  const std::optional<std::string> path = dialog.AskSavePath(MakeSaveRequest(exportExcel, now));
  if (!path) return {WriteOutcome::Cancelled, {}, {}};
  const ResultsFormat format = ChosenResultsFormat(exportExcel, *path, dialog.ChosenFilter());
  return WriteResultsFileTo(store, sampleCount, format, *path, now, sink);
}

WriteOutcome WriteResultsFile(const DownloadStore& store, int sampleCount, int exportExcel,
                              SaveDialog& dialog, std::time_t now) {
  FileResultsSink sink;
  return WriteResultsFile(store, sampleCount, exportExcel, dialog, now, sink);
}

WriteOutcome WriteResultsFileTo(const ResultsSource& source, ResultsFormat format, const std::string& path,
                                std::time_t now, ResultsSink& sink) {
  WorkbookBytes workbook;
  if (format == ResultsFormat::Workbook) {
    workbook = MakeResultsWorkbook(source, now);
    if (!workbook.ok()) return {WriteOutcome::Failed, path, workbook.error};
  }

  if (!sink.Open(path)) {
    const std::string error = sink.Error();
    sink.Abandon();
    return {WriteOutcome::Failed, path, error};
  }
  ChunkWriter out(sink);
  switch (format) {
    case ResultsFormat::Spreadsheet: WriteSpreadsheet(out, source); break;
    case ResultsFormat::Report: WriteReport(out, source); break;
    case ResultsFormat::Workbook: out.Put(workbook.bytes); break;
  }
  if (!out.ok() || !sink.Close()) {
    const std::string error = sink.Error();
    sink.Abandon();
    return {WriteOutcome::Failed, path, error};
  }
  return {WriteOutcome::Written, path, {}};
}

WriteOutcome WriteResultsFileTo(const DownloadStore& store, int sampleCount, ResultsFormat format,
                                const std::string& path, std::time_t now, ResultsSink& sink) {
  // Never read beyond the store, whatever count the caller passes.
  return WriteResultsFileTo(DownloadedRecords(store, sampleCount), format, path, now, sink);
}

WriteOutcome WriteResultsFileTo(const DownloadStore& store, int sampleCount, ResultsFormat format,
                                const std::string& path, std::time_t now) {
  FileResultsSink sink;
  return WriteResultsFileTo(store, sampleCount, format, path, now, sink);
}

}  // namespace velorix
