// The link's worker fed arbitrary byte streams, in arbitrary pieces, on a
// scripted serial port with a clock that moves only when the worker waits:
// every time-out passes at once, and each input ends after a bounded span
// of simulated time.
//
// Input layout:
//   byte 0   bits 0-2  port of the instrument: 0 none, 1..4 COM1..COM4, 5..7 COM2
//            bit 3     a request is placed before the link starts
//            bit 4     the owner places the next request on each accepted frame
//            bit 5     the owner places a request after the no-response notice
//            bits 6-7  3: the instrument answers the probe with wrong bytes
//   then events, each on the simulated time line after the one before, from
//   the moment the instrument was found:
//     op & 3 == 0  bytes:       delay, count, the bytes
//     op & 3 == 1  bytes with line-error flags (op >> 2): delay, count, the bytes
//     op & 3 == 2  a press:     delay; request kind op >> 2 (a record index follows for reads)
//     op & 3 == 3  a good frame: delay, payload count, code, payload; sent
//                  in (op >> 2) % 4 + 1 pieces, each after a delay byte
//   delay byte d: d ms for d < 128, else (d - 128) * 32 ms (up to about 4 s);
//   count byte c: c bytes, or 139 + c with op bit 7 (more than a frame can hold).
//
// Properties:
//  - every frame reported to the owner passes CheckFrame, is at most 138
//    bytes, and is a run of the bytes read since the last write, frame or
//    time-out that the latest read completed;
//  - a frame is reported only while a request waits and carries its code;
//    nothing read before the request's last write is part of it;
//  - " Response OK." follows each frame at once; "!!! No Response." comes only
//    after the fourth repeat, more than the reply time-out after the last
//    write and at most one idle wait later than that after the last read,
//    and the empty frame follows it at once;
//  - every write in service is the request placed last; " Waiting response."
//    follows a new request's write, " Repeat k. Waiting response." the k-th
//    repeat (k = 1..4), written more than the time-out after the write before
//    and at most the time-out and one idle wait after the last read or write
//    (noise read meanwhile does not put it off);
//  - the link's state, as the owner sees it between passes, is the one the
//    notices so far imply; only the known status texts and boxes appear, the
//    error boxes exactly when the port reported such an error with bytes
//    waiting;
//  - at the end of the input nothing is left awaiting an answer: the worker
//    settles (it does not spin or hang) within a bounded simulated time.

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "link/device_link.h"
#include "link/frame_codec.h"
#include "link/fake_link_parts.h"

