#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "link/clock.h"
#include "link/link_owner.h"
#include "link/link_state.h"
#include "link/posix_serial_port.h"
#include "link/serial_port.h"

namespace velorix {

// The program's one connection to the instrument. Start() runs a worker that
// finds the instrument on one of five port tries and then serves one request
// at a time: writes it, assembles and checks the reply, repeats it up to four
// times when no reply comes, and tells the owner about every frame and status.
// A port that goes while it serves ends the worker at once.
class CDeviceLink : public RequestChannel {
 public:
  // Real serial ports and the steady clock; COM numbers name devices through
  // `resolver` (by default the VELORIX_COM<n> variables alone).
  CDeviceLink();
  explicit CDeviceLink(PortDeviceResolver resolver);
  // The factory is called once, here; the clock must outlive the link.
  CDeviceLink(const SerialPortFactory& portFactory, Clock& clock);
  ~CDeviceLink() override;
  CDeviceLink(const CDeviceLink&) = delete;
  CDeviceLink& operator=(const CDeviceLink&) = delete;

  // Starts the worker with owner receiving its notices. 1 on success; 0 when
  // the thread could not be made or a worker is already running.
  int Start(LinkOwner* owner);
  // Ends the worker (also one waiting for a message box to close), then purges
  // and closes the port. Always 0; does nothing on a link that is not running.
  int Stop();
  // Sets the port to try first unless n is -1; returns the port number.
  int PortNumber(int n);
  // Before Start: the scan tries the start port alone, once (a port the user
  // named for this run), instead of the start port and then COM1..COM4.
  void TryStartPortOnly() { portTries = 1; }

  LinkState State() const override;
  // Copies the framed request, its length and time-out and raises the send
  // request last, all under one lock the worker also takes when it copies the
  // request out; then wakes the worker. Lengths beyond 512 bytes are cut.
  void PlaceRequest(const std::uint8_t* frame, int length, int replyTimeoutMs) override;
  // The owner has closed the box the worker is waiting on.
  void MessageBoxClosed();
  // False once the link was stopped, its port scan gave up or its port went.
  bool Running() const { return running.load() != 0; }

  static int AppendChecksum(std::uint8_t* bytes, int count);

 private:
  static constexpr int TX_SIZE = 512;
  static constexpr int RX_SIZE = 512;
  static constexpr int ACCUM_SIZE = 1000;
  static constexpr int MAX_FRAME_INPUT = 138;   // bytes ever taken in for one frame
  static constexpr int MIN_FRAME_BYTES = 5;     // start, length, code, checksum
  static constexpr int PROBE_WAIT_MS = 110;
  static constexpr int PROBE_ATTEMPTS = 4;
  static constexpr int PORT_TRIES = 5;
  static constexpr int MAX_REPEATS = REQUEST_WRITES - 1;
  static constexpr int IDLE_WAIT_MS = 100;
  // The longest reply (the empty-cell table, 54 bytes) lasts 62 ms on the
  // line at 9600 baud, 11 bits a byte: a gap that long ends a run of replies.
  static constexpr int QUIET_LINE_MS = 64;
  // A line that never goes quiet is used all the same after this long.
  static constexpr int QUIET_LIMIT_MS = 1000;
  // After a wrong echo the port is probed once more, when the line has been
  // quiet for twice the longest gap seen between bytes, or at least this long
  // (the few gaps seen since the open may all be short ones of a reply that
  // comes in pieces up to a few hundred ms apart)...
  static constexpr int RETRY_QUIET_MS = 500;
  // ... or after this long.
  static constexpr int RETRY_QUIET_LIMIT_MS = 3000;

  static void LinkWorker(CDeviceLink* link);
  void Run();
  bool ScanPorts();
  bool Probe(int port);
  void Serve();
  int WriteFrame(const std::uint8_t* bytes, int count);
  void PostStatus(const std::string& text);
  void ShowWaitCursor(bool on);
  void ShowMessageBox(const std::string& text, MessageBoxKind kind);
  void DiscardWaiting(int waiting);
  void AwaitQuietLine(int quietMs, int limitMs, bool inService);
  void NoteBytes(std::int64_t now);
  void ReportLineErrors(std::uint32_t errors);
  int TakeIn(int waiting, bool& framed);
  bool AssembleFrames();
  void OnFrame(const std::uint8_t* frame, int length);
  void AcceptFrame(const std::uint8_t* frame, int length);
  void WriteRequest();
  void EndWithPortGone();

  std::unique_ptr<SerialPort> portHandle;
  Clock& clock;
  LinkOwner* ownerWindow = nullptr;
  std::thread workerThread;

  // The request hand-over: written by the requester under requestMutex.
  std::mutex requestMutex;
  int txLength = 0;
  std::atomic<int> replyTimeout{REPLY_TIMEOUT_MS};
  std::atomic<int> sendRequest{0};
  std::uint8_t txFrame[TX_SIZE] = {};

  std::atomic<LinkState> state{LINK_REPLIED};
  std::atomic<int> running{0};
  std::atomic<int> finished{1};
  std::atomic<int> portNumber{2};
  int portTries = PORT_TRIES;

  // Message boxes: the worker waits here until the owner closes the box or
  // the link is stopped.
  std::mutex boxMutex;
  std::condition_variable boxClosedCv;
  bool boxClosed = false;

  // The worker's own.
  int awaitingReply = 0;
  int rxLength = 0;
  std::uint8_t rxFrame[RX_SIZE] = {};
  std::uint8_t txCopy[TX_SIZE] = {};
  std::uint8_t accum[ACCUM_SIZE] = {};
  int accumCount = 0;
  std::int64_t lastActivity = 0;
  int repeatCount = 0;
  std::uint8_t awaitedCode = 0;  // the command code of the request written last
  // Answers that may still come to earlier writes of the request answered
  // last, and how many replies equal to that answer were dropped as such
  // while the current request waits.
  int lateAnswers = 0;
  int droppedAsLate = 0;
  int bytesWaiting = 0;
  bool found = false;
  bool waitCursorShown = false;
  std::string openDevice;          // the device of the port in use
  // When bytes last came on the port under trial, and the longest silence
  // between bytes since it was opened.
  std::int64_t lastBytesAt = 0;
  std::int64_t longestGap = 0;
};

}  // namespace velorix
