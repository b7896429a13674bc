#pragma once

// The lines of the help text that say what holds on one system only, each
// written once for POSIX and once for Windows (usage_lines_posix.cpp,
// usage_lines_win32.cpp). The rest of the text is shared: UsageText.

namespace velorix {

struct UsageLines {
  const char* portOptions;    // the --port option lines, each ending in a line feed
  const char* examplePath;    // a results file's absolute path, for the example
  const char* portRules;      // which device a COM number opens, after "then COM1..COM4 are tried."
  const char* exitStatusEnd;  // after "2 the command line, the count or the output is wrong":
                              // what else 2 stands for, and how an interrupted run ends
};

const UsageLines& PlatformUsageLines();

}  // namespace velorix
