// Identifiers of the Windows window's resources, for the resource script and
// the dialog code alike (the same numbers as qt_window/qt_window_ids.h).
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_MAIN 102
#define IDR_MAINFRAME 128
#define IDM_ABOUTBOX 0x0010

#define IDC_CLOCK 1000
#define IDC_STATUS 1001
#define IDC_READ_ARCHIVE 1002
#define IDC_PROGRESS 1005
#define IDC_SAMPLE_COUNT 1008
#define IDC_SAMPLE_SPIN 1025
#define IDC_EXPORT_EXCEL 1028
