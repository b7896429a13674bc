#pragma once

#include <cstdio>

#include "shell/command_line.h"

namespace velorix {

// One download without a window, exactly as if the operator had set the count
// and the format and pressed "Reading archive" with `line.output` as the save
// dialog's answer. Statuses, port tries and errors go to `err`. Returns the
// program's exit status.
int RunHeadless(const CommandLine& line, std::FILE* err);

}  // namespace velorix
