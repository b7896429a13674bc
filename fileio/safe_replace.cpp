#include "fileio/safe_replace.h"

#include <array>
#include <system_error>

namespace velorix {

std::string SystemErrorText(int errorNumber) {
  return std::error_code(errorNumber, std::generic_category()).message();
}

bool SafeReplace::Fail(int errorNumber) { return FailWith(SystemErrorText(errorNumber)); }

bool SafeReplace::FailWith(std::string text) {
  Cancel();
  error_ = std::move(text);
  return false;
}

std::string WindowsDeviceName(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\:");
  std::string_view stem = slash == std::string_view::npos ? path : path.substr(slash + 1);
  stem = stem.substr(0, stem.find('.'));
  // Windows drops the spaces before an extension: "nul .txt" is NUL too.
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  std::string name(stem);
  for (char& c : name)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  static constexpr std::array<std::string_view, 6> kNamed{"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (std::string_view device : kNamed)
    if (name == device) return name;
  if (name.size() == 4 && (name.starts_with("COM") || name.starts_with("LPT")) && name[3] >= '1' && name[3] <= '9')
    return name;
  return {};
}

bool ReplaceFileContents(const std::string& path, std::string_view contents, std::string* error,
                         SafeReplace::Options options) {
  SafeReplace file(std::move(options));
  const bool ok = file.Open(path) && file.Write(contents) && file.Commit();
  if (error) *error = ok ? std::string() : file.Error();
  return ok;
}

}  // namespace velorix
