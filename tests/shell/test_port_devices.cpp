// Which device each COM number opens, on made-up /sys and /dev trees: the
// order of the machine's ports, what is passed over, and the variables and
// the [Ports] section that pin numbers before the machine's ports are counted.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdlib>
#include <cstring>
#include <tuple>
#include <string>
#include <utility>
#include <vector>

#include "shell/ini_profile.h"
#include "link/posix_serial_port.h"
#include "shell/port_devices.h"
#include "tests/shell/fake_system_tree.h"
#include "tests/shell/test_support.h"

extern char** environ;

namespace velorix {
namespace {

using testing::FakeSystemTree;
using testing::FakeTty;

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

// One line per COM number and per port passed over, paths below the tree's
// root written from "/".
std::vector<std::string> Render(const PortMap& map, const std::string& root) {
  std::vector<std::string> lines;
  for (const MappedPort& port : map.ports) {
    std::string line = "COM" + std::to_string(port.number) + " " + Replace(port.device, root, "") + " " +
                       PortSourceText(port.source, port.number);
    if (port.found) line += " " + port.found->driver;
    if (!port.refusal.empty()) line += " refused: " + port.refusal;
    lines.push_back(line);
  }
  for (const SkippedPort& skipped : map.skipped)
    lines.push_back("passed over " + skipped.port.name + ": " + Replace(skipped.reason, root, ""));
  return lines;
}

struct MapCase {
  const char* name;
  std::vector<FakeTty> ttys;
  std::string console;  // console/active
  std::vector<std::pair<std::string, std::string>> variables;
  std::string settings;  // Velquor.ini; "{root}" is the fake tree's root
  std::vector<std::string> expected;
  // Device nodes made below the root, {path, major, minor}, on a nodev mount.
  std::vector<std::tuple<std::string, unsigned, unsigned>> nodes = {};
};

void PrintTo(const MapCase& c, std::ostream* os) { *os << c.name; }

FakeTty Uart(const char* name, int type = 4, const char* driver = "serial") {
  return {.name = name, .driver = driver, .type = type};
}

const FakeTty FTDI{.name = "ttyUSB1",
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
  const std::string why = c.nodes.empty() ? "" : testing::MountNodevTmpfs(root);
  if (!why.empty()) GTEST_SKIP() << why;
  FakeSystemTree tree(root);
  for (const auto& [node, major, minor] : c.nodes) {
    if (::mknod((root + node).c_str(), S_IFCHR | 0600, ::makedev(major, minor)) != 0) GTEST_SKIP() << "mknod";
  }
  for (const FakeTty& tty : c.ttys) tree.Add(tty);
  tree.SetConsole(c.console);
  const std::string settings = folder.file("Velquor.ini");
  if (!c.settings.empty()) testing::WriteFile(settings, Replace(c.settings, "{root}", root));

  UnsetPortVariables();
  for (const auto& [name, value] : c.variables) ::setenv(name.c_str(), Replace(value, "{root}", root).c_str(), 1);
  ::setenv("VELORIX_SYSFS_ROOT", tree.Sys().c_str(), 1);
  ::setenv("VELORIX_DEV_ROOT", tree.Dev().c_str(), 1);
  const PortMap map = PortDevices::FromEnvironment(settings).Map();
  EXPECT_EQ(Render(map, root), c.expected);
  // Refused before any open: an attempt would say "permission denied" here.
  if (c.nodes.empty()) return;
  for (const MappedPort& port : map.ports)
    EXPECT_EQ(PosixSerialPort().OpenPath(port.device).outcome, port.refusal.empty() ? "not a serial port" : port.refusal);
  std::filesystem::create_symlink(root + std::get<0>(c.nodes.back()), folder.file("device.ini"));
  EXPECT_EQ(ProfileFileProblem(folder.file("device.ini")), "not a regular file");
  ::umount2(root.c_str(), MNT_DETACH);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortMapRules,
    ::testing::Values(
        // Adapters with a by-id name come first, in the order of that name,
        // which carries the adapter's serial number, not in the order of
        // plugging in (ttyUSB0 came first here); then other adapters by name,
        // then UARTs, then any other port.
        MapCase{"adapters_by_their_by_id_names_then_uarts_then_other_ports",
                {Uart("ttyS1"),
                 Uart("ttyAMA0", 32, "uart-pl011"),
                 {.name = "ttyUSB3", .driver = "ch341-uart", .usbId = "1a86:7523"},
                 {.name = "ttyACM0", .driver = "cdc_acm", .usbId = "2341:0043"},
                 {.name = "ttyUSB0",
                  .driver = "pl2303",
                  .byId = "usb-Prolific_USB-Serial_Controller-if00-port0",
                  .usbId = "067b:2303"},
                 FTDI},
                "tty0",
                {},
                "",
                {"COM1 /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A5XK3RJT-if00-port0 automatic ftdi_sio",
                 "COM2 /dev/serial/by-id/usb-Prolific_USB-Serial_Controller-if00-port0 automatic pl2303",
                 "COM3 /dev/ttyACM0 automatic cdc_acm", "COM4 /dev/ttyUSB3 automatic ch341-uart",
                 "COM5 /dev/ttyS1 automatic serial", "COM6 /dev/ttyAMA0 automatic uart-pl011"}},
        // Newer kernels hang a serial-base "port" device between the tty and
        // the hardware; the driver named is still the hardware's.
        MapCase{"uarts_by_number_not_by_name_also_on_the_newer_kernel_layout",
                {{.name = "ttyS10", .driver = "exar_serial", .type = 4, .serialBase = true}, Uart("ttyS2")},
                "",
                {},
                "",
                {"COM1 /dev/ttyS2 automatic serial", "COM2 /dev/ttyS10 automatic exar_serial"}},
        MapCase{"the_console_no_uart_and_no_node_are_passed_over",
                {Uart("ttyS0"), Uart("ttyS1"), Uart("ttyS2", 0, "serial8250"),
                 {.name = "ttyS3", .type = 4, .nodeMode = 0}},
                "tty0 ttyS1",
                {},
                "",
                {"COM1 /dev/ttyS0 automatic serial", "passed over ttyS1: the system console",
                 "passed over ttyS2: no UART behind the device (type 0)",
                 "passed over ttyS3: no device node /dev/ttyS3"}},
        // An empty variable leaves its number to the settings file.
        MapCase{"variable_then_settings_then_the_machine",
                {Uart("ttyS1")},
                "",
                {{"VELORIX_COM1", ""}, {"VELORIX_COM2", "/tmp/from-variable"}},
                "[Ports]\nCOM1=/tmp/pinned\nCOM2=/tmp/from-settings\ncom3 = \"/tmp/third\"\n",
                {"COM1 /tmp/pinned Velquor.ini [Ports]", "COM2 /tmp/from-variable VELORIX_COM2",
                 "COM3 /tmp/third Velquor.ini [Ports]", "COM4 /dev/ttyS1 automatic serial"}},
        // A pinned port is shown under its number and numbered no further;
        // the console, pinned, is still not opened.
        MapCase{"pinned_ports_are_not_numbered_twice_and_a_pinned_console_is_not_opened",
                {Uart("ttyS0"), Uart("ttyS1"), FTDI},
                "ttyS0",
                {{"VELORIX_COM1", "{root}/dev/ttyS0"}},
                "[Ports]\nCOM3={root}/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A5XK3RJT-if00-port0\n",
                {"COM1 /dev/ttyS0 VELORIX_COM1 serial refused: the system console", "COM2 /dev/ttyS1 automatic serial",
                 "COM3 /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A5XK3RJT-if00-port0 Velquor.ini [Ports] ftdi_sio"}},
        // The console under other names is known by its device number; a
        // settings file that is a device (a watchdog's) is not opened either.
        MapCase{"the_console_under_other_names_is_refused_by_device_number",
                {{.name = "ttyS0", .driver = "serial", .type = 4, .dev = "4:64"}, Uart("ttyS1")},
                "tty0 ttyS0",
                {},
                "[Ports]\nCOM1={root}/dev/console\nCOM2={root}/dev/serial0\nCOM3={root}/dev/vc5\n",
                {"COM1 /dev/console Velquor.ini [Ports] refused: the system console",
                 "COM2 /dev/serial0 Velquor.ini [Ports] refused: the system console",
                 "COM3 /dev/vc5 Velquor.ini [Ports] refused: the system console", "COM4 /dev/ttyS1 automatic serial",
                 "passed over ttyS0: the system console"},
                {{"/dev/console", 5, 1}, {"/dev/serial0", 4, 64}, {"/dev/vc5", 4, 5}, {"/dev/watchdog", 10, 130}}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velorix
