#include "win32_window/win32_archive_dlg.h"

#include <windows.h>
#include <commctrl.h>

#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive_download.h"
#include "archive/archive_record.h"
#include "archive/results_file.h"
#include "fileio/wide_text.h"
#include "link/device_link.h"
#include "resources/windows/window_resource.h"
#include "shell/download_history.h"
#include "shell/port_devices.h"
#include "shell/settings.h"
#include "win32_window/win32_window_adapters.h"
#include "shell/window_logic.h"

// The main window as a native dialog from the resource script's IDD_MAIN.
// This file draws and routes; what the window decides lives in
// shell/window_logic and the core, shared with the Qt window.

namespace velorix {
namespace {

constexpr UINT_PTR CLOCK_TIMER = 1;
constexpr UINT CLOCK_PERIOD_MS = 1000;

std::wstring Wide(const std::string& text) { return WideFromUtf8(text); }

// The boxes' caption: the program's file name, as the system's own boxes of
// such programs show it.
std::wstring BoxCaption() {
  const std::wstring path = ProgramPath();
  std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
  if (name.size() > 4 && _wcsicmp(name.c_str() + name.size() - 4, L".exe") == 0) name.resize(name.size() - 4);
  return name;
}

class MainWindow : public DownloadView {
 public:
  explicit MainWindow(HINSTANCE instance)
      : instance_(instance),
        ports_(PortDevices::FromEnvironment(SettingsFilePath())),
        link_(ports_.Resolver()),
        download_(link_, store_, *this) {}

