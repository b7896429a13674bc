#pragma once

#include <string>
#include <vector>

#include "archive/results_format.h"
#include "console/verbosity.h"

namespace velorix {

// What the command line asks for. No arguments at all opens the window.
struct CommandLine {
  enum Action { Window, Download, ListPorts, Help, Version, Error, HistoryExport, HistoryInfo } action = Window;
  int count = 0;             // records to read, 1..2000
  bool newRecords = false;   // --new: the records stored since the last download instead
  std::string history;       // --history FILE; empty: beside the settings file
  std::string since, until;  // --since, --until of --from-history, as the history writes times
  ResultsFormat format = ResultsFormat::Report;  // --format xls, doc or xlsx
  std::string output;        // the results file; STANDARD_OUTPUT_NAME for standard output
  Verbosity verbosity = Verbosity::Normal;  // --verbose, --quiet
  std::string port;          // --port: a device path or COMn, tried alone
  std::string error;         // for Error: what was wrong
};

// The --output value that stands for standard output.
inline constexpr const char* STANDARD_OUTPUT_NAME = "-";

CommandLine ParseCommandLine(const std::vector<std::string>& args);

std::string UsageText(const std::string& programName);

}  // namespace velorix
