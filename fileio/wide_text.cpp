#include "fileio/wide_text.h"

#include <windows.h>

#include <cerrno>

#include "fileio/safe_replace.h"

namespace velorix {

std::wstring WideFromUtf8(std::string_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), n);
  return wide;
}

std::string Utf8FromWide(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, utf8.data(), n, nullptr, nullptr);
  return utf8;
}

std::wstring ProgramPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::string WindowsErrorText(unsigned long error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
      return SystemErrorText(ENOENT);
    case ERROR_ACCESS_DENIED:
      return SystemErrorText(EACCES);
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
    case ERROR_UNABLE_TO_REMOVE_REPLACED:
      return FILE_IN_USE_TEXT;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return SystemErrorText(ENOSPC);
    case ERROR_WRITE_PROTECT:
      return SystemErrorText(EROFS);
    case ERROR_DIRECTORY:
      return SystemErrorText(ENOTDIR);
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
      return SystemErrorText(EPIPE);
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
      return "Invalid file name";
    case ERROR_FILENAME_EXCED_RANGE:
      return SystemErrorText(ENAMETOOLONG);
    default:
      return SystemMessageText(error);
  }
}

std::string SystemMessageText(unsigned long error) {
  wchar_t* message = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
      reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  std::wstring text(message != nullptr ? message : L"", n);
  if (message != nullptr) ::LocalFree(message);
  // It ends a line of ours: without the system's full stop and line break.
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ' || text.back() == L'.'))
    text.pop_back();
  if (text.empty()) return "Windows error " + std::to_string(error) + " (the system has no text for it)";
  return Utf8FromWide(text);
}

}  // namespace velorix
