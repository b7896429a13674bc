#pragma once

#include <cstdio>

#include "console/command_line.h"

namespace velorix {

// One download without a window, exactly as if the operator had set the count
// and the format and pressed "Reading archive" with `line.output` as the save
// dialog's answer ("-": standard output). An output that can't take the file
// is refused before the port is opened. Statuses, port tries, errors and the
// line that says how the run ended go to `err`, as much as `line.verbosity`
// asks for. Returns the program's exit status.
int RunHeadless(const CommandLine& line, std::FILE* err);

}  // namespace velorix