  INT_PTR Handle(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

 private:
  // DownloadView
  void SetProgressRange(int low, int high) override {
    ::SendDlgItemMessageW(hwnd_, IDC_PROGRESS, PBM_SETRANGE32, static_cast<WPARAM>(low), static_cast<LPARAM>(high));
  }
  void SetProgressPos(int pos) override {
    ::SendDlgItemMessageW(hwnd_, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
  }
  void SetStatusSuffix(const std::string& suffix) override { statusSuffix_ = suffix; }
  void ShowMessageBox(const std::string& text) override { ShowBox(text, MB_OK); }
  void WriteResultsFile(int sampleCount) override;
  void DownloadComplete(const CompletedDownload& download) override;
  void ReadingWholeArchive(WholeArchiveReason reason) override { statusSuffix_ = WholeArchiveSuffix(reason); }
  void ShowEnd(const char* text);
  void OnReadNewRecords();
  // Trouble with the history, in a box: the window has no other place that
  // lasts for it (the status line says "History not kept." at the end).
  void TellHistoryNotice();

  void OnInitDialog();
  void OnTimer();
  void PaintClock(HWND clock);
  void OnSampleCountChange();
  void OnVScroll();
  void OnDestroy(bool tellOperator);
  void ShowAbout();
  void ShowBox(const std::string& text, UINT type);
  static LRESULT CALLBACK ClockProc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);

  HINSTANCE instance_;
  HWND hwnd_ = nullptr;
  std::unique_ptr<Win32LinkOwner> owner_;
  PortDevices ports_;  // which port each COM number opens
  CDeviceLink link_;
  DownloadStore store_;
  ArchiveDownload download_;
  std::unique_ptr<Win32SaveDialog> saveDialog_;
  int sampleCount_ = 0;
  int exportExcel_ = 0;
  int portSetting_ = 0;
  bool firstTick_ = true;
  bool waitCursor_ = false;
  bool settingsWritten_ = false;
  std::string statusSuffix_;
  std::string settingsNotice_;  // why the settings file is not used, found at the start
  std::unique_ptr<DownloadHistory> history_;  // beside the settings file
  bool historyKept_ = true;                   // the last download's records are in it
  std::string clockLines_[2];
  HICON bigIcon_ = nullptr;
  HICON smallIcon_ = nullptr;
};

INT_PTR MainWindow::Handle(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      hwnd_ = hwnd;
      OnInitDialog();
      return TRUE;  // the focus goes to the first tab stop, the clock
    case WM_TIMER:
      if (wParam == CLOCK_TIMER) OnTimer();
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_READ_ARCHIVE:
          if (HIWORD(wParam) == BN_CLICKED) download_.OnReadArchive(sampleCount_);
          return TRUE;
        case IDC_SAMPLE_COUNT:
          if (HIWORD(wParam) == EN_CHANGE) OnSampleCountChange();
          return TRUE;
        case IDC_EXPORT_EXCEL:
          if (HIWORD(wParam) == BN_CLICKED) exportExcel_ ^= 1;
          return TRUE;
        case IDOK:
        case IDCANCEL:
          // While the window still shows, so that a box about the settings
          // file has it as its owner.
          OnDestroy(true);
          ::EndDialog(hwnd, LOWORD(wParam));
          return TRUE;
        default:
          return FALSE;
      }
    case WM_VSCROLL:
      OnVScroll();
      return TRUE;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
        ShowAbout();
        return TRUE;
      }
      if ((wParam & 0xFFF0) == IDM_READ_NEW_RECORDS) {
        OnReadNewRecords();
        return TRUE;
      }
      return FALSE;
    case WM_HELP:  // F1
      ShowAbout();
      return TRUE;
    case WM_SETCURSOR:
      if (!waitCursor_) return FALSE;
      ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
      ::SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, TRUE);
      return TRUE;
    case WM_LINK_STATUS: {
      const std::unique_ptr<std::string> text(reinterpret_cast<std::string*>(lParam));
      ::SetDlgItemTextW(hwnd, IDC_STATUS, Wide(StatusLineText(*text, statusSuffix_)).c_str());
      return TRUE;
    }
    case WM_LINK_PORT_GONE: {
      const std::unique_ptr<std::string> text(reinterpret_cast<std::string*>(lParam));
      ::SetDlgItemTextW(hwnd, IDC_STATUS, Wide(*text).c_str());
      return TRUE;
    }
    case WM_LINK_FRAME: {
      // Owned here for as long as the download needs it, also when it enters
      // the save dialog's loop and more frames arrive there.
      const std::unique_ptr<std::vector<std::uint8_t>> frame(reinterpret_cast<std::vector<std::uint8_t>*>(lParam));
      download_.OnLinkFrame(frame->empty() ? nullptr : frame->data(), static_cast<int>(frame->size()));
      return TRUE;
    }
    case WM_LINK_MESSAGE_BOX: {
      const std::unique_ptr<PostedBox> box(reinterpret_cast<PostedBox*>(lParam));
      ShowBox(box->text, box->kind == MessageBoxKind::Error ? MB_OK | MB_ICONERROR : MB_OK);
      link_.MessageBoxClosed();
      return TRUE;
    }
    case WM_LINK_WAIT_CURSOR: {
      const std::unique_ptr<bool> on(reinterpret_cast<bool*>(lParam));
      waitCursor_ = *on;
      POINT at{};
      ::GetCursorPos(&at);
      ::SetCursorPos(at.x, at.y);  // the cursor takes its new shape at once
      return TRUE;
    }
    case WM_ENDSESSION:
      // Windows is shutting down: there may be no WM_DESTROY, and nobody to
      // read a box.
      if (wParam) OnDestroy(false);
      return TRUE;
    case WM_DESTROY:
      OnDestroy(false);
      return TRUE;
    default:
      return FALSE;
  }
}

