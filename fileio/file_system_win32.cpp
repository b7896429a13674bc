#include "fileio/file_system.h"

#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "fileio/safe_replace.h"
#include "fileio/wide_text.h"

namespace velorix {

ReadResult ReadRegularFile(const std::string& path, std::string& content, std::size_t limit,
                           const char* tooLargeText, std::string* problem) {
  const auto failed = [problem](std::string why) {
    if (problem) *problem = std::move(why);
    return ReadResult::Failed;
  };
  const std::wstring name = WideFromUtf8(path);
  // A device name (CON, COM1, ...) is not a file; a folder neither. The open
  // below takes disk files only.
  if (!WindowsDeviceName(path).empty()) return failed("not a regular file");
  const DWORD attributes = ::GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ReadResult::Missing
                                                                           : failed(WindowsErrorText(error));
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return failed("not a regular file");
  HANDLE file = ::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? ReadResult::Missing : failed(WindowsErrorText(error));
  }
  std::string why;
  LARGE_INTEGER size{};
  if (::GetFileType(file) != FILE_TYPE_DISK) {
    why = "not a regular file";
  } else if (!::GetFileSizeEx(file, &size)) {
    why = WindowsErrorText(::GetLastError());
  } else if (static_cast<unsigned long long>(size.QuadPart) > limit) {
    why = tooLargeText;
  } else {
    content.clear();
    char chunk[8192];
    for (;;) {
      DWORD n = 0;
      if (!::ReadFile(file, chunk, sizeof chunk, &n, nullptr)) {
        why = WindowsErrorText(::GetLastError());
        break;
      }
      if (n == 0) break;
      content.append(chunk, n);
      if (content.size() > limit) {
        why = tooLargeText;
        break;
      }
    }
  }
  ::CloseHandle(file);
  if (!why.empty()) {
    content.clear();
    return failed(std::move(why));
  }
  return ReadResult::Ok;
}

std::string CurrentFolder() {
  const DWORD size = ::GetCurrentDirectoryW(0, nullptr);
  if (size == 0) return {};
  std::wstring folder(size, L'\0');
  const DWORD n = ::GetCurrentDirectoryW(size, folder.data());
  if (n == 0 || n >= size) return {};
  folder.resize(n);
  return Utf8FromWide(folder);
}

std::string PathInFolder(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '\\' || folder.back() == '/') return folder + name;
  return folder + "\\" + name;
}

std::string AbsolutePath(const std::string& path) {
  const std::wstring wide = WideFromUtf8(path);
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return path;
    if (n < full.size()) {
      full.resize(n);
      return Utf8FromWide(full);
    }
    full.resize(n);
  }
}

std::string WriteWholeStream(int fd, std::string_view bytes, const std::function<bool()>& interrupted) {
  // Straight to the handle: the C library's text mode would add a CR before
  // every LF. Short pieces, so that an interrupt is seen between them.
  const HANDLE stream = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  if (stream == INVALID_HANDLE_VALUE || stream == nullptr) return SystemErrorText(EBADF);
  constexpr std::size_t kStep = 4096;
  while (!bytes.empty()) {
    if (interrupted && interrupted()) return INTERRUPTED_TEXT;
    DWORD n = 0;
    if (!::WriteFile(stream, bytes.data(), static_cast<DWORD>(std::min(kStep, bytes.size())), &n, nullptr))
      return WindowsErrorText(::GetLastError());
    bytes.remove_prefix(n);
  }
  return {};
}

// A file in the user's temporary folder, deleted when this goes. Its name
// must open with the C library's narrow fopen, and so must the library's own
// temporary files there: where the folder's name has letters beyond ASCII,
// its short (8.3) form is used.
struct ScratchFile::Handle {
  std::wstring path;
};

namespace {

bool IsAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

ScratchFile::ScratchFile() : handle_(std::make_unique<Handle>()) {
  static std::atomic<unsigned> counter{0};
  wchar_t folder[MAX_PATH + 1];
  const DWORD n = ::GetTempPathW(MAX_PATH + 1, folder);
  if (n == 0 || n > MAX_PATH) {
    error_ = WindowsErrorText(::GetLastError());
    return;
  }
  std::wstring base(folder, n);
  if (!IsAscii(Utf8FromWide(base))) {
    wchar_t shortName[MAX_PATH + 1];
    const DWORD m = ::GetShortPathNameW(base.c_str(), shortName, MAX_PATH + 1);
    if (m > 0 && m <= MAX_PATH) base.assign(shortName, m);
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring path = base + L"velorix-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                              std::to_wstring(counter.fetch_add(1)) + L".tmp";
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      ::CloseHandle(file);
      handle_->path = path;
      name_ = Utf8FromWide(path);
      folder_ = Utf8FromWide(base);
      return;
    }
    if (::GetLastError() != ERROR_FILE_EXISTS) break;
  }
  error_ = WindowsErrorText(::GetLastError());
}

ScratchFile::~ScratchFile() {
  if (!handle_->path.empty()) ::DeleteFileW(handle_->path.c_str());
}

bool ScratchFile::ReadAll(std::string& out) {
  std::string problem;
  if (ReadRegularFile(name_, out, std::string::npos - 1, "too large", &problem) == ReadResult::Ok) return true;
  error_ = problem.empty() ? SystemErrorText(ENOENT) : problem;
  return false;
}

}  // namespace velorix