namespace {

using velorix::CDeviceLink;
using velorix::LinkState;
using velorix::fuzz::InputReader;
using velorix::testing::FakeClock;
using Bytes = std::vector<std::uint8_t>;

constexpr int TIMEOUT_MS = velorix::REPLY_TIMEOUT_MS;
constexpr int IDLE_WAIT_MS = 100;      // the worker's longest sleep between passes
constexpr int MAX_FRAME_BYTES = 138;
constexpr std::int64_t SETTLE_MS = 5 * (TIMEOUT_MS + IDLE_WAIT_MS) + 2000;
constexpr int SPIN_LIMIT = 20000;      // passes in a row without time passing or bytes read

const char* const NOT_CONNECTED_BOX =
    "     Device do't connected to computer,\n"
    "         or device do't powered, \n"
    "   or computer do't have the communication ports !!!";

struct Event {
  std::int64_t atMs = 0;  // relative to the moment the instrument was found
  Bytes bytes;
  std::uint32_t errors = 0;
  int press = -1;  // request kind to place, or -1 for bytes
  std::uint16_t index = 0;
};

struct Script {
  int devicePort = 2;
  bool earlyRequest = false;
  bool answerFrames = false;
  bool answerNoResponse = false;
  bool wrongEcho = false;
  std::vector<Event> events;
};

std::int64_t Delay(std::uint8_t d) { return d < 128 ? d : (d - 128) * 32; }

Script ReadScript(InputReader& in) {
  Script s;
  const std::uint8_t config = in.Byte();
  const int port = config & 7;
  s.devicePort = port == 0 ? 0 : (port <= 4 ? port : 2);
  s.earlyRequest = config & 0x08;
  s.answerFrames = config & 0x10;
  s.answerNoResponse = config & 0x20;
  s.wrongEcho = (config >> 6) == 3;
  std::int64_t t = 0;
  while (!in.Empty() && s.events.size() < 200) {
    const std::uint8_t op = in.Byte();
    t += Delay(in.Byte());
    switch (op & 3) {
      case 0:
      case 1: {
        Event e;
        e.atMs = t;
        const std::size_t count = in.Byte() + ((op & 0x80) ? MAX_FRAME_BYTES + 1 : 0);
        e.bytes = in.Bytes(count);
        if ((op & 3) == 1) e.errors = (op >> 2) & 0x0F;
        s.events.push_back(std::move(e));
        break;
      }
      case 2: {
        Event e;
        e.atMs = t;
        e.press = (op >> 2) & 3;
        if (e.press == 0) e.index = in.Word();
        s.events.push_back(std::move(e));
        break;
      }
      case 3: {
        const std::size_t payload = in.Byte() % (MAX_FRAME_BYTES - 4);
        Bytes frame(payload + 5, 0);
        frame[0] = velorix::FRAME_START;
        frame[1] = static_cast<std::uint8_t>(frame.size());
        frame[2] = in.Byte();
        const Bytes body = in.Bytes(payload);
        std::copy(body.begin(), body.end(), frame.begin() + 3);
        velorix::AppendChecksum(frame.data(), static_cast<int>(frame.size()) - 2);
        const int pieces = (op >> 2) % 4 + 1;
        std::size_t from = 0;
        for (int p = 0; p < pieces; ++p) {
          const std::size_t to = p == pieces - 1 ? frame.size() : std::min(frame.size(), from + in.Byte() % 16);
          if (p > 0) t += Delay(in.Byte());
          Event e;
          e.atMs = t;
          e.bytes.assign(frame.begin() + static_cast<std::ptrdiff_t>(from), frame.begin() + static_cast<std::ptrdiff_t>(to));
          s.events.push_back(std::move(e));
          from = to;
        }
        break;
      }
    }
  }
  return s;
}

// The four requests the program places; kind 0 reads a record.
Bytes Request(int kind, std::uint16_t index) {
  Bytes frame;
  switch (kind) {
    case 0: frame = {0x01, 0x07, velorix::CMD_READ_RECORD, static_cast<std::uint8_t>(index & 0xFF),
                     static_cast<std::uint8_t>(index >> 8), 0, 0}; break;
    case 1: frame = {0x01, 0x05, velorix::CMD_ARCHIVE_POINTER, 0, 0}; break;
    case 2: frame = {0x01, 0x05, velorix::CMD_EMPTY_CELLS, 0, 0}; break;
    default: frame = {0x01, 0x05, velorix::CMD_END, 0, 0}; break;
  }
  velorix::AppendChecksum(frame.data(), static_cast<int>(frame.size()) - 2);
  return frame;
}

// VELORIX_FUZZ_TRACE=1 prints every notice with its simulated time, to
// follow what one input does.
bool Tracing() {
  static const bool on = std::getenv("VELORIX_FUZZ_TRACE") != nullptr;
  return on;
}

class Harness;

// The serial line. Everything but Wake() runs on the link's worker (and on
// the fuzzer's thread once the worker has been joined).
class ScriptedPort : public velorix::SerialPort {
 public:
  ScriptedPort(Harness& h, FakeClock& clock) : h_(h), clock_(clock) {}

  velorix::PortOpenResult Open(int portNumber) override;
  bool IsOpen() const override { return open_ != 0; }
  void Configure() override {}
  void Purge() override { input_.clear(); }
  void ClearDtrRts() override {}
  velorix::PortStatus Poll() override;
  int Read(std::uint8_t* bytes, int count) override;
  int Write(const std::uint8_t* bytes, int count) override;
  void Close() override {
    open_ = 0;
    input_.clear();
    echoAt_ = -1;
  }
  void WaitForInput(int minBytes, int timeoutMs) override;
  void Wake() override {
    std::lock_guard lock(mutex_);
    woken_ = true;
    cv_.notify_all();
  }

  // The fuzzer's thread: blocks until the worker has nothing left to do.
  bool WaitUntilSettled() {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(60), [this] { return parked_ || done_; });
  }
  void Done() {
    std::lock_guard lock(mutex_);
    done_ = true;
    cv_.notify_all();
  }

  void StartScript(const Script* script) {
    script_ = script;
    origin_ = clock_.NowMs();
    horizon_ = std::max(horizon_, origin_ + (script->events.empty() ? 0 : script->events.back().atMs) + SETTLE_MS);
  }

