// Drives the window program from outside, as an operator would, for
// tests/win32_window/window_test: finds its dialog, checks the controls against the
// template, types, clicks, answers the save dialog and the boxes.
//   window_driver layout WINDOW_PROGRAM.exe | download COUNT xls|doc|xlsx [NAME]
//                 | not-found | about [open] | close
// Without NAME the download is left running, with "open" the About box: for
// pictures. Exits 1 with the reason when something is not as expected.
#include <windows.h>
#include <commctrl.h>

#include <chrono>
#include <cstdio>
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

// Given up after 5 s: a window that does not answer is a finding, not a hang.
LRESULT Send(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
  DWORD_PTR result = 0;
  ::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &result);
  return static_cast<LRESULT>(result);
}

void Click(HWND window, int id) { ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }

std::wstring Text(HWND window) {
  std::wstring text(512, L'\0');
  const LRESULT n = Send(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(n));
  return text;
}

HWND MainDialog() { return WaitFor<HWND>([] { return ::FindWindowW(kDialogClass, kCaption); }); }

std::wstring Status(HWND main) { return Text(::GetDlgItem(main, IDC_STATUS)); }

// A visible dialog the main window owns (a box, the save dialog, the About
// box) whose texts contain `text`.
HWND OwnedDialog(HWND main, const std::wstring& text = L"") {
  return WaitFor<HWND>([main, &text] {
    for (HWND w = ::FindWindowExW(nullptr, nullptr, kDialogClass, nullptr); w;
         w = ::FindWindowExW(nullptr, w, kDialogClass, nullptr)) {
      if (w == main || ::GetWindow(w, GW_OWNER) != main || !::IsWindowVisible(w)) continue;
      std::wstring all = Text(w);
      for (HWND child = ::GetWindow(w, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) all += Text(child);
      if (all.find(text) != std::wstring::npos) return w;
    }
    return HWND{};
  });
}

struct Control {
  int id;
  const wchar_t* text;  // group boxes have no identifier: found by text
  RECT units;           // x, y, width, height in dialog units
};

INT_PTR CALLBACK Ignore(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

int Layout(const std::wstring& program) {
  const HWND main = MainDialog();
  if (!main) return Fail(L"no main window");
  // MapDialogRect wants a dialog of this process: a hidden copy made from
  // the window program's own template gives the units in pixels here.
  INITCOMMONCONTROLSEX classes{sizeof classes, ICC_UPDOWN_CLASS | ICC_PROGRESS_CLASS};
  ::InitCommonControlsEx(&classes);
  const HMODULE module = ::LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  const HWND copy = module ? ::CreateDialogParamW(module, MAKEINTRESOURCEW(IDD_MAIN), nullptr, Ignore, 0) : nullptr;
  if (!copy) return Fail(L"could not make the template's dialog from " + program);
  ::ShowWindow(copy, SW_HIDE);
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
    ::MapDialogRect(copy, &expected);
    RECT actual{};
    ::GetWindowRect(child, &actual);
    ::MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&actual), 2);
    const bool same = std::abs(actual.left - expected.left) <= 1 && std::abs(actual.top - expected.top) <= 1 &&
                      std::abs(actual.right - expected.right) <= 1 && std::abs(actual.bottom - expected.bottom) <= 1;
    if (!same) std::wprintf(L"control %d at %ld,%ld, not as the template\n", id, actual.left, actual.top);
    wrong += same ? 0 : 1;
    child = ::GetWindow(child, GW_HWNDNEXT);
  }
  RECT client{};
  ::GetClientRect(main, &client);
  RECT size{0, 0, 212, 134};
  ::MapDialogRect(copy, &size);
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
  // The button does nothing before the instrument has answered.
  if (!WaitFor<bool>([main] {
        return Status(main).find(L"Device connected") != std::wstring::npos || Status(main) == L"File is written.";
      }))
    return Fail(L"not connected: " + Status(main));
  Send(::GetDlgItem(main, IDC_SAMPLE_COUNT), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(std::to_wstring(count).c_str()));
  const HWND excel = ::GetDlgItem(main, IDC_EXPORT_EXCEL);
  if ((format != L"doc") != (Send(excel, BM_GETCHECK) == BST_CHECKED)) Send(excel, BM_CLICK);
  Click(main, IDC_READ_ARCHIVE);
  if (name.empty()) return 0;
  const HWND save = OwnedDialog(main);
  // The file name box (combo box or edit box) is ready once it shows the proposal.
  const HWND nameBox = WaitFor<HWND>([save] {
    HWND box = ::GetDlgItem(save, 0x47c) ? ::GetDlgItem(save, 0x47c) : ::GetDlgItem(save, 0x480);
    return box && !Text(box).empty() ? box : nullptr;
  });
  if (!save || !nameBox) return Fail(L"no save dialog with a proposed name");
  std::wprintf(L"%ls, proposed: %ls\n", Text(save).c_str(), Text(nameBox).c_str());
  if (format == L"xlsx") {  // the spreadsheet filter's second entry
    const HWND types = ::GetDlgItem(save, 0x470);
    Send(types, CB_SETCURSEL, 1);
    Send(save, WM_COMMAND, MAKEWPARAM(0x470, CBN_SELCHANGE), reinterpret_cast<LPARAM>(types));
  }
  Send(nameBox, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(name.c_str()));
  if (Text(nameBox) != name) return Fail(L"the file name box took no name: " + Text(nameBox));
  Click(save, IDOK);
  if (!WaitFor<bool>([save] { return !::IsWindow(save); })) return Fail(L"the save dialog stayed open");
  if (!WaitFor<bool>([main] { return Status(main) == L"File is written."; }, 60))
    return Fail(L"no \"File is written.\": " + Status(main));
  return 0;
}

