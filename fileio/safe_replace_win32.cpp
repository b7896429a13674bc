#include "fileio/safe_replace.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "fileio/file_system.h"
#include "fileio/wide_text.h"

// Windows has no links to follow here and no owner or mode to carry over:
// ReplaceFileW keeps the old file's attributes and security itself. A file
// another program holds open without sharing (a spreadsheet program that has
// the results open) is the common refusal, and it reads as "in use".

namespace velorix {
namespace {

struct PathParts {
  std::string folder;  // "." for a bare name
  std::string base;
};

PathParts Split(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) {
    // "C:name" is a name in drive C's current folder.
    if (path.size() >= 2 && path[1] == ':') return {path.substr(0, 2), path.substr(2)};
    return {".", path};
  }
  const bool root = slash == 0 || (slash == 2 && path[1] == ':');
  return {path.substr(0, root ? slash + 1 : slash), path.substr(slash + 1)};
}

std::string DeviceRefusal(const std::string& path) {
  const std::string device = WindowsDeviceName(path);
  return device.empty() ? std::string() : "Not a regular file (" + device + " is a device name)";
}

// Why an existing entry with these attributes can't be an output file.
std::string RefusalOf(DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return SystemErrorText(EISDIR);
  if (attributes & FILE_ATTRIBUTE_READONLY) return SystemErrorText(EACCES);
  return {};
}

std::wstring Wide(const std::string& text) { return WideFromUtf8(text); }

// Opening the existing file for writing is the check that counts: it fails
// while another program holds the file without sharing it for writing (a
// spreadsheet program that shows it). Shared for reading and for the
// replacement's rename only. Nothing is written through it.
HANDLE OpenHeld(const std::wstring& path) {
  return ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string InFolder(const std::wstring& folder, const std::string& name) {
  return PathInFolder(Utf8FromWide(folder), name);
}

}  // namespace

struct SafeReplace::Handles {
  std::wstring target;    // the file to replace
  std::wstring folder;    // its folder, where the temporary file goes
  HANDLE held = INVALID_HANDLE_VALUE;  // the existing target, open so no one writes it meanwhile
  HANDLE temp = INVALID_HANDLE_VALUE;
};

SafeReplace::SafeReplace(Options options) : options_(std::move(options)), h_(std::make_unique<Handles>()) {}

SafeReplace::~SafeReplace() { Cancel(); }

std::string ResolveLinks(const std::string& path, std::string& resolved, bool) {
  resolved = path;
  return {};
}

bool SafeReplace::Open(const std::string& path) {
  Cancel();
  error_.clear();
  if (path.empty()) return Fail(ENOENT);
  if (std::string refusal = DeviceRefusal(path); !refusal.empty()) return FailWith(std::move(refusal));
  const PathParts parts = Split(path);
  if (parts.base.empty() || parts.base == "." || parts.base == "..") return Fail(EISDIR);
  baseName_ = parts.base;
  h_->target = Wide(path);
  h_->folder = Wide(parts.folder);

  const DWORD attributes = ::GetFileAttributesW(h_->target.c_str());
  existed_ = attributes != INVALID_FILE_ATTRIBUTES;
  if (!existed_ && ::GetLastError() != ERROR_FILE_NOT_FOUND) return FailWith(WindowsErrorText(::GetLastError()));
  if (existed_) {
    if (std::string refusal = RefusalOf(attributes); !refusal.empty()) return FailWith(std::move(refusal));
    h_->held = OpenHeld(h_->target);
    if (h_->held == INVALID_HANDLE_VALUE) return FailWith(WindowsErrorText(::GetLastError()));
    if (::GetFileType(h_->held) != FILE_TYPE_DISK) return FailWith("Not a regular file (a device)");
  }
  open_ = true;
  if (const int error = CreateTemporary(0); error != 0) return FailWith(WindowsErrorText(static_cast<DWORD>(error)));
  return true;
}

// The Win32 error code, 0 on success.
int SafeReplace::CreateTemporary(unsigned) {
  static std::atomic<unsigned> counter{0};
  const std::string stem = "." + baseName_ + ".velorix-tmp-" + std::to_string(::GetCurrentProcessId()) + "-";
  DWORD error = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < 100 && error == ERROR_FILE_EXISTS; ++attempt) {
    std::string name = stem + std::to_string(counter.fetch_add(1));
    const std::wstring path = Wide(InFolder(h_->folder, name));
    h_->temp = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h_->temp != INVALID_HANDLE_VALUE) {
      tempName_ = std::move(name);
      return 0;
    }
    error = ::GetLastError();
  }
  return static_cast<int>(error);
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
  return CommitRename();
}

