#include "ui/win32/win32_backend.h"

#include <string>
#include <vector>

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
constexpr wchar_t kWakeClass[] = L"DotvaneUiWake";
// Controls without an id get the one Windows gives static controls.
constexpr int kNoId = 0xFFFF;

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

// What the back end keeps for one dialog (CDialog::view).
struct View {
  HWND window = nullptr;
  std::vector<HWND> controls;  // in template order
  HICON bigIcon = nullptr;
  HICON smallIcon = nullptr;
  bool menuSeparated = false;  // our items follow one separator in the system menu
};

View* ViewOf(const ui::CDialog& dialog) { return static_cast<View*>(dialog.view.get()); }

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

// The dialog's frame in its template: a DLGTEMPLATEEX without items, in the
// template's font (DS_SHELLFONT: "MS Shell Dlg" is Windows' dialog font).
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
  pushText(tpl.font);
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
      // A screen reader names the bar by its window text.
      SendMessageW(made, PBM_SETRANGE32, 0, 100);
      SendMessageW(made, PBM_SETPOS, static_cast<WPARAM>(control.position), 0);
    }
    EnableWindow(made, control.enabled);
  }
  if (dialog.GetDefID() != 0) SendMessageW(window, DM_SETDEFID, static_cast<WPARAM>(dialog.GetDefID()), 0);
}

bool HasControl(const ui::CDialog& dialog, int id) { return dialog.Control(id) != nullptr; }

bool IsReturn(const MSG& message) {
  return message.message == WM_KEYDOWN && message.wParam == VK_RETURN && GetKeyState(VK_CONTROL) >= 0 &&
         GetKeyState(VK_SHIFT) >= 0 && GetKeyState(VK_MENU) >= 0;
}

INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* dialog = reinterpret_cast<ui::CDialog*>(lParam);
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    View* view = ViewOf(*dialog);
    view->window = window;
    MakeControls(*dialog, *view);
    return FALSE;  // the core says where the keyboard goes (DialogShown)
  }
  auto* dialog = reinterpret_cast<ui::CDialog*>(GetWindowLongPtrW(window, DWLP_USER));
  if (dialog == nullptr) return FALSE;
  switch (message) {
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

  static LRESULT CALLBACK WakeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kWakeMessage) {
      auto* impl = reinterpret_cast<Impl*>(GetWindowLongPtrW(window, GWLP_USERDATA));
      // Cleared before dispatching: a Wake() from now on posts again.
      if (impl != nullptr) impl->wakePosted = false;
      ui::DispatchPending();
      return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
  }
};

Win32Backend::Win32Backend() : impl_(std::make_unique<Impl>()) {}

Win32Backend::~Win32Backend() {
  if (impl_->wake != nullptr) DestroyWindow(impl_->wake);
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

std::unique_ptr<ui::Backend> MakeWin32Backend() {
  auto backend = std::make_unique<Win32Backend>();
  if (!backend->Start()) return nullptr;
  return backend;
}

void* Win32Backend::WindowOf(const ui::CDialog& dialog) { return WindowFor(&dialog); }

void* Win32Backend::ControlWindowOf(const ui::CDialog& dialog, int id) { return ControlFor(dialog, id); }

void Win32Backend::DialogCreated(ui::CDialog& dialog) {
  auto view = std::make_shared<View>();
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
  ShowWindow(window, SW_SHOW);
  SetForegroundWindow(window);
  FocusChanged(dialog);
}

void Win32Backend::DialogEnded(ui::CDialog& dialog, std::intptr_t /*result*/) {
  View* view = ViewOf(dialog);
  if (view == nullptr || view->window == nullptr) return;
  const HWND window = view->window;
  SetWindowLongPtrW(window, DWLP_USER, 0);  // nothing reaches the dialog any more
  view->window = nullptr;
  view->controls.clear();
  DestroyWindow(window);
  if (view->bigIcon != nullptr) DestroyIcon(view->bigIcon);
  if (view->smallIcon != nullptr) DestroyIcon(view->smallIcon);
  view->bigIcon = view->smallIcon = nullptr;
}

void Win32Backend::TitleChanged(ui::CDialog& dialog) {
  if (const HWND window = WindowFor(&dialog)) SetWindowTextW(window, Wide(dialog.GetWindowText()).c_str());
}

void Win32Backend::ControlChanged(ui::CDialog& dialog, int id) {
  const ui::ControlState* control = dialog.Control(id);
  const HWND window = ControlFor(dialog, id);
  if (control == nullptr || window == nullptr) return;
  if (control->tpl.kind == ui::ControlKind::kProgress) {
    SendMessageW(window, PBM_SETPOS, static_cast<WPARAM>(control->position), 0);
  } else if (control->tpl.kind != ui::ControlKind::kIcon) {
    // Set only when it changed: a screen reader speaks every change.
    const std::wstring text = Wide(control->text);
    std::wstring shown(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    shown.resize(static_cast<std::size_t>(GetWindowTextW(window, shown.data(), static_cast<int>(shown.size()))));
    if (shown != text) SetWindowTextW(window, text.c_str());
  }
  if ((IsWindowEnabled(window) != FALSE) != control->enabled) EnableWindow(window, control->enabled);
}

void Win32Backend::DefaultChanged(ui::CDialog& dialog) {
  if (const HWND window = WindowFor(&dialog)) {
    SendMessageW(window, DM_SETDEFID, static_cast<WPARAM>(dialog.GetDefID()), 0);
  }
}

void Win32Backend::FocusChanged(ui::CDialog& dialog) {
  const HWND window = WindowFor(&dialog);
  if (window == nullptr) return;
  const HWND control = ControlFor(dialog, dialog.GetFocusID());
  if (control == nullptr) {
    SendMessageW(window, WM_NEXTDLGCTL, 0, FALSE);  // the first control that takes the keyboard
  } else if (GetFocus() != control) {
    SendMessageW(window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
  }
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
