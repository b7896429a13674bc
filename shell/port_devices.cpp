#include "shell/port_devices.h"

#include <charconv>
#include <cstdlib>

#include "shell/ini_profile.h"
#include "shell/printable.h"
#include "shell/settings.h"

namespace velorix {
namespace {

constexpr const char* VARIABLE_PREFIX = "VELORIX_COM";

// "COM12" -> 12 (the letters in any case); 0 for anything else.
int PortNumberOf(std::string_view text, std::string_view prefix) {
  if (text.size() <= prefix.size()) return 0;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if ((text[i] | 0x20) != (prefix[i] | 0x20)) return 0;
  const std::string_view digits = text.substr(prefix.size());
  if (digits.front() == '0') return 0;
  int number = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  return error == std::errc() && end == digits.data() + digits.size() ? number : 0;
}

}  // namespace

std::vector<PortPin> VariablePins() {
  std::vector<PortPin> pins;
  for (int number = 1; number <= MAX_PORT_NUMBER; ++number) {
    const std::string name = VARIABLE_PREFIX + std::to_string(number);
    if (const char* value = std::getenv(name.c_str()); value != nullptr && *value != '\0')
      pins.push_back({number, value, {}, PortSource::Variable});
  }
  return pins;
}

std::vector<PortPin> SettingsPins(const std::string& settingsPath) {
  std::vector<PortPin> pins;
  for (auto& [key, value] : GetProfileSection(PORTS_SECTION, settingsPath)) {
    const int number = PortNumberOf(key, "COM");
    if (number >= 1 && number <= MAX_PORT_NUMBER && !value.empty()) pins.push_back({number, value, {}, PortSource::SettingsFile});
  }
  return pins;
}

int ComPortNumber(std::string_view text) { return PortNumberOf(text, "COM"); }

std::string PortLabel(int portNumber, std::string_view device) {
  return "COM" + std::to_string(portNumber) + " (" + (device.empty() ? std::string("no device") : Printable(device)) +
         ")";
}

PortDevices::PortDevices(std::vector<PortPin> pins, SystemRoots roots)
    : pins_(std::move(pins)), roots_(std::move(roots)) {}

PortDeviceResolver PortDevices::Resolver() const {
  return [rules = *this](int portNumber) { return rules.Resolve(portNumber); };
}

std::string PortSourceText(PortSource source, int portNumber) {
  switch (source) {
    case PortSource::Variable:
      return VARIABLE_PREFIX + std::to_string(portNumber);
    case PortSource::SettingsFile:
      return std::string(SETTINGS_FILE_NAME) + " [" + PORTS_SECTION + "]";
    case PortSource::Automatic:
      break;
  }
  return "automatic";
}

}  // namespace velorix
