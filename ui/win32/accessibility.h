// What the Win32 back end tells Windows screen readers beyond what Windows'
// own controls tell them by themselves: the changes it makes, a name for a
// control no text of its own names, and sentences to be spoken.  One seam,
// so that a test can see every such call (Wine shows none of their
// effects: no value, no annotated name, no UI Automation notification).
//
// Roles and the default and unavailable states need no call: they come
// from the real control classes (BUTTON with BS_DEFPUSHBUTTON, STATIC,
// msctls_progress32) and EnableWindow.  Windows are HWNDs, passed as void*
// so that <windows.h> stays out of this header.
#pragma once

#include <memory>
#include <string>

namespace win32ui {

class Accessibility {
 public:
  virtual ~Accessibility() = default;
  // The window's text changed (EVENT_OBJECT_NAMECHANGE).
  virtual void NameChanged(void* window) = 0;
  // A progress bar's position changed (EVENT_OBJECT_VALUECHANGE).
  virtual void ValueChanged(void* window) = 0;
  // A button became the default or stopped being it (EVENT_OBJECT_STATECHANGE).
  virtual void StateChanged(void* window) = 0;
  // Names a control by `name` rather than by the static text before it in
  // z-order, which is what Windows names a progress bar by otherwise.
  virtual void SetName(void* window, const std::string& name) = 0;
  // Before the window goes: its name from SetName is dropped.
  virtual void ForgetName(void* window) = 0;
  // Has screen readers speak `text` once, after what they were saying
  // (UI Automation notification, Windows 10 1709 and later; nothing on
  // older Windows and under Wine).
  virtual void Announce(void* window, const std::string& text) = 0;
};

// Windows' own: NotifyWinEvent, IAccPropServices, UiaRaiseNotificationEvent
// looked up at run time.
std::unique_ptr<Accessibility> MakeSystemAccessibility();

}  // namespace win32ui
