#include "link/win32_ports.h"

// clang-format off
#include <windows.h>
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>
// clang-format on

#include <algorithm>
#include <cctype>
#include <cwctype>

#include "fileio/wide_text.h"

namespace velorix {
namespace {

int ComNumber(const std::string& name) {
  if (name.size() < 4 || name.compare(0, 3, "COM") != 0) return 0;
  int number = 0;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9' || number > 1000) return 0;
    number = number * 10 + (name[i] - '0');
  }
  return number;
}

std::wstring RegistryText(HKEY key, const wchar_t* value) {
  DWORD type = 0, size = 0;
  if (::RegQueryValueExW(key, value, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ) return {};
  std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
  if (::RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) != ERROR_SUCCESS)
    return {};
  text.resize(std::wcslen(text.c_str()));
  return text;
}

// The COM names of the system's serial-port map.
std::vector<std::string> MappedComNames() {
  std::vector<std::string> names;
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return names;
  for (DWORD index = 0;; ++index) {
    wchar_t valueName[256];
    DWORD nameLength = 256, type = 0, size = 0;
    BYTE data[512];
    size = sizeof data;
    const LONG status = ::RegEnumValueW(key, index, valueName, &nameLength, nullptr, &type, data, &size);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS || type != REG_SZ) continue;
    std::wstring com(reinterpret_cast<const wchar_t*>(data), size / sizeof(wchar_t));
    com.resize(std::wcslen(com.c_str()));
    names.push_back(Utf8FromWide(com));
  }
  ::RegCloseKey(key);
  return names;
}

std::string DeviceText(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property) {
  DWORD type = 0, size = 0;
  ::SetupDiGetDeviceRegistryPropertyW(devices, &device, property, &type, nullptr, 0, &size);
  if (size == 0) return {};
  std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
  if (!::SetupDiGetDeviceRegistryPropertyW(devices, &device, property, &type, reinterpret_cast<BYTE*>(text.data()),
                                           size, nullptr))
    return {};
  text.resize(std::wcslen(text.c_str()));  // a list keeps its first entry
  return Utf8FromWide(text);
}

// What the device manager says of each port, by COM name.
void DescribeFromDeviceManager(std::vector<FoundPort>& ports) {
  HDEVINFO devices = ::SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD index = 0; ::SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
    HKEY key = ::SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    const std::string name = Utf8FromWide(RegistryText(key, L"PortName"));
    ::RegCloseKey(key);
    auto port = std::find_if(ports.begin(), ports.end(), [&](const FoundPort& p) { return p.name == name; });
    if (port == ports.end()) continue;
    port->product = DeviceText(devices, device, SPDRP_FRIENDLYNAME);
    port->manufacturer = DeviceText(devices, device, SPDRP_MFG);
    port->driver = DeviceText(devices, device, SPDRP_SERVICE);
    const std::string hardwareId = DeviceText(devices, device, SPDRP_HARDWAREID);
    port->usbId = UsbIdOfHardwareId(hardwareId);
    if (!port->usbId.empty()) port->kind = FoundPort::UsbAdapter;
  }
  ::SetupDiDestroyDeviceInfoList(devices);
}

}  // namespace

std::string UsbIdOfHardwareId(std::string_view id) {
  const auto hexAfter = [id](std::string_view tag) -> std::string {
    std::string upper(id);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::size_t at = upper.find(tag);
    if (at == std::string::npos || at + tag.size() + 4 > upper.size()) return {};
    std::string hex = upper.substr(at + tag.size(), 4);
    if (!std::all_of(hex.begin(), hex.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
      return {};
    for (char& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return hex;
  };
  const std::string vendor = hexAfter("VID_");
  const std::string product = hexAfter("PID_");
  return vendor.empty() || product.empty() ? std::string() : vendor + ":" + product;
}

std::vector<FoundPort> FindWindowsSerialPorts() {
  std::vector<FoundPort> ports;
  for (const std::string& name : MappedComNames()) {
    if (ComNumber(name) == 0) continue;
    FoundPort port;
    port.name = name;
    port.node = "\\\\.\\" + name;
    port.kind = FoundPort::Other;
    ports.push_back(std::move(port));
  }
  std::sort(ports.begin(), ports.end(),
            [](const FoundPort& a, const FoundPort& b) { return ComNumber(a.name) < ComNumber(b.name); });
  DescribeFromDeviceManager(ports);
  return ports;
}

}  // namespace velorix
