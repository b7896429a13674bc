#include "shell/settings.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "shell/ini_profile.h"
#include "shell/printable.h"

namespace velorix {
namespace {

std::string CurrentFolder() {
  std::vector<char> buffer(256);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) return std::string(buffer.data());
    // ERANGE: the buffer is too small, grow it; anything else (a removed or
    // unreadable folder, a path beyond the system's limit) is a failure.
    if (errno != ERANGE || buffer.size() > (1u << 20)) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::string ComputeSettingsPath() {
  std::string folder = CurrentFolder();
  // getcwd can report an unreachable folder as "(unreachable)/..."; only an
  // absolute path is a usable place for the file.
  if (folder.empty() || folder.front() != '/') return {};
  if (folder.back() != '/') folder += '/';
  return folder + SETTINGS_FILE_NAME;
}

}  // namespace

const std::string& SettingsFilePath() {
  static const std::string path = ComputeSettingsPath();
  return path;
}

int ParseLeadingInt(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > static_cast<long long>(INT_MAX) + 1) magnitude = static_cast<long long>(INT_MAX) + 1;
  }
  const long long value = negative ? -magnitude : magnitude;
  if (value > INT_MAX) return INT_MAX;
  return static_cast<int>(value);
}

int ReadPortSettingFrom(const std::string& path) {
  return ParseLeadingInt(GetProfileString(SETTINGS_SECTION, SETTINGS_PORT_KEY, SETTINGS_PORT_DEFAULT,
                                          SETTINGS_VALUE_BUFFER, path));
}

bool WritePortSettingTo(const std::string& path, int portNumber, std::string* error) {
  if (path.empty()) return false;
  return WriteProfileString(SETTINGS_SECTION, SETTINGS_PORT_KEY, " " + std::to_string(portNumber) + " ",
                            path, error);
}

int ReadPortSetting() { return ReadPortSettingFrom(SettingsFilePath()); }

std::string WritePortSetting(int portNumber) {
  std::string why;
  if (SettingsFilePath().empty() || WritePortSettingTo(SettingsFilePath(), portNumber, &why)) return {};
  return "The settings file " + Printable(SettingsFilePath()) + " was left as it is: " + Printable(why) + ".";
}

std::string SettingsFileNotice() {
  const std::string problem = ProfileFileProblem(SettingsFilePath());
  if (problem.empty()) return {};
  return "The settings file " + Printable(SettingsFilePath()) + " is not used: " + Printable(problem) + "; COM" +
         SETTINGS_PORT_DEFAULT +
         " is tried first, and the file is left as it is.";
}

}  // namespace velorix
