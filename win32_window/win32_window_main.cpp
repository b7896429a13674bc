// velorix-archive-window: the window on Windows, a program of the GUI
// subsystem, so that starting it from the Start menu or Explorer opens no
// console. The command line is velorix-archive.exe.
#include <windows.h>

#include "shell/running_mark.h"
#include "win32_window/win32_archive_dlg.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  velorix::HoldRunningMark();
  return velorix::RunArchiveWindow(instance);
}
