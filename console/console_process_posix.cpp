#include "console/console_process.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace velorix {
namespace {

std::atomic<int> caughtSignal{0};
std::atomic<bool> terminalResized{false};

extern "C" void OnInterrupt(int signal) { caughtSignal.store(signal); }
extern "C" void OnResize(int) { terminalResized.store(true); }

}  // namespace

// SIGINT (Ctrl-C), SIGTERM and SIGHUP (the terminal or the ssh connection
// went away) end the run the orderly way, so the port is released and no
// file is half written. Standard error may be a pipe nobody reads any more,
// and so may standard output: writing to them must fail, not kill the
// program. SIGWINCH: the progress line follows the terminal's width.
void CatchInterrupts() {
  caughtSignal.store(0);
  terminalResized.store(false);
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
  action.sa_handler = OnResize;
  ::sigaction(SIGWINCH, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

int CaughtInterrupt() { return caughtSignal.load(); }

std::string InterruptName(int interrupt) {
  switch (interrupt) {
    case SIGHUP: return "SIGHUP";
    case SIGTERM: return "SIGTERM";
    case SIGPIPE: return "SIGPIPE";
    default: return "SIGINT";
  }
}

int ClosedPipeInterrupt() { return SIGPIPE; }

// So that a shell loop around the program stops at Ctrl-C too, and a closed
// pipe ends it as it ends other tools.
void EndAsInterrupted(int interrupt) {
  std::signal(interrupt, SIG_DFL);
  ::raise(interrupt);
}

bool TakeTerminalResize() { return terminalResized.exchange(false); }

bool IsTerminal(std::FILE* out) { return ::isatty(fileno(out)) == 1; }

// TERM unset, empty or "dumb": a terminal that takes no escape sequences.
bool TerminalTakesEscapes(std::FILE*) {
  const char* term = std::getenv("TERM");
  return !(term == nullptr || *term == '\0' || std::strcmp(term, "dumb") == 0);
}

int TerminalColumns(std::FILE* out) {
  winsize size{};
  return ::ioctl(fileno(out), TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

// Most do (VTE, Konsole, kitty, tmux, Windows Terminal); xterm, rxvt, st,
// screen and the Linux console cut the line.
bool TerminalRewraps() {
  if (std::getenv("TMUX") != nullptr) return true;
  if (std::getenv("XTERM_VERSION") != nullptr) return false;
  const char* term = std::getenv("TERM");
  const std::string_view name = term != nullptr ? term : "";
  for (const std::string_view cuts : {"linux", "rxvt", "st", "screen"})
    if (name.substr(0, cuts.size()) == cuts && (name.size() == cuts.size() || name[cuts.size()] == '-')) return false;
  return true;
}

std::string StandardOutputRefusal(bool binary) {
  const int flags = ::fcntl(STDOUT_FILENO, F_GETFL);
  if (flags < 0) return "Standard output is closed; there is nowhere to write the results file.";
  if ((flags & O_ACCMODE) == O_RDONLY) return "Standard output is not open for writing.";
  if (binary && ::isatty(STDOUT_FILENO) == 1)
    return "Standard output is a terminal, and a workbook is binary: send it to a file (--output - >FILE) "
           "or a pipe, or give --output FILE.";
  return {};
}

bool StandardOutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

bool RunsAsSuperUser() { return ::geteuid() == 0; }

// The window is part of this program here, where it is built at all.
void MarkRunning() {}

bool StartWindowProgram() { return false; }

std::vector<std::string> ProgramArguments(int argc, char** argv, std::string& programName) {
  programName = argc > 0 ? argv[0] : "velorix-archive";
  if (auto slash = programName.rfind('/'); slash != std::string::npos) programName.erase(0, slash + 1);
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

}  // namespace velorix
