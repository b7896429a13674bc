#include "console/port_list.h"

#include <vector>

#include "shell/port_devices.h"
#include "shell/settings.h"

namespace velorix {
namespace {

constexpr int SCANNED_PORTS = 4;  // the link's scan tries COM1..COM4

std::string Describe(const FoundPort& port) {
  std::vector<std::string> parts{port.name};
  if (!port.driver.empty()) parts.push_back("driver " + port.driver);
  if (port.uartType && *port.uartType > 0) parts.push_back(UartTypeName(*port.uartType));
  if (!port.usbId.empty()) parts.push_back("USB " + port.usbId);
  for (const std::string* text : {&port.manufacturer, &port.product})
    if (!text->empty()) parts.push_back(*text);
  if (!port.serial.empty()) parts.push_back("serial " + port.serial);
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text;
}

std::string Padded(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

}  // namespace

std::string PortListText(const PortMap& map, const std::string& settingsPath) {
  std::string out;
  int last = SCANNED_PORTS;
  for (const MappedPort& port : map.ports) last = std::max(last, port.number);
  for (int number = 1; number <= last; ++number) {
    const MappedPort* port = map.Find(number);
    if (port == nullptr && number > SCANNED_PORTS) continue;
    const std::string label = Padded("COM" + std::to_string(number), 6);
    if (port == nullptr) {
      out += label + "no device\n";
      continue;
    }
    const std::string from = port->device + "  (" + PortSourceText(port->source, number) + ")";
    // Refused: passed over, the number stays the user's.
    out += label + (port->refusal.empty() ? from : "passed over: " + from + ": " + port->refusal) + "\n";
    if (port->found) out += "      " + Describe(*port->found) + "\n";
  }
  if (!map.skipped.empty()) {
    out += "\nPassed over:\n";
    for (const SkippedPort& skipped : map.skipped)
      out += "  " + skipped.port.node + " (" + Describe(skipped.port) + "): " + skipped.reason + "\n";
  }
  // Two appends, not "\n" + a temporary: GCC 12 warns (-Wrestrict, wrongly)
  // inside that operator+ when building for Windows.
  out += '\n';
  out += PortRulesText(settingsPath);
  return out;
}

}  // namespace velorix
