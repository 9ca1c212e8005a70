// The window-system back end on Windows itself: each dialog is a real Win32
// dialog built from our template in dialog units (a DLGTEMPLATEEX in the
// dialog font, its controls placed with MapDialogRect), with the window
// menu's items appended to the real system menu, real message boxes with
// their icons and default buttons, DM_SETDEFID for the default button,
// SetFocus for the keyboard, a comctl32 progress bar and the program's
// icon.  Keys are Windows' own (IsDialogMessage): Tab, Space on a button,
// Escape for Cancel, F1 for the first window-menu item (About), except
// Return, which presses the default button only, wherever the keyboard is.
//
// What screen readers are told beyond what the controls tell them (events
// for changes, the progress bar's name, announcements) goes through an
// Accessibility (accessibility.h); the keyboard is never left on a dialog
// window itself or on a disabled control.
//
// The core's queue is dispatched from a message-only window that Wake()
// posts to: every modal loop on the thread (our dialogs', MessageBox's own,
// a menu's) dispatches it.
//
// <windows.h> stays out of this header: its macros clash with the names
// ui mirrors.
#pragma once

#include <atomic>
#include <memory>

#include "ui/ui.h"
#include "ui/win32/accessibility.h"

namespace win32ui {

class Win32Backend : public ui::Backend {
 public:
  // Use MakeWin32Backend(): it fails cleanly where no window can be made.
  explicit Win32Backend(std::unique_ptr<Accessibility> accessibility);
  ~Win32Backend() override;
  Win32Backend(const Win32Backend&) = delete;
  Win32Backend& operator=(const Win32Backend&) = delete;

  void DialogCreated(ui::CDialog& dialog) override;
  void DialogShown(ui::CDialog& dialog) override;
  void DialogEnded(ui::CDialog& dialog, std::intptr_t result) override;

  void TitleChanged(ui::CDialog& dialog) override;
  void ControlChanged(ui::CDialog& dialog, int id) override;
  void DefaultChanged(ui::CDialog& dialog) override;
  void FocusChanged(ui::CDialog& dialog) override;
  void Repaint(ui::CDialog& dialog) override;
  void MenuItemAdded(ui::CDialog& dialog, ui::UINT commandId, const std::string& text) override;
  void IconSet(ui::CDialog& dialog, int iconId) override;

  void RunModalLoop(ui::CDialog& dialog, const std::function<bool()>& ended) override;
  int MessageBox(ui::CDialog* owner, const ui::MessageBoxSpec& box) override;

  void Wake() override;
  void* NativeWindow(const ui::CDialog& dialog) override { return WindowOf(dialog); }

  // The dialog's window (an HWND), or null while it has none; for tests.
  static void* WindowOf(const ui::CDialog& dialog);
  // The window of one of its controls, or null.
  static void* ControlWindowOf(const ui::CDialog& dialog, int id);

  struct Impl;

 private:
  friend std::unique_ptr<ui::Backend> MakeWin32Backend(std::unique_ptr<Accessibility>);
  bool Start();

  std::unique_ptr<Impl> impl_;
};

// The back end, or nothing when no window can be made (Wine without an X
// display, a service without a desktop).  What it tells screen readers goes
// through `accessibility`: Windows' own (MakeSystemAccessibility) unless a
// test gives another.
std::unique_ptr<ui::Backend> MakeWin32Backend(std::unique_ptr<Accessibility> accessibility = nullptr);

}  // namespace win32ui
