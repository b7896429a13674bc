#pragma once

// Reading and writing one value of an INI-style settings file, with the
// semantics of the classic profile functions:
//   [Section]
//   key=value
// Section and key names match without regard to (ASCII) case, the first
// matching section and the first matching key in it win, and blanks around
// names and values don't count. Nothing here throws on bad file content: a
// header without its closing bracket, binary bytes, NULs and very long lines
// are all just text.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace velorix {

// A settings file is a few lines; one beyond this is not read, nor rewritten.
inline constexpr std::size_t MAX_PROFILE_BYTES = std::size_t{1} << 20;
inline constexpr const char* PROFILE_TOO_LARGE_TEXT = "larger than 1 MiB";

// The value of `key` in `section` of the file at `path`, or `defaultValue`
// when the path is empty or the file, the section or the key is missing. The
// result is cut to bufferSize - 1 characters, the way a caller's buffer of
// bufferSize characters (terminating zero included) would cut it; a
// bufferSize of 0 gives an empty text. Leading and trailing blanks and tabs of
// the value are dropped, and so is one pair of matching quotes around it.
std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& defaultValue, std::size_t bufferSize,
                             const std::string& path);

// Every key of the first `section` with its value (blanks and one pair of
// quotes dropped as above), in file order; empty when there is none.
std::vector<std::pair<std::string, std::string>> GetProfileSection(const std::string& section,
                                                                   const std::string& path);

// Sets `key` in `section` of the file at `path` to `value`, creating the file,
// the section and the key as needed. An existing key line is replaced by
// "key=value" (the key spelt as in the file); every other line is kept byte for
// byte. New lines use the file's own line ending (CR LF if its first line ends
// so, else LF). The file is replaced safely (fileio/safe_replace.h), so it is
// never half written, and it stays what it was: a symbolic link stays a link
// to the file that gets the value, owner and mode are kept, a file without
// any write permission bits is left alone whoever runs the program, and a
// file in a folder that takes no new file is written in place.
// A symbolic link is followed only where the kernel's rule for sticky
// folders would follow it (it belongs to this user or to its folder's owner),
// and only to a file that is there.
// Returns false (and leaves the file as it was, `error` saying why) when the
// path is empty, the existing file can't be read, or the new file can't be
// written.
bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& path, std::string* error = nullptr);

// Why the file at `path` is not read, or empty when it is read or is not
// there: not a regular file (such a file is never opened), larger than
// MAX_PROFILE_BYTES, not readable.
std::string ProfileFileProblem(const std::string& path);

}  // namespace velorix
