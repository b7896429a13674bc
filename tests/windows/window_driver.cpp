// Drives the window program from outside, as an operator would, for
// tests/windows/window_test: finds its dialog, checks the controls against the
// template, types, clicks, answers the save dialog and the boxes.
//   window_driver layout WINDOW_PROGRAM.exe
//   window_driver download COUNT xls|doc|xlsx NAME
//   window_driver not-found
//   window_driver about
//   window_driver close
//   window_driver press COUNT | show-about     (for pictures)
// Prints what it found; exits 1 with the reason when something is not as
// the template or the step expects.
#include <windows.h>
#include <commctrl.h>

#include <chrono>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "resources/windows/window_resource.h"

namespace {

constexpr wchar_t kDialogClass[] = L"#32770";
constexpr wchar_t kCaption[] = L"Velorix-5  Reading archive";

int Fail(const std::wstring& why) {
  std::fwprintf(stderr, L"window_driver: %ls\n", why.c_str());
  return 1;
}

// Asks `found` every 100 ms for at most `seconds`.
template <typename T>
T WaitFor(const std::function<T()>& found, int seconds = 20) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    if (T value = found()) return value;
    if (std::chrono::steady_clock::now() > end) return T{};
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

// A message to another program's window, given up after 5 s: a window that
// does not answer is a finding, not a reason to hang.
LRESULT Send(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
  DWORD_PTR result = 0;
  if (!::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &result)) {
    std::fwprintf(stderr, L"window_driver: no answer to message 0x%x\n", message);
    return 0;
  }
  return static_cast<LRESULT>(result);
}

std::wstring Text(HWND window) {
  std::wstring text(512, L'\0');
  const LRESULT n = Send(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(n));
  return text;
}

HWND MainDialog() {
  return WaitFor<HWND>([] { return ::FindWindowW(kDialogClass, kCaption); });
}

// A dialog the main window owns (a box, the save dialog, the About box),
// whose caption or static text contains `text` when given.
HWND OwnedDialog(HWND main, const std::wstring& text = L"") {
  struct Search {
    HWND main;
    const std::wstring* text;
    HWND found = nullptr;
  } search{main, &text};
  return WaitFor<HWND>([&search] {
    search.found = nullptr;
    ::EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
          auto* s = reinterpret_cast<Search*>(data);
          wchar_t cls[16];
          ::GetClassNameW(window, cls, 16);
          if (window == s->main || std::wcscmp(cls, kDialogClass) != 0 || ::GetWindow(window, GW_OWNER) != s->main ||
              !::IsWindowVisible(window))
            return TRUE;
          std::wstring all = Text(window);
          for (HWND child = ::GetWindow(window, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT))
            all += L"\n" + Text(child);
          if (s->text->empty() || all.find(*s->text) != std::wstring::npos) {
            s->found = window;
            return FALSE;
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
  });
}

struct Control {
  int id;
  const wchar_t* text;  // group boxes have no identifier: found by text
  RECT units;           // x, y, width, height in dialog units
};

// The template's dialog units in pixels, as MapDialogRect gives them for the
// template's font here: a hidden copy of the dialog, made in this process
// from the window program's own resources (MapDialogRect needs a dialog of
// the calling process).
class TemplateCopy {
 public:
  explicit TemplateCopy(const std::wstring& program) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_UPDOWN_CLASS | ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&controls);
    module_ = ::LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module_) dialog_ = ::CreateDialogParamW(module_, MAKEINTRESOURCEW(IDD_MAIN), nullptr, Ignore, 0);
    if (dialog_) ::ShowWindow(dialog_, SW_HIDE);
  }
  ~TemplateCopy() {
    if (dialog_) ::DestroyWindow(dialog_);
    if (module_) ::FreeLibrary(module_);
  }
  HWND dialog() const { return dialog_; }

 private:
  static INT_PTR CALLBACK Ignore(HWND, UINT, WPARAM, LPARAM) { return FALSE; }
  HMODULE module_ = nullptr;
  HWND dialog_ = nullptr;
};