bool SafeReplace::CommitRename() {
  for (std::string_view bytes = pending_; !bytes.empty();) {
    DWORD n = 0;
    if (!::WriteFile(h_->temp, bytes.data(), static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 20)), &n,
                     nullptr))
      return FailWith(WindowsErrorText(::GetLastError()));
    if (n == 0) return Fail(EIO);
    bytes.remove_prefix(n);
  }
  if (!::FlushFileBuffers(h_->temp)) return FailWith(WindowsErrorText(::GetLastError()));
  const HANDLE temp = h_->temp;
  h_->temp = INVALID_HANDLE_VALUE;
  if (!::CloseHandle(temp)) return FailWith(WindowsErrorText(::GetLastError()));
  if (Interrupted()) return FailWith(INTERRUPTED_TEXT);
  const std::wstring tempPath = Wide(InFolder(h_->folder, tempName_));
  if (!existed_) {
    if (!::MoveFileExW(tempPath.c_str(), h_->target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return FailWith(WindowsErrorText(::GetLastError()));
    tempName_.clear();
    Cancel();
    return true;
  }
  if (h_->held != INVALID_HANDLE_VALUE) ::CloseHandle(h_->held);
  h_->held = INVALID_HANDLE_VALUE;
  // With a backup name the old file is never without a name: where the
  // replacement fails halfway, the backup goes back.
  const std::wstring backup = Wide(InFolder(h_->folder, tempName_ + "-old"));
  if (!::ReplaceFileW(h_->target.c_str(), tempPath.c_str(), backup.c_str(),
                      REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr, nullptr)) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) ::MoveFileExW(backup.c_str(), h_->target.c_str(), 0);
    return FailWith(WindowsErrorText(error));
  }
  ::DeleteFileW(backup.c_str());
  tempName_.clear();
  Cancel();
  return true;
}

bool SafeReplace::CommitInPlace() { return CommitRename(); }

void SafeReplace::Cancel() {
  if (h_->temp != INVALID_HANDLE_VALUE) ::CloseHandle(h_->temp);
  h_->temp = INVALID_HANDLE_VALUE;
  if (!tempName_.empty()) ::DeleteFileW(Wide(InFolder(h_->folder, tempName_)).c_str());
  tempName_.clear();
  if (h_->held != INVALID_HANDLE_VALUE) ::CloseHandle(h_->held);
  h_->held = INVALID_HANDLE_VALUE;
  pending_.clear();
  open_ = inPlace_ = existed_ = false;
}

std::string CheckOutputTarget(const std::string& path) {
  if (path.empty()) return SystemErrorText(ENOENT);
  if (std::string refusal = DeviceRefusal(path); !refusal.empty()) return refusal;
  const PathParts parts = Split(path);
  if (parts.base.empty() || parts.base == "." || parts.base == "..") return SystemErrorText(EISDIR);
  const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (std::string refusal = RefusalOf(attributes); !refusal.empty()) return refusal;
    const HANDLE held = OpenHeld(Wide(path));
    if (held == INVALID_HANDLE_VALUE) return WindowsErrorText(::GetLastError());
    ::CloseHandle(held);
    return {};
  }
  if (const DWORD error = ::GetLastError(); error != ERROR_FILE_NOT_FOUND) return WindowsErrorText(error);
  const DWORD folder = ::GetFileAttributesW(Wide(parts.folder).c_str());
  if (folder == INVALID_FILE_ATTRIBUTES) return WindowsErrorText(::GetLastError());
  if (!(folder & FILE_ATTRIBUTE_DIRECTORY)) return SystemErrorText(ENOTDIR);
  return {};
}

}  // namespace velorix
