#pragma once

// Which device each COM number opens, in order of precedence:
//   1. the environment variable VELORIX_COM<n>, when set and not empty;
//   2. COM<n>=<path> in the [Ports] section of the settings file;
//   3. on Linux, the machine's serial ports, numbered from COM1 on over the
//      numbers left free (see link/port_map.h for the order and what is
//      passed over); on Windows, the port of that number itself.
// For tests only, VELORIX_SYSFS_ROOT and VELORIX_DEV_ROOT put made-up trees in
// place of /sys and /dev.

#include <string>
#include <string_view>
#include <vector>

#include "link/port_map.h"
#include "link/serial_port.h"
#include "link/sysfs_ports.h"

namespace velorix {

inline constexpr const char* PORTS_SECTION = "Ports";
// The highest COM number a variable or the settings file may name.
inline constexpr int MAX_PORT_NUMBER = 255;

class PortDevices {
 public:
  // The variables and the settings file are read here, once; the machine's
  // ports are looked at again each time a number is resolved, so the map
  // follows adapters plugged in after the start.
  static PortDevices FromEnvironment(const std::string& settingsPath);

  PortDevices(std::vector<PortPin> pins, SystemRoots roots);

  PortMap Map() const;
  PortDevice Resolve(int portNumber) const;
  // A copy of these rules for the link's worker.
  PortDeviceResolver Resolver() const;

 private:
  std::vector<PortPin> pins_;
  SystemRoots roots_;
};

// The pins of the variables VELORIX_COM1..VELORIX_COM255 (set, not empty),
// and of the [Ports] section of the settings file.
std::vector<PortPin> VariablePins();
std::vector<PortPin> SettingsPins(const std::string& settingsPath);

// How COM numbers find their devices here, for --list-ports.
std::string PortRulesText(const std::string& settingsPath);

// "COM12" (any letter case) -> 12; 0 for anything else.
int ComPortNumber(std::string_view text);

// The COM number a port's name stands for: "COM12" -> 12, and on Windows
// "\\.\COM12" too (the same port); 0 for a name of another kind.
int PortNameNumber(std::string_view name);

// Why --port can't take `name` on this system, or empty. On Linux it takes
// any device; on Windows, where every serial port has a COM name, only
// COMn and \\.\COMn: a port of another name goes under [Ports].
std::string PortNameRefusal(std::string_view name);

// "COM2 (/dev/ttyUSB0)", control characters escaped; "COM2 (no device)".
std::string PortLabel(int portNumber, std::string_view device);

// "VELORIX_COM2", "Velquor.ini [Ports]" or "automatic".
std::string PortSourceText(PortSource source, int portNumber);

}  // namespace velorix