int Layout(const std::wstring& program) {
  const HWND main = MainDialog();
  if (!main) return Fail(L"no main window");
  TemplateCopy copy(program);
  if (!copy.dialog()) return Fail(L"could not make the template's dialog from " + program);
  const std::vector<Control> controls{
      {IDC_CLOCK, nullptr, {67, 4, 68, 23}},          {IDC_STATUS, nullptr, {3, 121, 205, 9}},
      {IDC_PROGRESS, nullptr, {7, 99, 198, 11}},      {IDC_SAMPLE_COUNT, nullptr, {33, 48, 36, 12}},
      {IDC_READ_ARCHIVE, nullptr, {117, 43, 81, 18}}, {IDC_SAMPLE_SPIN, nullptr, {70, 48, 9, 11}},
      {-1, L"Status bar", {3, 89, 205, 28}},          {-1, L"Number of samples", {17, 37, 81, 27}},
      {IDC_EXPORT_EXCEL, nullptr, {16, 71, 139, 11}}};
  int wrong = 0;
  HWND child = ::GetWindow(main, GW_CHILD);
  // Template order is the window order, which is the tab order.
  for (const Control& control : controls) {
    if (!child) return Fail(L"fewer controls than the template has");
    const int id = ::GetDlgCtrlID(child);
    if (id != (control.id == -1 ? 0xFFFF : control.id) && !(control.id == -1 && id == -1))
      return Fail(L"control " + std::to_wstring(id) + L" where " + std::to_wstring(control.id) + L" belongs");
    if (control.text && Text(child) != control.text) return Fail(L"group box text: " + Text(child));
    RECT expected{control.units.left, control.units.top, control.units.left + control.units.right,
                  control.units.top + control.units.bottom};
    ::MapDialogRect(copy.dialog(), &expected);
    RECT actual{};
    ::GetWindowRect(child, &actual);
    ::MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&actual), 2);
    const bool same = std::abs(actual.left - expected.left) <= 1 && std::abs(actual.top - expected.top) <= 1 &&
                      std::abs(actual.right - expected.right) <= 1 && std::abs(actual.bottom - expected.bottom) <= 1;
    std::wprintf(L"%-6d %4ld %4ld %4ld %4ld  %ls\n", id, actual.left, actual.top, actual.right - actual.left,
                 actual.bottom - actual.top, same ? L"as the template" : L"NOT as the template");
    wrong += same ? 0 : 1;
    child = ::GetWindow(child, GW_HWNDNEXT);
  }
  RECT client{};
  ::GetClientRect(main, &client);
  RECT size{0, 0, 212, 134};
  ::MapDialogRect(copy.dialog(), &size);
  if (client.right != size.right || client.bottom != size.bottom) return Fail(L"the client area is not 212 x 134 units");
  const LONG_PTR style = ::GetWindowLongPtrW(main, GWL_STYLE);
  if ((style & WS_MAXIMIZEBOX) || (style & WS_THICKFRAME) || !(style & WS_MINIMIZEBOX))
    return Fail(L"window style");
  if (!(::GetWindowLongPtrW(main, GWL_EXSTYLE) & WS_EX_APPWINDOW)) return Fail(L"not an application window");
  return wrong == 0 ? 0 : Fail(std::to_wstring(wrong) + L" controls not where the template puts them");
}

