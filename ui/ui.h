// The window-system layer: dialogs from templates, control operations by
// id, message boxes, the window menu, messages posted or sent to a window
// from other threads, and device-change broadcasts.
//
// A portable core (this folder) keeps every dialog's state and the user
// interface thread's message queue; a back end presents the dialogs and
// brings the user's actions in.  Back ends: ui/text (terminals and
// scripts), ui/wx (wxWidgets on GTK 3, on Linux) and ui/win32 (Win32
// dialogs, on Windows).  The seam is `Backend` below: a new back end
// implements it and touches nothing else.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/resources.h"
#include "os/types.h"
#include "os/window.h"

namespace ui {

using os::BOOL;
using os::DWORD;
using os::LPARAM;
using os::LRESULT;
using os::UINT;
using os::WPARAM;

inline constexpr UINT WM_CLOSE = 0x0010;
inline constexpr UINT WM_COMMAND = 0x0111;
inline constexpr UINT WM_SYSCOMMAND = 0x0112;
inline constexpr UINT WM_DEVICECHANGE = 0x0219;

inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;

// Message box styles and results.
inline constexpr UINT MB_OK = 0x0000;
inline constexpr UINT MB_OKCANCEL = 0x0001;
inline constexpr UINT MB_ICONERROR = 0x0010;
inline constexpr UINT MB_ICONWARNING = 0x0030;
inline constexpr UINT MB_ICONINFORMATION = 0x0040;
inline constexpr UINT MB_DEFBUTTON2 = 0x0100;

// ---- Templates ----------------------------------------------------------

enum class ControlKind { kPushButton, kDefPushButton, kText, kIcon, kProgress };
enum class Align { kLeft, kCenter, kRight };

struct ControlTemplate {
  int id = -1;  // -1: a control without an id (static texts, icons)
  ControlKind kind = ControlKind::kText;
  std::string text;  // for an icon: the icon's resource number
  int x = 0, y = 0, cx = 0, cy = 0;  // dialog units
  Align align = Align::kLeft;
  bool tabStop = false;
  bool noPrefix = false;  // "&" is shown as it is
};

struct DialogTemplate {
  int id = 0;
  std::string title;
  int cx = 0, cy = 0;  // dialog units
  std::string font = "MS Shell Dlg";
  int pointSize = 8;
  bool systemMenu = true;
  bool minimizeBox = false;
  bool appWindow = false;  // shown on the task bar
  std::vector<ControlTemplate> controls;  // in template (and tab) order
};

// Templates, strings and the version block live in the program's resources
// (types "DIALOG", "STRING", "VERSION", names "#<number>").
std::optional<DialogTemplate> LoadDialogTemplate(const os::ResourceModule& module, int id);
std::optional<DialogTemplate> ParseDialogTemplate(std::string_view text, std::string* error);
std::string LoadString(const os::ResourceModule& module, int id);
// The value at `path` (such as "\StringFileInfo\040904e4\ProductVersion") in
// version resource 1; nothing when there is none.
std::optional<std::string> VerQueryValue(const os::ResourceModule& module, std::string_view path);

// ---- Device-change broadcasts ------------------------------------------

inline constexpr DWORD DBT_DEVTYP_DEVICEINTERFACE = 5;

// The record a device-change broadcast carries.
struct DeviceBroadcast {
  DWORD deviceType = DBT_DEVTYP_DEVICEINTERFACE;
  os::GUID classGuid{};
  std::string name;  // the device-interface path
};

class CDialog;
using HDEVNOTIFY = std::uint64_t;  // 0: none
inline constexpr HDEVNOTIFY kNoNotification = 0;

// Arrival and removal of the class's devices, as the device-event source
// (below) reports them, reach `window` as WM_DEVICECHANGE (wParam: event
// type, lParam: a const DeviceBroadcast* valid during the handler).  0 when
// the registration fails.  A registration ends with its window.
HDEVNOTIFY RegisterDeviceNotification(CDialog* window, const os::GUID& interfaceClass);
BOOL UnregisterDeviceNotification(HDEVNOTIFY handle);

// Where arrivals and removals come from.  The window system knows no driver
// layer: the program installs a source at start-up (ui/driver_broadcasts
// connects the driver layer's), and a test may install its own.  With no
// source installed, registrations still succeed and no broadcast comes.
class DeviceEventSource {
 public:
  // Takes one arrival or removal: its event type (the driver layer's
  // DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE, passed on as the
  // broadcast's wParam) and the device-interface path.  Any thread; it only
  // queues, so it may be called with the source's own locks held.
  using Sink = void (*)(UINT eventType, const std::string& path);

