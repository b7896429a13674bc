#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velorix {

enum class MessageBoxKind { Plain, Error };

// What the link's worker tells its owner (the window, the headless runner or a
// test). Every call comes from the worker thread; an owner hands the notice over
// to its own thread and returns at once. Each notice carries its own copy of the
// bytes or text, so nothing the worker does later can change it.
class LinkOwner {
 public:
  virtual ~LinkOwner() = default;

  // A complete, checked frame, the frame's own bytes only (138 at most), or
  // an empty vector when the request and its four repeats went unanswered or
  // the port has gone.
  virtual void PostLinkFrame(std::vector<std::uint8_t> frame) = 0;
  virtual void PostLinkStatus(std::string text) = 0;

  // A box the operator has to close. The worker waits until the owner calls
  // CDeviceLink::MessageBoxClosed() (or until the link is stopped).
  virtual void PostMessageBox(std::string text, MessageBoxKind kind) = 0;

  // The wait cursor during the port scan.
  virtual void SetWaitCursor(bool /*on*/) {}

  // One try of the port scan: the port number, its device path and what came
  // of it ("ok", or why it failed). Only the headless runner shows these.
  virtual void PortTried(int /*portNumber*/, const std::string& /*device*/,
                         const std::string& /*outcome*/) {}

  // The port the instrument answered on has gone (a USB adapter pulled out,
  // the line hung up): the link has ended. An empty frame follows when a
  // request was waiting.
  virtual void PortGone(int /*portNumber*/, const std::string& /*device*/) {}
};

}  // namespace velorix
