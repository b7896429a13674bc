#include "archive/results_sink.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace velorix {

PosixResultsSink::PosixResultsSink(std::function<bool()> interrupted)
    : file_(SafeReplace::Options{true, std::move(interrupted)}) {}

bool PosixResultsSink::Open(const std::string& path) { return file_.Open(path); }

bool PosixResultsSink::Write(std::string_view chunk) { return file_.Write(chunk); }

bool PosixResultsSink::Close() { return file_.Commit(); }

void PosixResultsSink::Abandon() { file_.Cancel(); }

std::string PosixResultsSink::Error() const { return file_.Error(); }

StreamResultsSink::StreamResultsSink(int fd, std::function<bool()> interrupted)
    : fd_(fd), interrupted_(std::move(interrupted)) {}

bool StreamResultsSink::Open(const std::string& /*path*/) {
  bytes_.clear();
  error_.clear();
  return !Interrupted() || Fail(INTERRUPTED_TEXT);
}

bool StreamResultsSink::Write(std::string_view chunk) {
  if (Interrupted()) return Fail(INTERRUPTED_TEXT);
  bytes_.append(chunk);
  return true;
}

bool StreamResultsSink::Close() {
  // A blocking write into a full pipe would be restarted after a signal and
  // never see it; waiting for room in short steps keeps an interrupt
  // answered. A pipe with room takes a page without blocking.
  constexpr std::size_t kStep = 4096;
  constexpr int kWaitMs = 200;
  std::size_t done = 0;
  while (done < bytes_.size()) {
    if (Interrupted()) return Fail(INTERRUPTED_TEXT);
    pollfd stream{fd_, POLLOUT, 0};
    const int ready = ::poll(&stream, 1, kWaitMs);
    if (ready < 0 && errno != EINTR) return Fail(SystemErrorText(errno));
    if (ready <= 0) continue;
    const ssize_t n = ::write(fd_, bytes_.data() + done, std::min(kStep, bytes_.size() - done));
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return Fail(SystemErrorText(errno));
    }
    done += static_cast<std::size_t>(n);
  }
  bytes_.clear();
  return true;
}

void StreamResultsSink::Abandon() { bytes_.clear(); }

bool StreamResultsSink::Fail(std::string text) {
  error_ = std::move(text);
  return false;
}

}  // namespace velorix
