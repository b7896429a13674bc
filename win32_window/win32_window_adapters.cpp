#include "win32_window/win32_window_adapters.h"

#include <commdlg.h>

#include "fileio/wide_text.h"
#include "shell/window_logic.h"

namespace velorix {

template <typename T>
void Win32LinkOwner::Post(UINT message, T* payload) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (target_ == nullptr || !::PostMessageW(target_, message, 0, reinterpret_cast<LPARAM>(payload))) delete payload;
}

void Win32LinkOwner::Detach() {
  std::lock_guard<std::mutex> lock(mutex_);
  target_ = nullptr;
}

void Win32LinkOwner::PostLinkFrame(std::vector<std::uint8_t> frame) {
  Post(WM_LINK_FRAME, new std::vector<std::uint8_t>(std::move(frame)));
}

void Win32LinkOwner::PostLinkStatus(std::string text) { Post(WM_LINK_STATUS, new std::string(std::move(text))); }

void Win32LinkOwner::PostMessageBox(std::string text, MessageBoxKind kind) {
  Post(WM_LINK_MESSAGE_BOX, new PostedBox{std::move(text), kind});
}

void Win32LinkOwner::SetWaitCursor(bool on) { Post(WM_LINK_WAIT_CURSOR, new bool(on)); }

void Win32LinkOwner::PortGone(int portNumber, const std::string& device) {
  Post(WM_LINK_PORT_GONE, new std::string(PortGoneText(portNumber, device)));
}

void DropPosted(const MSG& message) {
  switch (message.message) {
    case WM_LINK_FRAME: delete reinterpret_cast<std::vector<std::uint8_t>*>(message.lParam); break;
    case WM_LINK_STATUS:
    case WM_LINK_PORT_GONE: delete reinterpret_cast<std::string*>(message.lParam); break;
    case WM_LINK_MESSAGE_BOX: delete reinterpret_cast<PostedBox*>(message.lParam); break;
    case WM_LINK_WAIT_CURSOR: delete reinterpret_cast<bool*>(message.lParam); break;
    default: break;
  }
}

std::optional<std::string> Win32SaveDialog::AskSavePath(const SaveRequest& request) {
  // "Text (*.doc)|*.doc|All Files (*.*)|*.*||": the bars become the zeros
  // the dialog's filter list is made of.
  std::wstring filter = WideFromUtf8(request.filter);
  for (wchar_t& c : filter)
    if (c == L'|') c = L'\0';
  filter.push_back(L'\0');
  const std::wstring extension = WideFromUtf8(request.defaultExtension);
  // Room for the longest path Windows takes.
  std::wstring name = WideFromUtf8(request.proposedName);
  name.resize(32768, L'\0');

  if (folder_.empty()) {
    folder_.resize(::GetCurrentDirectoryW(0, nullptr));
    folder_.resize(::GetCurrentDirectoryW(static_cast<DWORD>(folder_.size()), folder_.data()));
  }

  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = owner_;
  dialog.lpstrFilter = filter.c_str();
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = name.data();
  dialog.nMaxFile = static_cast<DWORD>(name.size());
  dialog.lpstrDefExt = extension.empty() ? nullptr : extension.c_str();
  dialog.lpstrInitialDir = folder_.empty() ? nullptr : folder_.c_str();
  dialog.Flags = OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_EXPLORER;
  if (!::GetSaveFileNameW(&dialog)) return std::nullopt;
  chosenFilter_ = static_cast<int>(dialog.nFilterIndex) - 1;
  name.resize(::wcslen(name.c_str()));
  if (dialog.nFileOffset > 0) folder_ = name.substr(0, dialog.nFileOffset);
  return Utf8FromWide(name);
}

}  // namespace velorix
