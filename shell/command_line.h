#pragma once

#include <string>
#include <vector>

#include "archive/results_format.h"

namespace velorix {

// What the command line asks for. No arguments at all opens the window.
struct CommandLine {
  enum Action { Window, Download, ListPorts, Help, Version, Error } action = Window;
  int count = 0;             // records to read; checked by the runner, not here
  ResultsFormat format = ResultsFormat::Report;  // --format xls, doc or xlsx
  std::string output;        // the results file
  std::string error;         // for Error: what was wrong
};

CommandLine ParseCommandLine(const std::vector<std::string>& args);

std::string UsageText(const std::string& programName);

}  // namespace velorix