  // Called by every RegisterDeviceNotification, on the registering thread,
  // before the registration is recorded.  From its return on, every arrival
  // and removal the source learns of reaches `sink` once, one call at a
  // time per change, on a thread of the source's choosing.  Called again
  // while already delivering from the same origin it adds nothing (no
  // change arrives twice); when its origin has been replaced since (a
  // test's fresh driver), it starts delivering from the new one.  Never
  // blocks for long; must not call back into the window system.
  virtual void Listen(Sink sink) = 0;

 protected:
  ~DeviceEventSource() = default;
};

// Installs the source that RegisterDeviceNotification listens to (nullptr:
// none).  It must outlive its installation.  Any thread.
void SetDeviceEventSource(DeviceEventSource* source);

// ---- The back end seam --------------------------------------------------

struct ControlState {
  ControlTemplate tpl;
  std::string text;
  bool enabled = true;
  int position = 0;  // a progress bar's, 0 to 100
};

struct MessageBoxSpec {
  std::string text;
  std::string caption;
  UINT style = MB_OK;
};

class Backend {
 public:
  virtual ~Backend() = default;

  // The dialog's window now exists, built from its template; the back end
  // presents it (it may read the dialog's state).  Called before OnInitDialog.
  virtual void DialogCreated(CDialog& dialog) = 0;
  // Shown after OnInitDialog (if the dialog did not end during it).
  virtual void DialogShown(CDialog& dialog) = 0;
  virtual void DialogEnded(CDialog& dialog, std::intptr_t result) = 0;

  // State changes, for the back end to present.
  virtual void TitleChanged(CDialog& dialog) = 0;
  virtual void ControlChanged(CDialog& dialog, int id) = 0;  // text, enabled state or progress position
  virtual void DefaultChanged(CDialog& dialog) = 0;
  virtual void FocusChanged(CDialog& dialog) = 0;
  virtual void Repaint(CDialog& dialog) = 0;
  virtual void MenuItemAdded(CDialog& dialog, UINT commandId, const std::string& text) = 0;
  virtual void IconSet(CDialog& dialog, int iconId) = 0;
  // Says a sentence about the dialog once, now, without changing what it
  // shows (why Escape was refused, say).  A back end without speech of its
  // own may leave it unsaid.
  virtual void Say(CDialog& dialog, const std::string& text) {
    (void)dialog;
    (void)text;
  }

  // Runs a modal loop until `ended` holds: it dispatches the core's queue
  // (ui::DispatchPending) whenever woken and turns the user's actions into
  // the dialog's commands (CDialog::Command, CDialog::Close,
  // CDialog::SystemCommand).
  virtual void RunModalLoop(CDialog& dialog, const std::function<bool()>& ended) = 0;
  // A modal message box; keeps dispatching the queue while it is up.
  // Returns IDOK or IDCANCEL.
  virtual int MessageBox(CDialog* owner, const MessageBoxSpec& box) = 0;

  // From any thread: the core's queue has something to dispatch.
  virtual void Wake() = 0;

  // The system's own handle of the dialog's window (an HWND on Windows), for
  // calls that tie something to it; null where there is none.
  virtual void* NativeWindow(const CDialog&) { return nullptr; }
};

// The back end the program runs on; set once at start-up (or per test).
// Returns only when no other thread is still waking the previous one, so
// that it may then be destroyed.
void SetBackend(Backend* backend);
// The back end set; calling it with none set is a programming error that
// ends the program with a message, never a call through a null pointer.
Backend& CurrentBackend();

// The application's name: the caption of boxes that give none.  A copy:
// another thread may set it meanwhile.
void SetApplicationName(std::string name);
std::string ApplicationName();

// While held, device broadcasts to `window` stay queued, in their order,
// and everything else is dispatched as usual; released, they follow.  For a
// window busy with something the broadcasts must not interrupt.
void HoldDeviceBroadcasts(const CDialog& window, bool hold);

// Dispatches every message queued for the user-interface thread.  Called by
// back ends inside their loops; returns whether anything was dispatched.
bool DispatchPending();
// True when something is queued.
bool HasPending();

// ---- Dialogs ------------------------------------------------------------

class CDialog : public os::Window {
 public:
  explicit CDialog(int templateId, CDialog* parent = nullptr);
  ~CDialog() override;
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;

  // Creates the window from the template, initialises it and runs it until
  // EndDialog; returns the result.  -1 when the template is missing.
  std::intptr_t DoModal();
  void EndDialog(std::intptr_t result);

