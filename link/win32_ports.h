#pragma once

// The machine's serial ports as Windows lists them, without opening any: the
// system's serial-port map (HARDWARE\DEVICEMAP\SERIALCOMM) for the COM names,
// and the device manager's ports class for the friendly names, makers, USB
// vendor:product and driver.

#include <string>
#include <string_view>
#include <vector>

#include "link/port_map.h"

namespace velorix {

// Each COM port present, ascending by number; `name` is "COM3" and `node`
// "\\.\COM3".
std::vector<FoundPort> FindWindowsSerialPorts();

// "USB\VID_0403&PID_6001&REV_0600" or "FTDIBUS\VID_0403+PID_6001+A1B2C3D4A\0000"
// -> "0403:6001"; empty when the id names no vendor and product.
std::string UsbIdOfHardwareId(std::string_view hardwareId);

}  // namespace velorix
