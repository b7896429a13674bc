#include "shell/settings.h"

#include <cerrno>
#include <climits>
#include <vector>

#include "fileio/file_system.h"
#include "shell/ini_profile.h"
#include "shell/printable.h"

namespace velorix {
namespace {

std::string ComputeSettingsPath() {
  const std::string folder = CurrentFolder();
  return folder.empty() ? std::string() : PathInFolder(folder, SETTINGS_FILE_NAME);
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
  // Built by appending: GCC 12 warns (-Wrestrict, wrongly) inside the
  // operator+ of a literal and a temporary string.
  std::string value = " ";
  value += std::to_string(portNumber);
  value += ' ';
  return WriteProfileString(SETTINGS_SECTION, SETTINGS_PORT_KEY, value, path, error);
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
