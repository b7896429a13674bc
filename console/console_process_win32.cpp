#include "console/console_process.h"

#include <io.h>
#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <cstdlib>

#include "fileio/wide_text.h"
#include "shell/running_mark.h"

namespace velorix {
namespace {

// The interrupts, numbered from 1 so that 0 can mean none.
enum : int { CTRL_C = 1, CTRL_BREAK = 2, CONSOLE_CLOSED = 3 };

// What Windows itself gives a console program ended by Ctrl+C.
constexpr UINT EXIT_CONTROL_C = 0xC000013A;
// Windows ends the process some 5 s after a close event whatever the
// handler does; the clean-up gets most of that.
constexpr DWORD CLOSE_GRACE_MS = 4500;

std::atomic<int> caught{0};
HANDLE cleanedUp = nullptr;  // set when the run has cleaned up and ends

BOOL WINAPI OnConsoleEvent(DWORD event) {
  int interrupt = CTRL_C;
  if (event == CTRL_BREAK_EVENT) interrupt = CTRL_BREAK;
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
    interrupt = CONSOLE_CLOSED;
  int none = 0;
  caught.compare_exchange_strong(none, interrupt);
  // Returning from a close event ends the process at once: wait here, on the
  // system's own thread for the event, while the run cleans up.
  if (interrupt == CONSOLE_CLOSED && cleanedUp != nullptr) ::WaitForSingleObject(cleanedUp, CLOSE_GRACE_MS);
  return TRUE;
}

HANDLE StreamHandle(std::FILE* stream) { return reinterpret_cast<HANDLE>(::_get_osfhandle(_fileno(stream))); }

bool ConsoleMode(HANDLE handle, DWORD& mode) {
  return handle != INVALID_HANDLE_VALUE && handle != nullptr && ::GetConsoleMode(handle, &mode) != 0;
}

UINT originalOutputCodePage = 0;

void RestoreOutputCodePage() {
  if (originalOutputCodePage != 0) ::SetConsoleOutputCP(originalOutputCodePage);
}

}  // namespace

void CatchInterrupts() {
  caught.store(0);
  if (cleanedUp == nullptr) cleanedUp = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

int CaughtInterrupt() { return caught.load(); }

std::string InterruptName(int interrupt) {
  switch (interrupt) {
    case CTRL_BREAK: return "Ctrl+Break";
    case CONSOLE_CLOSED: return "closing the console window";
    default: return "Ctrl+C";
  }
}

// A reader that has gone makes the write fail; there is no signal to raise.
int ClosedPipeInterrupt() { return 0; }

void EndAsInterrupted(int) {
  std::fflush(nullptr);
  if (cleanedUp != nullptr) ::SetEvent(cleanedUp);
  RestoreOutputCodePage();
  ::ExitProcess(EXIT_CONTROL_C);
}

// No event tells of a new console width; it is asked before every drawing.
bool TakeTerminalResize() { return false; }

bool IsTerminal(std::FILE* out) {
  DWORD mode = 0;
  return ConsoleMode(StreamHandle(out), mode);
}

bool TerminalTakesEscapes(std::FILE* out) {
  DWORD mode = 0;
  return ConsoleMode(StreamHandle(out), mode) && (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

// Lines wrap at the width of the console's buffer.
int TerminalColumns(std::FILE* out) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!::GetConsoleScreenBufferInfo(StreamHandle(out), &info)) return 0;
  return info.dwSize.X;
}

// Windows Terminal and the console host both rewrap when made narrower.
bool TerminalRewraps() { return true; }

std::string StandardOutputRefusal(bool binary) {
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == INVALID_HANDLE_VALUE || out == nullptr)
    return "Standard output is closed; there is nowhere to write the results file.";
  DWORD mode = 0;
  if (binary && ConsoleMode(out, mode))
    return "Standard output is a terminal, and a workbook is binary: send it to a file (--output - >FILE) "
           "or a pipe, or give --output FILE.";
  return {};
}

bool StandardOutputIsTerminal() {
  DWORD mode = 0;
  return ConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), mode);
}

bool RunsAsSuperUser() { return false; }

void MarkRunning() { HoldRunningMark(); }

bool StartWindowProgram() {
  std::wstring path = ProgramPath();
  if (path.empty()) return false;
  path = path.substr(0, path.find_last_of(L"\\/") + 1) + L"velorix-archive-window.exe";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!::CreateProcessW(path.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
    return false;
  ::CloseHandle(started.hThread);
  ::CloseHandle(started.hProcess);
  return true;
}

// From the wide command line, so that names in any script reach the program
// whole whatever the code page. The program's texts are UTF-8, and so is the
// console's output while it runs.
std::vector<std::string> ProgramArguments(int, char**, std::string& programName) {
  if (originalOutputCodePage == 0 && (originalOutputCodePage = ::GetConsoleOutputCP()) != 0) {
    ::SetConsoleOutputCP(CP_UTF8);
    std::atexit(RestoreOutputCodePage);
  }
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 0; wide != nullptr && i < count; ++i) args.push_back(Utf8FromWide(wide[i]));
  if (wide != nullptr) ::LocalFree(wide);
  programName = args.empty() ? std::string("velorix-archive") : args.front();
  if (const std::size_t slash = programName.find_last_of("/\\"); slash != std::string::npos)
    programName.erase(0, slash + 1);
  if (programName.size() > 4) {
    std::string suffix = programName.substr(programName.size() - 4);
    for (char& c : suffix) c = static_cast<char>(c | 0x20);
    if (suffix == ".exe") programName.resize(programName.size() - 4);
  }
  if (!args.empty()) args.erase(args.begin());
  return args;
}

}  // namespace velorix
