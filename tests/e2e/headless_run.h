#pragma once

// Running the program without a window as a user runs it, for the end-to-end
// tests: a scratch folder, COM2 mapped to the simulator's pty and the other
// ports to paths that do not exist (so no real serial port of the machine is
// ever touched), standard error captured, the exit status, and what the run
// left on disk.

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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
// with the default archive and pointer `pointer`.
inline std::string ExpectedFile(int pointer, int count, bool excel) {
  const sim::SimArchive archive = sim::GenerateArchive(sim::DEFAULT_ARCHIVE_NUMBER);
  const auto records = WrittenRecords(archive, pointer, count);
  return excel ? ExpectedSpreadsheet(archive, records) : ExpectedReport(archive, records);
}

struct RunResult {
  int exitStatus = -1;  // -1: killed by a signal; -2: did not end in time (then killed)
  std::string err;

  std::vector<std::string> ErrLines() const {
    std::vector<std::string> lines;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // Standard error without the two texts that come with every exchange
  // (" Waiting response." and " Response OK." with the window's suffix): the
  // lines an operator would notice.
  std::vector<std::string> NotableLines() const {
    std::vector<std::string> lines;
    for (const std::string& line : ErrLines())
      if (line.rfind(" Waiting response.", 0) != 0 && line.rfind(" Response OK.", 0) != 0)
        lines.push_back(line);
    return lines;
  }
  int CountLines(const std::string& text) const {
    const auto lines = ErrLines();
    return static_cast<int>(std::count(lines.begin(), lines.end(), text));
  }
};

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
};

// The program started in the background with its argument list (no shell, so
// names with blanks, quotes or non-ASCII bytes go through as they are).
class ProgramRun {
 public:
  ProgramRun(const fs::path& cwd, const std::string& comTwo, const std::vector<std::string>& args,
             const fs::path& errFile, ChildSetup setup = {}) {
    // Everything the child needs is made before fork: after it only system calls.
    std::vector<std::string> argStore = {VELORIX_ARCHIVE_PATH};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<std::string> envStore;
    for (char** e = environ; *e != nullptr; ++e)
      if (std::strncmp(*e, "VELORIX_COM", 11) != 0) envStore.emplace_back(*e);
    for (int n = 1; n <= 9; ++n) {
      const std::string device = n == 2 ? comTwo : "/nonexistent/com" + std::to_string(n);
      envStore.push_back("VELORIX_COM" + std::to_string(n) + "=" + device);
    }
    std::vector<char*> argv, envp;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string cwdText = cwd.string(), errText = errFile.string();
    const bool asRoot = ::geteuid() == 0;

    pid_ = ::fork();
    if (pid_ != 0) return;
    const int err = ::open(errText.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int nul = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (err < 0 || nul < 0 || ::dup2(err, STDERR_FILENO) < 0 || ::dup2(nul, STDIN_FILENO) < 0) _exit(126);
    if (::chdir(cwdText.c_str()) != 0) _exit(126);
    if (setup.removeCurrentFolder && ::rmdir(cwdText.c_str()) != 0) _exit(126);
    if (setup.lockCurrentFolder && ::chmod(cwdText.c_str(), 0) != 0) _exit(126);
    if (setup.honourFilePermissions && asRoot &&
        (::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0 ||
         ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) != 0))
      _exit(125);
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
      if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
        pid_ = -1;
        return true;
      }
      if (simtest::NowMs() >= deadline) return false;
      ::usleep(10 * 1000);
    }
    return true;
  }

  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status_, 0);
    pid_ = -1;
    killed_ = true;
  }

  int ExitStatus() const {
    if (killed_) return -2;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  bool killed_ = false;
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

  // Runs the program in `cwd` and waits for it, at most `timeoutMs` (then it
  // is killed and the test fails). Standard error goes to a file beside, not
  // into, the folders the test looks at.
  RunResult RunIn(const fs::path& cwd, const std::string& comTwo, const std::vector<std::string>& args,
                  ChildSetup setup = {}, int timeoutMs = 60000) {
    const fs::path errFile = dir_ / "stderr.txt";
    RunResult result;
    {
      ProgramRun run(cwd, comTwo, args, errFile, setup);
      if (!run.WaitFor(timeoutMs)) {
        run.Kill();
        ADD_FAILURE() << "the program did not end within " << timeoutMs << " ms";
      }
      result.exitStatus = run.ExitStatus();
    }
    result.err = ReadFile(errFile);
    fs::remove(errFile);
    return result;
  }

  fs::path dir_;
};

}  // namespace velorix::e2etest
