#include "link/port_map.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <tuple>

namespace velorix {
namespace {

// "ttyUSB10" sorts after "ttyUSB2": the trailing number counts as a number.
struct NaturalName {
  std::string stem;
  long number = -1;
  std::string whole;

  explicit NaturalName(const std::string& name) : whole(name) {
    std::size_t digits = name.size();
    while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') --digits;
    stem = name.substr(0, digits);
    if (digits < name.size() && name.size() - digits < 10)
      std::from_chars(name.data() + digits, name.data() + name.size(), number);
  }
  bool operator<(const NaturalName& other) const {
    return std::tie(stem, number, whole) < std::tie(other.stem, other.number, other.whole);
  }
};

int KindRank(FoundPort::Kind kind) {
  switch (kind) {
    case FoundPort::UsbAdapter:
    case FoundPort::AcmAdapter:
      return 0;
    case FoundPort::Uart:
      return 1;
    case FoundPort::Other:
      break;
  }
  return 2;
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Adapters with a by-id name rank by it: it carries the adapter's serial
// number, so the order does not depend on which one was plugged in first.
bool Ranks(const FoundPort& a, const FoundPort& b) {
  const int ra = KindRank(a.kind), rb = KindRank(b.kind);
  if (ra != rb) return ra < rb;
  if (ra == 0) {
    const bool aById = !a.byIdLink.empty(), bById = !b.byIdLink.empty();
    if (aById != bById) return aById;
    if (aById) return BaseName(a.byIdLink) < BaseName(b.byIdLink);
  }
  return NaturalName(a.name) < NaturalName(b.name);
}

std::string SkipReason(const FoundPort& port) {
  if (port.console) return CONSOLE_REFUSAL_TEXT;
  if (port.uartType && *port.uartType == 0) return "no UART behind the device (type 0)";
  switch (port.access) {
    case FoundPort::NoNode:
      return "no device node " + port.node;
    case FoundPort::PermissionDenied:
      if (port.group.empty()) return "permission denied";
      return "permission denied (add the user to the group '" + port.group + "': sudo usermod -aG " +
             port.group + " $USER, then log in again)";
    case FoundPort::Usable:
      break;
  }
  return {};
}

}  // namespace

const MappedPort* PortMap::Find(int number) const {
  for (const MappedPort& port : ports)
    if (port.number == number) return &port;
  return nullptr;
}

PortMap MapPorts(const std::vector<PortPin>& pins, std::vector<FoundPort> found) {
  std::stable_sort(found.begin(), found.end(), Ranks);
  std::vector<bool> taken(found.size(), false);
  std::map<int, MappedPort> byNumber;

  for (const PortPin& pin : pins) {
    if (pin.number < 1 || byNumber.count(pin.number) != 0) continue;
    MappedPort mapped{pin.number, pin.device, pin.source, std::nullopt, {}};
    for (std::size_t i = 0; i < found.size(); ++i) {
      if (taken[i] || found[i].node != pin.canonical) continue;
      taken[i] = true;
      mapped.found = found[i];
      // Probe frames on the console would land among the kernel's messages
      // and the login prompt, whoever asked for it.
      if (found[i].console) mapped.refusal = CONSOLE_REFUSAL_TEXT;
      break;
    }
    byNumber.emplace(pin.number, std::move(mapped));
  }

  PortMap map;
  int next = 1;
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (taken[i]) continue;
    if (std::string reason = SkipReason(found[i]); !reason.empty()) {
      map.skipped.push_back({found[i], std::move(reason)});
      continue;
    }
    while (byNumber.count(next) != 0) ++next;
    const std::string device = found[i].byIdLink.empty() ? found[i].node : found[i].byIdLink;
    byNumber.emplace(next, MappedPort{next, device, PortSource::Automatic, found[i], {}});
  }
  for (auto& [number, port] : byNumber) map.ports.push_back(std::move(port));
  return map;
}

std::string UartTypeName(int type) {
  static const char* const names[] = {"unknown", "8250",   "16450",     "16550",  "16550A",
                                      "Cirrus",  "16650",  "16650V2",   "16750",  "Startech",
                                      "16C950",  "16654",  "16850",     "RSA",    "NS16550A",
                                      "XScale"};
  if (type >= 0 && type < static_cast<int>(sizeof names / sizeof names[0])) return names[type];
  return "type " + std::to_string(type);
}

}  // namespace velorix
