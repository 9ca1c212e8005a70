// The window-system back end on Windows itself: each dialog is a real Win32
// dialog built from our template in dialog units (a DLGTEMPLATEEX in the
// dialog font, its controls placed with MapDialogRect), with the window
// menu's items appended to the real system menu, real message boxes with
// their icons and default buttons, DM_SETDEFID for the default button,
// WM_NEXTDLGCTL for the keyboard, a comctl32 progress bar and the program's
// icon.  Keys are Windows' own (IsDialogMessage): Tab, Space on a button,
// Escape for Cancel, F1 for the first window-menu item (About), except
// Return, which presses the default button only, wherever the keyboard is.
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

namespace win32ui {

class Win32Backend : public ui::Backend {
 public:
  // Use MakeWin32Backend(): it fails cleanly where no window can be made.
  Win32Backend();
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
  friend std::unique_ptr<ui::Backend> MakeWin32Backend();
  bool Start();

  std::unique_ptr<Impl> impl_;
};

// The back end, or nothing when no window can be made (Wine without an X
// display, a service without a desktop).
std::unique_ptr<ui::Backend> MakeWin32Backend();

}  // namespace win32ui