  // ---- overridables (the message map) ----
  virtual BOOL OnInitDialog() { return 1; }
  virtual void OnOK() { EndDialog(IDOK); }
  virtual void OnCancel() { EndDialog(IDCANCEL); }
  // WM_COMMAND from a control: IDOK and IDCANCEL take the default paths.
  virtual void OnCommand(int id);
  virtual void OnSysCommand(UINT id, LPARAM param);
  virtual BOOL OnDeviceChange(UINT eventType, const DeviceBroadcast* record);
  // Messages of the application's own range (WM_APP and up).
  virtual LRESULT OnAppMessage(UINT message, WPARAM wParam, LPARAM lParam);
  // Close() was refused (the Cancel button is disabled); a dialog says why.
  virtual void OnCloseRefused() {}

  // ---- user actions, as back ends deliver them ----
  void Command(int id);          // a button was pressed
  void Close();                  // Escape or the close box
  void SystemCommand(UINT id);   // a window-menu item
  void Tab(bool backward);       // Tab or Shift+Tab: the keyboard moves to NextTabStop

  // ---- window and control operations ----
  void SetWindowText(const std::string& text);
  const std::string& GetWindowText() const { return title_; }
  void SetDlgItemText(int id, const std::string& text);
  std::string GetDlgItemText(int id) const;
  // Disabling the active control moves the keyboard on to the next enabled
  // control that takes it, or, when there is none, to the dialog's first
  // text with an id (its status), so that a screen reader always has
  // something to read; enabling a control while the keyboard is on that
  // text brings it back to the default button, or to that control.  The
  // keyboard and the default button agree whenever the program moves
  // either: the default button, usable again, takes the keyboard back, and
  // a new default button takes it along (SetDefID), so that Return and
  // Space never press different buttons.
  void EnableDlgItem(int id, bool enable);
  bool IsDlgItemEnabled(int id) const;
  // A progress bar's position, clamped to 0..100.
  void SetProgressPos(int id, int percent);
  int GetDefID() const { return defaultId_; }
  void SetDefID(int id);
  void GotoDlgCtrl(int id);  // makes it the active control
  int GetFocusID() const { return focusId_; }
  // Where Tab (or Shift+Tab) moves the keyboard from the active control:
  // the next enabled control that takes it, in tab order, round the end.
  // While none can, the things that say where matters stand take turns:
  // the status text and the progress bars, so that Tab is never met with
  // silence.
  int NextTabStop(bool backward) const;
  // Some control can take the keyboard: Tab is then the toolkit's own.
  bool HasUsableControl() const;
  // The first text with an id: where the keyboard goes when no control can take it.
  int StatusTextId() const;
  void RedrawWindow();
  void SetIcon(int iconId);
  void AppendSystemMenuItem(UINT commandId, const std::string& text);
  const std::vector<std::pair<UINT, std::string>>& SystemMenuItems() const { return menu_; }
  int MessageBox(const std::string& text, const std::string& caption = "", UINT style = MB_OK);
  // Says `text` once through the back end (Backend::Say).
  void Say(const std::string& text);

  // os::Window: from any thread.
  LRESULT SendMessageTimeout(UINT message, WPARAM wParam, LPARAM lParam, UINT flags, UINT timeoutMs,
                             LRESULT* result, std::shared_ptr<const void> keepAlive = nullptr) override;
  BOOL PostMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

  // ---- state, for back ends and tests ----
  int TemplateId() const { return templateId_; }
  const DialogTemplate& Template() const { return template_; }
  const std::vector<ControlState>& Controls() const { return controls_; }
  const ControlState* Control(int id) const;
  CDialog* Parent() const { return parent_; }
  bool IsWindow() const { return created_ && !destroyed_; }
  bool HasEnded() const { return ended_; }
  std::uint64_t WindowId() const { return windowId_.load(); }
  // Back ends may keep their own view of the dialog here.
  std::shared_ptr<void> view;

 private:
  friend LRESULT Dispatch(std::uint64_t, UINT, WPARAM, LPARAM);
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  ControlState* FindControl(int id);
  int FocusAfterDisabling(int id) const;
  int FocusAfterEnabling(int id) const;
  bool TakesKeyboard(int id) const;  // an enabled control that is a tab stop

  const int templateId_;
  CDialog* const parent_;
  DialogTemplate template_;
  std::vector<ControlState> controls_;
  std::string title_;
  int defaultId_ = 0;
  int focusId_ = 0;
  std::vector<std::pair<UINT, std::string>> menu_;
  std::atomic<std::uint64_t> windowId_{0};
  bool created_ = false;
  bool destroyed_ = false;
  bool ended_ = false;
  std::intptr_t result_ = 0;
};

}  // namespace ui
