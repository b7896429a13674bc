#include "link/posix_serial_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "link/sysfs_ports.h"

namespace velorix {

PortDevice EnvironmentPortDevice(int portNumber) {
  if (portNumber < 1) return {};
  const std::string name = "VELORIX_COM" + std::to_string(portNumber);
  if (const char* mapped = std::getenv(name.c_str()); mapped && *mapped) return {mapped, {}};
  return {};
}

std::unique_ptr<SerialPort> MakeSystemSerialPort(PortDeviceResolver resolver) {
  return std::make_unique<PosixSerialPort>(std::move(resolver));
}

namespace {

std::string OpenFailure(int error) {
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
      return "missing";
    case EACCES:
    case EPERM:
      return "permission denied";
    case EBUSY:
    case EWOULDBLOCK:
      return "busy";
    default:
      return std::strerror(error);
  }
}

// One byte on the line: start bit, 8 data bits, two stop bits at 9600 baud.
constexpr int BYTE_TIME_US = 11 * 1000000 / 9600;

}  // namespace

PosixSerialPort::PosixSerialPort(PortDeviceResolver resolver) : resolver_(std::move(resolver)) {
  if (!resolver_) resolver_ = EnvironmentPortDevice;
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

PosixSerialPort::~PosixSerialPort() {
  Close();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

PortOpenResult PosixSerialPort::Open(int portNumber) {
  if (portNumber < 1) {
    Close();
    return {false, "", "missing"};
  }
  const PortDevice device = resolver_(portNumber);
  if (!device.refusal.empty() || device.path.empty()) {
    Close();
    return {false, device.path, device.refusal.empty() ? "missing" : device.refusal};
  }
  return OpenPath(device.path);
}

PortOpenResult PosixSerialPort::OpenPath(const std::string& device) {
  Close();
  PortOpenResult result{false, device, ""};
  // Probe frames must never reach the console, whatever name it goes by:
  // checked by device number before the open, and again on what was opened.
  const std::string sysRoot = SystemRootsFromEnvironment().sys;
  if (std::string refusal = ConsoleRefusal(device, sysRoot); !refusal.empty()) {
    result.outcome = std::move(refusal);
    return result;
  }
  // Non-blocking, so neither a missing carrier nor a stuck peer can hold up
  // the worker; reads only ever ask for bytes that are already waiting.
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    result.outcome = OpenFailure(errno);
    return result;
  }
  struct stat opened {};
  if (::fstat(fd, &opened) == 0 && S_ISCHR(opened.st_mode) && IsConsoleDevice(opened.st_rdev, sysRoot)) {
    ::close(fd);
    result.outcome = CONSOLE_REFUSAL_TEXT;
    return result;
  }
  if (!::isatty(fd)) {
    ::close(fd);
    result.outcome = "not a serial port";
    return result;
  }
  // The lock first: TIOCEXCL set by another holder is theirs to clear. The
  // kernel lets root open a port another program holds exclusively; it is
  // in use all the same.
  int heldExclusively = 0;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || (::ioctl(fd, TIOCGEXCL, &heldExclusively) == 0 && heldExclusively)) {
    result.outcome = heldExclusively ? "busy" : OpenFailure(errno);
    ::close(fd);
    return result;
  }
  exclusiveSet_ = ::ioctl(fd, TIOCEXCL) == 0;
  gone_ = false;
  fd_ = fd;
  SetLowLatency();
  haveCounts_ = ReadErrorCounts(lastCounts_);
  result.opened = true;
  result.outcome = "ok";
  return result;
}

