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
  if (!name.starts_with("COM") && !name.starts_with("LPT")) return {};
  const std::string_view number = std::string_view(name).substr(3);
  if (number.size() == 1 && number[0] >= '1' && number[0] <= '9') return name;
  // Windows counts the superscript digits 1 to 3 (UTF-8 here) as digits too.
  for (std::string_view superscript : {"\u00B9", "\u00B2", "\u00B3"})
    if (number == superscript) return name;
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