void MainWindow::OnInitDialog() {
  if (HMENU menu = ::GetSystemMenu(hwnd_, FALSE)) {
    wchar_t about[64] = L"";
    ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuW(menu, MF_STRING, IDM_READ_NEW_RECORDS, Wide(READ_NEW_RECORDS_TEXT).c_str());
    if (::LoadStringW(instance_, IDS_ABOUTBOX, about, 64) > 0) ::AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, about);
  }
  bigIcon_ = static_cast<HICON>(::LoadImageW(instance_, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                             ::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON), 0));
  smallIcon_ = static_cast<HICON>(::LoadImageW(instance_, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                               ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON), 0));
  ::SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_));
  ::SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));

  owner_ = std::make_unique<Win32LinkOwner>(hwnd_);
  saveDialog_ = std::make_unique<Win32SaveDialog>(hwnd_);
  settingsNotice_ = SettingsFileNotice();
  portSetting_ = ReadPortSetting();
  link_.PortNumber(portSetting_);
  history_ = std::make_unique<DownloadHistory>(DefaultHistoryPath());
  ::SetTimer(hwnd_, CLOCK_TIMER, CLOCK_PERIOD_MS, nullptr);

  // The clock is painted over its edit box, also when the box repaints.
  ::SetWindowSubclass(::GetDlgItem(hwnd_, IDC_CLOCK), ClockProc, 0, reinterpret_cast<DWORD_PTR>(this));

  ::SendDlgItemMessageW(hwnd_, IDC_SAMPLE_SPIN, UDM_SETRANGE32, MIN_SAMPLE_COUNT, MAX_SAMPLE_COUNT);
  sampleCount_ = 100;
  ::SendDlgItemMessageW(hwnd_, IDC_SAMPLE_SPIN, UDM_SETPOS, 0, MAKELPARAM(100, 0));
  exportExcel_ = 0;
  ::SetDlgItemInt(hwnd_, IDC_SAMPLE_COUNT, static_cast<UINT>(sampleCount_), FALSE);
}

void MainWindow::OnTimer() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  const bool known = ::localtime_s(&local, &now) == 0;
  clockLines_[0] = ClockLine1(known ? &local : nullptr);
  clockLines_[1] = ClockLine2(known ? &local : nullptr);
  // Wiped and drawn at once.
  const HWND clock = ::GetDlgItem(hwnd_, IDC_CLOCK);
  ::InvalidateRect(clock, nullptr, TRUE);
  ::UpdateWindow(clock);
  if (firstTick_) {
    firstTick_ = false;
    link_.Start(owner_.get());
  }
}

void MainWindow::PaintClock(HWND clock) {
  const HDC dc = ::GetDC(clock);
  // The dialog's font, as the box itself writes with.
  const HGDIOBJ old = ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(clock, WM_GETFONT, 0, 0)));
  const std::wstring line1 = Wide(clockLines_[0]), line2 = Wide(clockLines_[1]);
  ::TextOutW(dc, 4, 0, line1.c_str(), static_cast<int>(line1.size()));
  ::TextOutW(dc, 1, 15, line2.c_str(), static_cast<int>(line2.size()));
  ::SelectObject(dc, old);
  ::ReleaseDC(clock, dc);
}

LRESULT CALLBACK MainWindow::ClockProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                       DWORD_PTR self) {
  const LRESULT result = ::DefSubclassProc(hwnd, message, wParam, lParam);
  if (message == WM_PAINT) reinterpret_cast<MainWindow*>(self)->PaintClock(hwnd);
  if (message == WM_NCDESTROY) ::RemoveWindowSubclass(hwnd, ClockProc, 0);
  return result;
}

