#pragma once

#include <cstdio>
#include <string>

#include "console/command_line.h"

namespace velorix {

// One download without a window, exactly as if the operator had set the count
// and the format and pressed "Reading archive" with `line.output` as the save
// dialog's answer ("-": standard output). An output that can't take the file
// is refused before the port is opened. Statuses, port tries, errors and the
// line that says how the run ended go to `err`, as much as `line.verbosity`
// asks for. Returns the program's exit status.
int RunHeadless(const CommandLine& line, std::FILE* err);

// Why the results can't go where the command line says, before anything is
// opened or sent; empty when they can.
std::string OutputRefusal(const CommandLine& line);

// The output as the last line names it: standard output, or the file's
// absolute path as the system names it.
std::string ShownOutput(const std::string& output);

}  // namespace velorix
