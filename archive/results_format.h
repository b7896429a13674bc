#pragma once

// The kinds of results file the writer makes.

namespace velorix {

enum class ResultsFormat {
  Spreadsheet,  // .xls: tab-separated 8-bit text with full stops
  Report,       // .doc: a text report
  Workbook,     // .xlsx: an Office Open XML workbook with typed cells
};

}  // namespace velorix
