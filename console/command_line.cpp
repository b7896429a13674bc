#include "console/command_line.h"

#include <charconv>
#include <initializer_list>
#include <optional>
#include <set>

#include "archive/archive_download.h"
#include "console/date_argument.h"
#include "console/usage_lines.h"
#include "history/history.h"
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
  const int number = PortNameNumber(value);
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
    const bool flag = name == "--verbose" || name == "--quiet" || name == "--new" || name == "--from-history" ||
                      name == "--history-info";
    if (!flag && name != "--count" && name != "--format" && name != "--output" && name != "--port" &&
        name != "--history" && name != "--since" && name != "--until")
      return Fail("unknown option '" + args[i] + "'");
    if (!given.insert(name).second) return Fail("option " + name + " is given more than once");
    if (flag) {
      if (inlineValue) return Fail("option " + name + " takes no value");
      if (given.count("--verbose") && given.count("--quiet")) return Fail("--verbose and --quiet exclude each other");
      if (name == "--verbose" || name == "--quiet")
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
      if (std::string why = PortNameRefusal(value); !why.empty()) return Fail(why);
      line.port = value;
    } else if (name == "--history") {
      if (value.empty()) return Fail("--history needs a file name");
      line.history = value;
    } else if (name == "--since" || name == "--until") {
      const std::optional<std::string> when =
          ParseDateArgument(value, name == "--since" ? RangeEnd::Start : RangeEnd::End);
      if (!when) return Fail(name + " needs a date such as 2026-12-01 or 2026-12-01T14:30, not '" + value + "'");
      (name == "--since" ? line.since : line.until) = *when;
    } else {
      if (value.empty()) return Fail("--output needs a file name, or - for standard output");
      line.output = value;
    }
  }
  // What the history options go with.
  const auto excluded = [&given](std::initializer_list<const char*> names) -> std::string {
    for (const char* other : names)
      if (given.count(other)) return other;
    return {};
  };
  if (given.count("--history-info")) {
    if (const std::string other = excluded({"--count", "--new", "--format", "--output", "--port", "--from-history",
                                            "--since", "--until", "--verbose", "--quiet"});
        !other.empty())
      return Fail("--history-info takes no option but --history, not " + other);
    line.action = CommandLine::HistoryInfo;
    return line;
  }
  if (given.count("--from-history")) {
    if (const std::string other = excluded({"--count", "--new", "--port"}); !other.empty())
      return Fail("--from-history reads no instrument: " + other + " does not go with it");
    if (!line.since.empty() && !line.until.empty() && line.since > line.until)
      return Fail("--since is later than --until");
  } else if (const std::string other = excluded({"--since", "--until"}); !other.empty()) {
    return Fail(other + " goes with --from-history");
  } else if (given.count("--new")) {
    if (given.count("--count")) return Fail("--new and --count exclude each other: --new reads what is new");
    line.newRecords = true;
  } else if (!given.count("--count")) {
    return Fail("--count is missing (or --new, for the records stored since the last download)");
  }
  if (!given.count("--format")) return Fail("--format is missing");
  if (!given.count("--output")) return Fail("--output is missing");
  line.action = given.count("--from-history") ? CommandLine::HistoryExport : CommandLine::Download;
  return line;
}

std::string UsageText(const std::string& programName) {
  const UsageLines& lines = PlatformUsageLines();
  return "Usage: " + programName +
         " [--count N|--new --format xls|doc|xlsx --output FILE|- [--port PORT] [--verbose|--quiet]]\n"
         "  or:  " + programName + " --from-history [--since DATE] [--until DATE] --format F --output FILE|-\n"
         "  or:  " + programName + " --history-info\n"
         "  or:  " + programName + " --list-ports\n"
         "\n"
         "Reads the last N stored measurement records and the empty-cell table\n"
         "from the instrument on the serial line and writes them to FILE.\n"
         "Without options the program opens its window.\n"
         "\n"
         "  --count N        records to read, 1 to 2000\n"
         "  --new            read the records stored since the last download (all\n"
         "                   2000 slots the first time, or when the archive was\n"
         "                   cleared or overwritten since)\n"
         "  --format xls     tab-separated spreadsheet file\n"
         "  --format doc     text report\n"
         "  --format xlsx    workbook for spreadsheet programs: numbers, dates and\n"
         "                   times as typed cells, the same in every locale\n"
         "  --output FILE    the results file (replaced if it exists); a path that\n"
         "                   can't take it is refused before the instrument is asked\n"
         "  --output -       write the results file to standard output, whole once\n"
         "                   the download is complete (a workbook not to a terminal)\n"
         + lines.portOptions +
         "  --verbose        print every status text, also when standard error is\n"
         "                   no terminal\n"
         "  --quiet          print only errors and the line that ends the run\n"
         "  --history FILE   the history of every download (default: " + std::string(HISTORY_FILE_NAME) + "\n"
         "                   in the current folder)\n"
         "  --from-history   write records from the history alone, no instrument\n"
         "  --since DATE     with --from-history: records of tests from DATE on\n"
         "  --until DATE     ... up to DATE (2026-12-01, 2026-12-01T14:30, 01.12.26)\n"
         "  --history-info   say what the history holds\n"
         "  --list-ports     show which device each COM number opens, and the\n"
         "                   serial ports passed over and why; opens nothing\n"
         "  -h, --help       show this text\n"
         "  -V, --version    show the program's version\n"
         "\n"
         "Status texts and progress go to standard error: on a terminal a progress\n"
         "bar with the latest status; elsewhere the lasting statuses and a line\n"
         "every 10 %. The run ends with one line that says what happened, such as\n"
         "\"Wrote 90 records to " + lines.examplePath + " (10 slots held no result)\":\n"
         "archive slots that hold no measurement are left out of the file.\n"
         "\n"
         "The port tried first is kept in Velquor.ini in the current folder;\n"
         "then COM1..COM4 are tried. " + lines.portRules +
         "\n"
         "Exit status: 0 the file is written; 1 the instrument was not found, did\n"
         "not answer or stopped sending records, or the file could not be written;\n"
         "3 there was nothing to write (--new: no new records; --from-history: no\n"
         "records in the range), so no file was written;\n"
         "2 the command line, the count or the output is wrong" + lines.exitStatusEnd;
}

}  // namespace velorix
