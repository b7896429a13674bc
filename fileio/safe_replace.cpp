#include "fileio/safe_replace.h"

#include <system_error>

namespace velorix {

std::string SystemErrorText(int errorNumber) {
  return std::error_code(errorNumber, std::generic_category()).message();
}

bool ReplaceFileContents(const std::string& path, std::string_view contents, std::string* error,
                         SafeReplace::Options options) {
  SafeReplace file(std::move(options));
  const bool ok = file.Open(path) && file.Write(contents) && file.Commit();
  if (error) *error = ok ? std::string() : file.Error();
  return ok;
}

}  // namespace velorix
