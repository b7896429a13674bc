#pragma once

// The faults the simulated instrument can be told to show, and the per-frame
// decision that applies them.
//
// Counting: a "request" is every checked frame whose code is not 255. Frames
// with code 255 are the probe (and, byte for byte the same, the end of a
// download); they are answered but never counted. Repeats of a request count
// again, so "--drop 3" loses the third request once and answers its repeat.
// A request counts as a repeat when it is the same frame, byte for byte, as
// the request just before it.

#include <cstdint>
#include <vector>

namespace velorix::sim {

struct FaultPlan {
  bool silent = false;             // never answer anything
  int silentAfter = -1;            // answer the first K requests, then nothing at all
  int drop = 0;                    // leave request N unanswered, once
  int corrupt = 0;                 // wrong checksum on the reply to request N, once
  int corruptEvery = 0;            // ... to every request whose number is a multiple of N
  bool corruptFirstTry = false;    // ... to every request that is not a repeat
  int garbageBytes = 0;            // junk bytes sent just before a reply
  int garbageAt = -1;              // -1: before every request's reply; 0: the first probe; K
  int floodBytes = 0;              // noise bytes sent right after a reply
  int floodAt = 0;                 // 0: after the first probe's echo; K: after request K's reply
  bool customProbeReply = false;   // answer code-255 frames with probeReply instead
  std::vector<std::uint8_t> probeReply;
  int exitAfter = 0;               // vanish on receiving request K, unanswered
  int piecesAt = -1;               // replies sent in pieces: -1 all; 0 the first probe's echo; K
  int replyCode = -1;              // 0..255: replies carry this command code instead of their own ...
  int replyCodeFrom = 1;           // ... from request K on
  int pauseAt = 0;                 // K: on request K, answer nothing for pauseMs ...
  int pauseMs = 0;                 // ... then everything received meanwhile, in order
  int noiseEveryMs = 0;            // K: one junk byte every K ms ...
  int noiseFrom = 1;               // ... once request N has come
};

struct FrameDecision {
  bool answer = true;
  bool corrupt = false;
  int garbageBefore = 0;
  int floodAfter = 0;
  bool vanish = false;
  bool inPieces = true;  // send the reply in the configured pieces (if any)
  int replyCode = -1;    // 0..255: the reply carries this code (checksum made to fit)
  bool pause = false;    // the pause starts with this frame
};

class FaultState {
 public:
  explicit FaultState(const FaultPlan& plan) : plan_(plan) {}
  // `frame` is a checked frame just received (at least 3 bytes).
  FrameDecision OnFrame(const std::vector<std::uint8_t>& frame);
  int Requests() const { return requests_; }

 private:
  const FaultPlan& plan_;
  int requests_ = 0;
  int probes_ = 0;
  std::vector<std::uint8_t> lastRequest_;
};

}  // namespace velorix::sim
