#pragma once

#include <string>
#include <string_view>

namespace velorix {

// The text with control characters shown escaped (\n, \t, \r, \x1B, ...), so
// that a file name holding a line break or an escape sequence can't break or
// fake a message line.
std::string Printable(std::string_view text);

}  // namespace velorix
