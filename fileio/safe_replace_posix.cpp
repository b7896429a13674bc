#include "fileio/safe_replace.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>
#include <vector>

#include "fileio/file_contents.h"

namespace velorix {
namespace {

// Symbolic links followed before the path counts as a loop (the kernel's own limit).
constexpr int MAX_LINK_HOPS = 40;
// Room left for the temporary name's decoration within a name's 255 bytes.
constexpr std::size_t MAX_BASE_IN_TEMP_NAME = 200;

struct PathParts {
  std::string folder;  // "." for a bare name
  std::string base;
};

PathParts Split(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

std::string ReadLink(const std::string& path, int& error) {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0) {
      error = errno;
      return {};
    }
    if (static_cast<std::size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<std::size_t>(n));
    buffer.resize(buffer.size() * 2);
  }
}

std::string NotRegularText(mode_t mode) {
  const char* what = S_ISFIFO(mode)   ? "a named pipe"
                     : S_ISCHR(mode)  ? "a character device"
                     : S_ISBLK(mode)  ? "a block device"
                     : S_ISSOCK(mode) ? "a socket"
                                      : "not a file";
  return std::string("Not a regular file (") + what + ")";
}

// Why an existing entry can't be an output file; empty when it can.
std::string RefusalOf(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return SystemErrorText(EISDIR);
  if (!S_ISREG(st.st_mode)) return NotRegularText(st.st_mode);
  if ((st.st_mode & 0222) == 0) return SystemErrorText(EACCES);
  return {};
}

int WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

int WriteAllAt(int fd, std::string_view bytes, off_t offset) {
  while (!bytes.empty()) {
    const ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    bytes.remove_prefix(static_cast<std::size_t>(n));
    offset += n;
  }
  return 0;
}

// The kernel's rule for links in sticky folders: a link is followed when it
// belongs to the user following it or to the owner of the folder it is in.
bool MayFollow(const std::string& link, const struct stat& linkStat) {
  if (linkStat.st_uid == ::geteuid()) return true;
  struct stat folder {};
  return ::stat(Split(link).folder.c_str(), &folder) == 0 && folder.st_uid == linkStat.st_uid;
}

// FILE_IN_USE_TEXT when another program holds an flock on the regular file
// at `path`, as the replacement would find at Open. A file this user may not
// read is left to that Open.
std::string LockRefusal(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string refusal;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) refusal = FILE_IN_USE_TEXT;
  ::close(fd);  // releases the lock, if it was taken
  return refusal;
}

}  // namespace

struct SafeReplace::Handles {
  int target = -1;  // the existing target (holds the lock)
  bool targetReadable = false;
  int folder = -1;
  bool syncFolder = false;  // the folder could be opened for reading, so it can be flushed
  int temp = -1;
  unsigned oldMode = 0;
};

SafeReplace::SafeReplace(Options options) : options_(std::move(options)), h_(std::make_unique<Handles>()) {}

SafeReplace::~SafeReplace() { Cancel(); }

std::string ResolveLinks(const std::string& path, std::string& resolved, bool ownLinksOnly) {
  std::string current = path;
  for (int hops = 0;; ++hops) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0) {
      if (errno != ENOENT) return SystemErrorText(errno);
      if (ownLinksOnly && hops > 0) return "a symbolic link to nothing (" + current + "); not followed";
      resolved = current;
      return {};
    }
    if (!S_ISLNK(st.st_mode)) {
      resolved = current;
      return {};
    }
    if (hops == MAX_LINK_HOPS) return SystemErrorText(ELOOP);
    if (ownLinksOnly && !MayFollow(current, st))
      return "a symbolic link of another user (" + current + "); not followed";
    int error = 0;
    const std::string target = ReadLink(current, error);
    if (error != 0) return SystemErrorText(error);
    if (target.empty()) return SystemErrorText(ENOENT);
    if (target.front() == '/') {
      current = target;
    } else {
      const std::size_t slash = current.rfind('/');
      current = slash == std::string::npos ? target : current.substr(0, slash + 1) + target;
    }
  }
}

