#include "power/win32/win32_power.h"
#include "os/wide_text.h"

#include <windows.h>

#include <string>

namespace win32power {

namespace {

using os::Wide;

}  // namespace

Win32Power::~Win32Power() { Release(); }

void Win32Power::Hold(const std::string& why, void* window) {
  Release();
  stateSet_ = SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0;
  if (!stateSet_) power::Trace("SetThreadExecutionState -> failed, error " + std::to_string(GetLastError()));
  if (window != nullptr) {
    const HWND hwnd = static_cast<HWND>(window);
    if (ShutdownBlockReasonCreate(hwnd, Wide(why).c_str())) {
      window_ = window;
    } else {
      power::Trace("ShutdownBlockReasonCreate -> failed, error " + std::to_string(GetLastError()));
    }
  }
}

void Win32Power::Release() {
  if (window_ != nullptr) {
    ShutdownBlockReasonDestroy(static_cast<HWND>(window_));
    window_ = nullptr;
  }
  if (stateSet_) {
    SetThreadExecutionState(ES_CONTINUOUS);
    stateSet_ = false;
  }
}

power::Supply Win32Power::ReadSupply() {
  power::Supply supply;
  SYSTEM_POWER_STATUS status{};
  if (!GetSystemPowerStatus(&status)) {
    power::Trace("GetSystemPowerStatus -> failed, error " + std::to_string(GetLastError()));
    return supply;
  }
  constexpr BYTE kUnknown = 255;
  constexpr BYTE kCharging = 8;
  constexpr BYTE kNoBattery = 128;
  if (status.ACLineStatus == kUnknown) return supply;
  supply.known = true;
  supply.onBattery = status.ACLineStatus == 0;
  if (status.BatteryFlag != kUnknown) {
    supply.charging = (status.BatteryFlag & kCharging) != 0;
    if ((status.BatteryFlag & kNoBattery) == 0 && status.BatteryLifePercent != kUnknown) {
      supply.percent = status.BatteryLifePercent;
    }
  }
  return supply;
}

}  // namespace win32power
