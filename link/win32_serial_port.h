#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "link/serial_port.h"

namespace velorix {

// A serial line on Win32. COM n opens as "\\.\COMn" (the only form that
// reaches COM10 and above), exclusively; the port's own settings and
// time-outs come back at close. Waiting for input is an overlapped read of
// the next byte, waited for together with a wake-up event, so nothing polls
// and a stop is answered at once. A failed ClearCommError, or a transfer that
// fails as a removed USB port's do, is reported by Poll as a hang-up.
class Win32SerialPort : public SerialPort {
 public:
  explicit Win32SerialPort(PortDeviceResolver resolver = EnvironmentPortDevice);
  ~Win32SerialPort() override;
  Win32SerialPort(const Win32SerialPort&) = delete;
  Win32SerialPort& operator=(const Win32SerialPort&) = delete;

  PortOpenResult Open(int portNumber) override;
  // Opens a port by name ("COM3", "\\.\COM3"); Open(n) ends here.
  PortOpenResult OpenName(const std::string& name);
  bool IsOpen() const override;
  void Configure() override;
  void Purge() override;
  void ClearDtrRts() override;
  PortStatus Poll() override;
  int Read(std::uint8_t* bytes, int count) override;
  int Write(const std::uint8_t* bytes, int count) override;
  void Close() override;
  void WaitForInput(int minBytes, int timeoutMs) override;
  void Wake() override;

 private:
  struct Handles;
  std::unique_ptr<Handles> h_;
};

// "COM3" -> "\\.\COM3"; other names as they are.
std::string Win32PortFileName(const std::string& name);

}  // namespace velorix
