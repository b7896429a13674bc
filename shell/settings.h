#pragma once

// The program's one setting: the serial port number the link ended on last
// time, kept in "Velquor.ini" in the folder the program was started from.

#include <string>

namespace velorix {

inline constexpr const char* SETTINGS_FILE_NAME = "Velquor.ini";
inline constexpr const char* SETTINGS_SECTION = "Velorix - 5";
inline constexpr const char* SETTINGS_PORT_KEY = "COM Port 1_4";
inline constexpr const char* SETTINGS_PORT_DEFAULT = "2";
// Room for the value read, terminating zero included: longer values are cut.
inline constexpr int SETTINGS_VALUE_BUFFER = 20;

// Full path of the settings file: the current folder at the first call plus
// "/Velquor.ini". Computed once; later calls return the same text even after
// the current folder has changed (the save dialog may change it). Empty when
// the current folder can't be read.
const std::string& SettingsFilePath();

// The stored port number, or 2 when there is no file, section or key (or no
// path). The value is read into 20 characters and converted like atoi: leading
// white space skipped, optional sign, digits up to the first other character,
// no digits gives 0. No range check.
int ReadPortSetting();

// Stores the port number as " %d ". Does nothing when there is no path.
// Empty, or the line that says why the file was left as it is (the next
// start reads the old value).
std::string WritePortSetting(int portNumber);

// Why the settings file is not used this run (not read, so COM2 is tried
// first, and not rewritten): the line to show, or empty when it is used or
// is not there yet. Only a regular file is opened to find out.
std::string SettingsFileNotice();

// The same operations on a given file, for the code above and for tests.
int ReadPortSettingFrom(const std::string& path);
bool WritePortSettingTo(const std::string& path, int portNumber, std::string* error = nullptr);

// atoi's conversion without its undefined overflow: values beyond int's range
// are clamped.
int ParseLeadingInt(const std::string& text);

}  // namespace velorix
