#include "console/usage_lines.h"

namespace velorix {

const UsageLines& PlatformUsageLines() {
  static const UsageLines lines{
      "  --port DEVICE    try this serial device alone, for this run\n"
      "  --port COMn      try COM number n alone (the device it names: see below)\n",
      "/home/lab/r.xls",
      "COMn opens the device named by the\n"
      "environment variable VELORIX_COMn; else the one given as COMn=DEVICE in\n"
      "the [Ports] section of Velquor.ini; else the serial ports of the machine\n"
      "take the numbers left free: USB adapters (by their /dev/serial/by-id\n"
      "name) first, then UARTs by number. The system console and UARTs with\n"
      "no hardware behind them are never used. To pin the instrument's port\n"
      "to COM1, add the line COM1=DEVICE under [Ports] in Velquor.ini (best\n"
      "the adapter's name in /dev/serial/by-id), or set VELORIX_COM1=DEVICE\n"
      "for one run. --list-ports shows the map.\n",
      ", or there is no\n"
      "display for the window. Interrupted (Ctrl-C, SIGTERM, SIGHUP), the program\n"
      "cleans up and then ends by that signal.\n"};
  return lines;
}

}  // namespace velorix
