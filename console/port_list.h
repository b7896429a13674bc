#pragma once

#include <string>

#include "link/port_map.h"

namespace velorix {

// What --list-ports prints: COM1..COM4 and any higher number with a device,
// each with its device, where the number came from and what the system says
// about the device; then the ports passed over and why.
std::string PortListText(const PortMap& map, const std::string& settingsPath);

}  // namespace velorix
