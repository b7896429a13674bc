#pragma once

// The simulator's end of the serial line: a pseudo-terminal whose slave side
// the program under test opens, and a writer that can hand bytes over in
// pieces and at the pace of a real line.

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>

namespace velorix::sim {

class PtyDevice {
 public:
  PtyDevice() = default;
  PtyDevice(const PtyDevice&) = delete;
  PtyDevice& operator=(const PtyDevice&) = delete;
  ~PtyDevice();  // closes both sides and removes the link

  // Creates the pty, opens the slave once in raw mode and keeps it open (never
  // read) so the program can close and reopen its side without the master
  // seeing a hang-up. The master is non-blocking.
  bool Open(std::string& error);
  // A symbolic link to the slave; an old symbolic link there is replaced.
  bool MakeLink(const std::string& path, std::string& error);
  void RemoveLink();
  // Both sides closed: the program's handle now reports a hang-up / EIO,
  // like a serial adapter pulled out.
  void Vanish();

  int MasterFd() const { return master_; }
  const std::string& SlavePath() const { return slavePath_; }

 private:
  int master_ = -1;
  int heldSlave_ = -1;
  std::string slavePath_;
  std::string linkPath_;
};

struct WireShape {
  int pieceSize = 0;  // 0: the whole buffer at once
  int pieceGapMs = 0;
  int pieceGapMaxMs = 0;  // above pieceGapMs: each gap drawn between the two
  int baud = 0;       // 0: as fast as the pty takes it
};

class WireWriter {
 public:
  // `stop` is polled during waits, so a signal ends a long send early.
  WireWriter(int fd, WireShape shape, const volatile std::sig_atomic_t* stop)
      : fd_(fd), shape_(shape), stop_(stop) {}
  // False when stopped, or when the reader stopped taking bytes for a second
  // (the rest is dropped, as bytes are lost on a line nobody reads).
  // `inPieces` false: at once (at the paced rate), whatever the piece size.
  bool Send(const std::uint8_t* bytes, std::size_t count, bool inPieces = true);
  // A frame of `count` bytes has just come in. The pty hands it over at once,
  // but on a real line its last byte would only now be starting to arrive: the
  // answer waits for the request's own time on the wire.
  void ReceivedOverWire(std::size_t count);

 private:
  bool SendPiece(const std::uint8_t* bytes, std::size_t count);
  bool WriteAll(const std::uint8_t* bytes, std::size_t count);
  bool SleepUntil(std::int64_t deadlineNs);

  int fd_;
  WireShape shape_;
  const volatile std::sig_atomic_t* stop_;
  std::int64_t lineFreeNs_ = 0;  // when the last paced byte has left the wire
  std::uint32_t gapState_ = 0x5EED;  // the gaps drawn are the same every run
};

std::int64_t MonotonicNs();

}  // namespace velorix::sim
