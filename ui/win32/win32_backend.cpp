#include "ui/win32/win32_backend.h"

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "os/wide_text.h"
#include "os/sync.h"
#include "power/power.h"

namespace {

// Our mirrored names, taken before <windows.h> turns its own into macros.
constexpr int kDvIdOk = ui::IDOK;
constexpr int kDvIdCancel = ui::IDCANCEL;

}  // namespace

// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

// The core's methods share these names; the calls below use Windows' wide
// functions by their own names.
#undef MessageBox
#undef GetWindowText
#undef SetWindowText
#undef PostMessage

namespace win32ui {

namespace {

// Posted to the wake window: the core's queue has something to dispatch.
constexpr UINT kWakeMessage = WM_APP + 1;
// Posted to the wake window: an ended dialog's window (an EndedWindow in lParam) goes now.
constexpr UINT kDestroyMessage = WM_APP + 2;
// Posted to a dialog: the keyboard goes where the core has put it.
constexpr UINT kFocusMessage = WM_APP + 3;
// A window that became active is read whole by a screen reader, with the
// texts it has by then: a change made this soon after is not announced.
constexpr ULONGLONG kReadingOnActivationMs = 400;
constexpr wchar_t kWakeClass[] = L"DotvaneUiWake";
// Controls without an id get the one Windows gives static controls.
constexpr int kNoId = 0xFFFF;

using os::Wide;

// What the back end keeps for one dialog (CDialog::view).
struct View {
  HWND window = nullptr;
  std::vector<HWND> controls;  // in template order
  HICON bigIcon = nullptr;
  HICON smallIcon = nullptr;
  bool menuSeparated = false;  // our items follow one separator in the system menu
  HFONT dpiFont = nullptr;     // the dialog font made for a new DPI (WM_DPICHANGED), ours to delete
  Accessibility* accessibility = nullptr;
  ULONGLONG activeSince = 0;  // GetTickCount64 when it last became active
  bool focusPosted = false;   // a kFocusMessage is on its way
  HWND disablePending = nullptr;  // disabled by the core, keeps the keyboard until it has moved on
  int defaultShown = 0;       // the button Windows marks as the default
};

View* ViewOf(const ui::CDialog& dialog) { return static_cast<View*>(dialog.view.get()); }

// An ended dialog's window and icons, until the window goes.
struct EndedWindow {
  HWND window;
  HICON bigIcon;
  HICON smallIcon;
  HFONT dpiFont;  // in use by its controls until the window has gone
};

void DestroyEnded(const EndedWindow& gone) {
  DestroyWindow(gone.window);
  if (gone.bigIcon != nullptr) DestroyIcon(gone.bigIcon);
  if (gone.smallIcon != nullptr) DestroyIcon(gone.smallIcon);
  if (gone.dpiFont != nullptr) DeleteObject(gone.dpiFont);
}

HWND WindowFor(const ui::CDialog* dialog) {
  const View* view = dialog == nullptr ? nullptr : ViewOf(*dialog);
  return view == nullptr ? nullptr : view->window;
}

HWND ControlFor(const ui::CDialog& dialog, int id) {
  const View* view = ViewOf(dialog);
  if (view == nullptr || view->window == nullptr) return nullptr;
  const auto& controls = dialog.Controls();
  for (std::size_t i = 0; i < controls.size() && i < view->controls.size(); ++i) {
    if (controls[i].tpl.id == id) return view->controls[i];
  }
  return nullptr;
}

// The face a template's font is asked for by: the shell font, "MS Shell
// Dlg", is asked for as "MS Shell Dlg 2", which Windows maps to its current
// dialog font (Segoe UI, Tahoma) instead of the old MS Sans Serif.
std::wstring DialogFace(const ui::DialogTemplate& tpl) {
  return tpl.font == "MS Shell Dlg" ? std::wstring(L"MS Shell Dlg 2") : Wide(tpl.font);
}

// The dialog's frame in its template: a DLGTEMPLATEEX without items, in the
// template's font (DS_SHELLFONT with the shell font's face).
// The controls are made in WM_INITDIALOG, where MapDialogRect knows the
// font's dialog units.
std::vector<WORD> FrameTemplate(const ui::DialogTemplate& tpl) {
  std::vector<WORD> t;
  const auto push32 = [&t](DWORD value) {
    t.push_back(LOWORD(value));
    t.push_back(HIWORD(value));
  };
  const auto pushText = [&t](const std::string& text) {
    for (wchar_t c : Wide(text)) t.push_back(static_cast<WORD>(c));
    t.push_back(0);
  };
  DWORD style = WS_POPUP | WS_CAPTION | DS_MODALFRAME | DS_SHELLFONT | DS_CENTER;
  if (tpl.systemMenu) style |= WS_SYSMENU;
  if (tpl.minimizeBox) style |= WS_MINIMIZEBOX;
  const DWORD exStyle = WS_EX_CONTROLPARENT | (tpl.appWindow ? WS_EX_APPWINDOW : 0);
  t.push_back(1);       // dlgVer
  t.push_back(0xFFFF);  // signature: the extended template
  push32(0);            // helpID
  push32(exStyle);
  push32(style);
  t.push_back(0);  // cDlgItems
  t.push_back(0);  // x
  t.push_back(0);  // y
  t.push_back(static_cast<WORD>(tpl.cx));
  t.push_back(static_cast<WORD>(tpl.cy));
  t.push_back(0);  // no menu
  t.push_back(0);  // the dialog class
  pushText(tpl.title);
  t.push_back(static_cast<WORD>(tpl.pointSize));
  t.push_back(FW_NORMAL);
  t.push_back(MAKEWORD(FALSE, DEFAULT_CHARSET));  // italic, charset
  for (wchar_t c : DialogFace(tpl)) t.push_back(static_cast<WORD>(c));
  t.push_back(0);
  return t;
}

HICON LoadIconSized(int iconId, int size) {
  return static_cast<HICON>(
      LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(iconId), IMAGE_ICON, size, size, 0));
}

void MakeControls(ui::CDialog& dialog, View& view) {
  const HWND window = view.window;
  const HFONT font = reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0));
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  for (const ui::ControlState& control : dialog.Controls()) {
    const ui::ControlTemplate& tpl = control.tpl;
    const wchar_t* windowClass = L"STATIC";
    DWORD style = WS_CHILD | WS_VISIBLE | (tpl.tabStop ? WS_TABSTOP : 0);
    switch (tpl.kind) {
      case ui::ControlKind::kPushButton:
      case ui::ControlKind::kDefPushButton:
        windowClass = L"BUTTON";
        // BS_NOTIFY: the core learns where the keyboard is (BN_SETFOCUS).
        style |= (tpl.kind == ui::ControlKind::kDefPushButton ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON) | BS_NOTIFY;
        break;
      case ui::ControlKind::kText:
        style |= tpl.align == ui::Align::kCenter  ? SS_CENTER
                 : tpl.align == ui::Align::kRight ? SS_RIGHT
                                                  : SS_LEFT;
        if (tpl.noPrefix) style |= SS_NOPREFIX;
        break;
      case ui::ControlKind::kIcon:
        style |= SS_ICON;
        break;
      case ui::ControlKind::kProgress:
        windowClass = PROGRESS_CLASSW;
        style |= PBS_SMOOTH;
        break;
    }
    RECT box{tpl.x, tpl.y, tpl.x + tpl.cx, tpl.y + tpl.cy};
    MapDialogRect(window, &box);
    const std::wstring text = tpl.kind == ui::ControlKind::kIcon ? std::wstring() : Wide(control.text);
    const int id = tpl.id == -1 ? kNoId : tpl.id;
    HWND made = CreateWindowExW(0, windowClass, text.c_str(), style, box.left, box.top, box.right - box.left,
                                box.bottom - box.top, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                instance, nullptr);
    view.controls.push_back(made);
    if (made == nullptr) continue;
    SendMessageW(made, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    if (tpl.kind == ui::ControlKind::kIcon) {
      if (HICON icon = LoadIconSized(std::atoi(tpl.text.c_str()), GetSystemMetrics(SM_CXICON))) {
        SendMessageW(made, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
      }
    } else if (tpl.kind == ui::ControlKind::kProgress) {
      // Windows names a progress bar by the static text before it (here the
      // status line, which says something else); Wine by its window text.
      view.accessibility->SetName(made, control.text);
      SendMessageW(made, PBM_SETRANGE32, 0, 100);
      SendMessageW(made, PBM_SETPOS, static_cast<WPARAM>(control.position), 0);
    }
    EnableWindow(made, control.enabled);
  }
  if (dialog.GetDefID() != 0) SendMessageW(window, DM_SETDEFID, static_cast<WPARAM>(dialog.GetDefID()), 0);
  view.defaultShown = dialog.GetDefID();
}

// ---- What a screen reader is told --------------------------------------

// The keyboard goes to the control the core has made the active one.  Only
// in the active window: in another, Windows would activate it for the
// keyboard; it follows when that window becomes active (ActivatedFocus).
void ApplyFocus(ui::CDialog& dialog, View& view) {
  view.focusPosted = false;
  if (view.window == nullptr || GetActiveWindow() != view.window) return;
  HWND control = ControlFor(dialog, dialog.GetFocusID());
  if (control == nullptr) control = GetNextDlgTabItem(view.window, nullptr, FALSE);  // the first that takes it
  // SetFocus rather than WM_NEXTDLGCTL, which would also mark a focused
  // push button as the default: the default stays the core's.
  if (control != nullptr && GetFocus() != control) SetFocus(control);
  if (const HWND pending = std::exchange(view.disablePending, nullptr)) EnableWindow(pending, FALSE);
}

bool IsText(const ui::CDialog& dialog, int id) {
  const ui::ControlState* control = dialog.Control(id);
  return control != nullptr && control->tpl.kind == ui::ControlKind::kText;
}

// The core moved its active control.  To a text (the status, when no
// button can take the keyboard) the keyboard goes once the handler that
// moved it has returned: the text it is given meanwhile is then in place,
// and a screen reader reads that with the focus, rather than the old text
// and then a name change.
void PostFocus(View& view) {
  if (!view.focusPosted) view.focusPosted = PostMessageW(view.window, kFocusMessage, 0, 0) != FALSE;
}

void FollowFocus(ui::CDialog& dialog, View& view) {
  if (view.window == nullptr) return;
  if (!IsText(dialog, dialog.GetFocusID())) {
    ApplyFocus(dialog, view);
  } else {
    PostFocus(view);
  }
}

// The core enabled or disabled a control.  The one with the keyboard is
// disabled only once the keyboard has moved on (ApplyFocus, right after
// the core has chosen where): disabled first, it would leave the keyboard
// on nothing (Wine) or on a disabled button (Windows) meanwhile, and Wine
// then raises no focus event for where it goes next.  The core refuses a
// disabled control's commands at once either way.
void EnabledChanged(View& view, HWND control, bool enabled) {
  if (enabled) {
    if (view.disablePending == control) view.disablePending = nullptr;
    if (IsWindowEnabled(control) == FALSE) EnableWindow(control, TRUE);
    return;
  }
  if (IsWindowEnabled(control) == FALSE) return;
  if (GetFocus() == control && view.window != nullptr && view.disablePending == nullptr) {
    view.disablePending = control;
    PostFocus(view);
    return;
  }
  EnableWindow(control, FALSE);
}

// The window became active: the keyboard goes straight to the core's
// control.  Left to Windows, it would go to the window itself (no saved
// control) or back to the control it had before, which the program may
// have disabled meanwhile.
void ActivatedFocus(ui::CDialog& dialog, View& view) {
  view.activeSince = GetTickCount64();
  ApplyFocus(dialog, view);
}

// A text with an id changed its words.  Screen readers speak the name
// change of the control with the keyboard only; any other change is
// announced, once, unless the window is not the one being used, is being
// read as it opens, or the keyboard is on that text or on its way there
// (the focus reads it).
void TextChanged(ui::CDialog& dialog, View& view, int id, HWND control, const std::string& text) {
  view.accessibility->NameChanged(control);
  const ui::ControlState* state = dialog.Control(id);
  if (state == nullptr || state->tpl.kind != ui::ControlKind::kText || id == -1 || text.empty()) return;
  if (view.window == nullptr || GetForegroundWindow() != view.window) return;
  using std::chrono::milliseconds;
  const auto reading = std::chrono::duration_cast<milliseconds>(os::TimeScale::Scaled(kReadingOnActivationMs));
  if (GetTickCount64() - view.activeSince < static_cast<ULONGLONG>(reading.count())) return;
  if (dialog.GetFocusID() == id) return;
  view.accessibility->Announce(control, text);
}

// The default button moved: both buttons' states changed.
void DefaultMoved(ui::CDialog& dialog, View& view) {
  const int now = dialog.GetDefID();
  if (now == view.defaultShown) return;
  for (int id : {view.defaultShown, now}) {
    if (const HWND button = ControlFor(dialog, id)) view.accessibility->StateChanged(button);
  }
  view.defaultShown = now;
}

// ---- Scale: the dialogs follow the DPI of the monitor they are on ----------
//
// The program declares itself per-monitor DPI aware (its manifest), so
// Windows draws nothing for it by stretching a bitmap: a dialog is laid out
// in dialog units of its font, made at the monitor's DPI when the dialog is
// made, and laid out again when it moves to a monitor with another DPI
// (WM_DPICHANGED).  That second layout is ours, from the template, rather
// than Windows' own proportional one for dialogs, so that it is the first
// layout at the new DPI to the pixel.

// A function of a later Windows than 7, looked up when needed: imported,
// it would keep the program from starting where it is missing.
template <typename Function>
Function LaterWindows(const char* name) {
  const HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (user32 == nullptr) return nullptr;
  // Through a function type that casts without warnings.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(user32, name)));
}

// Windows 10 1703 and later rescale a dialog by themselves on a DPI change;
// this one does it from its template (above), so they are asked not to.
void TakeOverDpiChanges(HWND window) {
  using SetBehavior = BOOL(WINAPI*)(HWND, int, int);
  constexpr int kDisableAll = 0x0001;  // DDC_DISABLE_ALL
  if (const auto set = LaterWindows<SetBehavior>("SetDialogDpiChangeBehavior")) set(window, kDisableAll, kDisableAll);
}

// Dialog base units of a font, as Windows computes them for a dialog: the
// mean width of the Latin letters and the font's height.
struct BaseUnits {
  int x = 0;
  int y = 0;
};

BaseUnits BaseUnitsOf(HFONT font) {
  static constexpr wchar_t kLetters[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  const HDC dc = GetDC(nullptr);
  const HGDIOBJ old = SelectObject(dc, font);
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  SIZE size{};
  GetTextExtentPoint32W(dc, kLetters, 52, &size);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  return {static_cast<int>((size.cx / 26 + 1) / 2), static_cast<int>(metrics.tmHeight)};
}

// The template's font, as Windows makes it for a dialog, at `dpi`.
HFONT DialogFontFor(const ui::DialogTemplate& tpl, UINT dpi) {
  LOGFONTW font{};
  font.lfHeight = -MulDiv(tpl.pointSize, static_cast<int>(dpi), 72);
  font.lfWeight = FW_NORMAL;
  font.lfCharSet = DEFAULT_CHARSET;
  const std::wstring face = DialogFace(tpl);
  face.copy(font.lfFaceName, LF_FACESIZE - 1);
  return CreateFontIndirectW(&font);
}

// The icon's size at `dpi`: Windows' icon size for the program's own DPI,
// which is the primary monitor's when it started.
int IconSizeFor(UINT dpi) {
  const HDC screen = GetDC(nullptr);
  const int systemDpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return MulDiv(GetSystemMetrics(SM_CXICON), static_cast<int>(dpi), systemDpi > 0 ? systemDpi : 96);
}

// WM_DPICHANGED: the window takes the rectangle Windows suggests for the
// new DPI, its controls are placed again from their dialog units in the
// dialog font made anew for that DPI.
void ApplyDpi(ui::CDialog& dialog, View& view, UINT dpi, const RECT& suggested) {
  const HWND window = view.window;
  SetWindowPos(window, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
               suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
  const HFONT font = DialogFontFor(dialog.Template(), dpi);
  if (font == nullptr) return;
  const BaseUnits units = BaseUnitsOf(font);
  const auto& controls = dialog.Controls();
  for (std::size_t i = 0; i < controls.size() && i < view.controls.size(); ++i) {
    const HWND control = view.controls[i];
    if (control == nullptr) continue;
    const ui::ControlTemplate& tpl = controls[i].tpl;
    const int left = MulDiv(tpl.x, units.x, 4);
    const int top = MulDiv(tpl.y, units.y, 8);
    const int right = MulDiv(tpl.x + tpl.cx, units.x, 4);
    const int bottom = MulDiv(tpl.y + tpl.cy, units.y, 8);
    SetWindowPos(control, nullptr, left, top, right - left, bottom - top, SWP_NOZORDER | SWP_NOACTIVATE);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    if (tpl.kind == ui::ControlKind::kIcon) {
      if (HICON icon = LoadIconSized(std::atoi(tpl.text.c_str()), IconSizeFor(dpi))) {
        if (HICON old = reinterpret_cast<HICON>(SendMessageW(control, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0))) {
          DestroyIcon(old);
        }
      }
    }
  }
  // The dialog keeps the font Windows made for it (its own to delete);
  // ours replaces the one made for the DPI before.
  if (view.dpiFont != nullptr) DeleteObject(view.dpiFont);
  view.dpiFont = font;
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

bool HasControl(const ui::CDialog& dialog, int id) { return dialog.Control(id) != nullptr; }

bool IsReturn(const MSG& message) {
  return message.message == WM_KEYDOWN && message.wParam == VK_RETURN && GetKeyState(VK_CONTROL) >= 0 &&
         GetKeyState(VK_SHIFT) >= 0 && GetKeyState(VK_MENU) >= 0;
}

// Tab or Shift+Tab, nothing else held.
bool IsTab(const MSG& message) {
  return message.message == WM_KEYDOWN && message.wParam == VK_TAB && GetKeyState(VK_CONTROL) >= 0 &&
         GetKeyState(VK_MENU) >= 0;
}

INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* dialog = reinterpret_cast<ui::CDialog*>(lParam);
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    View* view = ViewOf(*dialog);
    view->window = window;
    MakeControls(*dialog, *view);
    TakeOverDpiChanges(window);
    return FALSE;  // the core says where the keyboard goes (DialogShown)
  }
  auto* dialog = reinterpret_cast<ui::CDialog*>(GetWindowLongPtrW(window, DWLP_USER));
  if (dialog == nullptr) return FALSE;
  switch (message) {
    case WM_ACTIVATE:
      // Inactive: Windows' dialog code keeps the control that had the keyboard.
      if (LOWORD(wParam) == WA_INACTIVE || HIWORD(wParam) != 0) return FALSE;
      ActivatedFocus(*dialog, *ViewOf(*dialog));
      return TRUE;
    case kFocusMessage:
      ApplyFocus(*dialog, *ViewOf(*dialog));
      return TRUE;
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      const int code = HIWORD(wParam);
      if (lParam != 0 && code == BN_SETFOCUS) {
        // The user moved the keyboard (Tab, a mnemonic): the core follows.
        if (dialog->GetFocusID() != id) dialog->GotoDlgCtrl(id);
        return TRUE;
      }
      if (lParam != 0 && code != BN_CLICKED) return FALSE;
      if (id == kDvIdCancel && !HasControl(*dialog, kDvIdCancel)) {
        dialog->Close();  // Escape in a dialog without a Cancel button
      } else {
        // A button, or Return: the default button's id, or IDOK without one.
        dialog->Command(id == 0 ? kDvIdOk : id);
      }
      return TRUE;
    }
    case WM_CLOSE:
      dialog->Close();
      return TRUE;
    case WM_SYSCOMMAND: {
      const UINT command = static_cast<UINT>(wParam & 0xFFF0);
      for (const auto& [id, text] : dialog->SystemMenuItems()) {
        if (id == command) {
          dialog->SystemCommand(id);
          SetWindowLongPtrW(window, DWLP_MSGRESULT, 0);
          return TRUE;
        }
      }
      return FALSE;
    }
    case WM_DPICHANGED:
      if (View* view = ViewOf(*dialog); view != nullptr && view->window == window) {
        ApplyDpi(*dialog, *view, HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
      }
      SetWindowLongPtrW(window, DWLP_MSGRESULT, 0);
      return TRUE;
    case WM_QUERYENDSESSION:
      // Windows asks whether the session may end: not while the display is
      // written (the shutdown block reason says why).
      if (!power::IsHeld()) return FALSE;
      SetWindowLongPtrW(window, DWLP_MSGRESULT, FALSE);
      return TRUE;
    case WM_HELP:
      // F1: the first item of the window menu (About).
      if (!dialog->SystemMenuItems().empty()) dialog->SystemCommand(dialog->SystemMenuItems().front().first);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

struct Win32Backend::Impl {
  HWND wake = nullptr;
  std::atomic<bool> wakePosted{false};
  std::unique_ptr<Accessibility> accessibility;

  static LRESULT CALLBACK WakeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kWakeMessage) {
      auto* impl = reinterpret_cast<Impl*>(GetWindowLongPtrW(window, GWLP_USERDATA));
      // Cleared before dispatching: a Wake() from now on posts again.
      if (impl != nullptr) impl->wakePosted = false;
      ui::DispatchPending();
      return 0;
    }
    if (message == kDestroyMessage) {
      std::unique_ptr<EndedWindow> gone(reinterpret_cast<EndedWindow*>(lParam));
      DestroyEnded(*gone);
      return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
  }
};

Win32Backend::Win32Backend(std::unique_ptr<Accessibility> accessibility) : impl_(std::make_unique<Impl>()) {
  impl_->accessibility = accessibility ? std::move(accessibility) : MakeSystemAccessibility();
}

Win32Backend::~Win32Backend() {
  if (impl_->wake == nullptr) return;
  // Ended dialogs whose windows were still to go: they go now.
  MSG message;
  while (PeekMessageW(&message, impl_->wake, kDestroyMessage, kDestroyMessage, PM_REMOVE)) DispatchMessageW(&message);
  DestroyWindow(impl_->wake);
}

bool Win32Backend::Start() {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW wakeClass{};
  wakeClass.lpfnWndProc = Impl::WakeProc;
  wakeClass.hInstance = instance;
  wakeClass.lpszClassName = kWakeClass;
  RegisterClassW(&wakeClass);  // a second back end in the process finds it registered
  // A window that can be seen: without a display (Wine with no X server) it
  // cannot be made, and neither could any dialog.
  HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, instance, nullptr);
  if (probe == nullptr) return false;
  DestroyWindow(probe);
  impl_->wake = CreateWindowExW(0, kWakeClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
  if (impl_->wake == nullptr) return false;
  SetWindowLongPtrW(impl_->wake, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(impl_.get()));
  return true;
}

std::unique_ptr<ui::Backend> MakeWin32Backend(std::unique_ptr<Accessibility> accessibility) {
  auto backend = std::make_unique<Win32Backend>(std::move(accessibility));
  if (!backend->Start()) return nullptr;
  return backend;
}

void* Win32Backend::WindowOf(const ui::CDialog& dialog) { return WindowFor(&dialog); }

void* Win32Backend::ControlWindowOf(const ui::CDialog& dialog, int id) { return ControlFor(dialog, id); }

void Win32Backend::DialogCreated(ui::CDialog& dialog) {
  auto view = std::make_shared<View>();
  view->accessibility = impl_->accessibility.get();
  dialog.view = view;
  const std::vector<WORD> frame = FrameTemplate(dialog.Template());
  // Owned by the parent's window, so that it stays above it and Windows
  // gives the parent back the keyboard when it goes.
  CreateDialogIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(frame.data()),
                             WindowFor(dialog.Parent()), DialogProc, reinterpret_cast<LPARAM>(&dialog));
}

void Win32Backend::DialogShown(ui::CDialog& dialog) {
  const HWND window = WindowFor(&dialog);
  if (window == nullptr) return;
  // Activated, it takes the keyboard at the core's control (WM_ACTIVATE).
  ShowWindow(window, SW_SHOW);
  SetForegroundWindow(window);
  ApplyFocus(dialog, *ViewOf(dialog));
}

void Win32Backend::DialogEnded(ui::CDialog& dialog, std::intptr_t /*result*/) {
  View* view = ViewOf(dialog);
  if (view == nullptr || view->window == nullptr) return;
  const auto& controls = dialog.Controls();
  for (std::size_t i = 0; i < controls.size() && i < view->controls.size(); ++i) {
    if (controls[i].tpl.kind == ui::ControlKind::kProgress && view->controls[i] != nullptr) {
      view->accessibility->ForgetName(view->controls[i]);
    }
  }
  auto gone = std::make_unique<EndedWindow>(EndedWindow{view->window, view->bigIcon, view->smallIcon, view->dpiFont});
  SetWindowLongPtrW(gone->window, DWLP_USER, 0);  // nothing reaches the dialog any more
  view->window = nullptr;
  view->controls.clear();
  view->bigIcon = view->smallIcon = nullptr;
  view->dpiFont = nullptr;  // goes with the window
  view->disablePending = nullptr;
  // Its going activates its owner, whose keyboard then goes where the core
  // has put it.  The code that ran the dialog usually changes the owner
  // right after (disables a button, says what comes next): the window goes
  // once that is done, so that the keyboard is not first given to a control
  // about to be disabled, nor to the owner window itself.
  if (dialog.Parent() != nullptr && PostMessageW(impl_->wake, kDestroyMessage, 0,
                                                 reinterpret_cast<LPARAM>(gone.get())) != FALSE) {
    gone.release();
    return;
  }
  DestroyEnded(*gone);
}

void Win32Backend::TitleChanged(ui::CDialog& dialog) {
  if (const HWND window = WindowFor(&dialog)) SetWindowTextW(window, Wide(dialog.GetWindowText()).c_str());
}

void Win32Backend::ControlChanged(ui::CDialog& dialog, int id) {
  const ui::ControlState* control = dialog.Control(id);
  const HWND window = ControlFor(dialog, id);
  if (control == nullptr || window == nullptr) return;
  if (control->tpl.kind == ui::ControlKind::kProgress) {
    if (SendMessageW(window, PBM_GETPOS, 0, 0) != control->position) {
      SendMessageW(window, PBM_SETPOS, static_cast<WPARAM>(control->position), 0);
      ViewOf(dialog)->accessibility->ValueChanged(window);
    }
  } else if (control->tpl.kind != ui::ControlKind::kIcon) {
    // Set only when it changed: a screen reader speaks every change.
    const std::wstring text = Wide(control->text);
    std::wstring shown(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    shown.resize(static_cast<std::size_t>(GetWindowTextW(window, shown.data(), static_cast<int>(shown.size()))));
    if (shown != text) {
      SetWindowTextW(window, text.c_str());
      TextChanged(dialog, *ViewOf(dialog), id, window, control->text);
    }
  }
  EnabledChanged(*ViewOf(dialog), window, control->enabled);
}

void Win32Backend::DefaultChanged(ui::CDialog& dialog) {
  if (const HWND window = WindowFor(&dialog)) {
    SendMessageW(window, DM_SETDEFID, static_cast<WPARAM>(dialog.GetDefID()), 0);
    DefaultMoved(dialog, *ViewOf(dialog));
  }
}

void Win32Backend::FocusChanged(ui::CDialog& dialog) {
  if (View* view = ViewOf(dialog)) FollowFocus(dialog, *view);
}

void Win32Backend::Repaint(ui::CDialog& dialog) {
  if (const HWND window = WindowFor(&dialog)) RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
}

void Win32Backend::MenuItemAdded(ui::CDialog& dialog, ui::UINT commandId, const std::string& text) {
  View* view = ViewOf(dialog);
  if (view == nullptr || view->window == nullptr) return;
  HMENU menu = GetSystemMenu(view->window, FALSE);
  if (menu == nullptr) return;
  if (!view->menuSeparated) AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  view->menuSeparated = true;
  AppendMenuW(menu, MF_STRING, commandId, Wide(text).c_str());
}

void Win32Backend::IconSet(ui::CDialog& dialog, int iconId) {
  View* view = ViewOf(dialog);
  if (view == nullptr || view->window == nullptr) return;
  HICON big = LoadIconSized(iconId, GetSystemMetrics(SM_CXICON));
  HICON small = LoadIconSized(iconId, GetSystemMetrics(SM_CXSMICON));
  SendMessageW(view->window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
  SendMessageW(view->window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
  if (view->bigIcon != nullptr) DestroyIcon(view->bigIcon);
  if (view->smallIcon != nullptr) DestroyIcon(view->smallIcon);
  view->bigIcon = big;
  view->smallIcon = small;
}

void Win32Backend::RunModalLoop(ui::CDialog& dialog, const std::function<bool()>& ended) {
  // Modal as DialogBox makes it: the owner takes no input meanwhile.
  const HWND owner = WindowFor(dialog.Parent());
  const bool ownerWasEnabled = owner != nullptr && EnableWindow(owner, FALSE) == FALSE;
  ui::DispatchPending();
  while (!ended()) {
    MSG message;
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got <= 0) {
      if (got == 0) PostQuitMessage(static_cast<int>(message.wParam));  // for the outermost loop to see
      break;
    }
    const HWND window = WindowFor(&dialog);
    if (window != nullptr && IsReturn(message) && (message.hwnd == window || IsChild(window, message.hwnd))) {
      // Return presses the default button and nothing else, wherever the
      // keyboard is (Windows would press a focused button instead); with no
      // default button it is IDOK.  So a dialog without one, like the
      // download's, is never started by Return by accident.
      dialog.Command(dialog.GetDefID() != 0 ? dialog.GetDefID() : kDvIdOk);
      continue;
    }
    if (window != nullptr && IsTab(message) && !dialog.HasUsableControl() &&
        (message.hwnd == window || IsChild(window, message.hwnd))) {
      // No control can take the keyboard (the display is being written):
      // Windows would find no tab stop; the core's order goes round the
      // status text and the progress bar instead.
      dialog.Tab(GetKeyState(VK_SHIFT) < 0);
      continue;
    }
    if (window == nullptr || !IsDialogMessageW(window, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  // Before the dialog goes, so that Windows activates the owner again.
  if (ownerWasEnabled) EnableWindow(owner, TRUE);
}

int Win32Backend::MessageBox(ui::CDialog* owner, const ui::MessageBoxSpec& box) {
  const std::string caption = box.caption.empty() ? ui::ApplicationName() : box.caption;
  // Our style bits are Windows' own (MB_OKCANCEL, the icons, MB_DEFBUTTON2).
  const int answer = MessageBoxW(WindowFor(owner), Wide(box.text).c_str(), Wide(caption).c_str(),
                                 box.style | MB_SETFOREGROUND);
  // 0 is a box that could not be shown: never taken for agreement.
  return answer == IDOK ? kDvIdOk : kDvIdCancel;
}

void Win32Backend::Wake() {
  if (!impl_->wakePosted.exchange(true)) PostMessageW(impl_->wake, kWakeMessage, 0, 0);
}

}  // namespace win32ui
