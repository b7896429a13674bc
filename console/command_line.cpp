#include "console/command_line.h"

#include <charconv>
#include <set>

#include "archive/archive_download.h"
#include "shell/port_devices.h"

namespace velorix {
namespace {

bool ParseInt(const std::string& text, int& value) {
  const char* first = text.data();
  const char* last = text.data() + text.size();
  auto [end, ec] = std::from_chars(first, last, value);
  return ec == std::errc() && end == last && first != last;
}

// COMn with n from 1 to 255 written plainly (COM-1, COM02, COM+2 are not),
// or a device path. Anything else would be opened as a file in the current
// folder, or end up in the settings file.
bool IsPortValue(const std::string& value) {
  const int number = ComPortNumber(value);
  if (number != 0) return number >= 1 && number <= MAX_PORT_NUMBER;
  return value.find_first_of("/\\") != std::string::npos;
}

CommandLine Only(CommandLine::Action action) {
  CommandLine line;
  line.action = action;
  return line;
}

CommandLine Fail(std::string message) {
  CommandLine line;
  line.action = CommandLine::Error;
  line.error = std::move(message);
  return line;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine line;
  if (args.empty()) return line;

  // Each option once: of "--count 10 --count 20" neither is more likely meant.
  std::set<std::string> given;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool inlineValue = false;
    // Accept both "--count 100" and "--count=100".
    if (auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      inlineValue = true;
    }
    if (name == "-h" || name == "--help") return Only(CommandLine::Help);
    if (name == "-V" || name == "--version") return Only(CommandLine::Version);
    if (name == "--list-ports") {
      if (args.size() != 1) return Fail("--list-ports takes no other options");
      return Only(CommandLine::ListPorts);
    }
    const bool flag = name == "--verbose" || name == "--quiet";
    if (!flag && name != "--count" && name != "--format" && name != "--output" && name != "--port")
      return Fail("unknown option '" + args[i] + "'");
    if (!given.insert(name).second) return Fail("option " + name + " is given more than once");
    if (flag) {
      if (inlineValue) return Fail("option " + name + " takes no value");
      if (given.count("--verbose") && given.count("--quiet")) return Fail("--verbose and --quiet exclude each other");
      line.verbosity = name == "--verbose" ? Verbosity::Verbose : Verbosity::Quiet;
      continue;
    }
    if (!inlineValue) {
      if (i + 1 >= args.size()) return Fail("option " + name + " needs a value");
      value = args[++i];
    }
    if (name == "--count") {
      if (!ParseInt(value, line.count)) return Fail("--count needs a whole number, not '" + value + "'");
      if (line.count < MIN_SAMPLE_COUNT || line.count > MAX_SAMPLE_COUNT) return Fail(BAD_SAMPLE_COUNT_TEXT);
    } else if (name == "--format") {
      if (value == "xls") line.format = ResultsFormat::Spreadsheet;
      else if (value == "doc") line.format = ResultsFormat::Report;
      else if (value == "xlsx") line.format = ResultsFormat::Workbook;
      else return Fail("--format is xls, doc or xlsx, not '" + value + "'");
    } else if (name == "--port") {
      if (!IsPortValue(value)) return Fail("--port needs a device path or COMn (n from 1 to 255), not '" + value + "'");
      line.port = value;
    } else {
      if (value.empty()) return Fail("--output needs a file name, or - for standard output");
      line.output = value;
    }
  }
  if (!given.count("--count")) return Fail("--count is missing");
  if (!given.count("--format")) return Fail("--format is missing");
  if (!given.count("--output")) return Fail("--output is missing");
  line.action = CommandLine::Download;
  return line;
}

std::string UsageText(const std::string& programName) {
  return "Usage: " + programName +
         " [--count N --format xls|doc|xlsx --output FILE|- [--port PORT] [--verbose|--quiet]]\n"
         "  or:  " + programName + " --list-ports\n"
         "\n"
         "Reads the last N stored measurement records and the empty-cell table\n"
         "from the instrument on the serial line and writes them to FILE.\n"
         "Without options the program opens its window.\n"
         "\n"
         "  --count N        records to read, 1 to 2000\n"
         "  --format xls     tab-separated spreadsheet file\n"
         "  --format doc     text report\n"
         "  --format xlsx    workbook for spreadsheet programs: numbers, dates and\n"
         "                   times as typed cells, the same in every locale\n"
         "  --output FILE    the results file (replaced if it exists); a path that\n"
         "                   can't take it is refused before the instrument is asked\n"
         "  --output -       write the results file to standard output, whole once\n"
         "                   the download is complete (a workbook not to a terminal)\n"
         "  --port DEVICE    try this serial device alone, for this run\n"
         "  --port COMn      try COM number n alone (the device it names: see below)\n"
         "  --verbose        print every status text, also when standard error is\n"
         "                   no terminal\n"
         "  --quiet          print only errors and the line that ends the run\n"
         "  --list-ports     show which device each COM number opens, and the\n"
         "                   serial ports passed over and why; opens nothing\n"
         "  -h, --help       show this text\n"
         "  -V, --version    show the program's version\n"
         "\n"
         "Status texts and progress go to standard error: on a terminal a progress\n"
         "bar with the latest status; elsewhere the lasting statuses and a line\n"
         "every 10 %. The run ends with one line that says what happened, such as\n"
         "\"Wrote 90 records to /home/lab/r.xls (10 slots held no result)\":\n"
         "archive slots that hold no measurement are left out of the file.\n"
         "\n"
         "The port tried first is kept in Velquor.ini in the current folder;\n"
         "then COM1..COM4 are tried. COMn opens the device named by the\n"
         "environment variable VELORIX_COMn; else the one given as COMn=DEVICE in\n"
         "the [Ports] section of Velquor.ini; else the serial ports of the machine\n"
         "take the numbers left free: USB adapters (by their /dev/serial/by-id\n"
         "name) first, then UARTs by number. The system console and UARTs with\n"
         "no hardware behind them are never used. To pin the instrument's port\n"
         "to COM1, add the line COM1=DEVICE under [Ports] in Velquor.ini (best\n"
         "the adapter's name in /dev/serial/by-id), or set VELORIX_COM1=DEVICE\n"
         "for one run. --list-ports shows the map.\n"
         "\n"
         "Exit status: 0 the file is written; 1 the instrument was not found, did\n"
         "not answer or stopped sending records, or the file could not be written;\n"
         "2 the command line, the count or the output is wrong, or there is no\n"
         "display for the window. Interrupted (Ctrl-C, SIGTERM, SIGHUP), the program\n"
         "cleans up and then ends by that signal.\n";
}

}  // namespace velorix
