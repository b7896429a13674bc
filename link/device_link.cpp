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
      lastBytesAt = clock.NowMs();
      longestGap = 0;
      // The end of a reply to an earlier run, or a device's power-up noise,
      // may still be arriving; it must not be read as the echo.
      AwaitQuietLine(QUIET_LINE_MS, QUIET_LIMIT_MS, false);
      bool echoed = running.load() && Probe(port);
      const auto wrongEcho = [this] { return bytesWaiting >= 5 && bytesWaiting <= 999; };
      if (!echoed && running.load() && wrongEcho()) {
        // Such a reply may come in pieces with longer gaps than the first
        // wait allowed for: wait out the gaps seen, then ask once more.
        AwaitQuietLine(RETRY_QUIET_MS, RETRY_QUIET_LIMIT_MS, false);
        echoed = running.load() && Probe(port);
      }
      if (echoed) {
        portNumber.store(port);
        openDevice = opened.device;
        if (ownerWindow) ownerWindow->PortTried(port, opened.device, "ok");
        PostStatus(" Device connected on COM" + std::to_string(port) + " ");
        return true;
      }
      outcome = wrongEcho() ? "wrong echo" : "no echo";
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
      const int before = bytesWaiting;
      bytesWaiting = portHandle->Poll().waiting;
      if (bytesWaiting > before) NoteBytes(clock.NowMs());
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
    if (status.hungUp) {
      EndWithPortGone();
      return;
    }
    int waiting = status.waiting;
    bytesWaiting = waiting;

    // 2. Take in what is waiting. Only bytes that make or may still make a
    // frame keep the reply time-out from running out; noise does not.
    if (waiting > 0) {
      ReportLineErrors(status.errors);
      bool framed = false;
      if (TakeIn(waiting, framed) == 0) waiting = 0;  // said to be waiting yet unreadable: treat as silence
      if (framed) lastActivity = clock.NowMs();
    }

    // 3. Time-out, counted from the last write or the last bytes of a frame.
    if (awaitingReply && clock.NowMs() - lastActivity > replyTimeout.load()) {
      accumCount = 0;
      if (repeatCount <= MAX_REPEATS - 1) {
        state.store(LINK_REPEAT_DUE);
        sendRequest.store(1);
      } else {
        state.store(LINK_NO_RESPONSE);
        awaitingReply = 0;
        lateAnswers = 0;
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

// Reads all that waits (more than one frame may: answers that come together)
// and takes it frame by frame; returns the number of bytes read. `framed`
// tells whether bytes of a frame came: a frame was completed, or one is still
// arriving.
int CDeviceLink::TakeIn(int waiting, bool& framed) {
  int read = 0;
  while (read < waiting) {
    const int room = ACCUM_SIZE - accumCount;
    const int got = std::clamp(portHandle->Read(accum + accumCount, std::min(waiting - read, room)), 0, room);
    if (got == 0) break;
    read += got;
    accumCount += got;
    if (AssembleFrames()) framed = true;
  }
  if (accumCount > 0) framed = true;
  return read;
}

// Cuts the gathered bytes into frames. Bytes that can't begin a frame (no
// start byte, a length no frame here has) are thrown away one by one, a frame
// that fails the check as a whole; what is left is the start of a frame still
// arriving. True when a well-formed frame was completed.
bool CDeviceLink::AssembleFrames() {
  bool completed = false;
  int at = 0;
  while (at < accumCount) {
    const std::uint8_t* frame = accum + at;
    const int have = accumCount - at;
    if (frame[0] != FRAME_START) {
      ++at;
      continue;
    }
    if (have < 2) break;
    const int length = frame[1];
    if (length < MIN_FRAME_BYTES || length > MAX_FRAME_INPUT) {
      ++at;
      continue;
    }
    const FrameVerdict verdict = CheckFrame(frame, have);
    if (verdict == FRAME_INCOMPLETE) break;
    if (verdict == FRAME_OK) {
      completed = true;
      OnFrame(frame, length);
    }
    at += length;
  }
  accumCount -= at;
  std::memmove(accum, accum + at, static_cast<size_t>(accumCount));
  return completed;
}

// The instrument's reply repeats the request's code; anything else is an
// answer to something earlier, dropped. A reply equal to the one taken last
// may be a late answer to one of its request's earlier writes, and is dropped
// as long as such answers may still come (each write has one answer at most).
void CDeviceLink::OnFrame(const std::uint8_t* frame, int length) {
  const bool sameAsLast = length == rxLength && std::equal(frame, frame + length, rxFrame);
  if (awaitingReply && frame[2] == awaitedCode) {
    if (!(sameAsLast && lateAnswers > 0)) {
      AcceptFrame(frame, length);
      return;
    }
    ++droppedAsLate;
    --lateAnswers;
    return;
  }
  if (rxLength > 2 && frame[2] == rxFrame[2] && lateAnswers > 0) --lateAnswers;
}

void CDeviceLink::AcceptFrame(const std::uint8_t* frame, int length) {
  std::memcpy(rxFrame, frame, static_cast<size_t>(length));
  rxLength = length;
  // Every write but the answered one may still be answered, except where a
  // reply equal to this one was already dropped as such an answer.
  lateAnswers = std::max(0, repeatCount - droppedAsLate);
  droppedAsLate = 0;
  state.store(LINK_REPLIED);
  awaitingReply = 0;
  if (ownerWindow) ownerWindow->PostLinkFrame(std::vector<std::uint8_t>(rxFrame, rxFrame + rxLength));
  PostStatus(" Response OK.");
}

void CDeviceLink::WriteRequest() {
  const bool repeat = state.load() == LINK_REPEAT_DUE;
  // Answers to the earlier writes of a repeated request may still be on their
  // way, back to back: let them pass before the next request goes out. On a
  // clean line nothing waits here.
  if (!repeat && repeatCount > 0) {
    AwaitQuietLine(QUIET_LINE_MS, QUIET_LIMIT_MS, true);
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
  // A reply begins after its request; what was gathered before is not one.
  accumCount = 0;
  awaitingReply = 1;
  awaitedCode = length > 2 ? txCopy[2] : 0;
  lastActivity = clock.NowMs();
  if (repeat) {
    ++repeatCount;
    // An answer that has not come in a whole reply time-out is lost: a reply
    // equal to the last one is now this request's own, so a record that
    // truly repeats the one before costs one repeat, no more.
    lateAnswers = 0;
    PostStatus(" Repeat " + std::to_string(repeatCount) + ". Waiting response.");
  } else {
    droppedAsLate = 0;
    repeatCount = 0;
    PostStatus(" Waiting response.");
  }
  state.store(LINK_WAITING);
}

// The port has gone from under the link: say so, end the request that waits
// and stop, as a failed scan does. Stop() closes the port.
void CDeviceLink::EndWithPortGone() {
  if (ownerWindow) ownerWindow->PortGone(portNumber.load(), openDevice);
  if (awaitingReply || sendRequest.load()) {
    awaitingReply = 0;
    state.store(LINK_NO_RESPONSE);
    if (ownerWindow) ownerWindow->PostLinkFrame({});
  }
  running.store(0);
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

// Lets what arrives pass until no byte has come for quietMs (at most limitMs
// in all), and drops what was gathered for a frame. In service the frames
// that come are taken in as late answers, and line errors are reported as the
// serving loop reports them. During the scan the quiet also has to outlast
// twice the longest gap seen between bytes on the port.
void CDeviceLink::AwaitQuietLine(int quietMs, int limitMs, bool inService) {
  const std::int64_t start = clock.NowMs();
  std::int64_t lastByte = start;
  while (running.load()) {
    const PortStatus status = portHandle->Poll();
    if (status.hungUp) break;
    const int waiting = status.waiting;
    const std::int64_t now = clock.NowMs();
    if (waiting > 0) {
      if (inService) {
        ReportLineErrors(status.errors);
        bool framed = false;
        TakeIn(waiting, framed);
      } else {
        NoteBytes(now);
        DiscardWaiting(waiting);
      }
      lastByte = now;
    }
    const std::int64_t quiet = inService ? quietMs : std::max<std::int64_t>(quietMs, 2 * longestGap);
    const std::int64_t quietFor = now - lastByte;
    const std::int64_t spent = now - start;
    if (quietFor >= quiet || spent >= limitMs) break;
    portHandle->WaitForInput(1, static_cast<int>(std::min(quiet - quietFor, limitMs - spent)));
  }
  accumCount = 0;
}

void CDeviceLink::NoteBytes(std::int64_t now) {
  longestGap = std::max(longestGap, now - lastBytesAt);
  lastBytesAt = now;
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
