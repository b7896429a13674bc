#pragma once

// Windows only: the program keeps its texts in UTF-8; the system's calls take
// UTF-16.

#include <string>
#include <string_view>

namespace velorix {

std::wstring WideFromUtf8(std::string_view text);
std::string Utf8FromWide(std::wstring_view text);

// The full path of the running program's .exe.
std::wstring ProgramPath();

// The text of a Win32 error code in the words the POSIX build uses for the
// same failure ("Permission denied", "No space left on device"), so that
// messages read the same on both systems; "Windows error N" for the rest.
std::string WindowsErrorText(unsigned long error);

}  // namespace velorix
