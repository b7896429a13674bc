#pragma once

// The few file-system calls the shared code makes, each written once for
// POSIX and once for Win32 (file_system_posix.cpp, file_system_win32.cpp).
// Paths are UTF-8 on both.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace velorix {

enum class ReadResult { Ok, Missing, Failed };

// The regular file at `path`, whole, when it holds at most `limit` bytes.
// It is looked at before it is opened, so no device, pipe or socket in its
// place is ever opened, and nothing here can block. Failed: `problem` says
// why (`tooLargeText` for a file beyond the limit).
ReadResult ReadRegularFile(const std::string& path, std::string& content, std::size_t limit,
                           const char* tooLargeText, std::string* problem = nullptr);

// The absolute path of the current folder; empty when it can't be had.
std::string CurrentFolder();
// `name` in `folder`, with the system's separator.
std::string PathInFolder(const std::string& folder, const std::string& name);
// `path` as the system names it from the current folder: absolute, without
// "." parts or doubled separators (".." stays: it may pass a link). On
// Windows the system's own full path, so "\\?\" and "\\.\" names and
// shares keep their form. The name as given when there is no current folder.
std::string AbsolutePath(const std::string& path);

// Writes all of `bytes` to the open stream `fd` (standard output), byte for
// byte. A stream that takes nothing for a while (a pipe nobody reads yet) is
// waited for, and `interrupted` ends the wait. Empty, or why it failed
// (INTERRUPTED_TEXT; SystemErrorText(EPIPE) for a reader that has gone).
std::string WriteWholeStream(int fd, std::string_view bytes, const std::function<bool()>& interrupted);

// A file nobody else sees, for a library that writes by file name; removed
// with this object.
class ScratchFile {
 public:
  ScratchFile();
  ~ScratchFile();
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  // Empty once the file is there; else why not.
  const std::string& Error() const { return error_; }
  // A name that opens this very file with the C library's fopen.
  const std::string& Name() const { return name_; }
  // Where the library may put temporary files of its own ("": its choice).
  const std::string& Folder() const { return folder_; }
  // Everything in it; false (Error() says why) on a read error.
  bool ReadAll(std::string& out);

 private:
  struct Handle;
  std::unique_ptr<Handle> handle_;
  std::string name_;
  std::string folder_;
  std::string error_;
};

}  // namespace velorix