// Drivers without the call (pseudo-terminals among them) keep what they do.
void PosixSerialPort::SetLowLatency() {
  lowLatencySet_ = false;
  serial_struct serial{};
  if (::ioctl(fd_, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0) return;
  serial.flags |= ASYNC_LOW_LATENCY;
  lowLatencySet_ = ::ioctl(fd_, TIOCSSERIAL, &serial) == 0;
}

// Only the one flag goes back; whatever else changed meanwhile stays.
void PosixSerialPort::RestoreLowLatency() {
  if (!lowLatencySet_) return;
  lowLatencySet_ = false;
  serial_struct serial{};
  if (::ioctl(fd_, TIOCGSERIAL, &serial) != 0) return;
  serial.flags &= ~ASYNC_LOW_LATENCY;
  ::ioctl(fd_, TIOCSSERIAL, &serial);
}

void PosixSerialPort::Configure() {
  if (fd_ < 0) return;
  termios tio{};
  if (::tcgetattr(fd_, &tio) != 0) return;
  tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
  tio.c_oflag &= ~OPOST;
  tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag &= ~(CSIZE | PARENB | CRTSCTS | HUPCL);
  tio.c_cflag |= CS8 | CSTOPB | CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  ::cfsetispeed(&tio, B9600);
  ::cfsetospeed(&tio, B9600);
  ::tcsetattr(fd_, TCSANOW, &tio);
}

void PosixSerialPort::Purge() {
  if (fd_ >= 0) ::tcflush(fd_, TCIOFLUSH);
}

void PosixSerialPort::ClearDtrRts() {
  if (fd_ < 0) return;
  int dtr = TIOCM_DTR;
  ::ioctl(fd_, TIOCMBIC, &dtr);
  int rts = TIOCM_RTS;
  ::ioctl(fd_, TIOCMBIC, &rts);
}

bool PosixSerialPort::ReadErrorCounts(ErrorCounts& counts) const {
  serial_icounter_struct icount{};
  if (fd_ < 0 || ::ioctl(fd_, TIOCGICOUNT, &icount) != 0) return false;
  counts = {icount.overrun, icount.buf_overrun, icount.parity, icount.frame};
  return true;
}

bool PosixSerialPort::HungUp() const {
  pollfd p{fd_, 0, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

PortStatus PosixSerialPort::Poll() {
  PortStatus status;
  if (fd_ < 0) {
    status.hungUp = true;
    return status;
  }
  // Drivers without TIOCGICOUNT (pseudo-terminals among them) report no flags.
  ErrorCounts now;
  if (haveCounts_ && ReadErrorCounts(now)) {
    if (now.bufOverrun != lastCounts_.bufOverrun) status.errors |= PORT_RXOVER;
    if (now.overrun != lastCounts_.overrun) status.errors |= PORT_OVERRUN;
    if (now.parity != lastCounts_.parity) status.errors |= PORT_RXPARITY;
    if (now.frame != lastCounts_.frame) status.errors |= PORT_FRAME;
    lastCounts_ = now;
  }
  int waiting = 0;
  if (gone_ || ::ioctl(fd_, FIONREAD, &waiting) != 0) {
    // EIO: the device has gone. Zero bytes read is no sign of it: an idle
    // live port reads zero as well.
    status.hungUp = true;
    return status;
  }
  status.waiting = std::max(waiting, 0);
  if (status.waiting == 0) status.hungUp = HungUp();
  return status;
}

int PosixSerialPort::Read(std::uint8_t* bytes, int count) {
  if (fd_ < 0 || count <= 0) return 0;
  const ssize_t n = ::read(fd_, bytes, static_cast<size_t>(count));
  if (n < 0) NoteFailure(errno);
  return n > 0 ? static_cast<int>(n) : 0;
}

// What a pulled-out adapter or a hung-up line answers; the next Poll says so.
void PosixSerialPort::NoteFailure(int error) {
  if (error == EIO || error == ENODEV || error == ENXIO) gone_ = true;
}

int PosixSerialPort::Write(const std::uint8_t* bytes, int count) {
  if (fd_ < 0 || count <= 0) return 0;
  int written = 0;
  // The line takes a frame of at most 512 bytes in well under a second; a
  // peer that takes nothing for that long gets a short write.
  int stalls = 0;
  while (written < count) {
    const ssize_t n = ::write(fd_, bytes + written, static_cast<size_t>(count - written));
    if (n > 0) {
      written += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      NoteFailure(errno);
      break;
    }
    pollfd p{fd_, POLLOUT, 0};
    if (++stalls > 10 || ::poll(&p, 1, 100) <= 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
      break;
  }
  return written;
}

void PosixSerialPort::Close() {
  if (fd_ < 0) return;
  RestoreLowLatency();
  // On a pseudo-terminal the exclusive flag outlives the close; cleared here,
  // so the next open (ours or another program's) is not refused. Only ever
  // our own: another program's flag is not ours to clear.
  if (exclusiveSet_) ::ioctl(fd_, TIOCNXCL);
  exclusiveSet_ = false;
  ::close(fd_);  // releases the flock too
  fd_ = -1;
  haveCounts_ = false;
}

void PosixSerialPort::DrainWakeups() {
  std::uint64_t value;
  while (::read(wakeFd_, &value, sizeof value) > 0) {
  }
}

void PosixSerialPort::WaitForInput(int minBytes, int timeoutMs) {
  using std::chrono::steady_clock;
  const auto deadline = steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  bool watchPort = fd_ >= 0;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - steady_clock::now());
    // Rounded up, so a wait never ends early and loops on a zero time-out.
    const int leftMs = static_cast<int>(left.count()) + 1;
    if (left.count() < 0) return;
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {fd_, POLLIN, 0}};
    const int r = ::poll(fds, watchPort ? 2 : 1, leftMs);
    if (r < 0 && errno != EINTR) {
      // No way to wait for events: fall back to a plain sleep of the time left.
      ::usleep(static_cast<useconds_t>(std::min(leftMs, 100)) * 1000);
      continue;
    }
    if (r <= 0) continue;  // time-out or signal: the loop head decides
    if (fds[0].revents & POLLIN) {
      DrainWakeups();
      return;
    }
    if (!watchPort) continue;
    if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
      // A vanished device reports hang-up at once and for ever; waiting on it
      // again would spin, so sit out the rest of the time on the wake-up only.
      watchPort = false;
      continue;
    }
    if (fds[1].revents & POLLIN) {
      int waiting = 0;
      if (::ioctl(fd_, FIONREAD, &waiting) != 0) {
        watchPort = false;
        continue;
      }
      if (waiting >= minBytes) return;
      // Some bytes but fewer than asked for: the rest needs at least their
      // time on the wire. Sleep that long (on the wake-up) rather than poll
      // a port that keeps saying "readable".
      const int needUs = (minBytes - waiting) * BYTE_TIME_US;
      const int sleepMs = std::min(leftMs, std::max(1, needUs / 1000));
      pollfd wake{wakeFd_, POLLIN, 0};
      if (::poll(&wake, 1, sleepMs) > 0) {
        DrainWakeups();
        return;
      }
    }
  }
}

void PosixSerialPort::Wake() {
  const std::uint64_t one = 1;
  if (wakeFd_ >= 0) {
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
  }
}

}  // namespace velorix