  void ExtendHorizon(std::int64_t atMs) { horizon_ = std::max(horizon_, atMs); }

  std::vector<int> opened;
  // Every byte the worker read in service, and where each read began.
  Bytes readLog;
  std::vector<std::size_t> readStarts;
  std::int64_t activityMs = 0;        // last write or read that returned bytes
  std::int64_t lastWriteMs = 0;
  std::int64_t writeBeforeMs = 0;     // the write before the last
  std::int64_t activityBeforeWriteMs = 0;
  // A box the worker owes for the flags the last poll reported with bytes waiting.
  const char* boxOwed = nullptr;

 private:
  void DeliverDue();

  Harness& h_;
  FakeClock& clock_;
  int open_ = 0;
  Bytes input_;
  std::uint32_t errors_ = 0;
  std::int64_t echoAt_ = -1;
  Bytes echo_;
  const Script* script_ = nullptr;
  std::size_t next_ = 0;
  std::int64_t origin_ = 0;
  std::int64_t horizon_ = 0;
  std::int64_t lastPollMs_ = -1;
  std::size_t lastPollRead_ = 0;
  int spins_ = 0;

  std::mutex mutex_;
  std::condition_variable cv_;
  bool woken_ = false;
  bool parked_ = false;
  bool done_ = false;
};

class Harness : public velorix::LinkOwner {
 public:
  explicit Harness(const Script& script) : script_(script) {
    // The factory hands over a port that stays reachable from here.
    auto port = std::make_unique<ScriptedPort>(*this, clock_);
    port_ = port.get();
    auto factory = [&port]() -> std::unique_ptr<velorix::SerialPort> { return std::move(port); };
    link_ = std::make_unique<CDeviceLink>(factory, clock_);
  }

  void Run() {
    if (script_.earlyRequest) Place(1, 0);
    FUZZ_CHECK(link_->Start(this) == 1, "Start");
    FUZZ_CHECK(port_->WaitUntilSettled(), "the worker neither settled nor ended within 60 s");
    link_->Stop();
    Finish();
  }

  // -- LinkOwner, on the worker ------------------------------------------------
  void PostLinkFrame(std::vector<std::uint8_t> frame) override {
    if (Tracing()) std::fprintf(stderr, "%8lld frame of %zu bytes\n", static_cast<long long>(clock_.NowMs()), frame.size());
    FUZZ_CHECK(phase_ == Serving, "a frame outside service");
    FUZZ_CHECK(!expectResponseOk_, "a frame where \" Response OK.\" was due");
    FUZZ_CHECK(!expectWriteStatus_, "a frame where the write's status was due");
    if (frame.empty()) {
      FUZZ_CHECK(expectEmptyFrame_, "the empty frame without \"!!! No Response.\" just before");
      expectEmptyFrame_ = false;
      // Twice at most, or the input would never end.
      if (script_.answerNoResponse && noResponseAnswers_ < 2) Press(1 + noResponseAnswers_++, 0);
      return;
    }
    FUZZ_CHECK(!expectEmptyFrame_, "a frame where the empty frame was due");
    FUZZ_CHECK(frame.size() <= MAX_FRAME_BYTES, "a frame of %zu bytes", frame.size());
    FUZZ_CHECK(velorix::CheckFrame(frame.data(), static_cast<int>(frame.size())) == velorix::FRAME_OK,
               "a reported frame of %zu bytes fails CheckFrame", frame.size());
    CheckFrameCameFromWire(frame);
    FUZZ_CHECK(awaiting_, "a frame while no request waits");
    FUZZ_CHECK(frame.size() >= 3 && frame[2] == writtenCode_, "a reply of code %d to a request of code %d",
               frame.size() >= 3 ? frame[2] : -1, writtenCode_);
    expectResponseOk_ = true;
    awaiting_ = false;
    state_ = velorix::LINK_REPLIED;
    ++frames_;
    if (script_.answerFrames) Press(0, static_cast<std::uint16_t>(frames_));
  }

