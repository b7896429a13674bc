#pragma once

#include <cstdint>
#include <string>

#include "link/serial_port.h"

namespace velorix {

// The device behind COM portNumber: $VELORIX_COM<n> when set and not empty,
// otherwise /dev/ttyS<n-1>. Numbers below 1 name no device ("").
std::string SerialDevicePath(int portNumber);

// A serial line on termios. The open is exclusive (TIOCEXCL plus a
// non-blocking flock), so a second program cannot share the port.
class PosixSerialPort : public SerialPort {
 public:
  PosixSerialPort();
  ~PosixSerialPort() override;
  PosixSerialPort(const PosixSerialPort&) = delete;
  PosixSerialPort& operator=(const PosixSerialPort&) = delete;

  PortOpenResult Open(int portNumber) override;
  // Opens a device by path; Open(n) ends here with SerialDevicePath(n).
  PortOpenResult OpenPath(const std::string& device);
  bool IsOpen() const override { return fd_ >= 0; }
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
  struct ErrorCounts {
    int overrun = 0, bufOverrun = 0, parity = 0, frame = 0;
  };
  bool ReadErrorCounts(ErrorCounts& counts) const;
  bool HungUp() const;
  void DrainWakeups();

  int fd_ = -1;
  int wakeFd_ = -1;  // eventfd written by Wake()
  bool haveCounts_ = false;
  ErrorCounts lastCounts_;
};

}  // namespace velorix
