#pragma once

// What the command line does with the history alone, no instrument needed:
// --from-history writes the records of a time range as a results file,
// --history-info says what the history holds.

#include <cstdio>

#include "console/command_line.h"

namespace velorix {

// Writes the history's records of tests in [line.since, line.until] (all of
// them without a range) to line.output in line.format, with the empty-cell
// table of the last download up to the range's end. The last line and any
// error go to `err`. Returns the exit status: 0 written, 1 the history or
// the file failed, 2 the output can't take a file, 3 no records to write.
int RunHistoryExport(const CommandLine& line, std::FILE* err);

// The history's summary on `out`; errors on `err`. 0, or 1 when it can't be read.
int RunHistoryInfo(const CommandLine& line, std::FILE* out, std::FILE* err);

}  // namespace velorix
