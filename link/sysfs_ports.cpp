#include "link/sysfs_ports.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace velorix {
namespace {

namespace fs = std::filesystem;

std::string ReadAttribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\n' || line.back() == ' ' || line.back() == '\r')) line.pop_back();
  return line;
}

std::string LinkBaseName(const fs::path& link) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(link, ec);
  return ec ? std::string() : target.filename().string();
}

bool StartsWithDigits(const std::string& name, std::size_t prefix) {
  return name.size() > prefix && name.find_first_not_of("0123456789", prefix) == std::string::npos;
}

FoundPort::Kind KindOf(const std::string& name) {
  if (name.rfind("ttyUSB", 0) == 0) return FoundPort::UsbAdapter;
  if (name.rfind("ttyACM", 0) == 0) return FoundPort::AcmAdapter;
  if (name.rfind("ttyS", 0) == 0 && StartsWithDigits(name, 4)) return FoundPort::Uart;
  return FoundPort::Other;
}

// Newer kernels put a serial-base "port" device (and its "ctrl" parent)
// between the tty and the hardware; the driver that matters is the one of
// the first device above them.
std::string DriverOf(fs::path device) {
  for (int level = 0; level < 4 && !device.empty(); ++level) {
    if (LinkBaseName(device / "subsystem") != "serial-base") return LinkBaseName(device / "driver");
    device = device.parent_path();
  }
  return {};
}

// The USB device a port hangs off: the nearest directory above it with a
// vendor and product id.
void ReadUsbIdentity(fs::path device, const fs::path& sysRoot, FoundPort& port) {
  for (int level = 0; level < 6 && !device.empty() && device != sysRoot; ++level) {
    std::error_code ec;
    if (fs::exists(device / "idVendor", ec) && fs::exists(device / "idProduct", ec)) {
      port.usbId = ReadAttribute(device / "idVendor") + ":" + ReadAttribute(device / "idProduct");
      port.manufacturer = ReadAttribute(device / "manufacturer");
      port.product = ReadAttribute(device / "product");
      port.serial = ReadAttribute(device / "serial");
      return;
    }
    device = device.parent_path();
  }
}

// "4:64" -> the device number; 0 (no device) when it reads otherwise.
dev_t DeviceNumber(const std::string& text) {
  unsigned major = 0, minor = 0;
  const char* end = text.data() + text.size();
  const auto colon = text.find(':');
  if (colon == std::string::npos) return 0;
  const auto a = std::from_chars(text.data(), text.data() + colon, major);
  const auto b = std::from_chars(text.data() + colon + 1, end, minor);
  if (a.ec != std::errc() || b.ec != std::errc() || b.ptr != end) return 0;
  return ::makedev(major, minor);
}

std::vector<std::string> ConsoleNames(const fs::path& sysRoot) {
  std::istringstream words(ReadAttribute(sysRoot / "class/tty/console/active"));
  std::vector<std::string> names;
  for (std::string word; words >> word;) names.push_back(word);
  return names;
}

// Kernel name -> the first (by name) by-id link that leads to it.
std::map<std::string, std::string> ByIdLinks(const fs::path& devRoot) {
  std::map<std::string, std::string> links;
  std::error_code ec;
  for (fs::directory_iterator it(devRoot / "serial/by-id", ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code linkEc;
    if (!it->is_symlink(linkEc)) continue;
    const fs::path target = fs::canonical(it->path(), linkEc);
    if (linkEc) continue;
    const std::string name = target.filename().string();
    const std::string link = it->path().string();
    auto [slot, added] = links.emplace(name, link);
    if (!added && link < slot->second) slot->second = link;
  }
  return links;
}

std::string GroupName(gid_t gid) {
  std::vector<char> buffer(1024);
  for (;;) {
    group entry{};
    group* result = nullptr;
    const int error = ::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &result);
    if (error == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error == 0 && result != nullptr) return result->gr_name;
    return std::to_string(gid);
  }
}

// Whether this process may read and write the node, judged from its owner,
// group and mode (and the process's capabilities), without opening it.
void ReadAccess(FoundPort& port) {
  struct stat st {};
  if (::stat(port.node.c_str(), &st) != 0) {
    port.access = FoundPort::NoNode;
    return;
  }
  if (::faccessat(AT_FDCWD, port.node.c_str(), R_OK | W_OK, AT_EACCESS) == 0) return;
  if (errno != EACCES && errno != EPERM) return;  // let the open tell
  port.access = FoundPort::PermissionDenied;
  // Joining the node's group helps only when the group may read and write.
  if ((st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) port.group = GroupName(st.st_gid);
}

}  // namespace

std::string CanonicalPath(const std::string& path) {
  std::error_code ec;
  const fs::path canonical = fs::canonical(path, ec);
  return ec ? path : canonical.string();
}

std::vector<FoundPort> FindSerialPorts(const SystemRoots& roots) {
  const fs::path sysRoot = CanonicalPath(roots.sys);
  const fs::path devRoot = CanonicalPath(roots.dev);
  const std::vector<std::string> consoles = ConsoleNames(sysRoot);
  const std::map<std::string, std::string> byId = ByIdLinks(devRoot);

  std::vector<FoundPort> ports;
  std::error_code ec;
  for (fs::directory_iterator it(sysRoot / "class/tty", ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code entryEc;
    const fs::path device = fs::canonical(it->path() / "device", entryEc);
    if (entryEc) continue;  // no hardware behind it

    FoundPort port;
    port.name = it->path().filename().string();
    port.kind = KindOf(port.name);
    port.node = (devRoot / port.name).string();
    if (auto link = byId.find(port.name); link != byId.end()) port.byIdLink = link->second;
    port.driver = DriverOf(device);
    if (fs::exists(it->path() / "type", entryEc)) {
      const std::string text = ReadAttribute(it->path() / "type");
      int type = 0;
      auto [endPtr, parseError] = std::from_chars(text.data(), text.data() + text.size(), type);
      if (parseError == std::errc() && endPtr != text.data()) port.uartType = type;
    }
    ReadUsbIdentity(device, sysRoot, port);
    for (const std::string& name : consoles)
      if (name == port.name) port.console = true;
    ReadAccess(port);
    ports.push_back(std::move(port));
  }
  return ports;
}

SystemRoots SystemRootsFromEnvironment() {
  SystemRoots roots;
  if (const char* sys = std::getenv("VELORIX_SYSFS_ROOT"); sys && *sys) roots.sys = sys;
  if (const char* dev = std::getenv("VELORIX_DEV_ROOT"); dev && *dev) roots.dev = dev;
  return roots;
}

bool IsConsoleDevice(unsigned long device, const std::string& sysRoot) {
  const unsigned major = ::major(device), minor = ::minor(device);
  if (major == 5 && minor <= 1) return true;
  if (major == 4 && minor < 64) return true;
  for (const std::string& name : ConsoleNames(sysRoot))
    if (DeviceNumber(ReadAttribute(fs::path(sysRoot) / "class/tty" / name / "dev")) == device) return true;
  return false;
}

std::string ConsoleRefusal(const std::string& path, const std::string& sysRoot) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return {};
  return IsConsoleDevice(st.st_rdev, sysRoot) ? CONSOLE_REFUSAL_TEXT : std::string();
}

}  // namespace velorix
