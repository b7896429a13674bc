#pragma once

// What stands between the Win32 window and the core: the link's notices
// become messages posted to the dialog, and the results writer's save dialog
// is the system's own.

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "archive/results_file.h"
#include "link/link_owner.h"

namespace velorix {

// The messages the worker posts; their lParam owns a heap copy of what they
// carry, which the dialog frees (TakePosted).
inline constexpr UINT WM_LINK_FRAME = WM_USER + 5;
inline constexpr UINT WM_LINK_STATUS = WM_USER + 6;
inline constexpr UINT WM_LINK_MESSAGE_BOX = WM_USER + 7;
inline constexpr UINT WM_LINK_WAIT_CURSOR = WM_USER + 8;
inline constexpr UINT WM_LINK_PORT_GONE = WM_USER + 9;  // the status line's text

struct PostedBox {
  std::string text;
  MessageBoxKind kind;
};

// Called on the worker's thread; each notice is posted to the dialog, in the
// order the worker made them. After Detach() (the window is going) they are
// dropped.
class Win32LinkOwner : public LinkOwner {
 public:
  explicit Win32LinkOwner(HWND target) : target_(target) {}
  void Detach();
  void PostLinkFrame(std::vector<std::uint8_t> frame) override;
  void PostLinkStatus(std::string text) override;
  void PostMessageBox(std::string text, MessageBoxKind kind) override;
  void SetWaitCursor(bool on) override;
  void PortGone(int portNumber, const std::string& device) override;

 private:
  template <typename T>
  void Post(UINT message, T* payload);

  std::mutex mutex_;
  HWND target_;
};

// Frees the payload of a message the worker posted that was not handled (the
// window went first).
void DropPosted(const MSG& message);

// GetSaveFileNameW with the request's proposal, filters (the "a|b||" form)
// and default extension, asking before an existing file is replaced. The
// first dialog opens in the current folder, each later one in the folder
// chosen last (not in whatever folder the system remembers from other runs).
class Win32SaveDialog : public SaveDialog {
 public:
  explicit Win32SaveDialog(HWND owner) : owner_(owner) {}
  std::optional<std::string> AskSavePath(const SaveRequest& request) override;
  int ChosenFilter() const override { return chosenFilter_; }

 private:
  HWND owner_;
  int chosenFilter_ = 0;
  std::wstring folder_;
};

}  // namespace velorix
