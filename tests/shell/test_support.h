#pragma once

// Small helpers shared by the shell tests: a scratch folder that is removed
// afterwards, whole-file reads and writes, and running a check in a child
// process (for code that keeps process-wide state such as the settings path).

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

namespace velorix::testing {

class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velorix-shell-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// Runs `body` in a forked child and returns its result (or -1 when the child
// did not end normally). The body must not use gtest assertions.
inline int RunInChild(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Mounts a small tmpfs at `at` whose device nodes can be made but not opened
// (nodev: an open fails with EACCES, so an attempt shows and does no harm),
// in a mount namespace this process moves into on first use. Empty, or why not.
inline std::string MountNodevTmpfs(const std::string& at) {
  static const bool ownNamespace =
      ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  std::filesystem::create_directories(at);
  if (ownNamespace && ::mount("tmpfs", at.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m") == 0) return {};
  return std::string("no private nodev mount: ") + std::strerror(errno);
}

}  // namespace velorix::testing
