// velorix-archive: the window without arguments, a download without a window
// with --count/--format/--output, the serial ports with --list-ports.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "console/command_line.h"
#include "console/console_process.h"
#include "console/headless_runner.h"
#include "console/history_commands.h"
#include "shell/port_devices.h"
#include "console/port_list.h"
#include "shell/printable.h"
#include "shell/settings.h"
#include "version.h"

#ifdef VELORIX_HAVE_WINDOW
#include "shell/window_program.h"
#endif

#ifdef VELORIX_HAVE_WINDOW
namespace {

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// Qt aborts (after advice to reinstall) when it finds no display; say what
// is missing instead, before any part of Qt is made, and show the way to a
// run without a window.
bool NoDisplay(const std::string& program) {
  if (IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY") || IsSet("QT_QPA_PLATFORM")) return false;
  std::fprintf(stderr,
               "%s: there is no display for the window (none of DISPLAY, WAYLAND_DISPLAY and\n"
               "QT_QPA_PLATFORM is set). To download without a window:\n"
               "  %s --count N --format xls|doc|xlsx --output FILE\n"
               "Try '%s --help'.\n",
               program.c_str(), program.c_str(), program.c_str());
  return true;
}

}  // namespace
#endif

namespace {

// Text for standard output; a write that fails (a full device, a closed
// output) is an error worth a message and a status, not a silent success.
int Print(const std::string& program, const std::string& text) {
  errno = 0;
  if (std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0) return 0;
  std::fprintf(stderr, "%s: standard output: %s\n", program.c_str(), std::strerror(errno != 0 ? errno : EIO));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  velorix::MarkRunning();
  std::string program;
  const std::vector<std::string> args = velorix::ProgramArguments(argc, argv, program);
  velorix::CommandLine line = velorix::ParseCommandLine(args);
  switch (line.action) {
    case velorix::CommandLine::Help:
      return Print(program, velorix::UsageText(program));
    case velorix::CommandLine::Version:
      return Print(program, program + " " + VELORIX_FILE_VERSION + "\n");
    case velorix::CommandLine::Error:
      std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program.c_str(), velorix::Printable(line.error).c_str(),
                   program.c_str());
      return 2;
    case velorix::CommandLine::Download:
      return velorix::RunHeadless(line, stderr);
    case velorix::CommandLine::HistoryExport:
      return velorix::RunHistoryExport(line, stderr);
    case velorix::CommandLine::HistoryInfo:
      return velorix::RunHistoryInfo(line, stdout, stderr);
    case velorix::CommandLine::ListPorts: {
      const std::string& settings = velorix::SettingsFilePath();
      const velorix::PortMap map = velorix::PortDevices::FromEnvironment(settings).Map();
      return Print(program, velorix::PortListText(map, settings));
    }
    case velorix::CommandLine::Window:
      break;
  }
#ifdef VELORIX_HAVE_WINDOW
  if (NoDisplay(program)) return 2;
  return RunArchiveWindow(argc, argv);
#else
  if (velorix::StartWindowProgram()) return 0;
  std::fputs(velorix::UsageText(program).c_str(), stdout);
  return 0;
#endif
}