  void PostLinkStatus(std::string text) override {
    const std::int64_t now = clock_.NowMs();
    if (Tracing()) std::fprintf(stderr, "%8lld status \"%s\"\n", static_cast<long long>(now), text.c_str());
    if (phase_ == Scanning) {
      if (text == " Device connected on COM" + std::to_string(script_.devicePort) + " ") {
        FUZZ_CHECK(Findable(), "found an instrument that never answered the probe");
        phase_ = Serving;
        port_->StartScript(&script_);
        return;
      }
      FUZZ_CHECK(text == " Device do't connected." && scanBoxShown_, "status \"%s\" during the scan", text.c_str());
      phase_ = GivenUp;
      port_->Done();
      return;
    }
    FUZZ_CHECK(phase_ == Serving, "status \"%s\" after the link gave up", text.c_str());
    if (expectResponseOk_) {
      FUZZ_CHECK(text == " Response OK.", "\"%s\" where \" Response OK.\" was due", text.c_str());
      expectResponseOk_ = false;
      return;
    }
    FUZZ_CHECK(!expectEmptyFrame_, "status \"%s\" where the empty frame was due", text.c_str());
    if (text == " Waiting response.") {
      FUZZ_CHECK(expectWriteStatus_ && placedSinceWrite_, "\" Waiting response.\" without a new request written");
      expectWriteStatus_ = false;
      placedSinceWrite_ = false;
      awaiting_ = true;
      repeats_ = 0;
      state_ = velorix::LINK_WAITING;
      return;
    }
    if (text == "!!! No Response.") {
      FUZZ_CHECK(awaiting_ && repeats_ == 4, "\"!!! No Response.\" after %d repeats (awaiting %d)", repeats_,
                 awaiting_);
      FUZZ_CHECK(now - port_->lastWriteMs > TIMEOUT_MS && now - port_->activityMs <= TIMEOUT_MS + IDLE_WAIT_MS,
                 "given up %lld ms after the last activity", static_cast<long long>(now - port_->activityMs));
      awaiting_ = false;
      expectEmptyFrame_ = true;
      state_ = velorix::LINK_NO_RESPONSE;
      frameFloor_ = port_->readLog.size();  // the time-out discarded the accumulation
      return;
    }
    for (int k = 1; k <= 4; ++k) {
      if (text != " Repeat " + std::to_string(k) + ". Waiting response.") continue;
      FUZZ_CHECK(expectWriteStatus_ && !placedSinceWrite_ && awaiting_ && repeats_ == k - 1,
                 "repeat %d out of turn (repeats %d, awaiting %d)", k, repeats_, awaiting_);
      const std::int64_t sinceWrite = port_->lastWriteMs - port_->writeBeforeMs;
      const std::int64_t quiet = port_->lastWriteMs - port_->activityBeforeWriteMs;
      FUZZ_CHECK(sinceWrite > TIMEOUT_MS && quiet <= TIMEOUT_MS + IDLE_WAIT_MS, "repeat %d after %lld ms of quiet", k,
                 static_cast<long long>(quiet));
      expectWriteStatus_ = false;
      repeats_ = k;
      state_ = velorix::LINK_WAITING;
      frameFloor_ = port_->readLog.size();  // the time-out discarded the accumulation
      return;
    }
    FUZZ_CHECK(false, "unknown status \"%s\"", text.c_str());
  }

  void PostMessageBox(std::string text, velorix::MessageBoxKind kind) override {
    if (Tracing()) std::fprintf(stderr, "%8lld box \"%s\"\n", static_cast<long long>(clock_.NowMs()), text.c_str());
    FUZZ_CHECK(!expectResponseOk_ && !expectEmptyFrame_ && !expectWriteStatus_, "box \"%s\" out of turn",
               text.c_str());
    if (phase_ == Scanning) {
      FUZZ_CHECK(text == NOT_CONNECTED_BOX && kind == velorix::MessageBoxKind::Plain, "box \"%s\" in the scan",
                 text.c_str());
      FUZZ_CHECK(!Findable(), "the scan gave up on a findable instrument");
      scanBoxShown_ = true;
    } else {
      FUZZ_CHECK(port_->boxOwed != nullptr && text == port_->boxOwed && kind == velorix::MessageBoxKind::Error,
                 "box \"%s\" (owed: %s)", text.c_str(), port_->boxOwed ? port_->boxOwed : "none");
      port_->boxOwed = nullptr;
    }
    link_->MessageBoxClosed();  // the operator closes it at once
  }

