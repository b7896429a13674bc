#pragma once

#include <cstdint>

namespace velorix {

// Where the current request stands; written by the link's worker only.
enum LinkState : std::int32_t {
  LINK_WAITING = 0,      // a request has been written; no reply yet
  LINK_REPLIED = 1,      // the last frame received was accepted (also a new link)
  LINK_REPEAT_DUE = 2,   // the reply time-out passed; the request is written again
  LINK_NO_RESPONSE = 3,  // neither the request nor its four repeats were answered
};

// Milliseconds allowed for a reply, counted from the last write or read.
inline constexpr int REPLY_TIMEOUT_MS = 3000;
// A request is written at most this often (once and four repeats) before the
// link gives up on it.
inline constexpr int REQUEST_WRITES = 5;

// The side of the link that a requester uses: the archive download talks to
// the instrument through this and nothing else, so tests can script replies.
class RequestChannel {
 public:
  virtual ~RequestChannel() = default;
  virtual LinkState State() const = 0;
  // Hands a framed request to the link; the worker writes it whole. A request
  // placed before the previous one was written replaces it whole.
  virtual void PlaceRequest(const std::uint8_t* frame, int length, int replyTimeoutMs) = 0;
};

}  // namespace velorix
