#include <algorithm>

#include "ui/ui.h"

namespace ui {

// The core's side of windows (core.cpp).
std::uint64_t RegisterWindow(CDialog* dialog);
void UnregisterWindow(std::uint64_t id);
bool IsLiveWindow(std::uint64_t id);
LRESULT SendFromOtherThread(std::uint64_t window, UINT message, WPARAM wParam, LPARAM lParam, UINT timeoutMs,
                            LRESULT* result, std::shared_ptr<const void> keepAlive);
BOOL Post(std::uint64_t window, UINT message, WPARAM wParam, LPARAM lParam);

namespace {
// The thread that runs the dialogs: sends from it are handled at once.
thread_local int t_modalDepth = 0;
}  // namespace

CDialog::CDialog(int templateId, CDialog* parent) : templateId_(templateId), parent_(parent) {}

CDialog::~CDialog() {
  if (windowId_ != 0 && !destroyed_) UnregisterWindow(windowId_);
}

std::intptr_t CDialog::DoModal() {
  const auto loaded = LoadDialogTemplate(os::ResourceModule::Self(), templateId_);
  if (!loaded) return -1;
  template_ = *loaded;
  title_ = template_.title;
  controls_.clear();
  defaultId_ = 0;
  focusId_ = 0;
  for (const auto& control : template_.controls) {
    controls_.push_back(ControlState{control, control.text, true});
    if (control.kind == ControlKind::kDefPushButton && defaultId_ == 0) defaultId_ = control.id;
  }
  // The first control that takes the keyboard starts as the active one.
  for (const auto& control : template_.controls) {
    if (control.tabStop && control.id != -1) {
      focusId_ = control.id;
      break;
    }
  }

  ended_ = false;
  destroyed_ = false;
  result_ = 0;
  windowId_ = RegisterWindow(this);
  created_ = true;
  Backend& backend = CurrentBackend();
  ++t_modalDepth;
  backend.DialogCreated(*this);
  OnInitDialog();
  if (!ended_) {
    backend.DialogShown(*this);
    backend.RunModalLoop(*this, [this] { return ended_; });
  }
  --t_modalDepth;
  destroyed_ = true;
  UnregisterWindow(windowId_);
  backend.DialogEnded(*this, result_);
  return result_;
}

void CDialog::EndDialog(std::intptr_t result) {
  if (ended_) return;
  ended_ = true;
  result_ = result;
  if (created_) CurrentBackend().Wake();
}

void CDialog::OnCommand(int id) {
  if (id == IDOK) {
    OnOK();
  } else if (id == IDCANCEL) {
    OnCancel();
  }
}

void CDialog::OnSysCommand(UINT, LPARAM) {}

BOOL CDialog::OnDeviceChange(UINT, const DeviceBroadcast*) { return 1; }

LRESULT CDialog::OnAppMessage(UINT, WPARAM, LPARAM) { return 0; }

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (!IsWindow() || ended_) return 0;
  switch (message) {
    case WM_COMMAND:
      OnCommand(static_cast<int>(wParam & 0xFFFF));
      return 0;
    case WM_SYSCOMMAND:
      OnSysCommand(static_cast<UINT>(wParam), lParam);
      return 0;
    case WM_CLOSE:
      OnCancel();
      return 0;
    case WM_DEVICECHANGE:
      return OnDeviceChange(static_cast<UINT>(wParam), reinterpret_cast<const DeviceBroadcast*>(lParam));
    default:
      if (message >= os::WM_APP) return OnAppMessage(message, wParam, lParam);
      return 0;
  }
}

void CDialog::Command(int id) {
  const ControlState* control = Control(id);
  // A disabled button cannot be pressed.
  if (control != nullptr && !control->enabled) return;
  WindowProc(WM_COMMAND, static_cast<WPARAM>(id), 0);
}

void CDialog::Close() {
  // As with Escape in a dialog: while the Cancel (id 2) button is disabled,
  // closing is not offered either.
  const ControlState* cancel = Control(IDCANCEL);
  if (cancel != nullptr && !cancel->enabled) {
    if (IsWindow() && !ended_) OnCloseRefused();
    return;
  }
  WindowProc(WM_CLOSE, 0, 0);
}

void CDialog::SystemCommand(UINT id) { WindowProc(WM_SYSCOMMAND, id, 0); }

void CDialog::Tab(bool backward) {
  if (!IsWindow() || ended_) return;
  const int next = NextTabStop(backward);
  if (next != 0) GotoDlgCtrl(next);
}

bool CDialog::HasUsableControl() const {
  return std::any_of(controls_.begin(), controls_.end(),
                     [this](const ControlState& c) { return TakesKeyboard(c.tpl.id); });
}

int CDialog::NextTabStop(bool backward) const {
  const auto usable = [this](const ControlState& c) { return TakesKeyboard(c.tpl.id); };
  const bool anyUsable = HasUsableControl();
  const int status = StatusTextId();
  const auto readable = [status](const ControlState& c) {
    return c.tpl.id != -1 && (c.tpl.id == status || c.tpl.kind == ControlKind::kProgress);
  };
  const auto at =
      std::find_if(controls_.begin(), controls_.end(), [this](const auto& c) { return c.tpl.id == focusId_; });
  const std::size_t n = controls_.size();
  // From nothing, forward starts at the first control and backward at the last.
  const std::size_t start =
      at != controls_.end() ? static_cast<std::size_t>(at - controls_.begin()) : (backward ? 0 : n - 1);
  for (std::size_t step = 1; step <= n; ++step) {
    const ControlState& c = controls_[(backward ? start + n - step : start + step) % n];
    if (anyUsable ? usable(c) : readable(c)) return c.tpl.id;
  }
  return 0;
}

