#pragma once

// Which device each COM number opens. A number is pinned by the environment
// (VELORIX_COM<n>) or by the settings file; the numbers left over go to the
// machine's serial ports in a fixed order: USB and ACM adapters first (by
// their stable by-id name where there is one, so re-plugging keeps the
// numbers), then real UARTs by number, then any other serial port by name.
// Ports that must not or cannot be used are passed over with the reason.

#include <optional>
#include <string>
#include <vector>

namespace velorix {

inline constexpr const char* CONSOLE_REFUSAL_TEXT = "the system console";

// A serial port as the system describes it, read without opening it.
struct FoundPort {
  enum Kind { UsbAdapter, AcmAdapter, Uart, Other };
  enum Access { Usable, NoNode, PermissionDenied };

  std::string name;        // kernel name, "ttyUSB0"
  Kind kind = Other;
  std::string node;        // its device node, "/dev/ttyUSB0"
  std::string byIdLink;    // "/dev/serial/by-id/usb-...", or empty
  std::string driver;      // "ftdi_sio", "serial", "serial8250", ...
  std::optional<int> uartType;  // the port type, where the driver reports one (0: nothing there)
  std::string usbId;       // "0403:6001" for USB devices
  std::string manufacturer, product, serial;  // USB strings, where the device has them
  bool console = false;    // the kernel's console writes to it
  Access access = Usable;
  std::string group;       // group that may use the node, when joining it would help
};

// Where a COM number's device came from.
enum class PortSource { Variable, SettingsFile, Automatic };

// A COM number fixed by the user.
struct PortPin {
  int number = 0;
  std::string device;     // as given
  std::string canonical;  // the path with links resolved, to recognise a found port
  PortSource source = PortSource::Variable;
};

struct MappedPort {
  int number = 0;
  std::string device;  // what the port opens
  PortSource source = PortSource::Automatic;
  std::optional<FoundPort> found;  // what the system says about the device
  std::string refusal;  // not empty: the device is not opened, and why
};

struct SkippedPort {
  FoundPort port;
  std::string reason;
};

struct PortMap {
  std::vector<MappedPort> ports;     // ascending by number
  std::vector<SkippedPort> skipped;  // in the order found ports are ranked

  const MappedPort* Find(int number) const;
};

// Pins come in order of precedence: the first pin for a number wins. A found
// port that a pin names is shown under that number and numbered no further.
PortMap MapPorts(const std::vector<PortPin>& pins, std::vector<FoundPort> found);

// The name the kernel gives a UART type number ("16550A"), or "type N".
std::string UartTypeName(int type);

}  // namespace velorix
