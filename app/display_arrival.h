// How the dialogs that wait for the display tell its arrival and removal
// from other devices' broadcasts, and how long they let it settle.
#pragma once

#include "driver/driver.h"  // the arrival and removal events
#include "os/types.h"
#include "ui/ui.h"

// Pause after a matching display arrives, before it is opened.
inline constexpr os::DWORD kArrivalPauseMs = 1000;

// Matches a broadcast against the display's vendor id: the device name,
// upper-cased, contains the vendor-id match text.
bool IsDisplayBroadcast(const ui::DeviceBroadcast* record);
