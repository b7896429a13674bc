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
// messages read the same on both systems; the system's own message for the
// rest (SystemMessageText).
std::string WindowsErrorText(unsigned long error);

// The system's message for a Win32 error code, in the language of its
// installation, without the closing full stop: "The network name cannot be
// found". Only a code the system has no text for shows its number.
std::string SystemMessageText(unsigned long error);

}  // namespace velorix
