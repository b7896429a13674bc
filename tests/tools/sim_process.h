#pragma once

// Runs build/bin/velorix-sim as a child process for tests: starts it, reads
// the pty path from its first stdout line, and stops it with SIGTERM when the
// object goes. Link the CMake target velorix_sim_harness to get this header,
// the simulator's path (VELORIX_SIM_PATH) and the velorix_sim_model library.

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace velorix::simtest {

inline std::int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

class SimProcess {
 public:
  // Starts the simulator with `args` (no program name) and waits up to five
  // seconds for the pty path. Throws std::runtime_error if none comes.
  explicit SimProcess(const std::vector<std::string>& args,
                      const std::string& program = VELORIX_SIM_PATH) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(program.c_str()));
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(out[1]);
    stdout_ = out[0];
    char c = 0;
    const std::int64_t deadline = NowMs() + 5000;
    while (NowMs() < deadline) {
      pollfd p{stdout_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(deadline - NowMs())) <= 0) continue;
      if (read(stdout_, &c, 1) != 1 || c == '\n') break;
      slavePath_ += c;
    }
    if (c != '\n' || slavePath_.empty()) {
      Stop();
      throw std::runtime_error("velorix-sim printed no pty path");
    }
  }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;
  ~SimProcess() { Stop(); }

  const std::string& SlavePath() const { return slavePath_; }

  // `signal` (if still running) and wait; the exit status as waitpid gives it.
  // SIGKILL ends it at once with nothing closed in order: a device that
  // vanishes.
  int Stop(int signal = SIGTERM) {
    if (pid_ > 0) {
      kill(pid_, signal);
      waitpid(pid_, &status_, 0);
      pid_ = -1;
    }
    if (stdout_ >= 0) close(stdout_);
    stdout_ = -1;
    return status_;
  }

  // True when the simulator ended by itself within `timeoutMs`.
  bool ExitsWithin(int timeoutMs) {
    const std::int64_t deadline = NowMs() + timeoutMs;
    while (pid_ > 0) {
      if (waitpid(pid_, &status_, WNOHANG) == pid_) {
        pid_ = -1;
        return true;
      }
      if (NowMs() >= deadline) return false;
      usleep(5000);
    }
    return true;
  }

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
  int status_ = -1;
  std::string slavePath_;
};

// Opens a serial device (the pty) the way the program does: raw, 8 bits.
inline int OpenRaw(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fd;
  termios tio{};
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  tcsetattr(fd, TCSANOW, &tio);
  return fd;
}

// Reads until `count` bytes are in or `timeoutMs` has passed since the call.
inline std::vector<std::uint8_t> ReadFor(int fd, std::size_t count, int timeoutMs) {
  std::vector<std::uint8_t> bytes;
  const std::int64_t deadline = NowMs() + timeoutMs;
  while (bytes.size() < count) {
    const std::int64_t left = deadline - NowMs();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    std::uint8_t buffer[256];
    const ssize_t n = read(fd, buffer, std::min(sizeof buffer, count - bytes.size()));
    if (n <= 0) break;  // hang-up or error
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  return bytes;
}

// Reads one frame by its length byte (or what came before the time-out).
inline std::vector<std::uint8_t> ReadFrame(int fd, int timeoutMs) {
  const std::int64_t deadline = NowMs() + timeoutMs;
  std::vector<std::uint8_t> bytes = ReadFor(fd, 2, timeoutMs);
  if (bytes.size() == 2 && bytes[1] > 2) {
    const auto rest = ReadFor(fd, bytes[1] - 2u, static_cast<int>(std::max<std::int64_t>(0, deadline - NowMs())));
    bytes.insert(bytes.end(), rest.begin(), rest.end());
  }
  return bytes;
}

inline bool WriteFrame(int fd, const std::vector<std::uint8_t>& frame) {
  return write(fd, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size());
}

}  // namespace velorix::simtest
