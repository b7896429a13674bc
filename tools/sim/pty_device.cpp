#include "sim/pty_device.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace velorix::sim {

std::int64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

PtyDevice::~PtyDevice() { Vanish(); }

bool PtyDevice::Open(std::string& error) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  const char* name = ptsname(master_);
  if (name == nullptr) {
    error = std::string("ptsname: ") + std::strerror(errno);
    return false;
  }
  slavePath_ = name;
  heldSlave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (heldSlave_ < 0) {
    error = "cannot open " + slavePath_ + ": " + std::strerror(errno);
    return false;
  }
  // A fresh pty echoes and cooks its input; the line must be raw before the
  // first byte arrives.
  termios tio{};
  tcgetattr(heldSlave_, &tio);
  cfmakeraw(&tio);
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  if (tcsetattr(heldSlave_, TCSANOW, &tio) != 0) {
    error = std::string("cannot set raw mode: ") + std::strerror(errno);
    return false;
  }
  return true;
}

bool PtyDevice::MakeLink(const std::string& path, std::string& error) {
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      error = path + " exists and is not a symbolic link";
      return false;
    }
    unlink(path.c_str());
  }
  if (symlink(slavePath_.c_str(), path.c_str()) != 0) {
    error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  linkPath_ = path;
  return true;
}

void PtyDevice::RemoveLink() {
  if (linkPath_.empty()) return;
  unlink(linkPath_.c_str());
  linkPath_.clear();
}

void PtyDevice::Vanish() {
  RemoveLink();
  if (master_ >= 0) close(master_);
  if (heldSlave_ >= 0) close(heldSlave_);
  master_ = heldSlave_ = -1;
}

bool WireWriter::Send(const std::uint8_t* bytes, std::size_t count, bool inPieces) {
  const std::size_t piece =
      inPieces && shape_.pieceSize > 0 ? static_cast<std::size_t>(shape_.pieceSize) : count;
  for (std::size_t at = 0; at < count; at += piece) {
    std::int64_t gapMs = shape_.pieceGapMs;
    if (shape_.pieceGapMaxMs > gapMs) {
      gapState_ = gapState_ * 1664525u + 1013904223u;
      gapMs += (gapState_ >> 8) % (shape_.pieceGapMaxMs - gapMs + 1);
    }
    if (at > 0 && !SleepUntil(MonotonicNs() + gapMs * 1000000)) return false;
    if (!SendPiece(bytes + at, std::min(piece, count - at))) return false;
  }
  return true;
}

void WireWriter::ReceivedOverWire(std::size_t count) {
  if (shape_.baud <= 0) return;
  const std::int64_t arrived =
      MonotonicNs() + static_cast<std::int64_t>(count) * 11 * 1000000000 / shape_.baud;
  lineFreeNs_ = std::max(lineFreeNs_, arrived);
}

// At a given baud rate each byte (start bit, 8 data bits, two stop bits)
// takes 11 bit times. Deadlines are absolute and computed from the start of
// the burst, so oversleeping one byte does not delay the rest.
bool WireWriter::SendPiece(const std::uint8_t* bytes, std::size_t count) {
  if (shape_.baud <= 0) return WriteAll(bytes, count);
  const std::int64_t start = std::max(MonotonicNs(), lineFreeNs_);
  const auto deadline = [&](std::size_t n) {  // when byte n-1 has fully arrived
    return start + static_cast<std::int64_t>(n) * 11 * 1000000000 / shape_.baud;
  };
  lineFreeNs_ = deadline(count);
  std::size_t sent = 0;
  while (sent < count) {
    if (!SleepUntil(deadline(sent + 1))) return false;
    const std::int64_t now = MonotonicNs();
    std::size_t due = sent + 1;
    while (due < count && deadline(due + 1) <= now) ++due;
    if (!WriteAll(bytes + sent, due - sent)) return false;
    sent = due;
  }
  return true;
}

bool WireWriter::WriteAll(const std::uint8_t* bytes, std::size_t count) {
  while (count > 0) {
    if (*stop_) return false;
    const ssize_t n = write(fd_, bytes, count);
    if (n > 0) {
      bytes += n;
      count -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;
    pollfd p{fd_, POLLOUT, 0};
    if (poll(&p, 1, 1000) == 0) return false;  // nobody drains the line
  }
  return true;
}

bool WireWriter::SleepUntil(std::int64_t deadlineNs) {
  const timespec ts{static_cast<time_t>(deadlineNs / 1000000000),
                    static_cast<long>(deadlineNs % 1000000000)};
  while (!*stop_) {
    const int rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    if (rc == 0) return true;
    if (rc != EINTR) return false;
  }
  return false;
}

}  // namespace velorix::sim
