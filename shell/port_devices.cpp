#include "shell/port_devices.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "shell/ini_profile.h"
#include "shell/settings.h"

extern char** environ;

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

std::vector<PortPin> VariablePins() {
  std::vector<PortPin> pins;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::size_t eq = text.find('=');
    if (eq == std::string_view::npos || eq + 1 == text.size()) continue;
    // The variable names are case-sensitive, unlike the settings file's keys.
    if (text.compare(0, std::strlen(VARIABLE_PREFIX), VARIABLE_PREFIX) != 0) continue;
    const int number = PortNumberOf(text.substr(0, eq), VARIABLE_PREFIX);
    if (number < 1) continue;
    pins.push_back({number, std::string(text.substr(eq + 1)), {}, PortSource::Variable});
  }
  std::sort(pins.begin(), pins.end(), [](const PortPin& a, const PortPin& b) { return a.number < b.number; });
  return pins;
}

std::vector<PortPin> SettingsPins(const std::string& settingsPath) {
  std::vector<PortPin> pins;
  for (auto& [key, value] : GetProfileSection(PORTS_SECTION, settingsPath)) {
    const int number = PortNumberOf(key, "COM");
    if (number >= 1 && !value.empty()) pins.push_back({number, value, {}, PortSource::SettingsFile});
  }
  return pins;
}

}  // namespace

int ComPortNumber(std::string_view text) { return PortNumberOf(text, "COM"); }

PortDevices PortDevices::FromEnvironment(const std::string& settingsPath) {
  std::vector<PortPin> pins = VariablePins();
  std::vector<PortPin> fromFile = SettingsPins(settingsPath);
  pins.insert(pins.end(), fromFile.begin(), fromFile.end());
  return PortDevices(std::move(pins), SystemRootsFromEnvironment());
}

PortDevices::PortDevices(std::vector<PortPin> pins, SystemRoots roots)
    : pins_(std::move(pins)), roots_(std::move(roots)) {}

PortMap PortDevices::Map() const {
  std::vector<PortPin> pins = pins_;
  for (PortPin& pin : pins) pin.canonical = CanonicalPath(pin.device);
  PortMap map = MapPorts(pins, FindSerialPorts(roots_));
  // A pinned device may be the console under another name.
  for (MappedPort& port : map.ports)
    if (port.source != PortSource::Automatic && port.refusal.empty())
      port.refusal = ConsoleRefusal(port.device, roots_.sys);
  return map;
}

PortDevice PortDevices::Resolve(int portNumber) const {
  if (portNumber < 1) return {};
  const PortMap map = Map();
  const MappedPort* port = map.Find(portNumber);
  if (port == nullptr) return {};
  return {port->device, port->refusal};
}

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
