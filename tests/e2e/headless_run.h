#pragma once

// Running the program without a window as a user runs it, for the end-to-end
// tests: a scratch folder, COM2 mapped to the simulator's pty and the other
// ports to paths that do not exist (so no real serial port of the machine is
// ever touched), standard output and error captured, the exit status, and
// what the run left on disk.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "expected_results.h"
#include "sim_process.h"

extern char** environ;

namespace velorix::e2etest {

namespace fs = std::filesystem;

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::vector<std::string> ReadLines(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline void WriteFile(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// The names in a folder, sorted; empty if there is no such folder.
inline std::vector<std::string> FolderEntries(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Waits until the simulator has logged `count` frames (at most 20 s).
inline bool WaitForFrames(const fs::path& log, std::size_t count) {
  const std::int64_t deadline = simtest::NowMs() + 20000;
  while (ReadLines(log).size() < count && simtest::NowMs() < deadline) ::usleep(5 * 1000);
  return ReadLines(log).size() >= count;
}

// The frame the program sends for CMD_READ_RECORD of `index`, as the
// simulator logs it.
inline std::string RecordRequestLine(int index) {
  const unsigned lo = static_cast<unsigned>(index) & 0xFF, hi = (static_cast<unsigned>(index) >> 8) & 0xFF;
  const unsigned sum = 0x01 + 0x07 + 0x0A + lo + hi;
  std::string line = "01 07 0A";
  for (unsigned byte : {lo, hi, sum & 0xFF, (sum >> 8) & 0xFF}) {
    line += ' ';
    line += "0123456789ABCDEF"[byte >> 4];
    line += "0123456789ABCDEF"[byte & 15];
  }
  return line;
}

inline const char* const PROBE_LINE = "01 05 FF 05 01";

// The frames a fault-free download sends, as the simulator logs them: the
// probe, the pointer, the table, count+1 records from pointer-count with the
// wrap after 1999, then the end of the download (the probe's bytes again).
inline std::vector<std::string> CleanConversation(int pointer, int count) {
  std::vector<std::string> lines = {PROBE_LINE, "01 05 0B 11 00", "01 05 0C 12 00"};
  int index = ((pointer - count) % 2000 + 2000) % 2000;
  for (int i = 0; i <= count; ++i, index = index == 1999 ? 0 : index + 1)
    lines.push_back(RecordRequestLine(index));
  lines.push_back(PROBE_LINE);
  return lines;
}

inline constexpr int kPointer = sim::DEFAULT_POINTER;

// Status lines as the operator reads them (worker text, then the suffix).
inline const std::string kConnected = " Device connected on COM2   Wait for reading.";
inline const std::string kWritten = "File is written.";

// The results file the program must write for a download from a simulator
// with the default archive (its slots from `unusedFrom` on unused) and
// pointer `pointer`.
inline std::string ExpectedFile(int pointer, int count, bool excel, int unusedFrom = sim::RING_SLOTS) {
  const sim::SimArchive archive = ArchiveWithUnusedSlots(sim::DEFAULT_ARCHIVE_NUMBER, unusedFrom);
  const auto records = WrittenRecords(archive, pointer, count);
  return excel ? ExpectedSpreadsheet(archive, records) : ExpectedReport(archive, records);
}

// The line that ends that download: "Wrote 90 records to <shown> (10 slots
// held no result)", the records counted from the archive's kind bytes.
inline std::string WroteLine(const std::string& shown, int pointer, int count, int unusedFrom = sim::RING_SLOTS) {
  const sim::SimArchive archive = ArchiveWithUnusedSlots(sim::DEFAULT_ARCHIVE_NUMBER, unusedFrom);
  int results = 0;
  for (const auto& r : WrittenRecords(archive, pointer, count)) results += r[4] == 0x01 || r[4] == 0x81;
  std::string line = "Wrote " + std::to_string(results) + (results == 1 ? " record" : " records") + " to " + shown;
  const int empty = count - results;
  if (empty > 0) line += " (" + std::to_string(empty) + (empty == 1 ? " slot" : " slots") + " held no result)";
  return line;
}

// Beside the settings file once a download has completed.
inline const std::string kHistoryFile = "velorix-history.sqlite";

// The lines that end a failed run.
inline const std::string kNotFound = "The instrument was not found; no file was written.";
inline const std::string kStoppedAnswering = "The instrument stopped answering; no file was written.";

struct RunResult {
  int exitStatus = -1;  // 128 + N: ended by signal N, as a shell says; -2: did not end in time (then killed)
  std::string err;
  std::string out;
  bool sigtermSent = false;  // ChildSetup::sigtermAtFirstExclusiveCreate came to pass

  std::vector<std::string> ErrLines() const {
    std::vector<std::string> lines;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // Standard error without the two texts that come with every exchange
  // (" Waiting response." and " Response OK." with the window's suffix,
  // printed with --verbose) and the progress lines: the lines an operator
  // would notice.
  std::vector<std::string> NotableLines() const {
    std::vector<std::string> lines;
    for (const std::string& line : ErrLines())
      if (!line.starts_with(" Waiting response.") && !line.starts_with(" Response OK.") &&
          !(line.starts_with("Read ") && line.ends_with("%)")))  // "Read 20 of 200 records (10%)"
        lines.push_back(line);
    return lines;
  }
  int CountLines(const std::string& text) const {
    const auto lines = ErrLines();
    return static_cast<int>(std::count(lines.begin(), lines.end(), text));
  }
};

inline constexpr uid_t kNobody = 65534;  // user and group of an unprivileged run

// How the child is set up before the program starts.
struct ChildSetup {
  // The program runs without the power to ignore file permissions, so that a
  // folder or file made unreadable or read-only with chmod is that for the
  // program even when the tests run as root. (As root: the capabilities that
  // override file permissions are dropped from the bounding set, so the
  // program starts without them; as any other user chmod is enough.)
  bool honourFilePermissions = false;
  // The current folder is removed after the program has been placed in it,
  // before it starts: it then runs in a folder that no longer exists.
  bool removeCurrentFolder = false;
  // The current folder gets mode 0000 after the program has been placed in
  // it (with honourFilePermissions: nothing in it can be read or written).
  bool lockCurrentFolder = false;
  // The program runs as kNobody when the tests run as root.
  bool unprivileged = false;
  // SIGTERM reaches the program exactly when it first creates a file with
  // O_EXCL (the temporary results file, before a byte is written to it): it
  // is traced and held at that call while the signal is sent, however busy
  // the machine is. (LeakSanitizer can't work traced; it is switched off.)
  bool sigtermAtFirstExclusiveCreate = false;
  // NAME=value entries for the program's environment; a bare NAME takes the
  // variable out.
  std::vector<std::string> environment;
  // Standard error is a terminal of this many columns (0: a file) and the
  // program's controlling terminal; RunResult::err is what it received.
  int terminalColumns = 0;
  // Standard output: a file (RunResult::out), that terminal, a pipe whose
  // reading end is already closed, or no open file at all.
  enum class Stdout { File, Terminal, ClosedPipe, Closed } stdoutTo = Stdout::File;
};

// A pseudo-terminal standing in for a terminal window, its size changeable
// (the program then gets SIGWINCH). A line feed arrives as "\r\n".
struct TerminalWindow {
  explicit TerminalWindow(int columns) {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    // Held open for the program's whole life: no hang-up before the last bytes are read.
    if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0 && ::ptsname(master) != nullptr)
      slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    Resize(columns);
  }
  TerminalWindow(const TerminalWindow&) = delete;
  TerminalWindow& operator=(const TerminalWindow&) = delete;
  ~TerminalWindow() {
    ::close(slave);
    ::close(master);
  }

  void Resize(int columns) {
    const winsize size{24, static_cast<unsigned short>(columns), 0, 0};
    ::ioctl(master, TIOCSWINSZ, &size);
  }
  // Everything received so far, waiting up to `quietMs` for more.
  const std::string& Received(int quietMs = 0) {
    char buffer[4096];
    for (pollfd p{master, POLLIN, 0}; ::poll(&p, 1, quietMs) > 0;) {
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      received.append(buffer, static_cast<std::size_t>(n));
    }
    return received;
  }

  int master = -1, slave = -1;
  std::string received;
};

// Makes every openat() with O_EXCL stop the calling thread for its tracer.
// Only the main thread is traced; the others never create files.
inline bool TraceExclusiveCreates() {
  static sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_EXCL, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  static sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0 && ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// What a terminal shows of the bytes it received: the lines that stay (ended
// by a line feed), every text drawn on a line and then erased ("\r\033[K", or
// "\r\033[nA\033[J" where rewrapped: the progress line), and what is left.
struct Screen {
  std::vector<std::string> lines, redrawn;
  std::string leftUnderCursor;
};

inline Screen ScreenOf(const std::string& received) {
  Screen screen;
  for (std::size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
    end = received.find('\n', start);
    std::string row = received.substr(start, end == std::string::npos ? end : end - start);
    if (!row.empty() && row.back() == '\r') row.pop_back();
    std::size_t from = 0;
    for (std::size_t erase; (erase = row.find("\r\033[", from)) != std::string::npos;) {
      const std::size_t code = row.find_first_of("KJ", erase);  // "\r\033[K", or "\r\033[2A\033[J"
      if (erase > from) screen.redrawn.push_back(row.substr(from, erase - from));
      from = code + 1;
    }
    if (end != std::string::npos) {
      screen.lines.push_back(row.substr(from));
    } else if (from < row.size()) {
      screen.redrawn.push_back(screen.leftUnderCursor = row.substr(from));
    }
  }
  return screen;
}

// The program where any user may run it: a checkout in a private folder
// (under /root, or made by mktemp -d) is out of reach of an unprivileged run.
inline const std::string& ProgramForAnyUser() {
  static std::string folder;
  static const std::string path = [] {
    char name[] = "/tmp/velorix-e2e-program-XXXXXX";
    std::error_code error;
    if (::mkdtemp(name) != nullptr && ::chmod(name, 0755) == 0)
      fs::copy_file(VELORIX_ARCHIVE_PATH, (folder = name) + "/velorix-archive", error);
    std::atexit([] { std::error_code ignored; if (!folder.empty()) fs::remove_all(folder, ignored); });
    return folder.empty() || error ? std::string(VELORIX_ARCHIVE_PATH) : folder + "/velorix-archive";
  }();
  return path;
}

// The program started in the background with its argument list (no shell, so
// names with blanks, quotes or non-ASCII bytes go through as they are).
// Standard output goes to `errFile` + ".out".
class ProgramRun {
 public:
  ProgramRun(const fs::path& cwd, const std::string& comTwo, const std::vector<std::string>& args,
             const fs::path& errFile, ChildSetup setup = {}) {
    // Everything the child needs is made before fork: after it only system calls.
    const bool asRoot = ::geteuid() == 0;
    std::vector<std::string> argStore = {setup.unprivileged && asRoot ? ProgramForAnyUser() : VELORIX_ARCHIVE_PATH};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<std::string>& env = setup.environment;
    // An empty comTwo leaves COM2 to the settings file; only a test that
    // also hides the machine's ports (VELORIX_SYSFS_ROOT) may do that.
    for (int n = 1; n <= 9; ++n)
      if (n != 2 || !comTwo.empty())
        env.push_back("VELORIX_COM" + std::to_string(n) + "=" +
                      (n == 2 ? comTwo : "/nonexistent/com" + std::to_string(n)));
    if (setup.sigtermAtFirstExclusiveCreate) {
      const char* asan = std::getenv("ASAN_OPTIONS");
      env.push_back("ASAN_OPTIONS=" + (asan ? std::string(asan) + ":" : std::string()) + "detect_leaks=0");
    }
    std::vector<std::string> envStore;
    for (char** e = environ; *e != nullptr; ++e)
      if (std::strncmp(*e, "VELORIX_COM", 11) != 0 && std::none_of(env.begin(), env.end(), [e](const std::string& s) {
            const std::size_t name = std::min(s.find('='), s.size());
            return std::strncmp(*e, s.c_str(), name) == 0 && (*e)[name] == '=';
          }))
        envStore.emplace_back(*e);
    for (const std::string& s : env)
      if (s.find('=') != std::string::npos) envStore.push_back(s);
    std::vector<char*> argv, envp;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string cwdText = cwd.string(), errText = errFile.string(), outText = errText + ".out";
    traced_ = setup.sigtermAtFirstExclusiveCreate;
    if (setup.terminalColumns > 0) terminal_ = std::make_unique<TerminalWindow>(setup.terminalColumns);
    const int tty = terminal_ ? terminal_->slave : -1;
    using Stdout = ChildSetup::Stdout;

    pid_ = ::fork();
    if (pid_ != 0) return;
    const int err = tty >= 0 ? tty : ::open(errText.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int nul = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (err < 0 || nul < 0 || ::dup2(err, STDERR_FILENO) < 0 || ::dup2(nul, STDIN_FILENO) < 0) _exit(126);
    // A session of its own with the terminal as its controlling terminal, so
    // that a change of size reaches it as SIGWINCH.
    if (tty >= 0 && (::setsid() < 0 || ::ioctl(tty, TIOCSCTTY, 0) != 0)) _exit(126);
    if (setup.stdoutTo == Stdout::Closed) {
      ::close(STDOUT_FILENO);
    } else {
      int pipeEnds[2] = {-1, -1};
      if (setup.stdoutTo == Stdout::ClosedPipe && ::pipe2(pipeEnds, O_CLOEXEC) == 0) ::close(pipeEnds[0]);
      const int out = setup.stdoutTo == Stdout::Terminal     ? tty
                      : setup.stdoutTo == Stdout::ClosedPipe ? pipeEnds[1]
                      : ::open(outText.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (out < 0 || ::dup2(out, STDOUT_FILENO) < 0) _exit(126);
    }
    if (::chdir(cwdText.c_str()) != 0) _exit(126);
    if (setup.removeCurrentFolder && ::rmdir(cwdText.c_str()) != 0) _exit(126);
    if (setup.lockCurrentFolder && ::chmod(cwdText.c_str(), 0) != 0) _exit(126);
    if (setup.honourFilePermissions && asRoot &&
        (::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0 ||
         ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) != 0))
      _exit(125);
    if (setup.unprivileged && asRoot &&
        (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
      _exit(124);
    if (setup.sigtermAtFirstExclusiveCreate && !TraceExclusiveCreates()) _exit(123);
    ::execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  ProgramRun(const ProgramRun&) = delete;
  ProgramRun& operator=(const ProgramRun&) = delete;
  ~ProgramRun() { Kill(); }

  // True when the program has ended within `timeoutMs`.
  bool WaitFor(int timeoutMs) {
    const std::int64_t deadline = simtest::NowMs() + timeoutMs;
    while (pid_ > 0) {
      if (terminal_) terminal_->Received();  // a full terminal would hold the program up
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        if (traced_ && WIFSTOPPED(status)) {
          Resume(status);
          continue;
        }
        status_ = status;
        pid_ = -1;
        return true;
      }
      if (simtest::NowMs() >= deadline) return false;
      ::usleep(10 * 1000);
    }
    return true;
  }

  void Signal(int signal) {
    if (pid_ > 0) ::kill(pid_, signal);
  }

  // True once the program was stopped at an exclusive create and sent SIGTERM.
  bool SigtermSent() const { return sigtermSent_; }

  // The terminal of ChildSetup::terminalColumns; nullptr without one.
  TerminalWindow* Terminal() { return terminal_.get(); }

  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status_, 0);
    pid_ = -1;
    killed_ = true;
  }

  int ExitStatus() const {
    if (killed_) return -2;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : WIFSIGNALED(status_) ? 128 + WTERMSIG(status_) : -1;
  }

 private:
  // The traced program stopped: after exec (start tracing), at an exclusive
  // create (send SIGTERM the first time), or for a signal (pass it on).
  void Resume(int status) {
    int pass = 0;
    if (!traceStarted_) {
      traceStarted_ = true;
      ::ptrace(PTRACE_SETOPTIONS, pid_, nullptr, PTRACE_O_TRACESECCOMP | PTRACE_O_EXITKILL);
    } else if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_SECCOMP << 8))) {
      if (!sigtermSent_) ::kill(pid_, SIGTERM);
      sigtermSent_ = true;
    } else {
      pass = WSTOPSIG(status);
    }
    ::ptrace(PTRACE_CONT, pid_, nullptr, reinterpret_cast<void*>(static_cast<std::intptr_t>(pass)));
  }

  std::unique_ptr<TerminalWindow> terminal_;
  pid_t pid_ = -1;
  int status_ = -1;
  bool killed_ = false;
  bool traced_ = false;
  bool traceStarted_ = false;
  bool sigtermSent_ = false;
};

// A scratch folder for each test; RunIn runs the program in it (or in a
// folder below it).
class HeadlessRun : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velorix-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Runs the program in `cwd`, `meanwhile` while it runs, and waits for it,
  // at most `timeoutMs` (then it is killed and the test fails). Standard
  // output and error go to files beside, not into, the folders the test
  // looks at.
  RunResult RunIn(const fs::path& cwd, const std::string& comTwo, const std::vector<std::string>& args,
                  ChildSetup setup = {}, int timeoutMs = 60000,
                  const std::function<void(ProgramRun&)>& meanwhile = nullptr) {
    const fs::path errFile = dir_ / "stderr.txt", outFile = dir_ / "stderr.txt.out";
    RunResult result;
    {
      ProgramRun run(cwd, comTwo, args, errFile, setup);
      if (meanwhile) meanwhile(run);
      if (!run.WaitFor(timeoutMs)) {
        run.Kill();
        ADD_FAILURE() << "the program did not end within " << timeoutMs << " ms";
      }
      result.exitStatus = run.ExitStatus();
      result.sigtermSent = run.SigtermSent();
      result.err = run.Terminal() ? run.Terminal()->Received(50) : ReadFile(errFile);
    }
    result.out = ReadFile(outFile);
    fs::remove(errFile);
    fs::remove(outFile);
    return result;
  }

  fs::path dir_;
};

}  // namespace velorix::e2etest