bool SafeReplace::Open(const std::string& path) {
  Cancel();
  error_.clear();
  if (path.empty()) return Fail(ENOENT);
  std::string target;
  if (std::string refusal = ResolveLinks(path, target, options_.ownLinksOnly); !refusal.empty())
    return FailWith(std::move(refusal));
  PathParts parts = Split(target);
  if (parts.base.empty() || parts.base == "." || parts.base == "..") return Fail(EISDIR);
  baseName_ = parts.base;

  struct stat old {};
  existed_ = ::lstat(target.c_str(), &old) == 0;
  if (!existed_ && errno != ENOENT) return Fail(errno);
  bool keepIdentityInPlace = false;
  if (existed_) {
    if (std::string refusal = RefusalOf(old); !refusal.empty()) return FailWith(std::move(refusal));
    // Opening for writing is the permission check that counts (also as
    // root), and what the lock and a write in place need. Only a regular
    // file gets here, and O_NONBLOCK keeps a swapped-in pipe from blocking.
    const int flags = O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
    h_->target = ::open(target.c_str(), O_RDWR | flags);
    h_->targetReadable = h_->target >= 0;
    if (h_->target < 0 && errno == EACCES) h_->target = ::open(target.c_str(), O_WRONLY | flags);
    if (h_->target < 0) return Fail(errno);
    if (::fstat(h_->target, &old) != 0) return Fail(errno);
    if (std::string refusal = RefusalOf(old); !refusal.empty()) return FailWith(std::move(refusal));
    if (options_.exclusiveLock && ::flock(h_->target, LOCK_EX | LOCK_NB) != 0)
      return errno == EWOULDBLOCK ? FailWith(FILE_IN_USE_TEXT) : Fail(errno);
    h_->oldMode = old.st_mode & 07777;
    // A rename would leave the other names with the old contents.
    keepIdentityInPlace = old.st_nlink > 1;
  }
  open_ = true;

  if (!keepIdentityInPlace) {
    h_->folder = ::open(parts.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    h_->syncFolder = h_->folder >= 0;
    // A folder we may write but not list still takes the temporary file.
    if (h_->folder < 0 && errno == EACCES)
      h_->folder = ::open(parts.folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    int error = h_->folder < 0 ? errno : CreateTemporary(existed_ ? 0600 : 0666);
    if (error == 0 && existed_) {
      struct stat temp {};
      if (::fstat(h_->temp, &temp) != 0) {
        error = errno;
      } else if ((temp.st_uid != old.st_uid || temp.st_gid != old.st_gid) &&
                 ::fchown(h_->temp, old.st_uid, old.st_gid) != 0) {
        // Only root may give a file away: the file itself is written instead.
        keepIdentityInPlace = true;
      }
    }
    if (error != 0) {
      if (!existed_ || (error != EACCES && error != EPERM)) return Fail(error);
      keepIdentityInPlace = true;
    }
  }
  if (keepIdentityInPlace) {
    if (h_->temp >= 0) {
      ::close(h_->temp);
      h_->temp = -1;
      ::unlinkat(h_->folder, tempName_.c_str(), 0);
      tempName_.clear();
    }
    inPlace_ = true;
  }
  return true;
}

int SafeReplace::CreateTemporary(unsigned mode) {
  static std::atomic<unsigned> counter{0};
  // Hidden and recognisable: "." + name + ".velorix-tmp-" + process + "-" + n.
  const std::string stem = "." + baseName_.substr(0, MAX_BASE_IN_TEMP_NAME) + ".velorix-tmp-" +
                           std::to_string(::getpid()) + "-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = stem + std::to_string(counter.fetch_add(1));
    h_->temp = ::openat(h_->folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (h_->temp >= 0) {
      tempName_ = std::move(name);
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

bool SafeReplace::Write(std::string_view bytes) {
  if (!open_) return Fail(EBADF);
  if (Interrupted()) return FailWith(INTERRUPTED_TEXT);
  pending_.append(bytes);
  return true;
}

bool SafeReplace::Commit() {
  if (!open_) return Fail(EBADF);
  if (Interrupted()) return FailWith(INTERRUPTED_TEXT);
  return inPlace_ ? CommitInPlace() : CommitRename();
}

bool SafeReplace::CommitRename() {
  if (const int error = WriteAll(h_->temp, pending_)) return Fail(error);
  // The mode last: a change of owner clears the set-id bits.
  if (existed_ && ::fchmod(h_->temp, h_->oldMode) != 0) return Fail(errno);
  if (::fsync(h_->temp) != 0) return Fail(errno);
  const int fd = h_->temp;
  h_->temp = -1;
  if (::close(fd) != 0) return Fail(errno);
  if (Interrupted()) return FailWith(INTERRUPTED_TEXT);
  if (::renameat(h_->folder, tempName_.c_str(), h_->folder, baseName_.c_str()) != 0) return Fail(errno);
  tempName_.clear();
  // The rename itself reaches the disk with the folder.
  if (h_->syncFolder) ::fsync(h_->folder);
  Cancel();  // nothing left to undo: closes the folder and releases the lock
  return true;
}

bool SafeReplace::CommitInPlace() {
  struct stat st {};
  if (::fstat(h_->target, &st) != 0) return Fail(errno);
  std::string old;
  const bool canRestore = h_->targetReadable && ReadFileContents(h_->target, old) == 0;
  // Over the old bytes first and cut the rest afterwards, so that a failure
  // midway (a full disk while growing the file) can be undone.
  int error = WriteAllAt(h_->target, pending_, 0);
  if (error == 0 && static_cast<off_t>(pending_.size()) < st.st_size &&
      ::ftruncate(h_->target, static_cast<off_t>(pending_.size())) != 0)
    error = errno;
  if (error == 0 && ::fsync(h_->target) != 0) error = errno;
  if (error != 0) {
    if (canRestore && WriteAllAt(h_->target, old, 0) == 0 && ::ftruncate(h_->target, static_cast<off_t>(old.size())) == 0)
      ::fsync(h_->target);
    return Fail(error);
  }
  Cancel();
  return true;
}

void SafeReplace::Cancel() {
  if (h_->temp >= 0) ::close(h_->temp);
  h_->temp = -1;
  if (!tempName_.empty()) ::unlinkat(h_->folder, tempName_.c_str(), 0);
  tempName_.clear();
  if (h_->folder >= 0) ::close(h_->folder);
  h_->folder = -1;
  if (h_->target >= 0) ::close(h_->target);  // releases the lock
  h_->target = -1;
  pending_.clear();
  pending_.shrink_to_fit();
  open_ = inPlace_ = existed_ = h_->syncFolder = h_->targetReadable = false;
}

std::string CheckOutputTarget(const std::string& path) {
  if (path.empty()) return SystemErrorText(ENOENT);
  std::string target;
  if (std::string refusal = ResolveLinks(path, target); !refusal.empty()) return refusal;
  const PathParts parts = Split(target);
  if (parts.base.empty() || parts.base == "." || parts.base == "..") return SystemErrorText(EISDIR);
  struct stat st {};
  if (::lstat(target.c_str(), &st) == 0) {
    if (std::string refusal = RefusalOf(st); !refusal.empty()) return refusal;
    // The file may be written: replaced through its folder or, where the
    // folder takes no new file, in place.
    if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return SystemErrorText(errno);
    return LockRefusal(target);
  }
  if (errno != ENOENT) return SystemErrorText(errno);
  if (::stat(parts.folder.c_str(), &st) != 0) return SystemErrorText(errno);
  if (!S_ISDIR(st.st_mode)) return SystemErrorText(ENOTDIR);
  // A removed folder (the current one, say) still looks like one, but takes no file.
  if (st.st_nlink == 0)
    return parts.folder == "." ? "the current folder no longer exists" : "the folder no longer exists";
  if (::faccessat(AT_FDCWD, parts.folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return SystemErrorText(errno);
  return {};
}

}  // namespace velorix
