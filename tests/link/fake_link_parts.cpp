#include "fake_link_parts.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "link/frame_codec.h"

namespace velorix::testing {

FakeSerialPort::FakeSerialPort(FakeClock& clock, std::map<int, FakeDevice> devices,
                               std::int64_t horizonMs)
    : clock_(clock), devices_(std::move(devices)), horizonMs_(horizonMs) {}

PortOpenResult FakeSerialPort::Open(int portNumber) {
  std::lock_guard lock(mutex_);
  opened.push_back(portNumber);
  const std::string device = "fake:COM" + std::to_string(portNumber);
  if (!devices_.count(portNumber)) return {false, device, "missing"};
  openPort_ = portNumber;
  pending_.clear();
  input_.clear();
  errors_ = 0;
  for (const Chunk& chunk : devices_[portNumber].afterOpen)
    pending_.push_back({clock_.NowMs() + chunk.delayMs, chunk.bytes, chunk.errors});
  return {true, device, "ok"};
}

bool FakeSerialPort::IsOpen() const {
  std::lock_guard lock(mutex_);
  return openPort_ != 0;
}

void FakeSerialPort::Deliver() {
  const std::int64_t now = clock_.NowMs();
  std::stable_sort(pending_.begin(), pending_.end(),
                   [](const Arrival& a, const Arrival& b) { return a.atMs < b.atMs; });
  while (!pending_.empty() && pending_.front().atMs <= now) {
    input_.insert(input_.end(), pending_.front().bytes.begin(), pending_.front().bytes.end());
    errors_ |= pending_.front().errors;
    pending_.erase(pending_.begin());
  }
}

void FakeSerialPort::Purge() {
  std::lock_guard lock(mutex_);
  Deliver();
  input_.clear();
}

PortStatus FakeSerialPort::Poll() {
  std::lock_guard lock(mutex_);
  Deliver();
  PortStatus status{errors_, static_cast<int>(input_.size()), openPort_ == 0};
  errors_ = 0;
  return status;
}

int FakeSerialPort::Read(std::uint8_t* bytes, int count) {
  std::lock_guard lock(mutex_);
  Deliver();
  const int n = std::min(count, static_cast<int>(input_.size()));
  std::copy_n(input_.begin(), n, bytes);
  input_.erase(input_.begin(), input_.begin() + n);
  if (n > 0) readTimes.push_back(clock_.NowMs());
  return n;
}

int FakeSerialPort::Write(const std::uint8_t* bytes, int count) {
  std::lock_guard lock(mutex_);
  if (openPort_ == 0) return 0;
  const std::int64_t now = clock_.NowMs();
  std::vector<std::uint8_t> written(bytes, bytes + count);
  writes.push_back({openPort_, static_cast<int>(opened.size()) - 1, now, written});
  FakeDevice& device = devices_[openPort_];
  const std::vector<Chunk>* answer = nullptr;
  std::vector<Chunk> echo;
  if (std::equal(written.begin(), written.end(), PROBE_FRAME.begin(), PROBE_FRAME.end())) {
    const int attempt = ++probes_[openPort_];
    if (device.echoFromAttempt > 0 && attempt >= device.echoFromAttempt) {
      echo.push_back({10, device.probeAnswer, 0});
      answer = &echo;
    }
  } else {
    const int k = requests_[openPort_]++;
    if (k < static_cast<int>(device.replies.size())) answer = &device.replies[k];
  }
  if (answer)
    for (const Chunk& chunk : *answer) pending_.push_back({now + chunk.delayMs, chunk.bytes, chunk.errors});
  return count;
}

void FakeSerialPort::Close() {
  std::lock_guard lock(mutex_);
  if (openPort_ != 0) ++closes;
  openPort_ = 0;
  pending_.clear();
  input_.clear();
}

void FakeSerialPort::WaitForInput(int minBytes, int timeoutMs) {
  std::unique_lock lock(mutex_);
  if (woken_) {
    woken_ = false;
    return;
  }
  Deliver();
  if (static_cast<int>(input_.size()) >= minBytes) return;
  const std::int64_t now = clock_.NowMs();
  if (now >= horizonMs_) {
    parked_ = true;
    cv_.notify_all();
    cv_.wait(lock, [this] { return woken_; });
    woken_ = false;
    parked_ = false;
    return;
  }
  std::int64_t until = now + timeoutMs;
  for (const Arrival& a : pending_) until = std::min(until, std::max(a.atMs, now));
  clock_.Set(until);
}

void FakeSerialPort::Wake() {
  std::lock_guard lock(mutex_);
  woken_ = true;
  cv_.notify_all();
}

bool FakeSerialPort::WaitUntilParked() {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, std::chrono::seconds(10), [this] { return parked_; });
}

void RecordingOwner::Add(std::string event) {
  {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
  }
  cv_.notify_all();
}

void RecordingOwner::PostLinkFrame(std::vector<std::uint8_t> frame) {
  Add("F|" + Hex(frame));
  if (onFrame) onFrame(frame);
}

void RecordingOwner::PostLinkStatus(std::string text) { Add("S|" + text); }

void RecordingOwner::PostMessageBox(std::string text, MessageBoxKind kind) {
  Add("B|" + text + (kind == MessageBoxKind::Error ? "|E" : "|P"));
  if (onBox) onBox();
}

void RecordingOwner::SetWaitCursor(bool on) {
  if (recordCursor) Add(on ? "C|on" : "C|off");
}

void RecordingOwner::PortTried(int port, const std::string&, const std::string& outcome) {
  Add("T|" + std::to_string(port) + "|" + outcome);
}

std::vector<std::string> RecordingOwner::Events() {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<std::string> RecordingOwner::Events(char kind) {
  std::vector<std::string> out;
  for (const std::string& e : Events())
    if (e[0] == kind) out.push_back(e);
  return out;
}

bool RecordingOwner::WaitForEvent(const std::string& event, int timeoutMs) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return std::find(events_.begin(), events_.end(), event) != events_.end();
  });
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  char two[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(two, sizeof two, "%02X", bytes[i]);
    if (i) out += ' ';
    out += two;
  }
  return out;
}

std::vector<std::uint8_t> Frame(std::uint8_t code, std::vector<std::uint8_t> payload) {
  std::vector<std::uint8_t> frame{FRAME_START, static_cast<std::uint8_t>(payload.size() + 5), code};
  frame.insert(frame.end(), payload.begin(), payload.end());
  frame.resize(frame.size() + 2);
  AppendChecksum(frame.data(), static_cast<int>(frame.size()) - 2);
  return frame;
}

}  // namespace velorix::testing
