// The program's resource and control ids: the dialog templates, the string
// and the icon in resources/ui, the controls they hold, and the window-menu
// item.  Every dialog includes this, and nothing else of the others.
#pragma once

#include "os/types.h"

// Dialogs, string, icon.
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDD_DOTVANE_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = 128;
inline constexpr int IDD_UPDATE_FW = 129;
inline constexpr int IDD_PLUGIN = 131;

// Controls.
inline constexpr int IDC_UPDATE = 1000;
inline constexpr int IDC_VERSION = 1001;
inline constexpr int IDC_START_DOWNLOAD = 1002;
inline constexpr int IDC_CANCEL_DOWNLOAD = 1003;
inline constexpr int IDC_PROGRESS = 1004;
inline constexpr int IDC_UPDATE_TEXT = 1011;
inline constexpr int IDC_PLUGIN_TEXT = 1012;
inline constexpr int IDC_STATUS = 1013;

// The window menu's About item.
inline constexpr os::UINT IDM_ABOUTBOX = 0x0010;
