#include "console/usage_lines.h"

namespace velorix {

const UsageLines& PlatformUsageLines() {
  static const UsageLines lines{
      "  --port COMn      try COM number n alone, for this run; \\\\.\\COMn is the same\n",
      "C:\\Users\\lab\\r.xls",
      "COMn is the port of that name in the\n"
      "system's own list (opened as \\\\.\\COMn, so COM10 and above work too).\n"
      "The environment variable VELORIX_COMn, or COMn=NAME in the [Ports]\n"
      "section of Velquor.ini, puts another port in its place, also one whose\n"
      "name is no COM name. --list-ports shows the ports the system lists.\n",
      ".\n"
      "Interrupted (Ctrl+C, Ctrl+Break, closing the console window), the\n"
      "program cleans up and then ends with the status Windows gives a program\n"
      "ended by Ctrl+C, 0xC000013A.\n"};
  return lines;
}

}  // namespace velorix
