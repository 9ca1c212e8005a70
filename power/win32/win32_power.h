// The power back end on Windows: the thread's execution state keeps the
// computer from sleeping, a shutdown block reason on the main window tells
// Windows (and the person shutting down) why the program may not end now,
// and GetSystemPowerStatus tells the supply.  The main window itself
// refuses WM_QUERYENDSESSION while power::IsHeld() (ui/win32).
//
// <windows.h> stays out of this header.
#pragma once

#include "power/power.h"

namespace win32power {

class Win32Power final : public power::Backend {
 public:
  Win32Power() = default;
  ~Win32Power() override;
  Win32Power(const Win32Power&) = delete;
  Win32Power& operator=(const Win32Power&) = delete;

  // On the user-interface thread: the execution state is the calling
  // thread's, and Release must run on the same thread.
  void Hold(const std::string& why, void* window) override;
  void Release() override;
  power::Supply ReadSupply() override;

 private:
  void* window_ = nullptr;  // the HWND with our shutdown block reason
  bool stateSet_ = false;
};

// Installs Win32Power for its lifetime.
class ScopedWin32Power {
 public:
  ScopedWin32Power() : install_(power_) {}

 private:
  Win32Power power_;
  power::ScopedBackend install_;
};

}  // namespace win32power
