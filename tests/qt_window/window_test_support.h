#pragma once

// Helpers for tests that drive the real window on the offscreen platform.

#include <QCoreApplication>
#include <QElapsedTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/clock.h"
#include "link/device_link.h"
#include "link/serial_port.h"

namespace velorix::testing {

// Runs the event loop until `done` holds or `timeoutMs` has passed.
inline bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// A machine without serial ports: every open fails as missing. Counts opens.
class AbsentPort : public SerialPort {
 public:
  explicit AbsentPort(std::shared_ptr<std::atomic<int>> opens) : opens_(std::move(opens)) {}
  PortOpenResult Open(int portNumber) override {
    ++*opens_;
    return {false, "/dev/absent" + std::to_string(portNumber), "missing"};
  }
  bool IsOpen() const override { return false; }
  void Configure() override {}
  void Purge() override {}
  void ClearDtrRts() override {}
  PortStatus Poll() override { return {}; }
  int Read(std::uint8_t*, int) override { return 0; }
  int Write(const std::uint8_t*, int) override { return 0; }
  void Close() override {}
  void WaitForInput(int, int) override {}
  void Wake() override {}

 private:
  std::shared_ptr<std::atomic<int>> opens_;
};

// A link over AbsentPort; `opens` counts the port tries it makes.
inline std::unique_ptr<CDeviceLink> MakeAbsentLink(const std::shared_ptr<std::atomic<int>>& opens) {
  static SteadyClock clock;
  return std::make_unique<CDeviceLink>([opens] { return std::make_unique<AbsentPort>(opens); }, clock);
}

}  // namespace velorix::testing
