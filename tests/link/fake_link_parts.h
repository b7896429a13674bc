#pragma once

// A scripted serial line and a clock that only moves when the worker waits, so
// link tests run the whole time-out and repeat schedule in milliseconds and
// always the same way.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "link/clock.h"
#include "link/link_owner.h"
#include "link/serial_port.h"

namespace velorix::testing {

class FakeClock : public Clock {
 public:
  std::int64_t NowMs() override { return now_.load(); }
  void Set(std::int64_t ms) { now_.store(ms); }

 private:
  std::atomic<std::int64_t> now_{1000};
};

// Bytes the instrument sends some time after a write.
struct Chunk {
  int delayMs = 10;  // after the write that triggered it
  std::vector<std::uint8_t> bytes;
  std::uint32_t errors = 0;  // PortErrorFlag bits raised as the bytes arrive
};

// What sits behind one COM number.
struct FakeDevice {
  int echoFromAttempt = 1;  // probe attempt (1-based) from which it answers; 0 never
  std::vector<std::uint8_t> probeAnswer{0x01, 0x05, 0xFF, 0x05, 0x01};
  // replies[k]: what follows the k-th request write (repeats count); none: silent.
  std::vector<std::vector<Chunk>> replies;
  std::vector<Chunk> afterOpen = {};  // bytes still arriving once the port is open
};

struct WriteRecord {
  int port;
  int openIndex;  // which Open() call, counted from 0
  std::int64_t atMs;
  std::vector<std::uint8_t> bytes;
};

class FakeSerialPort : public SerialPort {
 public:
  // Once the clock reaches horizonMs, waits block for real until Wake(): the
  // worker then has nothing left to do and the test may look at what it did.
  FakeSerialPort(FakeClock& clock, std::map<int, FakeDevice> devices,
                 std::int64_t horizonMs = 120000);

  PortOpenResult Open(int portNumber) override;
  bool IsOpen() const override;
  void Configure() override {}
  void Purge() override;
  void ClearDtrRts() override {}
  PortStatus Poll() override;
  int Read(std::uint8_t* bytes, int count) override;
  int Write(const std::uint8_t* bytes, int count) override;
  void Close() override;
  void WaitForInput(int minBytes, int timeoutMs) override;
  void Wake() override;

  // Blocks until the worker sits idle at the horizon (false after 10 s).
  bool WaitUntilParked();

  // What happened; read these after CDeviceLink::Stop().
  std::vector<int> opened;              // every Open() call, by port number
  std::vector<WriteRecord> writes;      // every write that reached a device
  std::vector<std::int64_t> readTimes;  // when Read() returned bytes
  int closes = 0;

 private:
  struct Arrival {
    std::int64_t atMs;
    std::vector<std::uint8_t> bytes;
    std::uint32_t errors;
  };
  void Deliver();  // moves arrivals that are due into the input queue

  FakeClock& clock_;
  std::map<int, FakeDevice> devices_;
  std::int64_t horizonMs_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool woken_ = false;
  bool parked_ = false;
  int openPort_ = 0;  // 0: closed
  std::map<int, int> probes_, requests_;
  std::vector<Arrival> pending_;
  std::vector<std::uint8_t> input_;
  std::uint32_t errors_ = 0;
};

// Records every notice in order as one line each:
//   "S|text"  status       "F|01 05 ..."  frame ("F|" for no response)
//   "B|text|E" or "B|text|P"  message box (error icon or plain)
//   "T|port|outcome"  a port try
//   "C|on" or "C|off"  the wait cursor (only with recordCursor)
class RecordingOwner : public LinkOwner {
 public:
  void PostLinkFrame(std::vector<std::uint8_t> frame) override;
  void PostLinkStatus(std::string text) override;
  void PostMessageBox(std::string text, MessageBoxKind kind) override;
  void SetWaitCursor(bool on) override;
  void PortTried(int port, const std::string& device, const std::string& outcome) override;

  bool recordCursor = false;  // set before the link starts

  // Called on the worker thread, as the window would on its own thread.
  std::function<void(const std::vector<std::uint8_t>&)> onFrame;
  std::function<void()> onBox;  // e.g. close it at once

  std::vector<std::string> Events();
  std::vector<std::string> Events(char kind);  // only those of one kind
  bool WaitForEvent(const std::string& event, int timeoutMs = 10000);

 private:
  void Add(std::string event);
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> events_;
};

std::string Hex(const std::vector<std::uint8_t>& bytes);
// 01 L code payload sumLo sumHi
std::vector<std::uint8_t> Frame(std::uint8_t code, std::vector<std::uint8_t> payload = {});

}  // namespace velorix::testing
