#pragma once

// The machine's serial ports as sysfs and /dev describe them. Nothing here
// opens a device: a port is known by its sysfs entry, its driver, the UART
// type the driver reports, the USB device above it, the kernel's console
// list, and the device node's owner and mode.

#include <string>
#include <vector>

#include "link/port_map.h"

namespace velorix {

// Where sysfs and /dev are: the real ones, or trees made up by a test.
struct SystemRoots {
  std::string sys = "/sys";
  std::string dev = "/dev";
};

// Every tty of <sys>/class/tty with a device behind it (virtual consoles,
// ptmx and the like have none). Node paths are under the canonical dev root.
std::vector<FoundPort> FindSerialPorts(const SystemRoots& roots);

// The path with its links resolved, or the path as given when that fails.
std::string CanonicalPath(const std::string& path);

// The real roots, or the made-up trees of VELORIX_SYSFS_ROOT and
// VELORIX_DEV_ROOT where a test sets them.
SystemRoots SystemRootsFromEnvironment();

// Whether the device number is one of the system's consoles, under whatever
// name it is opened: a tty that <sys>/class/tty/console/active names,
// /dev/tty (5:0), /dev/console (5:1) or a virtual console (major 4, minor
// below 64). Reads sysfs only.
bool IsConsoleDevice(unsigned long device, const std::string& sysRoot);

// "the system console" when `path` is a character device that is a console,
// else empty. Looks at the path with stat(), without opening it.
std::string ConsoleRefusal(const std::string& path, const std::string& sysRoot);

}  // namespace velorix
