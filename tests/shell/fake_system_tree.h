#pragma once

// A made-up /sys and /dev in a scratch folder, laid out the way the kernel
// and udev lay out the real ones, for the port-map rules: tty entries with
// their device, driver and UART type, USB devices with their ids and strings,
// the console list, device nodes with a mode, and /dev/serial/by-id links.
// The "device nodes" are plain files: only their presence and mode count.

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace velorix::testing {

struct FakeTty {
  std::string name{};          // "ttyUSB0"
  std::string driver{};        // "ftdi_sio", "serial", "serial8250", "cdc_acm", ...
  std::optional<int> type{};   // the `type` file (serial-core ports only)
  std::string byId{};          // name of its /dev/serial/by-id link, or ""
  std::string usbId{};         // "0403:6001": it hangs off a USB device with these ids
  std::string manufacturer{};  // that USB device's strings
  std::string product{};
  std::string serial{};
  bool serialBase = false;    // newer kernels: serial-base ctrl and port devices in between
  unsigned nodeMode = 0660;   // mode of its /dev node; 0 leaves the node out
};

class FakeSystemTree {
 public:
  explicit FakeSystemTree(const std::filesystem::path& root) : root_(root) {
    namespace fs = std::filesystem;
    fs::create_directories(Sys() / "class/tty");
    fs::create_directories(Dev());
    // Virtual terminals have no device behind them.
    for (const char* name : {"tty", "tty0", "tty1", "ptmx", "console"}) {
      fs::create_directories(Sys() / "devices/virtual/tty" / name);
      fs::create_directory_symlink("../../devices/virtual/tty/" + std::string(name), Sys() / "class/tty" / name);
    }
  }

  std::filesystem::path Sys() const { return root_ / "sys"; }
  std::filesystem::path Dev() const { return root_ / "dev"; }

  // What /sys/class/tty/console/active holds, e.g. "tty0 ttyS0".
  void SetConsole(const std::string& active) {
    std::ofstream(Sys() / "devices/virtual/tty/console/active") << active << "\n";
  }

  void Add(const FakeTty& tty) {
    namespace fs = std::filesystem;
    fs::path device;
    if (!tty.usbId.empty()) {
      const fs::path usb = Sys() / "devices/pci0000:00/0000:00:04.0/usb1" / ("1-" + std::to_string(++usbPorts_));
      fs::create_directories(usb);
      std::ofstream(usb / "idVendor") << tty.usbId.substr(0, 4) << "\n";
      std::ofstream(usb / "idProduct") << tty.usbId.substr(5) << "\n";
      if (!tty.manufacturer.empty()) std::ofstream(usb / "manufacturer") << tty.manufacturer << "\n";
      if (!tty.product.empty()) std::ofstream(usb / "product") << tty.product << "\n";
      if (!tty.serial.empty()) std::ofstream(usb / "serial") << tty.serial << "\n";
      // An ACM port is the USB interface itself; a usb-serial port sits below it.
      const bool acm = tty.name.rfind("ttyACM", 0) == 0;
      device = usb / (usb.filename().string() + ":1.0");
      if (!acm) device /= tty.name;
      Bind(device, acm ? "usb" : "usb-serial", tty.driver);
    } else {
      device = Sys() / "devices/platform" / (tty.name + "-hw");
      Bind(device, "platform", tty.driver);
      if (tty.serialBase) {
        device /= "ctrl";
        Bind(device, "serial-base", "ctrl");
        device /= "port";
        Bind(device, "serial-base", "port");
      }
    }
    const fs::path entry = device / "tty" / tty.name;
    fs::create_directories(entry);
    fs::create_directory_symlink(fs::relative(device, entry), entry / "device");
    if (tty.type) std::ofstream(entry / "type") << *tty.type << "\n";
    fs::create_directory_symlink(fs::relative(entry, Sys() / "class/tty"), Sys() / "class/tty" / tty.name);

    if (tty.nodeMode != 0) {
      std::ofstream(Dev() / tty.name).put('\0');
      ::chmod((Dev() / tty.name).c_str(), tty.nodeMode);
    }
    if (!tty.byId.empty()) {
      fs::create_directories(Dev() / "serial/by-id");
      fs::create_symlink("../../" + tty.name, Dev() / "serial/by-id" / tty.byId);
    }
  }

 private:
  // The device directory with its bus and driver links.
  void Bind(const std::filesystem::path& device, const std::string& bus, const std::string& driver) {
    namespace fs = std::filesystem;
    fs::create_directories(device);
    fs::create_directories(Sys() / "bus" / bus / "drivers" / driver);
    fs::create_directory_symlink(fs::relative(Sys() / "bus" / bus, device), device / "subsystem");
    fs::create_directory_symlink(fs::relative(Sys() / "bus" / bus / "drivers" / driver, device), device / "driver");
  }

  std::filesystem::path root_;
  int usbPorts_ = 0;
};

}  // namespace velorix::testing
