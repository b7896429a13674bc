// velorix-archive: the window without arguments, a download without a window
// with --count/--format/--output, the serial ports with --list-ports.

#include <cstdio>
#include <string>
#include <vector>

#include "shell/command_line.h"
#include "shell/headless_runner.h"
#include "shell/port_devices.h"
#include "shell/port_list.h"
#include "shell/settings.h"
#include "version.h"

#ifdef VELORIX_HAVE_WINDOW
#include "shell/archive_app.h"
#endif

int main(int argc, char** argv) {
  std::string program = argc > 0 ? argv[0] : "velorix-archive";
  if (auto slash = program.rfind('/'); slash != std::string::npos) program.erase(0, slash + 1);

  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  velorix::CommandLine line = velorix::ParseCommandLine(args);
  switch (line.action) {
    case velorix::CommandLine::Help:
      std::fputs(velorix::UsageText(program).c_str(), stdout);
      return 0;
    case velorix::CommandLine::Version:
      std::printf("%s %s\n", program.c_str(), VELORIX_FILE_VERSION);
      return 0;
    case velorix::CommandLine::Error:
      std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program.c_str(), line.error.c_str(),
                   program.c_str());
      return 2;
    case velorix::CommandLine::Download:
      return velorix::RunHeadless(line, stderr);
    case velorix::CommandLine::ListPorts: {
      const std::string& settings = velorix::SettingsFilePath();
      const velorix::PortMap map = velorix::PortDevices::FromEnvironment(settings).Map();
      std::fputs(velorix::PortListText(map, settings).c_str(), stdout);
      return 0;
    }
    case velorix::CommandLine::Window:
      break;
  }
#ifdef VELORIX_HAVE_WINDOW
  return RunArchiveWindow(argc, argv);
#else
  std::fputs(velorix::UsageText(program).c_str(), stdout);
  return 0;
#endif
}