void MainWindow::OnSampleCountChange() {
  std::wstring text(::GetWindowTextLengthW(::GetDlgItem(hwnd_, IDC_SAMPLE_COUNT)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(::GetDlgItemTextW(hwnd_, IDC_SAMPLE_COUNT, text.data(),
                                                          static_cast<int>(text.size()))));
  sampleCount_ = static_cast<int>(DlgItemIntFromText(Utf8FromWide(text)));
  // The position travels in 16 bits.
  ::SendDlgItemMessageW(hwnd_, IDC_SAMPLE_SPIN, UDM_SETPOS, 0, MAKELPARAM(sampleCount_ & 0xFFFF, 0));
}

void MainWindow::OnVScroll() {
  sampleCount_ = static_cast<int>(::SendDlgItemMessageW(hwnd_, IDC_SAMPLE_SPIN, UDM_GETPOS32, 0, 0));
  ::SetDlgItemInt(hwnd_, IDC_SAMPLE_COUNT, static_cast<UINT>(sampleCount_), FALSE);
}

void MainWindow::WriteResultsFile(int sampleCount) {
  const auto tell = [this](const std::string& text) { ShowBox(text, MB_OK | MB_ICONERROR); };
  const WriteOutcome outcome = WriteResultsFileUntilWritten(store_, sampleCount, exportExcel_, *saveDialog_, tell);
  if (const char* end = DownloadEndText(outcome)) ShowEnd(end);
}

void MainWindow::OnReadNewRecords() {
  const std::optional<DownloadMark> mark = history_->LastMark();
  TellHistoryNotice();
  download_.OnReadNewRecords(mark);
}

// Kept before the save dialog: the records are safe whatever becomes of the file.
void MainWindow::DownloadComplete(const CompletedDownload& download) {
  const int port = link_.PortNumber(-1);
  historyKept_ = history_->Keep(store_, download, PortLabel(port, ports_.Resolve(port).path), std::time(nullptr)).has_value();
  TellHistoryNotice();
  if (download.count == 0) ShowEnd(NOTHING_NEW_STATUS);
}

void MainWindow::TellHistoryNotice() {
  if (const std::string notice = history_->TakeNotice(); !notice.empty()) ShowBox(notice, MB_OK | MB_ICONWARNING);
}

// The download's end in the status line, also after each later status of
// the worker, and the bar back at the start.
void MainWindow::ShowEnd(const char* text) {
  statusSuffix_ = historyKept_ ? std::string(text) : WithoutHistory(text);
  ::SetDlgItemTextW(hwnd_, IDC_STATUS, Wide(statusSuffix_).c_str());
  SetProgressPos(0);
}

void MainWindow::ShowBox(const std::string& text, UINT type) {
  ::MessageBoxW(hwnd_, Wide(text).c_str(), BoxCaption().c_str(), type);
}

INT_PTR CALLBACK AboutProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) return TRUE;
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    ::EndDialog(hwnd, LOWORD(wParam));
    return TRUE;
  }
  return FALSE;
}

void MainWindow::ShowAbout() { ::DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_ABOUTBOX), hwnd_, AboutProc, 0); }

// On close and on Windows' shutdown, once: the link is stopped (nothing is
// posted after that) and the port it ended on is stored. A settings file
// that can't be used is told once, in a box: the window has no other place
// the operator would see it in.
void MainWindow::OnDestroy(bool tellOperator) {
  if (settingsWritten_) return;
  settingsWritten_ = true;
  ::KillTimer(hwnd_, CLOCK_TIMER);
  if (owner_) owner_->Detach();
  link_.Stop();
  MSG left{};
  while (::PeekMessageW(&left, hwnd_, WM_LINK_FRAME, WM_LINK_WAIT_CURSOR, PM_REMOVE)) DropPosted(left);
  portSetting_ = link_.PortNumber(-1);
  const std::string writeNotice = WritePortSetting(portSetting_);
  const std::string& notice = settingsNotice_.empty() ? writeNotice : settingsNotice_;
  if (tellOperator && !notice.empty()) ShowBox(notice, MB_OK | MB_ICONWARNING);
}

INT_PTR CALLBACK MainProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) ::SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
  auto* window = reinterpret_cast<MainWindow*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
  return window ? window->Handle(hwnd, message, wParam, lParam) : FALSE;
}

}  // namespace

int RunArchiveWindow(HINSTANCE instance) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_UPDOWN_CLASS | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&controls);
  MainWindow window(instance);
  const INT_PTR result = ::DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainProc,
                                           reinterpret_cast<LPARAM>(&window));
  return result == -1 ? 1 : 0;
}

}  // namespace velorix
