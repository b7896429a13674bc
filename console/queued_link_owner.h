#pragma once

// A LinkOwner for a program without a window: the worker's notices are queued
// and taken, in the order they were posted, by the thread that runs the
// download.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "link/link_owner.h"

namespace velorix {

struct LinkNotice {
  enum Kind { Frame, Status, MessageBox, PortTried, PortGone };
  explicit LinkNotice(Kind kind) : kind(kind) {}

  Kind kind;
  std::vector<std::uint8_t> frame;  // Frame: empty for the no-response notice
  std::string text;                 // Status, MessageBox; PortTried: the outcome
  MessageBoxKind boxKind = MessageBoxKind::Plain;
  int portNumber = 0;               // PortTried, PortGone
  std::string device;               // PortTried, PortGone
};

class QueuedLinkOwner : public LinkOwner {
 public:
  void PostLinkFrame(std::vector<std::uint8_t> frame) override {
    LinkNotice notice{LinkNotice::Frame};
    notice.frame = std::move(frame);
    Push(std::move(notice));
  }
  void PostLinkStatus(std::string text) override {
    LinkNotice notice{LinkNotice::Status};
    notice.text = std::move(text);
    Push(std::move(notice));
  }
  void PostMessageBox(std::string text, MessageBoxKind kind) override {
    LinkNotice notice{LinkNotice::MessageBox};
    notice.text = std::move(text);
    notice.boxKind = kind;
    Push(std::move(notice));
  }
  void PortTried(int portNumber, const std::string& device, const std::string& outcome) override {
    LinkNotice notice{LinkNotice::PortTried};
    notice.text = outcome;
    notice.portNumber = portNumber;
    notice.device = device;
    Push(std::move(notice));
  }
  void PortGone(int portNumber, const std::string& device) override {
    LinkNotice notice{LinkNotice::PortGone};
    notice.portNumber = portNumber;
    notice.device = device;
    Push(std::move(notice));
  }

  // The next notice, or nothing when none came within `timeout`.
  std::optional<LinkNotice> Take(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!ready_.wait_for(lock, timeout, [this] { return !notices_.empty(); })) return std::nullopt;
    LinkNotice notice = std::move(notices_.front());
    notices_.pop_front();
    return notice;
  }

 private:
  void Push(LinkNotice notice) {
    {
      std::lock_guard lock(mutex_);
      notices_.push_back(std::move(notice));
    }
    ready_.notify_one();
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<LinkNotice> notices_;
};

}  // namespace velorix
