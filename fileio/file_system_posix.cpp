#include "fileio/file_system.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "fileio/file_contents.h"
#include "fileio/safe_replace.h"

namespace velorix {

// Plain POSIX calls: nothing here may throw.
ReadResult ReadRegularFile(const std::string& path, std::string& content, std::size_t limit,
                           const char* tooLargeText, std::string* problem) {
  const auto failed = [problem](std::string why) {
    if (problem) *problem = std::move(why);
    return ReadResult::Failed;
  };
  std::string resolved;
  if (std::string why = ResolveLinks(path, resolved); !why.empty()) return failed(std::move(why));
  struct stat st {};
  if (::lstat(resolved.c_str(), &st) != 0)
    return errno == ENOENT ? ReadResult::Missing : failed(SystemErrorText(errno));
  const auto refusal = [limit, tooLargeText](const struct stat& file) -> std::string {
    if (!S_ISREG(file.st_mode)) return "not a regular file";
    if (static_cast<std::size_t>(file.st_size) > limit) return tooLargeText;
    return {};
  };
  if (std::string why = refusal(st); !why.empty()) return failed(std::move(why));
  // No further link, no blocking, and what was opened is checked again.
  const int fd = ::open(resolved.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? ReadResult::Missing : failed(SystemErrorText(errno));
  std::string why;
  if (::fstat(fd, &st) != 0) why = SystemErrorText(errno);
  if (why.empty()) why = refusal(st);
  if (why.empty()) {
    const int error = ReadFileContents(fd, content, limit);
    if (error != 0) why = error == EFBIG ? tooLargeText : SystemErrorText(error);
  }
  ::close(fd);
  if (!why.empty()) {
    content.clear();
    return failed(std::move(why));
  }
  return ReadResult::Ok;
}

std::string CurrentFolder() {
  std::vector<char> buffer(256);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
      // getcwd can report an unreachable folder as "(unreachable)/..."; only
      // an absolute path is a usable place for a file.
      return buffer[0] == '/' ? std::string(buffer.data()) : std::string();
    }
    // ERANGE: the buffer is too small, grow it; anything else (a removed or
    // unreadable folder, a path beyond the system's limit) is a failure.
    if (errno != ERANGE || buffer.size() > (1u << 20)) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::string PathInFolder(const std::string& folder, const std::string& name) {
  return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty() || path.front() != '/') {
    const std::string folder = CurrentFolder();
    if (folder.empty()) return path;
    return AbsolutePath(PathInFolder(folder, path));
  }
  std::string shown;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string_view part(path.data() + start, end - start);
    if (!part.empty() && part != ".") shown.append("/").append(part);
    start = end + 1;
  }
  return shown.empty() ? "/" : shown;
}

std::string WriteWholeStream(int fd, std::string_view bytes, const std::function<bool()>& interrupted) {
  // A blocking write into a full pipe would be restarted after a signal and
  // never see it; waiting for room in short steps keeps an interrupt
  // answered. A pipe with room takes a page without blocking.
  constexpr std::size_t kStep = 4096;
  constexpr int kWaitMs = 200;
  while (!bytes.empty()) {
    if (interrupted && interrupted()) return INTERRUPTED_TEXT;
    pollfd stream{fd, POLLOUT, 0};
    const int ready = ::poll(&stream, 1, kWaitMs);
    if (ready < 0 && errno != EINTR) return SystemErrorText(errno);
    if (ready <= 0) continue;
    const ssize_t n = ::write(fd, bytes.data(), std::min(kStep, bytes.size()));
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return SystemErrorText(errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

// A memory file: nothing reaches a disk, and it is gone with its descriptor.
struct ScratchFile::Handle {
  int fd = -1;
};

ScratchFile::ScratchFile() : handle_(std::make_unique<Handle>()) {
  handle_->fd = ::memfd_create("velorix-scratch", MFD_CLOEXEC);
  if (handle_->fd < 0)
    error_ = SystemErrorText(errno);
  else
    name_ = "/proc/self/fd/" + std::to_string(handle_->fd);
  if (const char* folder = std::getenv("TMPDIR"); folder != nullptr) folder_ = folder;
}

ScratchFile::~ScratchFile() {
  if (handle_->fd >= 0) ::close(handle_->fd);
}

bool ScratchFile::ReadAll(std::string& out) {
  const int error = ReadFileContents(handle_->fd, out);
  if (error != 0) error_ = SystemErrorText(error);
  return error == 0;
}

}  // namespace velorix
