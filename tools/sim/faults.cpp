#include "sim/faults.h"

#include "link/frame_codec.h"

namespace velorix::sim {

FrameDecision FaultState::OnFrame(const std::vector<std::uint8_t>& frame) {
  FrameDecision d;
  const bool probe = frame.size() < 3 || frame[2] == CMD_END;
  bool repeat = false;
  if (probe) {
    ++probes_;
  } else {
    ++requests_;
    repeat = frame == lastRequest_;
    lastRequest_ = frame;
  }

  if (plan_.silent || (plan_.silentAfter >= 0 && requests_ > plan_.silentAfter)) {
    d.answer = false;
    return d;
  }
  if (probe) {
    const bool first = probes_ == 1;
    if (first && plan_.garbageAt == 0) d.garbageBefore = plan_.garbageBytes;
    if (first && plan_.floodAt == 0) d.floodAfter = plan_.floodBytes;
    d.inPieces = plan_.piecesAt < 0 || (first && plan_.piecesAt == 0);
    return d;
  }
  const int n = requests_;
  d.pause = n == plan_.pauseAt && plan_.pauseMs > 0;
  if (plan_.exitAfter > 0 && n == plan_.exitAfter) {
    d.answer = false;
    d.vanish = true;
    return d;
  }
  if (n == plan_.drop) {
    d.answer = false;
    return d;
  }
  d.corrupt = n == plan_.corrupt || (plan_.corruptEvery > 0 && n % plan_.corruptEvery == 0) ||
              (plan_.corruptFirstTry && !repeat);
  if (plan_.garbageAt < 0 || plan_.garbageAt == n) d.garbageBefore = plan_.garbageBytes;
  if (plan_.floodAt == n) d.floodAfter = plan_.floodBytes;
  d.inPieces = plan_.piecesAt < 0 || plan_.piecesAt == n;
  if (plan_.replyCode >= 0 && n >= plan_.replyCodeFrom) d.replyCode = plan_.replyCode;
  return d;
}

}  // namespace velorix::sim
