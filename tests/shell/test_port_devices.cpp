// Which device each COM number opens, on made-up /sys and /dev trees: the
// order of the machine's ports, what is passed over, and the variables and
// the [Ports] section that pin numbers before the machine's ports are counted.

#include <grp.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "shell/port_devices.h"
#include "tests/shell/fake_system_tree.h"
#include "tests/shell/test_support.h"

extern char** environ;

namespace velorix {
namespace {

using testing::FakeSystemTree;
using testing::FakeTty;

// Drops, for this thread, the capabilities that let root ignore file modes,
// so a node's mode refuses as it would refuse any other user.
class WithoutFilePermissionOverride {
 public:
  WithoutFilePermissionOverride() {
    header_.version = _LINUX_CAPABILITY_VERSION_3;
    header_.pid = 0;
    if (::syscall(SYS_capget, &header_, saved_) != 0) return;
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    restore_ = ::syscall(SYS_capset, &header_, reduced) == 0;
  }
  ~WithoutFilePermissionOverride() {
    if (restore_) ::syscall(SYS_capset, &header_, saved_);
  }

 private:
  __user_cap_header_struct header_{};
  __user_cap_data_struct saved_[2]{};
  bool restore_ = false;
};

void UnsetPortVariables() {
  std::vector<std::string> names;
  for (char** entry = environ; *entry != nullptr; ++entry)
    if (std::strncmp(*entry, "VELORIX_COM", 11) == 0) names.emplace_back(*entry, std::strcspn(*entry, "="));
  for (const std::string& name : names) ::unsetenv(name.c_str());
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

const char* SourceWord(PortSource source) {
  switch (source) {
    case PortSource::Variable: return "variable";
    case PortSource::SettingsFile: return "settings";
    case PortSource::Automatic: break;
  }
  return "automatic";
}

// One line per COM number and per port passed over, paths below the tree's
// root written from "/".
std::vector<std::string> Render(const PortMap& map, const std::string& root) {
  std::vector<std::string> lines;
  for (const MappedPort& port : map.ports) {
    std::string line = "COM" + std::to_string(port.number) + " " + Replace(port.device, root, "") + " " +
                       SourceWord(port.source);
    if (port.found) line += " " + port.found->driver;
    if (!port.refusal.empty()) line += " refused: " + port.refusal;
    lines.push_back(line);
  }
  for (const SkippedPort& skipped : map.skipped)
    lines.push_back("passed over " + skipped.port.name + ": " + Replace(skipped.reason, root, ""));
  return lines;
}

std::string GroupOfNewFiles() {
  testing::ScratchFolder folder;
  testing::WriteFile(folder.file("probe"), "");
  struct stat st {};
  ::stat(folder.file("probe").c_str(), &st);
  const group* entry = ::getgrgid(st.st_gid);
  return entry != nullptr ? entry->gr_name : std::to_string(st.st_gid);
}

struct MapCase {
  const char* name;
  std::vector<FakeTty> ttys;
  std::string console;  // console/active
  std::vector<std::pair<std::string, std::string>> variables;
  std::string settings;  // Velquor.ini; "{root}" is the fake tree's root
  std::vector<std::string> expected;  // "{group}": the group of files the test makes
};

void PrintTo(const MapCase& c, std::ostream* os) { *os << c.name; }

FakeTty Uart(const char* name, int type = 4, const char* driver = "serial") {
  return {.name = name, .driver = driver, .type = type};
}

const FakeTty FTDI{.name = "ttyUSB0",
                   .driver = "ftdi_sio",
                   .byId = "usb-FTDI_FT232R_USB_UART_A5XK3RJT-if00-port0",
                   .usbId = "0403:6001"};

class PortMapRules : public ::testing::TestWithParam<MapCase> {
 protected:
  void TearDown() override {
    UnsetPortVariables();
    ::unsetenv("VELORIX_SYSFS_ROOT");
    ::unsetenv("VELORIX_DEV_ROOT");
  }
};

TEST_P(PortMapRules, NumbersGoWhereTheRulesSay) {
  const MapCase& c = GetParam();
  testing::ScratchFolder folder;
  const std::string root = folder.file("root");
  FakeSystemTree tree(root);
  for (const FakeTty& tty : c.ttys) tree.Add(tty);
  tree.SetConsole(c.console);
  const std::string settings = folder.file("Velquor.ini");
  if (!c.settings.empty()) testing::WriteFile(settings, Replace(c.settings, "{root}", root));

  UnsetPortVariables();
  for (const auto& [name, value] : c.variables) ::setenv(name.c_str(), Replace(value, "{root}", root).c_str(), 1);
  ::setenv("VELORIX_SYSFS_ROOT", tree.Sys().c_str(), 1);
  ::setenv("VELORIX_DEV_ROOT", tree.Dev().c_str(), 1);

  PortMap map;
  {
    WithoutFilePermissionOverride asAnyUser;
    map = PortDevices::FromEnvironment(settings).Map();
  }
  std::vector<std::string> expected;
  for (const std::string& line : c.expected) expected.push_back(Replace(line, "{group}", GroupOfNewFiles()));
  EXPECT_EQ(Render(map, root), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortMapRules,
    ::testing::Values(
        // By-id names carry the adapter's serial number: the order does not
        // follow the order of plugging in (ttyUSB0 came first here).
        MapCase{"usb_adapters_in_order_of_their_by_id_names",
                {{.name = "ttyUSB0",
                  .driver = "pl2303",
                  .byId = "usb-Prolific_USB-Serial_Controller-if00-port0",
                  .usbId = "067b:2303"},
                 {.name = "ttyUSB1",
                  .driver = "ftdi_sio",
                  .byId = "usb-FTDI_FT232R_USB_UART_A5XK3RJT-if00-port0",
                  .usbId = "0403:6001"}},
                "tty0",
                {},
                "",
                {"COM1 /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A5XK3RJT-if00-port0 automatic ftdi_sio",
                 "COM2 /dev/serial/by-id/usb-Prolific_USB-Serial_Controller-if00-port0 automatic pl2303"}},
        MapCase{"adapters_then_uarts_then_other_ports",
                {Uart("ttyS1"),
                 Uart("ttyAMA0", 32, "uart-pl011"),
                 {.name = "ttyUSB3", .driver = "ch341-uart", .usbId = "1a86:7523"},
                 {.name = "ttyACM0", .driver = "cdc_acm", .usbId = "2341:0043"},
                 FTDI},
                "tty0",
                {},
                "",
                {"COM1 /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A5XK3RJT-if00-port0 automatic ftdi_sio",
                 "COM2 /dev/ttyACM0 automatic cdc_acm", "COM3 /dev/ttyUSB3 automatic ch341-uart",
                 "COM4 /dev/ttyS1 automatic serial", "COM5 /dev/ttyAMA0 automatic uart-pl011"}},
        MapCase{"uarts_by_number_not_by_name",
                {Uart("ttyS10", 4, "exar_serial"), Uart("ttyS2")},
                "",
                {},
                "",
                {"COM1 /dev/ttyS2 automatic serial", "COM2 /dev/ttyS10 automatic exar_serial"}},
        MapCase{"uart_without_hardware_is_passed_over",
                {Uart("ttyS0"), Uart("ttyS2", 0, "serial8250"), Uart("ttyS3", 0, "serial8250")},
                "",
                {},
                "",
                {"COM1 /dev/ttyS0 automatic serial", "passed over ttyS2: no UART behind the device (type 0)",
                 "passed over ttyS3: no UART behind the device (type 0)"}},
        MapCase{"console_alone_is_passed_over",
                {Uart("ttyS0"), Uart("ttyS1")},
                "ttyS0",
                {},
                "",
                {"COM1 /dev/ttyS1 automatic serial", "passed over ttyS0: the system console"}},
        MapCase{"console_among_others_is_passed_over",
                {Uart("ttyS0"), Uart("ttyS1")},
                "tty0 ttyS1",
                {},
                "",
                {"COM1 /dev/ttyS0 automatic serial", "passed over ttyS1: the system console"}},
        // Newer kernels hang a serial-base "port" device between the tty and
        // the hardware; the driver named is still the hardware's.
        MapCase{"console_on_the_newer_kernel_layout",
                {{.name = "ttyS0", .driver = "serial", .type = 4, .serialBase = true},
                 {.name = "ttyS1", .driver = "serial", .type = 4, .serialBase = true}},
                "ttyS0",
                {},
                "",
                {"COM1 /dev/ttyS1 automatic serial", "passed over ttyS0: the system console"}},
        MapCase{"variable_then_settings_then_the_machine",
                {Uart("ttyS1"), FTDI},
                "",
                {{"VELORIX_COM2", "/tmp/from-variable"}},
                "[Ports]\nCOM2=/tmp/from-settings\ncom3 = \"/tmp/third\"\n",
                {"COM1 /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A5XK3RJT-if00-port0 automatic ftdi_sio",
                 "COM2 /tmp/from-variable variable", "COM3 /tmp/third settings", "COM4 /dev/ttyS1 automatic serial"}},
        MapCase{"an_empty_variable_leaves_the_number_to_the_settings_file",
                {Uart("ttyS1")},
                "",
                {{"VELORIX_COM1", ""}},
                "[Ports]\nCOM1=/tmp/pinned\n",
                {"COM1 /tmp/pinned settings", "COM2 /dev/ttyS1 automatic serial"}},
        MapCase{"a_pinned_adapter_is_not_numbered_twice",
                {Uart("ttyS1"), FTDI},
                "",
                {},
                "[Ports]\nCOM3={root}/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A5XK3RJT-if00-port0\n",
                {"COM1 /dev/ttyS1 automatic serial",
                 "COM3 /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A5XK3RJT-if00-port0 settings ftdi_sio"}},
        MapCase{"a_pinned_console_is_not_opened",
                {Uart("ttyS0"), Uart("ttyS1")},
                "ttyS0",
                {{"VELORIX_COM1", "{root}/dev/ttyS0"}},
                "",
                {"COM1 /dev/ttyS0 variable serial refused: the system console", "COM2 /dev/ttyS1 automatic serial"}},
        MapCase{"ports_beyond_com4_take_further_numbers",
                {Uart("ttyS0"), Uart("ttyS1"), Uart("ttyS2"), Uart("ttyS3"), Uart("ttyS4")},
                "",
                {{"VELORIX_COM3", "/tmp/third"}},
                "",
                {"COM1 /dev/ttyS0 automatic serial", "COM2 /dev/ttyS1 automatic serial", "COM3 /tmp/third variable",
                 "COM4 /dev/ttyS2 automatic serial", "COM5 /dev/ttyS3 automatic serial",
                 "COM6 /dev/ttyS4 automatic serial"}},
        // Joining the node's group is suggested only where the group may use it.
        MapCase{"nodes_the_user_may_not_open_are_passed_over",
                {{.name = "ttyUSB0", .driver = "ftdi_sio", .usbId = "0403:6001", .nodeMode = 0060},
                 {.name = "ttyUSB1", .driver = "ftdi_sio", .usbId = "0403:6001", .nodeMode = 0400},
                 {.name = "ttyS1", .driver = "serial", .type = 4, .nodeMode = 0}},
                "",
                {},
                "",
                {"passed over ttyUSB0: permission denied (add the user to the group '{group}': sudo usermod -aG "
                 "{group} $USER, then log in again)",
                 "passed over ttyUSB1: permission denied", "passed over ttyS1: no device node /dev/ttyS1"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velorix
