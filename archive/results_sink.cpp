#include "archive/results_sink.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace velorix {

std::string SystemErrorText(int errorNumber) {
  return std::error_code(errorNumber, std::generic_category()).message();
}

PosixResultsSink::~PosixResultsSink() {
  if (fd_ >= 0) ::close(fd_);
}

bool PosixResultsSink::Fail(int errorNumber) {
  error_ = SystemErrorText(errorNumber);
  return false;
}

bool PosixResultsSink::Open(const std::string& path) {
  Abandon();
  error_.clear();
  path_ = path;
  bool created = false;
  // Create the file if it is not there; remember whether we did, because a
  // file we created is ours to remove if the write cannot be finished.
  for (int attempt = 0; fd_ < 0; ++attempt) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      created = true;
      break;
    }
    if (errno != EEXIST) return Fail(errno);
    fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd_ >= 0) break;
    if (errno != ENOENT) return Fail(errno);
    // Removed between the two calls, or a dangling symbolic link: create
    // through it, the way a plain O_CREAT open does.
    if (attempt >= 2) {
      fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
      if (fd_ < 0) return Fail(errno);
      created = true;
    }
  }
  // Remove by the resolved name, so a symbolic link does not leave its
  // target behind half written.
  if (char* resolved = ::realpath(path.c_str(), nullptr)) {
    path_ = resolved;
    std::free(resolved);
  }

  struct stat info {};
  const bool regular = ::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode);
  removable_ = created && regular;

  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    const int lockError = errno;
    error_ = lockError == EWOULDBLOCK ? FILE_IN_USE_TEXT : SystemErrorText(lockError);
    Abandon();
    return false;
  }
  if (regular) {
    // From here on the old contents are gone, so a write that cannot be
    // finished removes the file rather than leave a truncated results file
    // that looks complete.
    removable_ = true;
    if (::ftruncate(fd_, 0) != 0) {
      Fail(errno);
      Abandon();
      return false;
    }
  }
  return true;
}

bool PosixResultsSink::Write(std::string_view chunk) {
  if (fd_ < 0) return Fail(EBADF);
  const char* data = chunk.data();
  std::size_t left = chunk.size();
  while (left > 0) {
    const ssize_t written = ::write(fd_, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return Fail(errno);
    }
    if (written == 0) return Fail(EIO);
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
}

bool PosixResultsSink::Close() {
  if (fd_ < 0) return Fail(EBADF);
  const int fd = fd_;
  fd_ = -1;
  // close() releases the lock; its error (a deferred write error) still means
  // the file is not complete.
  if (::close(fd) != 0) {
    const int closeError = errno;
    Fail(closeError);
    if (removable_) ::unlink(path_.c_str());
    removable_ = false;
    return false;
  }
  removable_ = false;
  return true;
}

void PosixResultsSink::Abandon() {
  // Unlink while still holding the lock, then close.
  if (removable_ && !path_.empty()) ::unlink(path_.c_str());
  removable_ = false;
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

}  // namespace velorix