int Download(int count, const std::wstring& format, const std::wstring& name) {
  const HWND main = MainDialog();
  if (!main) return Fail(L"no main window");
  // Connected first (or done with the last file): the button does nothing
  // before the instrument answers.
  if (!WaitFor<bool>([main] {
        const std::wstring status = Text(::GetDlgItem(main, IDC_STATUS));
        return status.find(L"Device connected") != std::wstring::npos || status == L"File is written.";
      }))
    return Fail(L"not connected: " + Text(::GetDlgItem(main, IDC_STATUS)));
  Send(::GetDlgItem(main, IDC_SAMPLE_COUNT), WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>(std::to_wstring(count).c_str()));
  const HWND excel = ::GetDlgItem(main, IDC_EXPORT_EXCEL);
  if ((format != L"doc") != (Send(excel, BM_GETCHECK, 0, 0) == BST_CHECKED))
    Send(excel, BM_CLICK, 0, 0);
  ::PostMessageW(main, WM_COMMAND, MAKEWPARAM(IDC_READ_ARCHIVE, BN_CLICKED),
                 reinterpret_cast<LPARAM>(::GetDlgItem(main, IDC_READ_ARCHIVE)));
  const HWND save = OwnedDialog(main);
  if (!save) return Fail(L"no save dialog");
  std::wprintf(L"save dialog: %ls\n", Text(save).c_str());
  // The file name box: the combo box of the Explorer-style dialog, or the
  // plain edit box; ready once it shows the proposal.
  const HWND nameBox = WaitFor<HWND>([save] {
    HWND box = ::GetDlgItem(save, 0x47c);
    if (!box) box = ::GetDlgItem(save, 0x480);
    return box && !Text(box).empty() ? box : nullptr;
  });
  if (!nameBox) return Fail(L"no file name box with a proposal in the save dialog");
  std::wprintf(L"proposed: %ls\n", Text(nameBox).c_str());
  if (format == L"xlsx") {
    // The workbook is the spreadsheet filter's second entry.
    const HWND types = ::GetDlgItem(save, 0x470);
    Send(types, CB_SETCURSEL, 1, 0);
    Send(save, WM_COMMAND, MAKEWPARAM(0x470, CBN_SELCHANGE), reinterpret_cast<LPARAM>(types));
  }
  Send(nameBox, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(name.c_str()));
  if (Text(nameBox) != name) return Fail(L"the file name box took no name: " + Text(nameBox));
  ::PostMessageW(save, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  if (!WaitFor<bool>([save] { return !::IsWindow(save); })) return Fail(L"the save dialog stayed open");
  if (!WaitFor<bool>([main] { return Text(::GetDlgItem(main, IDC_STATUS)) == L"File is written."; }, 60))
    return Fail(L"no \"File is written.\": " + Text(::GetDlgItem(main, IDC_STATUS)));
  std::wprintf(L"status: File is written.\n");
  return 0;
}

int NotFound() {
  const HWND main = MainDialog();
  if (!main) return Fail(L"no main window");
  const HWND box = OwnedDialog(main, L"Device do't connected to computer");
  if (!box) return Fail(L"no not-found box");
  ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  if (!WaitFor<bool>([main] { return Text(::GetDlgItem(main, IDC_STATUS)) == L" Device do't connected."; }))
    return Fail(L"status after the box: " + Text(::GetDlgItem(main, IDC_STATUS)));
  std::wprintf(L"box closed; status: Device do't connected.\n");
  return 0;
}

int About() {
  const HWND main = MainDialog();
  if (!main) return Fail(L"no main window");
  // F1, pressed with the window in front.
  ::SetForegroundWindow(main);
  INPUT keys[2]{};
  keys[0].type = keys[1].type = INPUT_KEYBOARD;
  keys[0].ki.wVk = keys[1].ki.wVk = VK_F1;
  keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
  ::SendInput(2, keys, sizeof(INPUT));
  HWND about = OwnedDialog(main, L"About Velorix-5");
  if (!about) return Fail(L"F1 opened no About box");
  std::wstring texts;
  for (HWND child = ::GetWindow(about, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT))
    texts += L"[" + Text(child) + L"]";
  std::wprintf(L"About box: %ls\n", texts.c_str());
  ::PostMessageW(about, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  // And the system menu's item.
  if (!WaitFor<bool>([about] { return !::IsWindow(about); })) return Fail(L"the About box stayed");
  ::PostMessageW(main, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
  about = OwnedDialog(main, L"About Velorix-5");
  if (!about) return Fail(L"the system menu's item opened no About box");
  ::PostMessageW(about, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  return texts.find(L"[Quorvel V") != std::wstring::npos ? 0 : Fail(L"About box texts");
}

// For pictures: a download under way, and the About box left open.
int Press(int count) {
  const HWND main = MainDialog();
  if (!main) return Fail(L"no main window");
  if (!WaitFor<bool>([main] { return Text(::GetDlgItem(main, IDC_STATUS)).find(L"Device connected") != std::wstring::npos; }))
    return Fail(L"not connected");
  Send(::GetDlgItem(main, IDC_SAMPLE_COUNT), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(std::to_wstring(count).c_str()));
  ::PostMessageW(main, WM_COMMAND, MAKEWPARAM(IDC_READ_ARCHIVE, BN_CLICKED),
                 reinterpret_cast<LPARAM>(::GetDlgItem(main, IDC_READ_ARCHIVE)));
  return 0;
}

int ShowAbout() {
  const HWND main = MainDialog();
  if (!main) return Fail(L"no main window");
  ::PostMessageW(main, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
  return OwnedDialog(main, L"About Velorix-5") ? 0 : Fail(L"no About box");
}

int Close() {
  const HWND main = MainDialog();
  if (!main) return Fail(L"no main window");
  ::PostMessageW(main, WM_CLOSE, 0, 0);
  return WaitFor<bool>([main] { return !::IsWindow(main); }) ? 0 : Fail(L"the window stayed");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring step = argc > 1 ? argv[1] : L"";
  if (step == L"layout" && argc == 3) return Layout(argv[2]);
  if (step == L"download" && argc == 5) return Download(std::stoi(argv[2]), argv[3], argv[4]);
  if (step == L"not-found") return NotFound();
  if (step == L"about") return About();
  if (step == L"close") return Close();
  if (step == L"press" && argc == 3) return Press(std::stoi(argv[2]));
  if (step == L"show-about") return ShowAbout();
  return Fail(L"usage: window_driver layout PROGRAM | download COUNT xls|doc|xlsx NAME | not-found | about | close");
}
