#pragma once

// A private X server (Xvfb, on the first free display: tests may run side by
// side) with a window manager (openbox), for tests that see a window as a
// desktop sees it; Run() looks at it with xprop and wmctrl. Both are stopped
// when the session goes.

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "sim_process.h"

namespace velorix::e2etest {

class XSession {
 public:
  // The programs a session needs that are missing, with their Debian packages.
  static std::string Missing() {
    std::string missing;
    const std::pair<const char*, const char*> needed[] = {
        {"Xvfb", "xvfb"}, {"openbox", "openbox"}, {"xprop", "x11-utils"}, {"wmctrl", "wmctrl"}};
    for (const auto& [program, package] : needed)
      if (std::system((std::string("command -v ") + program + " >/dev/null").c_str()) != 0)
        missing += std::string(missing.empty() ? "" : ", ") + program + " (" + package + ")";
    return missing;
  }

  // Starts the server and the window manager; Error() says what went wrong.
  // configHome stands for the window manager's per-user configuration: an
  // empty folder leaves only the system's defaults.
  explicit XSession(const std::string& configHome) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return;
    server_ = Spawn({"Xvfb", "-displayfd", std::to_string(ready[1]), "-screen", "0", "1024x768x24", "-nolisten",
                     "tcp", "-noreset"},
                    ready[1]);
    ::close(ready[1]);
    char number[16] = {};
    pollfd p{ready[0], POLLIN, 0};
    if (::poll(&p, 1, 30000) == 1 && ::read(ready[0], number, sizeof number - 1) > 0 && number[0] != '\n')
      display_ = ":" + std::string(number, std::strcspn(number, "\n"));
    ::close(ready[0]);
    if (display_.empty()) return;
    manager_ = Spawn({"env", "DISPLAY=" + display_, "XDG_CONFIG_HOME=" + configHome, "openbox", "--sm-disable"});
    // The window manager is up once it has put its check window on the root.
    const std::int64_t deadline = simtest::NowMs() + 30000;
    while (!(managed_ = Run("xprop -root _NET_SUPPORTING_WM_CHECK").find("window id #") != std::string::npos) &&
           simtest::NowMs() < deadline)
      ::usleep(50 * 1000);
  }
  XSession(const XSession&) = delete;
  XSession& operator=(const XSession&) = delete;
  ~XSession() {
    Stop(manager_);
    Stop(server_);
  }

  std::string Error() const {
    return display_.empty() ? "Xvfb did not start" : managed_ ? "" : "openbox did not start on " + display_;
  }
  const std::string& Display() const { return display_; }

  // Runs a shell command line against this display; its standard output.
  std::string Run(const std::string& command) const {
    std::string out;
    FILE* pipe = ::popen(("DISPLAY=" + display_ + " " + command + " 2>/dev/null").c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    ::pclose(pipe);
    return out;
  }

 private:
  // Starts `argv` (found on PATH) with no input or output; `keep` stays open
  // in it.
  static pid_t Spawn(std::vector<std::string> argv, int keep = -1) {
    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    const int quiet = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const pid_t pid = ::fork();
    if (pid == 0) {
      for (int fd : {0, 1, 2}) ::dup2(quiet, fd);
      if (keep >= 0) ::fcntl(keep, F_SETFD, 0);
      ::execvp(args[0], args.data());
      ::_exit(127);
    }
    ::close(quiet);
    return pid;
  }

  static void Stop(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 500; ++i, ::usleep(10 * 1000))
      if (::waitpid(pid, nullptr, WNOHANG) != 0) return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }

  pid_t server_ = -1, manager_ = -1;
  std::string display_;
  bool managed_ = false;
};

}  // namespace velorix::e2etest
