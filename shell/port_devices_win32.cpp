#include <algorithm>

#include "fileio/safe_replace.h"
#include "link/win32_ports.h"
#include "shell/port_devices.h"
#include "shell/settings.h"

namespace velorix {
namespace {

// CON, NUL, LPT1 and the other devices Windows names: a pin to one of them
// is refused before it is opened (the console's own input and output among
// them).
std::string PinRefusal(const std::string& device) {
  const std::string named = WindowsDeviceName(device);
  return named.empty() || named.starts_with("COM") ? std::string() : "not a serial port";
}

}  // namespace

// "\\.\COM3" and "com3" both name COM3.
int PortNameNumber(std::string_view name) {
  if (name.starts_with("\\\\.\\")) name.remove_prefix(4);
  return ComPortNumber(name);
}

std::string PortNameRefusal(std::string_view name) {
  if (PortNameNumber(name) > 0) return {};
  return "--port takes COMn or \\\\.\\COMn here, not '" + std::string(name) +
         "'; a port of another name goes under [" + PORTS_SECTION + "] in " + SETTINGS_FILE_NAME + " as COMn=NAME";
}

PortDevices PortDevices::FromEnvironment(const std::string& settingsPath) {
  std::vector<PortPin> pins = VariablePins();
  std::vector<PortPin> fromFile = SettingsPins(settingsPath);
  pins.insert(pins.end(), fromFile.begin(), fromFile.end());
  return PortDevices(std::move(pins), SystemRoots{});
}

// A COM number is the port's own name here: the ports present keep theirs,
// and a pin only puts another port in a number's place.
PortMap PortDevices::Map() const {
  PortMap map;
  const std::vector<FoundPort> found = FindWindowsSerialPorts();
  const auto foundNamed = [&found](int number) -> std::optional<FoundPort> {
    for (const FoundPort& port : found)
      if (PortNameNumber(port.name) == number) return port;
    return std::nullopt;
  };
  for (const PortPin& pin : pins_) {
    if (map.Find(pin.number) != nullptr) continue;  // the first pin for a number wins
    MappedPort port{pin.number, pin.device, pin.source, std::nullopt, PinRefusal(pin.device)};
    if (const int named = PortNameNumber(pin.device); named > 0) port.found = foundNamed(named);
    map.ports.push_back(std::move(port));
  }
  for (const FoundPort& port : found) {
    const int number = PortNameNumber(port.name);
    if (map.Find(number) == nullptr) map.ports.push_back({number, port.node, PortSource::Automatic, port, {}});
  }
  std::sort(map.ports.begin(), map.ports.end(),
            [](const MappedPort& a, const MappedPort& b) { return a.number < b.number; });
  return map;
}

PortDevice PortDevices::Resolve(int portNumber) const {
  if (portNumber < 1) return {};
  for (const PortPin& pin : pins_)
    if (pin.number == portNumber) return {pin.device, PinRefusal(pin.device)};
  return {"COM" + std::to_string(portNumber), {}};
}

std::string PortRulesText(const std::string& settingsPath) {
  return "COM<n> opens the port COM<n> of this machine; the variable VELORIX_COM<n>,\n"
         "or COM<n>=NAME in the [" + std::string(PORTS_SECTION) + "] section of the settings file\n"
         "  " + (settingsPath.empty() ? std::string(SETTINGS_FILE_NAME) : settingsPath) + "\n"
         "puts another port in its place.\n";
}

}  // namespace velorix
