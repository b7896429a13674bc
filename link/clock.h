#pragma once

#include <cstdint>

namespace velorix {

// A millisecond clock that only moves forward. The link times its replies with
// it; tests hand in a clock of their own so time-outs pass without waiting.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::int64_t NowMs() = 0;
};

// Wall-independent time since an arbitrary start (std::chrono::steady_clock).
// Not CPU time: std::clock() would stretch every time-out on an idle process.
class SteadyClock : public Clock {
 public:
  std::int64_t NowMs() override;
};

}  // namespace velorix