int NotFound() {
  const HWND main = MainDialog();
  const HWND box = main ? OwnedDialog(main, L"Device do't connected to computer") : nullptr;
  if (!box) return Fail(L"no not-found box");
  Click(box, IDOK);
  return WaitFor<bool>([main] { return Status(main) == L" Device do't connected."; })
             ? 0
             : Fail(L"status after the box: " + Status(main));
}

// F1 with the window in front, then the system menu's item.
int About(bool leaveOpen) {
  const HWND main = MainDialog();
  if (!main) return Fail(L"no main window");
  if (!leaveOpen) {
    ::SetForegroundWindow(main);
    INPUT keys[2]{};
    keys[0].type = keys[1].type = INPUT_KEYBOARD;
    keys[0].ki.wVk = keys[1].ki.wVk = VK_F1;
    keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
    ::SendInput(2, keys, sizeof(INPUT));
    const HWND about = OwnedDialog(main, L"Quorvel V");
    if (!about || Text(about) != L"About Velorix-5") return Fail(L"F1 opened no About box");
    Click(about, IDOK);
    if (!WaitFor<bool>([about] { return !::IsWindow(about); })) return Fail(L"the About box stayed");
  }
  ::PostMessageW(main, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
  const HWND about = OwnedDialog(main, L"Quorvel V");
  if (!about) return Fail(L"the system menu's item opened no About box");
  if (!leaveOpen) Click(about, IDOK);
  return 0;
}

int Close() {
  const HWND main = MainDialog();
  if (main) ::PostMessageW(main, WM_CLOSE, 0, 0);
  return main && WaitFor<bool>([main] { return !::IsWindow(main); }) ? 0 : Fail(L"the window stayed");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring step = argc > 1 ? argv[1] : L"";
  if (step == L"layout" && argc == 3) return Layout(argv[2]);
  if (step == L"download" && (argc == 4 || argc == 5))
    return Download(std::stoi(argv[2]), argv[3], argc == 5 ? argv[4] : L"");
  if (step == L"not-found") return NotFound();
  if (step == L"about") return About(argc == 3 && std::wstring(argv[2]) == L"open");
  if (step == L"close") return Close();
  return Fail(L"usage: see the comment at the top of window_driver.cpp");
}
