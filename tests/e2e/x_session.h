#pragma once

// A private X server (Xvfb) with a window manager (openbox) for tests that
// need to see a window as a desktop sees it, and xprop/wmctrl to look at it
// and act on it. The server takes the first free display (-displayfd), so
// tests may run side by side. Both are stopped when the session goes.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sim_process.h"

namespace velorix::e2etest {

// The full path of `name` on PATH, or "" when there is none.
inline std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

class XSession {
 public:
  // The programs a session needs, with the Debian package of each.
  static std::string Missing() {
    std::string missing;
    for (const auto& [program, package] : std::vector<std::pair<std::string, std::string>>{
             {"Xvfb", "xvfb"}, {"openbox", "openbox"}, {"xprop", "x11-utils"}, {"wmctrl", "wmctrl"}})
      if (FindOnPath(program).empty()) missing += (missing.empty() ? "" : ", ") + program + " (" + package + ")";
    return missing;
  }

  // Starts the server and the window manager; Error() says what went wrong.
  // configHome: an empty folder that stands for the window manager's
  // per-user configuration, so only the system's defaults apply.
  explicit XSession(const std::string& configHome) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
      error_ = "pipe failed";
      return;
    }
    server_ = Spawn({FindOnPath("Xvfb"), "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                     "-noreset"},
                    {}, ready[1]);
    ::close(ready[1]);
    std::string number;
    const std::int64_t deadline = simtest::NowMs() + 30000;
    for (char c = 0; simtest::NowMs() < deadline;) {
      pollfd p{ready[0], POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      if (::read(ready[0], &c, 1) != 1 || c == '\n') break;
      number += c;
    }
    ::close(ready[0]);
    if (number.empty()) {
      error_ = "Xvfb did not start";
      return;
    }
    display_ = ":" + number;
    manager_ = Spawn({FindOnPath("openbox"), "--sm-disable"}, {"XDG_CONFIG_HOME=" + configHome}, -1);
    // The window manager is up once it has put its check window on the root.
    const std::int64_t managed = simtest::NowMs() + 30000;
    while (Run("xprop -root _NET_SUPPORTING_WM_CHECK").find("window id #") == std::string::npos) {
      if (simtest::NowMs() > managed) {
        error_ = "openbox did not start on " + display_;
        return;
      }
      ::usleep(50 * 1000);
    }
  }
  XSession(const XSession&) = delete;
  XSession& operator=(const XSession&) = delete;
  ~XSession() {
    Stop(manager_);
    Stop(server_);
  }

  const std::string& Error() const { return error_; }
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

  // Top-level client windows the window manager manages, as xprop names
  // them ("0x400006").
  std::vector<std::string> Clients() const {
    std::vector<std::string> ids;
    const std::string list = Run("xprop -root _NET_CLIENT_LIST");
    for (std::size_t at = list.find("0x"); at != std::string::npos; at = list.find("0x", at + 2))
      ids.push_back(list.substr(at, list.find_first_of(", \n", at) - at));
    return ids;
  }

  // Properties of a window: name -> value as xprop prints it (after " = ",
  // or after ": " for a window id), or "not found" for one the window lacks.
  std::map<std::string, std::string> Properties(const std::string& window,
                                                const std::vector<std::string>& names) const {
    std::string command = "xprop -id " + window;
    for (const std::string& name : names) command += " " + name;
    std::map<std::string, std::string> values;
    std::istringstream lines(Run(command));
    for (std::string line; std::getline(lines, line);) {
      const std::size_t end = line.find_first_of("(:");
      if (end == std::string::npos) continue;
      std::string value;
      if (const std::size_t equals = line.find(" = "); equals != std::string::npos) {
        value = line.substr(equals + 3);
      } else if (line.find("not found.") != std::string::npos) {
        value = "not found";
      } else if (const std::size_t colon = line.find(": "); colon != std::string::npos) {
        value = line.substr(colon + 2);  // "window id # 0x400008"
      }
      values[line.substr(0, end)] = value;
    }
    return values;
  }

 private:
  // Starts `argv` with the session's display (once known) and `env` added;
  // `readyFd` becomes the child's fd 3.
  pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int readyFd) const {
    std::vector<std::string> envStore;
    for (char** e = environ; *e != nullptr; ++e)
      if (std::string(*e).rfind("DISPLAY=", 0) != 0) envStore.emplace_back(*e);
    if (!display_.empty()) envStore.push_back("DISPLAY=" + display_);
    envStore.insert(envStore.end(), env.begin(), env.end());
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (std::string& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    const int quiet = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (quiet >= 0) {
      ::dup2(quiet, STDIN_FILENO);
      ::dup2(quiet, STDOUT_FILENO);
      ::dup2(quiet, STDERR_FILENO);
    }
    if (readyFd == 3) {
      ::fcntl(3, F_SETFD, 0);  // keep it across exec
    } else if (readyFd >= 0) {
      ::dup2(readyFd, 3);
    }
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }

  static void Stop(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 500; ++i) {
      if (::waitpid(pid, &status, WNOHANG) == pid) return;
      ::usleep(10 * 1000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }

  pid_t server_ = -1;
  pid_t manager_ = -1;
  std::string display_;
  std::string error_;
};

}  // namespace velorix::e2etest
