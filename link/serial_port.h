#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace velorix {

// What COM n opens: a device path (empty: none), or why it is not opened.
struct PortDevice {
  std::string path;
  std::string refusal;
};
using PortDeviceResolver = std::function<PortDevice(int portNumber)>;

// $VELORIX_COM<n> when set and not empty; otherwise no device on POSIX (the
// program itself adds the settings file and the machine's own ports, see the
// shell), and on Windows the port COM n itself.
PortDevice EnvironmentPortDevice(int portNumber);

class SerialPort;
// The serial port of the system the program runs on.
std::unique_ptr<SerialPort> MakeSystemSerialPort(PortDeviceResolver resolver = EnvironmentPortDevice);

// Line-error flags reported by SerialPort::Poll, each cleared once reported.
enum PortErrorFlag : std::uint32_t {
  PORT_RXOVER = 0x01,    // the input queue overflowed
  PORT_OVERRUN = 0x02,   // a character was lost in the receiver (overrun)
  PORT_RXPARITY = 0x04,  // parity error
  PORT_FRAME = 0x08,     // framing error
};

struct PortOpenResult {
  bool opened = false;
  std::string device;   // the device path tried ("" when the number names none)
  std::string outcome;  // "ok", "missing", "permission denied", "busy", ...
};

struct PortStatus {
  std::uint32_t errors = 0;  // PortErrorFlag bits raised since the last poll
  int waiting = 0;           // bytes received and not yet read
  bool hungUp = false;       // the device has gone (adapter pulled, peer closed)
};

// One serial port, opened and closed again as often as the port scan needs.
// Every operation except Wake() is called from the link's worker only; Wake()
// may be called from any thread, also while the port is closed.
class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Opens COM portNumber for exclusive use, closing whatever was open before.
  virtual PortOpenResult Open(int portNumber) = 0;
  virtual bool IsOpen() const = 0;
  // 9600 baud, 8 data bits, no parity, two stop bits, no flow control, raw.
  // Failures are not reported: a port that opens is used as it is.
  virtual void Configure() = 0;
  // Throws away both queues and whatever is being sent or received.
  virtual void Purge() = 0;
  // Drives DTR and then RTS inactive.
  virtual void ClearDtrRts() = 0;
  virtual PortStatus Poll() = 0;
  // Reads at most count bytes that are already waiting; returns how many.
  virtual int Read(std::uint8_t* bytes, int count) = 0;
  // Writes the bytes; returns how many were written (0 on failure).
  virtual int Write(const std::uint8_t* bytes, int count) = 0;
  virtual void Close() = 0;

  // Waits at most timeoutMs until at least minBytes are waiting, or Wake() is
  // called. A port that has hung up counts as silent: the wait then runs its
  // full time (or until Wake()), it never returns at once over and over.
  virtual void WaitForInput(int minBytes, int timeoutMs) = 0;
  // Ends the current wait, or the next one if none is under way.
  virtual void Wake() = 0;
};

using SerialPortFactory = std::function<std::unique_ptr<SerialPort>()>;

}  // namespace velorix