  // -- called by the port, on the worker ------------------------------------
  void OnServiceWrite(const std::uint8_t* bytes, int count) {
    FUZZ_CHECK(!expectWriteStatus_ && !expectResponseOk_ && !expectEmptyFrame_, "a write out of turn");
    FUZZ_CHECK(placedSinceWrite_ || awaiting_, "a write with neither a new request nor one awaiting its reply");
    FUZZ_CHECK(Bytes(bytes, bytes + count) == lastPlaced_, "the write is not the request placed last");
    expectWriteStatus_ = true;
    writtenCode_ = count >= 3 ? bytes[2] : -1;
    frameFloor_ = port_->readLog.size();  // a reply begins after its request
  }

  void OnServicePoll() {
    FUZZ_CHECK(!expectWriteStatus_ && !expectResponseOk_ && !expectEmptyFrame_, "a notice is missing");
    // The poll that precedes each write sees LINK_REPEAT_DUE for a repeat.
    const LinkState s = link_->State();
    FUZZ_CHECK(s == state_ || (s == velorix::LINK_REPEAT_DUE && state_ == velorix::LINK_WAITING && awaiting_),
               "link state %d, expected %d", s, state_);
  }

  void Press(int kind, std::uint16_t index) {
    const LinkState s = link_->State();
    if (s == velorix::LINK_REPLIED || s == velorix::LINK_NO_RESPONSE) Place(kind, index);
  }

 private:
  enum Phase { Scanning, Serving, GivenUp };

  bool Findable() const { return script_.devicePort != 0 && !script_.wrongEcho; }

  void Place(int kind, std::uint16_t index) {
    lastPlaced_ = Request(kind, index);
    placedSinceWrite_ = true;
    port_->ExtendHorizon(clock_.NowMs() + SETTLE_MS);  // time for its repeats to run out
    link_->PlaceRequest(lastPlaced_.data(), static_cast<int>(lastPlaced_.size()), TIMEOUT_MS);
  }

  // The frame is a run of the bytes read since the last write, frame or
  // discard, and the latest read completed it.
  void CheckFrameCameFromWire(const Bytes& frame) {
    const Bytes& log = port_->readLog;
    FUZZ_CHECK(!port_->readStarts.empty(), "a frame before any read");
    bool found = false;
    for (std::size_t end = std::max(port_->readStarts.back() + 1, frameFloor_ + frame.size());
         !found && end <= log.size(); ++end)
      found = std::equal(frame.begin(), frame.end(), log.begin() + static_cast<std::ptrdiff_t>(end - frame.size()));
    FUZZ_CHECK(found, "the frame is not among the bytes read since the last write or frame, ending in the last read");
    frameFloor_ = log.size();
  }

  void Finish() {
    if (!Findable()) {
      FUZZ_CHECK(phase_ == GivenUp, "the scan did not give up");
      const std::vector<int> tried{2, 1, 2, 3, 4};
      FUZZ_CHECK(port_->opened == tried, "ports tried in another order (%zu tries)", port_->opened.size());
      return;
    }
    FUZZ_CHECK(phase_ == Serving, "the instrument was not found");
    FUZZ_CHECK(!awaiting_ && !placedSinceWrite_ && !expectWriteStatus_ && !expectResponseOk_ && !expectEmptyFrame_,
               "unsettled at the end: awaiting %d placed %d", awaiting_, placedSinceWrite_);
    FUZZ_CHECK(link_->State() == state_, "final state %d, expected %d", link_->State(), state_);
  }

  const Script& script_;
  FakeClock clock_;
  ScriptedPort* port_ = nullptr;
  std::unique_ptr<CDeviceLink> link_;

  Phase phase_ = Scanning;
  bool scanBoxShown_ = false;
  LinkState state_ = velorix::LINK_REPLIED;
  bool awaiting_ = false;
  int repeats_ = 0;
  bool placedSinceWrite_ = false;
  bool expectWriteStatus_ = false;
  bool expectResponseOk_ = false;
  bool expectEmptyFrame_ = false;
  Bytes lastPlaced_;
  int writtenCode_ = -1;
  std::size_t frameFloor_ = 0;
  int frames_ = 0;
  int noResponseAnswers_ = 0;

  friend class ScriptedPort;
};

velorix::PortOpenResult ScriptedPort::Open(int portNumber) {
  opened.push_back(portNumber);
  const std::string device = "script:COM" + std::to_string(portNumber);
  if (portNumber < 1 || portNumber > 4) return {false, device, "missing"};
  open_ = portNumber;
  input_.clear();
  errors_ = 0;
  echoAt_ = -1;
  return {true, device, "ok"};
}

