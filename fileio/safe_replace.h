#pragma once

// Replacing a file so that nothing is lost when the writing fails or is
// interrupted: the new contents go to a temporary file in the target's own
// folder, which is flushed to disk and only then renamed over the target.
// Until that rename the target is exactly as it was. The contents are
// gathered in memory and written at Commit in one pass, so a file on a
// network share costs a few round trips, not one per Write.
//
// The target keeps its identity: a symbolic link is followed (the link stays
// a link, the file it names is replaced), and an existing file's mode and
// owner carry over to its replacement. Where that can't be done with a
// temporary file (the folder takes no new file, the owner can't be given to
// it, the file has further hard links), the file is written in place instead,
// and only at Commit, so that Cancel still leaves it untouched.
//
// Targets that are not regular files (folders, named pipes, devices, sockets)
// are refused without being opened for writing, so nothing here can block.
// So is an existing file without any write permission bits, whoever runs the
// program: such a file was made read-only on purpose.
//
// On Windows (safe_replace_win32.cpp) the same in Windows terms: the
// temporary file is flushed and put in place with ReplaceFileW, which keeps
// the old file's attributes and permissions (MoveFileExW for a new file);
// there are no links to follow, no owner to keep and no writing in place.
// A file another program holds open without sharing is refused as in use,
// and so are folders, read-only files and Windows device names (COM1.xls).

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace velorix {

inline constexpr const char* FILE_IN_USE_TEXT = "The file is in use by another program";
inline constexpr const char* INTERRUPTED_TEXT = "Interrupted";

// The text of the system's error number, e.g. "Permission denied".
std::string SystemErrorText(int errorNumber);

class SafeReplace {
 public:
  struct Options {
    // Refuse (FILE_IN_USE_TEXT) an existing target that another program holds
    // an flock on; the lock is ours from Open until Commit or Cancel.
    bool exclusiveLock = false;
    // Asked before each write and before anything replaces the target; true
    // cancels the replacement (INTERRUPTED_TEXT).
    std::function<bool()> interrupted;
    // For a file written without asking anyone: follow a symbolic link only
    // where the kernel's rule for sticky folders would (the link belongs to
    // this user or to the owner of its folder), and only to a file that is
    // there.
    bool ownLinksOnly = false;
  };

  SafeReplace() : SafeReplace(Options{}) {}
  explicit SafeReplace(Options options);
  ~SafeReplace();
  SafeReplace(const SafeReplace&) = delete;
  SafeReplace& operator=(const SafeReplace&) = delete;

  // Each returns true on success. After a failure the replacement has been
  // cancelled and Error() says why.
  bool Open(const std::string& path);
  bool Write(std::string_view bytes);
  // Puts the new contents in place: only when this returns true has the
  // target changed.
  bool Commit();
  // Leaves the target as it was and removes the temporary file. Safe to call
  // in any state.
  void Cancel();

  bool IsOpen() const { return open_; }
  // The open replacement writes the file itself at Commit.
  bool WritesInPlace() const { return inPlace_; }
  const std::string& Error() const { return error_; }

 private:
  bool Fail(int errorNumber);
  bool FailWith(std::string text);
  bool Interrupted() const { return options_.interrupted && options_.interrupted(); }
  int CreateTemporary(unsigned mode);
  bool CommitRename();
  bool CommitInPlace();

  // The system's handles of the target, its folder and the temporary file.
  struct Handles;

  Options options_;
  std::unique_ptr<Handles> h_;
  bool open_ = false;
  bool inPlace_ = false;
  bool existed_ = false;  // the target was there at Open
  std::string tempName_;  // in the folder; empty when there is no temporary file
  std::string baseName_;  // the target's name in its folder
  std::string pending_;   // the new contents, written at Commit
  std::string error_;
};

// Empty when `path` can take an output file: it names a regular file that
// may be written and that no other program holds, or nothing yet in a folder
// that exists and may be written (after following symbolic links). Otherwise
// the reason, e.g. "No such file or directory", "Not a regular file (a named
// pipe)" or FILE_IN_USE_TEXT. Writes nothing: an existing file is opened and
// closed again to see whether another program holds it (an flock on POSIX,
// opened for reading only; on Windows opened as the replacement opens it,
// for writing without sharing it for writing).
std::string CheckOutputTarget(const std::string& path);

// Follows symbolic links to the path they finally name, which need not exist
// (a dangling link names the file to create). Empty, or why not.
std::string ResolveLinks(const std::string& path, std::string& resolved, bool ownLinksOnly = false);

// The device a path's last part names on Windows, whatever its extension or
// folder ("COM1.xls" -> "COM1", "c:\\x\\nul.txt" -> "NUL"): CON, PRN, AUX,
// NUL, COM1-9, LPT1-9, COM¹-³ and LPT¹-³ (superscript digits),
// CONIN$, CONOUT$. Empty for a file name.
std::string WindowsDeviceName(std::string_view path);

// Open, one Write and Commit.
bool ReplaceFileContents(const std::string& path, std::string_view contents, std::string* error = nullptr,
                         SafeReplace::Options options = {});

}  // namespace velorix
