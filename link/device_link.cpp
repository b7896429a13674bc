#include "link/device_link.h"


#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "link/frame_codec.h"
#include "link/serial_port.h"
#include "link/worker_priority.h"

namespace velorix {

namespace {

const char* const NOT_CONNECTED_BOX =
    "     Device do't connected to computer,\n"
    "         or device do't powered, \n"
    "   or computer do't have the communication ports !!!";

SteadyClock& DefaultClock() {
  static SteadyClock clock;
  return clock;
}

}  // namespace

CDeviceLink::CDeviceLink() : CDeviceLink(PortDeviceResolver{}) {}

CDeviceLink::CDeviceLink(PortDeviceResolver resolver)
    : CDeviceLink([&resolver] { return MakeSystemSerialPort(std::move(resolver)); },
                  DefaultClock()) {}

CDeviceLink::CDeviceLink(const SerialPortFactory& portFactory, Clock& clock_)
    : portHandle(portFactory ? portFactory() : nullptr), clock(clock_) {
  if (!portHandle) portHandle = MakeSystemSerialPort();
}

CDeviceLink::~CDeviceLink() { Stop(); }

int CDeviceLink::AppendChecksum(std::uint8_t* bytes, int count) {
  return velorix::AppendChecksum(bytes, count);
}

int CDeviceLink::Start(LinkOwner* owner) {
  if (running.load()) return 0;
  // A worker whose scan gave up has ended or is about to; collect it.
  if (workerThread.joinable()) workerThread.join();
  ownerWindow = owner;
  running.store(1);
  try {
    workerThread = std::thread(&CDeviceLink::LinkWorker, this);
  } catch (const std::system_error&) {
    running.store(0);
    return 0;
  }
  return 1;
}

int CDeviceLink::Stop() {
  {
    std::lock_guard lock(boxMutex);
    running.store(0);
  }
  boxClosedCv.notify_all();
  portHandle->Wake();
  // Joining also covers a worker that has not begun to run yet.
  if (workerThread.joinable()) workerThread.join();
  if (portHandle->IsOpen()) {
    portHandle->Purge();
    portHandle->Close();
  }
  return 0;
}

int CDeviceLink::PortNumber(int n) {
  if (n != -1) portNumber.store(n);
  return portNumber.load();
}

LinkState CDeviceLink::State() const { return state.load(); }

void CDeviceLink::PlaceRequest(const std::uint8_t* frame, int length, int replyTimeoutMs) {
  length = std::clamp(length, 0, TX_SIZE);
  if (frame == nullptr) length = 0;
  {
    std::lock_guard lock(requestMutex);
    if (length > 0) std::memcpy(txFrame, frame, static_cast<size_t>(length));
    txLength = length;
    replyTimeout.store(replyTimeoutMs);
    sendRequest.store(1, std::memory_order_release);
  }
  portHandle->Wake();
}

void CDeviceLink::MessageBoxClosed() {
  {
    std::lock_guard lock(boxMutex);
    boxClosed = true;
  }
  boxClosedCv.notify_all();
}

void CDeviceLink::LinkWorker(CDeviceLink* link) { link->Run(); }

void CDeviceLink::Run() {
  LowerThreadPriority();
  // Set-up.
  finished.store(0);
  ShowWaitCursor(true);
  std::memset(accum, 0, sizeof accum);
  accumCount = 0;
  awaitingReply = 0;
  repeatCount = 0;
  found = ScanPorts();
  ShowWaitCursor(false);
  lastActivity = clock.NowMs();
  Serve();
  finished.store(1);
}

bool CDeviceLink::ScanPorts() {
  int port = portNumber.load();
  int tries = 0;
  while (running.load()) {
    const PortOpenResult opened = portHandle->Open(port);
    std::string outcome = opened.outcome;
    if (opened.opened) {
      portHandle->Configure();
      portHandle->Purge();
      // The end of a reply to an earlier run, or a device's power-up noise,
      // may still be arriving; it must not be read as the echo.
      AwaitQuietLine(false);
      if (running.load() && Probe(port)) {
        portNumber.store(port);
        if (ownerWindow) ownerWindow->PortTried(port, opened.device, "ok");
        PostStatus(" Device connected on COM" + std::to_string(port) + " ");
        return true;
      }
      outcome = bytesWaiting >= 5 && bytesWaiting <= 999 ? "wrong echo" : "no echo";
      portHandle->Purge();
      portHandle->Close();
    }
    if (ownerWindow) ownerWindow->PortTried(port, opened.device, outcome);
    if (++tries == portTries) {
      // The scan is over: the operator reads the box with the normal cursor.
      ShowWaitCursor(false);
      ShowMessageBox(NOT_CONNECTED_BOX, MessageBoxKind::Plain);
      PostStatus(" Device do't connected.");
      running.store(0);
      return false;
    }
    port = tries;
    portNumber.store(port);
  }
  return false;
}

bool CDeviceLink::Probe(int /*port*/) {
  portHandle->ClearDtrRts();
  for (int attempt = 1;; ++attempt) {
    WriteFrame(PROBE_FRAME.data(), static_cast<int>(PROBE_FRAME.size()));
    const std::int64_t written = clock.NowMs();
    bytesWaiting = 0;
    bool timedOut = false;
    while (running.load() && bytesWaiting < 5) {
      bytesWaiting = portHandle->Poll().waiting;
      const std::int64_t elapsed = clock.NowMs() - written;
      if (elapsed >= PROBE_WAIT_MS) {
        timedOut = true;  // whatever this last poll reported
        break;
      }
      // Instead of polling flat out: wait for the echo's five bytes, at most
      // for the rest of the attempt.
      if (bytesWaiting < 5) portHandle->WaitForInput(5, static_cast<int>(PROBE_WAIT_MS - elapsed));
    }
    if (!timedOut || attempt >= PROBE_ATTEMPTS || !running.load()) break;
  }
  if (bytesWaiting < 5 || bytesWaiting > 999) return false;
  std::uint8_t echo[5] = {};
  const int got = portHandle->Read(echo, 5);
  return got == 5 && std::equal(echo, echo + 5, PROBE_FRAME.begin());
}

void CDeviceLink::Serve() {
  while (running.load() && found) {
    // 1. Poll.
    const PortStatus status = portHandle->Poll();
    int waiting = status.waiting;
    bytesWaiting = waiting;

    // 2. Take in what is waiting.
    if (waiting > 0) {
      ReportLineErrors(status.errors);
      if (accumCount + waiting > MAX_FRAME_INPUT) {
        accumCount = 0;
        // More than one frame can hold: read it all and throw it away with the
        // accumulation, or the loop would never get past it.
        if (waiting > MAX_FRAME_INPUT) {
          DiscardWaiting(waiting);
          lastActivity = clock.NowMs();
        }
        continue;
      }
      const int got = std::clamp(portHandle->Read(accum + accumCount, waiting), 0, waiting);
      if (got > 0) {
        lastActivity = clock.NowMs();
        accumCount += got;
        // A frame that is not the awaited reply is dropped like a bad one, but
        // what came after it may be the reply itself.
        bool accepted = false;
        for (;;) {
          const FrameVerdict verdict = CheckFrame(accum, accumCount);
          if (verdict == FRAME_BAD) accumCount = 0;
          if (verdict != FRAME_OK) break;
          const int length = accum[1];
          if (IsAwaitedReply(accum, length)) {
            AcceptFrame();
            accepted = true;
            break;
          }
          accumCount -= length;
          std::memmove(accum, accum + length, static_cast<size_t>(accumCount));
        }
        if (!accepted) continue;
      } else {
        waiting = 0;  // said to be waiting yet unreadable: treat as silence
      }
    }

    // 3. Time-out, counted from the last write or read.
    if (awaitingReply && clock.NowMs() - lastActivity > replyTimeout.load()) {
      accumCount = 0;
      if (repeatCount <= MAX_REPEATS - 1) {
        state.store(LINK_REPEAT_DUE);
        sendRequest.store(1);
      } else {
        state.store(LINK_NO_RESPONSE);
        awaitingReply = 0;
        PostStatus("!!! No Response.");
        if (ownerWindow) ownerWindow->PostLinkFrame({});
      }
    }

    // 4. Send.
    if (sendRequest.load(std::memory_order_acquire)) WriteRequest();

    // 5. Nothing came: wait for bytes or a new request, at most the idle time.
    if (waiting == 0) portHandle->WaitForInput(1, IDLE_WAIT_MS);
  }
}

// The instrument's reply repeats the request's code. Anything else is late:
// an answer to a request already answered or given up, or to an earlier
// write of a request that had to be repeated.
bool CDeviceLink::IsAwaitedReply(const std::uint8_t* frame, int length) const {
  if (!awaitingReply || length < 3 || frame[2] != awaitedCode) return false;
  return !(dropEchoOfLast && length <= rxLength && std::equal(frame, frame + length, rxFrame));
}

void CDeviceLink::AcceptFrame() {
  std::memcpy(rxFrame, accum, static_cast<size_t>(accumCount));
  rxLength = accumCount;
  state.store(LINK_REPLIED);
  awaitingReply = 0;
  answeredAfterRepeat = repeatCount > 0;
  if (ownerWindow) ownerWindow->PostLinkFrame(std::vector<std::uint8_t>(rxFrame, rxFrame + rxLength));
  PostStatus(" Response OK.");
  accumCount = 0;
}

void CDeviceLink::WriteRequest() {
  const bool repeat = state.load() == LINK_REPEAT_DUE;
  // Answers to the earlier writes of a repeated request may still be on their
  // way, back to back: let them pass before the next request goes out. On a
  // clean line nothing waits here.
  if (!repeat && repeatCount > 0) {
    AwaitQuietLine(true);
    if (!running.load()) return;
  }
  int length;
  {
    // The request is taken whole: a requester placing another one now
    // either gets in before this copy or raises the flag again after it.
    std::lock_guard lock(requestMutex);
    length = txLength;
    std::memcpy(txCopy, txFrame, static_cast<size_t>(length));
    sendRequest.store(0);
  }
  WriteFrame(txCopy, length);
  awaitingReply = 1;
  awaitedCode = length > 2 ? txCopy[2] : 0;
  lastActivity = clock.NowMs();
  if (repeat) {
    ++repeatCount;
    // A reply equal to the last one is now taken as this request's own: a
    // record that truly repeats the one before costs one repeat, no more.
    dropEchoOfLast = false;
    PostStatus(" Repeat " + std::to_string(repeatCount) + ". Waiting response.");
  } else {
    // Once more after the quiet: a late answer that came with a longer gap
    // reads exactly like the reply taken last.
    dropEchoOfLast = answeredAfterRepeat;
    answeredAfterRepeat = false;
    repeatCount = 0;
    PostStatus(" Waiting response.");
  }
  state.store(LINK_WAITING);
}

// Line errors while bytes wait, as the operator is to see them; the probe
// ignores them.
void CDeviceLink::ReportLineErrors(std::uint32_t errors) {
  if (errors == 0 || (errors & (PORT_RXPARITY | PORT_FRAME))) return;
  if (errors & PORT_OVERRUN)
    ShowMessageBox("Overrun Error", MessageBoxKind::Error);
  else if (errors & PORT_RXOVER)
    ShowMessageBox("Overflow Error", MessageBoxKind::Error);
}

// Reads and drops what arrives until no byte has come for QUIET_LINE_MS
// (at most QUIET_LIMIT_MS in all), with what was gathered for a frame. In
// service, line errors are reported as the serving loop reports them.
void CDeviceLink::AwaitQuietLine(bool inService) {
  const std::int64_t start = clock.NowMs();
  std::int64_t lastByte = start;
  while (running.load()) {
    const PortStatus status = portHandle->Poll();
    const int waiting = status.waiting;
    const std::int64_t now = clock.NowMs();
    if (waiting > 0) {
      if (inService) ReportLineErrors(status.errors);
      DiscardWaiting(waiting);
      lastByte = now;
    }
    const std::int64_t quietFor = now - lastByte;
    const std::int64_t spent = now - start;
    if (quietFor >= QUIET_LINE_MS || spent >= QUIET_LIMIT_MS) break;
    portHandle->WaitForInput(1, static_cast<int>(std::min(QUIET_LINE_MS - quietFor, QUIET_LIMIT_MS - spent)));
  }
  accumCount = 0;
}

void CDeviceLink::DiscardWaiting(int waiting) {
  while (waiting > 0) {
    const int got = portHandle->Read(accum, std::min(waiting, ACCUM_SIZE));
    if (got <= 0) break;
    waiting -= got;
  }
}

int CDeviceLink::WriteFrame(const std::uint8_t* bytes, int count) {
  if (!running.load()) return 0;
  portHandle->Poll();  // clears the error flags; they are dropped
  portHandle->Purge();
  return portHandle->Write(bytes, count);
}

void CDeviceLink::ShowWaitCursor(bool on) {
  if (ownerWindow && on != waitCursorShown) ownerWindow->SetWaitCursor(on);
  waitCursorShown = on;
}

void CDeviceLink::PostStatus(const std::string& text) {
  if (ownerWindow) ownerWindow->PostLinkStatus(text);
}

void CDeviceLink::ShowMessageBox(const std::string& text, MessageBoxKind kind) {
  if (!ownerWindow) return;  // nobody could close it
  {
    std::lock_guard lock(boxMutex);
    boxClosed = false;
  }
  ownerWindow->PostMessageBox(text, kind);
  std::unique_lock lock(boxMutex);
  boxClosedCv.wait(lock, [this] { return boxClosed || running.load() == 0; });
}

}  // namespace velorix
