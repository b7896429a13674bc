#pragma once

// A private X server (Xvfb, on the first free display: tests may run side by
// side) under a window manager (openbox), both stopped when the session goes;
// Run() looks at its windows with xprop.

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
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
    for (const auto& [program, package] : std::vector<std::pair<std::string, std::string>>{
             {"Xvfb", "xvfb"}, {"openbox", "openbox"}, {"xprop", "x11-utils"}})
      if (std::system(("command -v " + program + " >/dev/null").c_str()) != 0)
        missing += (missing.empty() ? "" : ", ") + program + " (" + package + ")";
    return missing;
  }

  // configHome stands for the window manager's per-user configuration: an
  // empty folder leaves the system's defaults. Error() says what failed.
  explicit XSession(const std::string& configHome) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return;
    server_ = Spawn({"Xvfb", "-displayfd", std::to_string(ready[1]), "-screen", "0", "1024x768x24", "-nolisten",
                     "tcp", "-noreset"},
                    ready[1]);
    ::close(ready[1]);
    // The number up to its newline: the server stops if it can't write all.
    std::string number;
    pollfd p{ready[0], POLLIN, 0};
    for (char c; ::poll(&p, 1, 30000) == 1 && ::read(ready[0], &c, 1) == 1 && c != '\n';) number += c;
    ::close(ready[0]);
    if (number.empty()) return;
    display_ = ":" + number;
    manager_ = Spawn({"env", "DISPLAY=" + display_, "XDG_CONFIG_HOME=" + configHome, "openbox", "--sm-disable"});
    // The window manager is up once it has put its check window on the root.
    for (const std::int64_t deadline = simtest::NowMs() + 30000; !managed_ && simtest::NowMs() < deadline;
         ::usleep(50 * 1000))
      managed_ = Run("xprop -root _NET_SUPPORTING_WM_CHECK").find("window id #") != std::string::npos;
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
    if (FILE* pipe = ::popen(("DISPLAY=" + display_ + " " + command + " 2>/dev/null").c_str(), "r")) {
      char buffer[4096];
      for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
      ::pclose(pipe);
    }
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
