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
  std::string dev{};          // its device number, "4:64", where it matters
};

class FakeSystemTree {
 public:
  explicit FakeSystemTree(const std::filesystem::path& root) : root_(root) {
    // A virtual terminal and the console have no device behind them.
    for (const char* name : {"tty0", "console"}) std::filesystem::create_directories(Sys() / "class/tty" / name);
    std::filesystem::create_directories(Dev());
  }

  std::filesystem::path Sys() const { return root_ / "sys"; }
  std::filesystem::path Dev() const { return root_ / "dev"; }

  // What /sys/class/tty/console/active holds, e.g. "tty0 ttyS0".
  void SetConsole(const std::string& active) {
    std::ofstream(Sys() / "class/tty/console/active") << active << "\n";
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
      const bool acm = tty.name.starts_with("ttyACM");
      device = usb / (usb.filename().string() + ":1.0");
      if (!acm) device /= tty.name;
      Bind(device, acm ? "usb" : "usb-serial", tty.driver);
    } else {
      Bind(device = Sys() / "devices/platform" / (tty.name + "-hw"), "platform", tty.driver);
      if (tty.serialBase) {
        Bind(device /= "ctrl", "serial-base", "ctrl");
        Bind(device /= "port", "serial-base", "port");
      }
    }
    const fs::path entry = device / "tty" / tty.name;
    fs::create_directories(entry);
    Link(entry, Sys() / "class/tty" / tty.name);
    Link(device, entry / "device");
    if (tty.type) std::ofstream(entry / "type") << *tty.type << "\n";
    if (!tty.dev.empty()) std::ofstream(entry / "dev") << tty.dev << "\n";

    if (tty.nodeMode != 0) {
      std::ofstream(Dev() / tty.name).put('\0');
      ::chmod((Dev() / tty.name).c_str(), tty.nodeMode);
    }
    if (!tty.byId.empty()) Link(Dev() / tty.name, Dev() / "serial/by-id" / tty.byId);
  }

 private:
  // A link at `at` to `target`, relative to the link's folder, which is made
  // as needed.
  static void Link(const std::filesystem::path& target, const std::filesystem::path& at) {
    std::filesystem::create_directories(at.parent_path());
    std::filesystem::create_symlink(std::filesystem::relative(target, at.parent_path()), at);
  }
  // The device directory with its bus and driver links.
  void Bind(const std::filesystem::path& device, const std::string& bus, const std::string& driver) {
    Link(Sys() / "bus" / bus, device / "subsystem");
    Link(Sys() / "bus" / bus / "drivers" / driver, device / "driver");
  }

  std::filesystem::path root_;
  int usbPorts_ = 0;
};

}  // namespace velorix::testing
