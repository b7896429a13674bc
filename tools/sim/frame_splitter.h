#pragma once

// Cuts the byte stream from the PC into frames by their length byte and judges
// each with the codec's own rule (low checksum byte only). A frame that fails
// the check takes everything accumulated with it, as on the PC side. Bytes of
// an unfinished frame are dropped once the line has been quiet for longer
// than the gap, so a half request left behind by a closed program can't
// swallow the next one.

#include <cstdint>
#include <vector>

#include "link/frame_codec.h"

namespace velorix::sim {

class FrameSplitter {
 public:
  enum Result { NOTHING, FRAME, BAD };

  explicit FrameSplitter(std::int64_t gapMs) : gapMs_(gapMs) {}

  // Adds received bytes; returns what was dropped because of the gap.
  std::vector<std::uint8_t> Add(const std::uint8_t* bytes, int count, std::int64_t nowMs) {
    std::vector<std::uint8_t> stale;
    if (!pending_.empty() && nowMs - lastByteMs_ > gapMs_) stale.swap(pending_);
    pending_.insert(pending_.end(), bytes, bytes + count);
    lastByteMs_ = nowMs;
    return stale;
  }

  // Takes the next frame (FRAME) or the bytes thrown away (BAD) into `out`.
  Result Next(std::vector<std::uint8_t>& out) {
    switch (CheckFrame(pending_.data(), static_cast<int>(pending_.size()))) {
      case FRAME_INCOMPLETE:
        return NOTHING;
      case FRAME_BAD:
        out.swap(pending_);
        pending_.clear();
        return BAD;
      case FRAME_OK:
        break;
    }
    const auto length = static_cast<std::ptrdiff_t>(pending_[1]);
    out.assign(pending_.begin(), pending_.begin() + length);
    pending_.erase(pending_.begin(), pending_.begin() + length);
    return FRAME;
  }

 private:
  std::int64_t gapMs_;
  std::int64_t lastByteMs_ = 0;
  std::vector<std::uint8_t> pending_;
};

}  // namespace velorix::sim
