#pragma once

// printf's own answer, in a string as long as it needs: the reference the
// locale-free formatting is compared with.

#include <cstdarg>
#include <cstdio>
#include <string>

namespace velorix::test {

__attribute__((format(printf, 1, 2))) inline std::string Printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int size = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(size > 0 ? static_cast<std::size_t>(size) + 1 : 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, again);
  va_end(again);
  text.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
  return text;
}

}  // namespace velorix::test