void ScriptedPort::DeliverDue() {
  const std::int64_t now = clock_.NowMs();
  if (echoAt_ >= 0 && echoAt_ <= now) {
    input_.insert(input_.end(), echo_.begin(), echo_.end());
    echoAt_ = -1;
  }
  if (!script_) return;
  while (next_ < script_->events.size() && origin_ + script_->events[next_].atMs <= now) {
    const Event& e = script_->events[next_++];
    if (e.press >= 0) {
      h_.Press(e.press, e.index);
    } else {
      input_.insert(input_.end(), e.bytes.begin(), e.bytes.end());
      errors_ |= e.errors;
    }
  }
}

velorix::PortStatus ScriptedPort::Poll() {
  const std::int64_t now = clock_.NowMs();
  if (script_) {
    FUZZ_CHECK(boxOwed == nullptr, "no box for the error the port reported");
    h_.OnServicePoll();
    // Each pass either reads, or waits and so lets time pass.
    if (now == lastPollMs_ && readLog.size() == lastPollRead_) {
      FUZZ_CHECK(++spins_ < SPIN_LIMIT, "the worker spins: %d passes without time passing or bytes read", spins_);
    } else {
      spins_ = 0;
    }
    lastPollMs_ = now;
    lastPollRead_ = readLog.size();
  }
  DeliverDue();
  velorix::PortStatus status;
  status.errors = errors_;
  status.waiting = static_cast<int>(input_.size());
  errors_ = 0;
  if (script_ && status.waiting > 0 &&
      !(status.errors & (velorix::PORT_RXPARITY | velorix::PORT_FRAME))) {
    if (status.errors & velorix::PORT_OVERRUN)
      boxOwed = "Overrun Error";
    else if (status.errors & velorix::PORT_RXOVER)
      boxOwed = "Overflow Error";
  }
  return status;
}

int ScriptedPort::Read(std::uint8_t* bytes, int count) {
  const int n = std::clamp(count, 0, static_cast<int>(input_.size()));
  if (n == 0) return 0;
  std::copy_n(input_.begin(), n, bytes);
  if (script_) {
    readStarts.push_back(readLog.size());
    readLog.insert(readLog.end(), input_.begin(), input_.begin() + n);
  }
  input_.erase(input_.begin(), input_.begin() + n);
  activityMs = clock_.NowMs();
  return n;
}

int ScriptedPort::Write(const std::uint8_t* bytes, int count) {
  FUZZ_CHECK(open_ != 0, "a write on a closed port");
  const std::int64_t now = clock_.NowMs();
  if (!script_) {
    FUZZ_CHECK(count == 5 && std::equal(bytes, bytes + 5, velorix::PROBE_FRAME.begin()),
               "a write other than the probe during the scan");
    if (open_ == h_.script_.devicePort) {
      echo_.assign(velorix::PROBE_FRAME.begin(), velorix::PROBE_FRAME.end());
      if (h_.script_.wrongEcho) echo_.back() = 0x00;
      echoAt_ = now + 10;
    }
    return count;
  }
  h_.OnServiceWrite(bytes, count);
  activityBeforeWriteMs = activityMs;
  writeBeforeMs = lastWriteMs;
  lastWriteMs = now;
  activityMs = now;
  return count;
}

void ScriptedPort::WaitForInput(int minBytes, int timeoutMs) {
  std::unique_lock lock(mutex_);
  if (woken_) {
    woken_ = false;
    return;
  }
  if (static_cast<int>(input_.size()) >= minBytes) return;
  const std::int64_t now = clock_.NowMs();
  const bool scriptDone = script_ && next_ >= script_->events.size();
  if (scriptDone && now >= horizon_) {
    parked_ = true;
    cv_.notify_all();
    cv_.wait(lock, [this] { return woken_; });
    woken_ = false;
    return;
  }
  std::int64_t until = now + std::max(timeoutMs, 0);
  if (echoAt_ >= 0) until = std::min(until, std::max(echoAt_, now));
  if (script_ && next_ < script_->events.size())
    until = std::min(until, std::max(origin_ + script_->events[next_].atMs, now));
  clock_.Set(until);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InputReader in(data, size);
  const Script script = ReadScript(in);
  Harness harness(script);
  harness.Run();
  return 0;
}
