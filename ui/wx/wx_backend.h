// The graphical back end: every dialog as a wxWidgets (GTK 3) window that a
// screen reader can read and a keyboard can drive.  The choices made for
// screen readers and keyboards are in docs/gui.md.
//
// Threads: the back end is made, used and destroyed on one thread, the
// user-interface thread, which becomes wxWidgets' main thread.  Only Wake()
// may be called from other threads.
//
// Loops: each dialog runs as a wx modal dialog, each message box as a wx
// message dialog.  Wake() queues one call on the wx application; inside
// whichever modal loop is running it dispatches the core's queue.  User
// actions (buttons, keys, the window menu) are queued the same way, so that
// a command never runs inside the toolkit's own handler: a modal window
// opened inside a handler of a button pressed through the accessibility
// interface would block the screen reader until it closed.  After every
// dispatch and every action the innermost dialog's loop ends if its dialog
// has ended.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "ui/ui.h"

class wxDialog;
class wxKeyEvent;

namespace wxui {

struct View;

class WxBackend : public ui::Backend {
 public:
  // Use MakeWxBackend(): it fails cleanly where no display can be opened.
  WxBackend();
  ~WxBackend() override;
  WxBackend(const WxBackend&) = delete;
  WxBackend& operator=(const WxBackend&) = delete;

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
  void Say(ui::CDialog& dialog, const std::string& text) override;

  void RunModalLoop(ui::CDialog& dialog, const std::function<bool()>& ended) override;
  int MessageBox(ui::CDialog* owner, const ui::MessageBoxSpec& box) override;

  void Wake() override;

 private:
  friend std::unique_ptr<ui::Backend> MakeWxBackend();

  // One running modal loop: a dialog's, or a message box's (dialog null).
  struct Modal {
    ui::CDialog* dialog = nullptr;
    const std::function<bool()>* ended = nullptr;
    wxDialog* window = nullptr;
    bool ending = false;
  };

  bool Start();
  void OnWake();
  // Runs `action` later, from the wx loop, if the dialog is still up and is
  // the innermost modal window; then ends the loop if the dialog ended.
  void Later(const std::weak_ptr<View>& view, std::function<void(ui::CDialog&)> action);
  void EndInnermostIfEnded();
  void ShowWindowMenu(const std::shared_ptr<View>& view, bool fromKeyboard);
  void MakeControls(const std::shared_ptr<View>& view);
  void BindWindowEvents(const std::shared_ptr<View>& view);
  void OnKey(const std::weak_ptr<View>& view, wxKeyEvent& event);
  void TabToReadable(const std::shared_ptr<View>& view, bool backward);
  void ApplyDefault(View& view);
  void ApplyFocus(View& view);
  void TextChanged(View& view, std::size_t index);
  void Describe(View& view);

  bool started_ = false;
  std::vector<Modal> modals_;  // outermost first

  std::mutex wakeMutex_;  // orders Wake() against shutdown
  bool accepting_ = false;
  bool wakeQueued_ = false;  // a call to OnWake is queued
};

// The wx back end, or nullptr when no display can be opened (or one already
// exists in this process).
std::unique_ptr<ui::Backend> MakeWxBackend();

// The window presenting `dialog` while it exists; for tests.
wxDialog* DialogWindow(const ui::CDialog& dialog);

}  // namespace wxui
