#include "shell/port_devices.h"

#include "shell/settings.h"

namespace velorix {

PortDevices PortDevices::FromEnvironment(const std::string& settingsPath) {
  std::vector<PortPin> pins = VariablePins();
  std::vector<PortPin> fromFile = SettingsPins(settingsPath);
  pins.insert(pins.end(), fromFile.begin(), fromFile.end());
  return PortDevices(std::move(pins), SystemRootsFromEnvironment());
}

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

int PortNameNumber(std::string_view name) { return ComPortNumber(name); }

std::string PortNameRefusal(std::string_view) { return {}; }

std::string PortRulesText(const std::string& settingsPath) {
  return "COM<n> opens the device named by the variable VELORIX_COM<n>; else the one\n"
         "given as COM<n>=DEVICE in the [" + std::string(PORTS_SECTION) + "] section of the settings file\n"
         "  " + (settingsPath.empty() ? std::string(SETTINGS_FILE_NAME) : settingsPath) + "\n"
         "else a port of this machine: they take the numbers left free, USB adapters\n"
         "first, then UARTs.\n";
}

}  // namespace velorix
