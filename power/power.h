// The power seam: what the program asks of the computer around a firmware
// write.  While the display is written it is the user's only screen and at
// its most fragile, so the computer must not suspend, hibernate, shut down
// or act on its power, sleep and lid keys halfway, and a write must not
// start on a battery that may not last.
//
// A back end implements Backend (power/dbus: logind and UPower on Linux,
// power/win32: Windows' own calls, power/recording: tests and the demo).
// Without one installed, nothing is held and the supply is unknown.
#pragma once

#include <optional>
#include <string>

#include "os/i18n.h"

namespace power {

// Why the computer is held, as the system shows it to whoever asks
// (a shutdown screen, `systemd-inhibit --list`).
inline constexpr char kHoldReason[] = N_("The Braille display's firmware is being written.");

// Below this charge, on battery and not charging, a write is not started.
inline constexpr int kMinBatteryPercent = 25;

// The computer's power supply as read just now.
struct Supply {
  bool known = false;          // it could be read at all
  bool onBattery = false;      // the computer runs on its battery
  bool charging = false;       // its battery is being charged
  std::optional<int> percent;  // the battery's charge; nothing without a battery
};

// Whether a write must not start on this supply: on battery, not charging,
// and charged below kMinBatteryPercent.  An unknown supply, mains power, a
// charging battery and no battery at all let the write go on.
bool TooLowToWrite(const Supply& supply);

class Backend {
 public:
  virtual ~Backend() = default;

  // Keeps the computer from suspending, hibernating, shutting down, idling
  // into its sleep action and acting on its power, sleep and lid keys, until
  // Release.  `why` is kHoldReason; `window` is the program's main window
  // (its native handle, or null), for systems that tie the hold to one.
  // Never fails the caller and returns within a few seconds: where the
  // system offers no hold the back end says so in the trace and goes on.
  // Calls come in pairs, Hold then Release, never nested, on the
  // user-interface thread.
  virtual void Hold(const std::string& why, void* window) = 0;
  // Ends the hold Hold took; nothing is left that could keep it alive
  // (no descriptor in a child process, no state of the thread).
  virtual void Release() = 0;
  // The supply now; `known` false where it cannot be read.  Returns within
  // a few seconds.
  virtual Supply ReadSupply() = 0;
};

// The installed back end (a null one when none is).
Backend& Current();

// Installs a back end for its lifetime; the previous one comes back after.
class ScopedBackend {
 public:
  explicit ScopedBackend(Backend& backend);
  ~ScopedBackend();
  ScopedBackend(const ScopedBackend&) = delete;
  ScopedBackend& operator=(const ScopedBackend&) = delete;

 private:
  Backend* previous_;
};

// Holds the computer from construction to destruction (Hold and Release of
// the current back end).  One at a time.
class KeepRunning {
 public:
  explicit KeepRunning(void* window);
  ~KeepRunning();
  KeepRunning(const KeepRunning&) = delete;
  KeepRunning& operator=(const KeepRunning&) = delete;

 private:
  Backend& backend_;
};

// Whether a KeepRunning exists now; any thread.  A window asked whether the
// session may end answers no while it does.
bool IsHeld();

// The supply through the current back end.
inline Supply ReadSupply() { return Current().ReadSupply(); }

// One line to the trace (DOTVANE_TRACE=1) about the power: what could not be
// held or read, and why.
void Trace(const std::string& text);

}  // namespace power