ControlState* CDialog::FindControl(int id) {
  if (id == -1) return nullptr;
  const auto found = std::find_if(controls_.begin(), controls_.end(), [id](const auto& c) { return c.tpl.id == id; });
  return found == controls_.end() ? nullptr : &*found;
}

const ControlState* CDialog::Control(int id) const { return const_cast<CDialog*>(this)->FindControl(id); }

void CDialog::SetWindowText(const std::string& text) {
  if (title_ == text) return;
  title_ = text;
  if (IsWindow()) CurrentBackend().TitleChanged(*this);
}

void CDialog::SetDlgItemText(int id, const std::string& text) {
  ControlState* control = FindControl(id);
  if (control == nullptr || control->text == text) return;
  control->text = text;
  if (IsWindow()) CurrentBackend().ControlChanged(*this, id);
}

std::string CDialog::GetDlgItemText(int id) const {
  const ControlState* control = Control(id);
  return control == nullptr ? std::string() : control->text;
}

void CDialog::EnableDlgItem(int id, bool enable) {
  ControlState* control = FindControl(id);
  if (control == nullptr || control->enabled == enable) return;
  control->enabled = enable;
  if (IsWindow()) CurrentBackend().ControlChanged(*this, id);
  // A keyboard left on a disabled control, or on nothing, gives a screen
  // reader nothing to say: Tab and Escape would be met with silence.
  const int next = enable ? FocusAfterEnabling(id) : FocusAfterDisabling(id);
  if (next != focusId_) GotoDlgCtrl(next);
}

bool CDialog::TakesKeyboard(int id) const {
  const ControlState* control = Control(id);
  return control != nullptr && control->tpl.tabStop && control->enabled;
}

int CDialog::FocusAfterDisabling(int id) const {
  if (focusId_ != id) return focusId_;
  const auto at = std::find_if(controls_.begin(), controls_.end(), [id](const auto& c) { return c.tpl.id == id; });
  const std::size_t start = static_cast<std::size_t>(at - controls_.begin());
  for (std::size_t step = 1; step <= controls_.size(); ++step) {
    const ControlState& c = controls_[(start + step) % controls_.size()];
    if (c.tpl.tabStop && c.enabled && c.tpl.id != -1) return c.tpl.id;
  }
  const int status = StatusTextId();
  return status != 0 ? status : focusId_;
}

int CDialog::FocusAfterEnabling(int id) const {
  // The default button was passed over while it was disabled: Return
  // presses it, so the keyboard must be on it too.
  if (id == defaultId_ && TakesKeyboard(id)) return id;
  const bool onNothing = !TakesKeyboard(focusId_);
  const ControlState* enabled = Control(id);
  if (!onNothing || enabled == nullptr || !enabled->tpl.tabStop) return focusId_;
  return TakesKeyboard(defaultId_) ? defaultId_ : id;
}

int CDialog::StatusTextId() const {
  for (const ControlState& c : controls_) {
    if (c.tpl.kind == ControlKind::kText && c.tpl.id != -1) return c.tpl.id;
  }
  return 0;
}

void CDialog::SetProgressPos(int id, int percent) {
  ControlState* control = FindControl(id);
  if (control == nullptr || control->tpl.kind != ControlKind::kProgress) return;
  percent = std::clamp(percent, 0, 100);
  if (control->position == percent) return;
  control->position = percent;
  if (IsWindow()) CurrentBackend().ControlChanged(*this, id);
}

bool CDialog::IsDlgItemEnabled(int id) const {
  const ControlState* control = Control(id);
  return control != nullptr && control->enabled;
}

void CDialog::SetDefID(int id) {
  if (defaultId_ == id) return;
  defaultId_ = id;
  if (IsWindow()) CurrentBackend().DefaultChanged(*this);
  // The keyboard goes along, so that Return and Space press the same button.
  if (TakesKeyboard(id) && focusId_ != id) GotoDlgCtrl(id);
}

void CDialog::GotoDlgCtrl(int id) {
  if (FindControl(id) == nullptr) return;
  focusId_ = id;
  if (IsWindow()) CurrentBackend().FocusChanged(*this);
}

void CDialog::RedrawWindow() {
  if (IsWindow()) CurrentBackend().Repaint(*this);
}

void CDialog::SetIcon(int iconId) {
  if (IsWindow()) CurrentBackend().IconSet(*this, iconId);
}

void CDialog::AppendSystemMenuItem(UINT commandId, const std::string& text) {
  menu_.emplace_back(commandId, text);
  if (IsWindow()) CurrentBackend().MenuItemAdded(*this, commandId, text);
}

int CDialog::MessageBox(const std::string& text, const std::string& caption, UINT style) {
  MessageBoxSpec box{text, caption.empty() ? ApplicationName() : caption, style};
  return CurrentBackend().MessageBox(this, box);
}

void CDialog::Say(const std::string& text) {
  if (IsWindow() && !text.empty()) CurrentBackend().Say(*this, text);
}

LRESULT CDialog::SendMessageTimeout(UINT message, WPARAM wParam, LPARAM lParam, UINT /*flags*/, UINT timeoutMs,
                                    LRESULT* result, std::shared_ptr<const void> keepAlive) {
  if (t_modalDepth > 0) {
    // Sent on the user-interface thread itself: handled at once.
    const LRESULT r = WindowProc(message, wParam, lParam);
    if (result != nullptr) *result = r;
    return 1;
  }
  return SendFromOtherThread(windowId_, message, wParam, lParam, timeoutMs, result, std::move(keepAlive));
}

BOOL CDialog::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) { return Post(windowId_, message, wParam, lParam); }

}  // namespace ui
