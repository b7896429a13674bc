#pragma once

#include <cstdint>
#include <string>

#include "link/serial_port.h"

namespace velorix {

// A serial line on termios. The open is exclusive (TIOCEXCL plus a
// non-blocking flock), so a second program cannot share the port; a port
// another program holds either way is busy, also for root. Where the driver
// takes it, the port runs in low-latency mode while open (an FTDI adapter
// then passes received bytes on after 1 ms instead of 16 ms); its previous
// setting comes back on close. A read or write that finds the device gone
// (EIO, ENODEV, ENXIO) makes the next Poll report a hang-up.
class PosixSerialPort : public SerialPort {
 public:
  explicit PosixSerialPort(PortDeviceResolver resolver = EnvironmentPortDevice);
  ~PosixSerialPort() override;
  PosixSerialPort(const PosixSerialPort&) = delete;
  PosixSerialPort& operator=(const PosixSerialPort&) = delete;

  PortOpenResult Open(int portNumber) override;
  // Opens a device by path; Open(n) ends here with the resolver's path.
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
  void NoteFailure(int error);
  void DrainWakeups();
  void SetLowLatency();
  void RestoreLowLatency();

  PortDeviceResolver resolver_;
  int fd_ = -1;
  bool lowLatencySet_ = false;  // we turned it on; it was off before
  bool exclusiveSet_ = false;   // the exclusive flag is ours to clear
  bool gone_ = false;           // a read or write said the device has gone
  int wakeFd_ = -1;  // eventfd written by Wake()
  bool haveCounts_ = false;
  ErrorCounts lastCounts_;
};

}  // namespace velorix
