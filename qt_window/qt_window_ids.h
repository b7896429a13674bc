#pragma once

// Identifiers and texts of the program's two dialogs, the icon and the About
// item. Controls carry their identifier's name as their Qt object name.

#include <QEvent>

namespace velorix {

inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDD_MAIN = 102;
inline constexpr int IDR_MAINFRAME = 128;
inline constexpr int IDM_ABOUTBOX = 0x0010;
inline constexpr int CLOCK_TIMER = 1;
inline constexpr int CLOCK_PERIOD_MS = 1000;

inline constexpr int IDC_CLOCK = 1000;
inline constexpr int IDC_STATUS = 1001;
inline constexpr int IDC_READ_ARCHIVE = 1002;
inline constexpr int IDC_PROGRESS = 1005;
inline constexpr int IDC_SAMPLE_COUNT = 1008;
inline constexpr int IDC_SAMPLE_SPIN = 1025;
inline constexpr int IDC_EXPORT_EXCEL = 1028;

// The string table's one entry.
inline constexpr const char* STRING_ABOUTBOX = "&About Velorix-5";

// The object name a control carries for its identifier ("" for none).
const char* ControlName(int id);

// What the link's worker posts to the window; the numbers follow the
// window messages they stand for (WM_USER + 5, WM_USER + 6).
inline constexpr QEvent::Type WM_LINK_FRAME = static_cast<QEvent::Type>(QEvent::User + 5);
inline constexpr QEvent::Type WM_LINK_STATUS = static_cast<QEvent::Type>(QEvent::User + 6);
inline constexpr QEvent::Type WM_LINK_MESSAGE_BOX = static_cast<QEvent::Type>(QEvent::User + 7);
inline constexpr QEvent::Type WM_LINK_WAIT_CURSOR = static_cast<QEvent::Type>(QEvent::User + 8);
inline constexpr QEvent::Type WM_LINK_PORT_TRIED = static_cast<QEvent::Type>(QEvent::User + 9);
inline constexpr QEvent::Type WM_LINK_PORT_GONE = static_cast<QEvent::Type>(QEvent::User + 10);

}  // namespace velorix
