#include "ui/wx/wx_backend.h"

#include <wx/app.h>
#include <wx/bmpbndl.h>
#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/gauge.h>
#include <wx/iconbndl.h>
#include <wx/init.h>
#include <wx/log.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>

#include <gtk/gtk.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "os/i18n.h"

namespace wxui {

// What the back end keeps about one dialog, in CDialog::view.
struct View {
  ui::CDialog* dialog = nullptr;
  wxDialog* window = nullptr;
  std::vector<wxWindow*> controls;  // parallel to CDialog::Controls()
  // Says a changed text to a screen reader: an object with the
  // notification role, shown each time (see Announce).
  wxWindow* announcer = nullptr;
  // When the window last became the active one.
  std::chrono::steady_clock::time_point activated;
  // The status text is about to take the keyboard (FocusStatusLater).
  bool statusFocusPending = false;
  // The keyboard moves because of Tab: it goes at once, Tab is no text change.
  bool tabbing = false;
};

namespace {

std::atomic<bool> g_exists{false};

// The window menu's items get menu ids from here, away from wx's own ids.
constexpr int kFirstMenuId = wxID_HIGHEST + 1;

class App : public wxApp {
 public:
  bool OnInit() override { return true; }
};

// wx reports a failed assertion with a window of its own by default; a
// window nobody asked for, in the middle of an update, helps no user.
void AssertToStderr(const wxString& file, int line, const wxString& func, const wxString& cond,
                    const wxString& msg) {
  std::fprintf(stderr, "wx assertion failed at %s:%d in %s: %s %s\n", file.utf8_str().data(), line,
               func.utf8_str().data(), cond.utf8_str().data(), msg.utf8_str().data());
}

// GTK 3's standard theme draws no mark on the default button although Return
// and screen readers follow it; a sighted keyboard user needs to see which
// button Return presses.  GTK gives the default widget the style class
// "default", so the mark follows the real default, message boxes included.
constexpr char kDefaultButtonCss[] =
    "button.default { box-shadow: inset 0 0 0 2px @theme_selected_bg_color; }\n"
    "button.default label { font-weight: bold; }\n";

void InstallDefaultButtonStyle() {
  GtkCssProvider* css = gtk_css_provider_new();
  GError* error = nullptr;
  if (gtk_css_provider_load_from_data(css, kDefaultButtonCss, -1, &error)) {
    gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  } else {
    g_error_free(error);
  }
  g_object_unref(css);
}

wxString Wx(const std::string& text) { return wxString::FromUTF8(text.data(), text.size()); }

View* ViewOf(const ui::CDialog& dialog) { return static_cast<View*>(dialog.view.get()); }

bool IsButton(const ui::ControlTemplate& tpl) {
  return tpl.kind == ui::ControlKind::kPushButton || tpl.kind == ui::ControlKind::kDefPushButton;
}

// wx reads '&' as the mnemonic marker and "&&" as '&', as the templates do.
wxString Label(const ui::ControlState& control) {
  const wxString text = Wx(control.text);
  return control.tpl.noPrefix ? wxControl::EscapeMnemonics(text) : text;
}

bool HasMnemonic(const ui::ControlState& control) {
  if (control.tpl.noPrefix) return false;
  const std::string& text = control.text;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') continue;
    if (i + 1 < text.size() && text[i + 1] != '&') return true;
    ++i;
  }
  return false;
}

// A menu item's text as heard: no mnemonic marker, no "..." at the end.
std::string Spoken(std::string text) {
  std::string spoken;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && !(i + 1 < text.size() && text[i + 1] == '&')) continue;
    if (text[i] == '&') ++i;
    spoken += text[i];
  }
  while (!spoken.empty() && (spoken.back() == '.' || spoken.back() == ' ')) spoken.pop_back();
  return spoken;
}

// The SVG icon resource `iconId`, drawn at `size` by default; empty if none.
wxBitmapBundle IconImage(int iconId, const wxSize& size) {
  const auto data = os::ResourceModule::Self().Find("#" + std::to_string(iconId), "ICON");
  if (!data || data->empty()) return {};
  return wxBitmapBundle::FromSVG(data->data(), data->size(), size);
}

wxIconBundle WindowIcons(int iconId) {
  wxIconBundle icons;
  const wxBitmapBundle image = IconImage(iconId, wxSize(48, 48));
  if (!image.IsOk()) return icons;
  for (const int side : {16, 24, 32, 48, 64, 128}) {
    wxIcon icon;
    icon.CopyFromBitmap(image.GetBitmap(wxSize(side, side)));
    icons.AddIcon(icon);
  }
  return icons;
}

AtkObject* Accessible(wxWindow* window) { return gtk_widget_get_accessible(window->GetHandle()); }

// A static text that labels nothing.  wx on GTK makes every static text the
// mnemonic label of the next window created after it, whatever that is (the
// next button, or even the next dialog); a screen reader then names that
// window by the text and no longer reads the text as the dialog's own.
// Texts with a real mnemonic are linked explicitly in DialogCreated.
class PlainText : public wxStaticText {
 public:
  using wxStaticText::wxStaticText;

 protected:
  bool GTKWidgetNeedsMnemonic() const override { return false; }
};

// The things the keyboard rests on while no control can take it, so that a
// screen reader always has something to read: the status text (a
// selectable label, one GTK lets the keyboard rest on and a screen reader
// reads when it does) and the progress bars.  They are made so when the
// dialog is built (doing it later moves a label's caret, see
// FocusStatusLater), but take the keyboard only then: they are no stop for
// Tab otherwise.
GtkWidget* ReadableWidget(View& view, std::size_t index) {
  const ui::ControlTemplate& tpl = view.dialog->Controls()[index].tpl;
  GtkWidget* widget = view.controls[index]->GetHandle();
  if (tpl.id == -1) return nullptr;
  if (tpl.kind == ui::ControlKind::kProgress) return widget;
  return tpl.id == view.dialog->StatusTextId() && GTK_IS_LABEL(widget) ? widget : nullptr;
}

void PrepareReadables(View& view) {
  for (std::size_t i = 0; i < view.controls.size(); ++i) {
    GtkWidget* widget = ReadableWidget(view, i);
    if (widget == nullptr) continue;
    if (GTK_IS_LABEL(widget)) gtk_label_set_selectable(GTK_LABEL(widget), TRUE);
    gtk_widget_set_can_focus(widget, FALSE);
  }
}

void FocusReadable(View& view, std::size_t index) {
  GtkWidget* widget = ReadableWidget(view, index);
  if (widget == nullptr) return;
  gtk_widget_set_can_focus(widget, TRUE);
  gtk_widget_grab_focus(widget);
}

void FocusStatus(View& view) {
  const auto& controls = view.dialog->Controls();
  for (std::size_t i = 0; i < controls.size(); ++i) {
    if (controls[i].tpl.id == view.dialog->StatusTextId()) return FocusReadable(view, i);
  }
}

void ReleaseReadables(View& view) {
  for (std::size_t i = 0; i < view.controls.size(); ++i) {
    GtkWidget* widget = ReadableWidget(view, i);
    if (widget != nullptr && !gtk_widget_has_focus(widget)) gtk_widget_set_can_focus(widget, FALSE);
  }
}

// What the keyboard is on in this window: a control index, or -1 for the
// status text or nothing usable.
int FocusedControl(View& view) {
  GtkWidget* focus = gtk_window_get_focus(GTK_WINDOW(view.window->GetHandle()));
  const auto& controls = view.dialog->Controls();
  for (std::size_t i = 0; i < controls.size(); ++i) {
    if (view.controls[i]->GetHandle() == focus && controls[i].tpl.tabStop && controls[i].enabled) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

// The status text takes the keyboard a moment later, once whatever changed
// with it has changed and a screen reader has taken in the change: Orca
// quietly moves its attention to a text whose caret moves while it has the
// keyboard, and then says nothing when the keyboard arrives there.
constexpr unsigned kStatusFocusDelayMs = 150;

void FocusStatusLater(View& view) {
  view.statusFocusPending = true;
  auto* weak = new std::weak_ptr<View>(std::static_pointer_cast<View>(view.dialog->view));
  g_timeout_add_full(
      G_PRIORITY_DEFAULT, kStatusFocusDelayMs,
      [](gpointer data) -> gboolean {
        const auto later = static_cast<std::weak_ptr<View>*>(data)->lock();
        if (!later) return G_SOURCE_REMOVE;
        later->statusFocusPending = false;
        // Unless the keyboard has gone elsewhere meanwhile (Tab to the progress bar).
        if (later->window != nullptr && FocusedControl(*later) < 0 &&
            later->dialog->GetFocusID() == later->dialog->StatusTextId()) {
          FocusStatus(*later);
        }
        return G_SOURCE_REMOVE;
      },
      weak, [](gpointer data) { delete static_cast<std::weak_ptr<View>*>(data); });
}

// Puts the keyboard on the first enabled control that takes it, from
// control `first` on in tab order, wrapping around: a disabled control
// cannot take it.  With none, it goes to the status text.
void FocusFrom(View& view, std::size_t first) {
  const auto& controls = view.dialog->Controls();
  for (std::size_t step = 0; step < controls.size(); ++step) {
    const std::size_t j = (first + step) % controls.size();
    if (controls[j].tpl.tabStop && controls[j].enabled) {
      view.controls[j]->SetFocus();
      ReleaseReadables(view);
      return;
    }
  }
  FocusStatusLater(view);
}

// Texts side by side on one line are read as one, as a sighted user reads
// them: a screen reader skips a text of fewer than three words (the About
// box's version number) when it reads a dialog out.
void NameLines(View& view) {
  const auto& controls = view.dialog->Controls();
  for (std::size_t i = 0; i < controls.size(); ++i) {
    const ui::ControlTemplate& first = controls[i].tpl;
    if (first.kind != ui::ControlKind::kText) continue;
    std::string name = controls[i].text;
    for (std::size_t j = 0; j < controls.size(); ++j) {
      const ui::ControlTemplate& next = controls[j].tpl;
      constexpr int kGap = 8;  // dialog units between texts that continue each other
      if (j == i || next.kind != ui::ControlKind::kText || next.y != first.y || next.x < first.x + first.cx ||
          next.x > first.x + first.cx + kGap || controls[j].text.empty()) {
        continue;
      }
      name += " " + controls[j].text;
    }
    atk_object_set_name(Accessible(view.controls[i]), name.c_str());
  }
}

// Says `text` once: a screen reader speaks an object with the notification
// role when it is shown.  It is a pixel of nothing on screen; the text is
// already there to see.
void Announce(View& view, const std::string& text) {
  if (view.announcer == nullptr || text.empty()) return;
  GtkWidget* widget = view.announcer->GetHandle();
  gtk_widget_hide(widget);
  atk_object_set_name(gtk_widget_get_accessible(widget), text.c_str());
  gtk_widget_show(widget);
}

}  // namespace

// ---- Lifetime ---------------------------------------------------------------

WxBackend::WxBackend() = default;

bool WxBackend::Start() {
  // GTK takes the program name for the window class and the accessibility
  // tree from argv[0]; main() is ours, so the arguments are made up here.
  static char name[] = "dotvane";
  static char* argv[] = {name, nullptr};
  int argc = 1;
  wxApp::SetInstance(new App);
  bool started;
  {
    // "Unable to initialize GTK+" is expected where no display can be
    // opened; the caller falls back to the text interface and says so.
    wxLogNull quiet;
    started = wxEntryStart(argc, argv);
  }
  if (!started) {
    delete wxApp::GetInstance();
    wxApp::SetInstance(nullptr);
    return false;
  }
  started_ = true;
  wxTheApp->SetAppName("dotvane");
  wxTheApp->SetAppDisplayName("Dotvane");
  wxTheApp->CallOnInit();
  delete wxLog::SetActiveTarget(new wxLogStderr);  // wx deletes it again in wxEntryCleanup
  wxSetAssertHandler(&AssertToStderr);
  InstallDefaultButtonStyle();
  // The status text takes the keyboard when nothing else can; selecting all
  // of it then would only paint it over.
  g_object_set(gtk_settings_get_default(), "gtk-label-select-on-focus", FALSE, nullptr);
  std::lock_guard lock(wakeMutex_);
  accepting_ = true;
  return true;
}

WxBackend::~WxBackend() {
  {
    std::lock_guard lock(wakeMutex_);
    accepting_ = false;
  }
  if (started_) wxEntryCleanup();
  g_exists = false;
}

std::unique_ptr<ui::Backend> MakeWxBackend() {
  if (g_exists.exchange(true)) return nullptr;
  std::unique_ptr<WxBackend> backend(new WxBackend);
  if (!backend->Start()) return nullptr;  // the destructor clears g_exists
  return backend;
}

wxDialog* DialogWindow(const ui::CDialog& dialog) {
  const View* view = ViewOf(dialog);
  return view == nullptr ? nullptr : view->window;
}

// ---- Building a dialog --------------------------------------------------------

namespace {

// The window of a dialog, sized from its template, not yet with controls.
wxDialog* MakeWindow(ui::CDialog& dialog) {
  const ui::DialogTemplate& tpl = dialog.Template();
  long style = wxCAPTION;
  if (tpl.systemMenu) style |= wxSYSTEM_MENU | wxCLOSE_BOX;
  if (tpl.minimizeBox) style |= wxMINIMIZE_BOX;
  wxWindow* parent = dialog.Parent() != nullptr ? DialogWindow(*dialog.Parent()) : nullptr;
  // A window of its own (the main window) must not be tied to whatever
  // other window happens to be active; other dialogs let wx pick their owner.
  if (parent == nullptr && tpl.appWindow) style |= wxDIALOG_NO_PARENT;
  auto* window = new wxDialog(parent, wxID_ANY, Wx(dialog.GetWindowText()), wxDefaultPosition, wxDefaultSize, style);
  // Dialog units follow the font actually used (the template's font does
  // not exist here), so proportions hold with any font or size.
  window->SetClientSize(window->ConvertDialogToPixels(wxSize(tpl.cx, tpl.cy)));
  // wx dialogs are exposed with the role "frame"; screen readers treat a
  // dialog differently (they read its texts when it opens).
  atk_object_set_role(Accessible(window), ATK_ROLE_DIALOG);
  // The main window is an application window: in the task bar, minimisable.
  if (tpl.appWindow) gtk_window_set_type_hint(GTK_WINDOW(window->GetHandle()), GDK_WINDOW_TYPE_HINT_NORMAL);
  return window;
}

// A control other than a button (buttons are bound to the dialog's commands).
wxWindow* MakeStaticControl(wxDialog* window, const ui::ControlState& control, wxWindowID id, const wxPoint& pos,
                            const wxSize& size) {
  const ui::ControlTemplate& c = control.tpl;
  switch (c.kind) {
    case ui::ControlKind::kIcon:
      return new wxStaticBitmap(window, id, IconImage(std::atoi(c.text.c_str()), size), pos, size);
    case ui::ControlKind::kProgress: {
      auto* gauge = new wxGauge(window, id, 100, pos, size, wxGA_HORIZONTAL | wxGA_SMOOTH);
      gauge->SetValue(control.position);
      // A progress bar has no text of its own to be named by.
      atk_object_set_name(Accessible(gauge), control.text.c_str());
      return gauge;
    }
    default: {
      long align = wxALIGN_LEFT;
      if (c.align == ui::Align::kCenter) align = wxALIGN_CENTRE_HORIZONTAL;
      if (c.align == ui::Align::kRight) align = wxALIGN_RIGHT;
      auto* text = new PlainText(window, id, Label(control), pos, size, align | wxST_NO_AUTORESIZE);
      // GTK wraps the label to its width; wxStaticText::Wrap would put
      // line breaks into the text a screen reader reads.
      if (GTK_IS_LABEL(text->GetHandle())) {
        gtk_label_set_line_wrap(GTK_LABEL(text->GetHandle()), TRUE);
        gtk_label_set_line_wrap_mode(GTK_LABEL(text->GetHandle()), PANGO_WRAP_WORD_CHAR);
      }
      return text;
    }
  }
}

// A text with a mnemonic moves the keyboard to the next control that takes
// it, as in the templates' origin; linking the two also tells a screen
// reader which control the text labels.
void LinkMnemonics(View& view) {
  const auto& controls = view.dialog->Controls();
  for (std::size_t i = 0; i < controls.size(); ++i) {
    if (controls[i].tpl.kind != ui::ControlKind::kText || !HasMnemonic(controls[i])) continue;
    if (!GTK_IS_LABEL(view.controls[i]->GetHandle())) continue;
    for (std::size_t j = i + 1; j < controls.size(); ++j) {
      if (controls[j].tpl.tabStop) {
        gtk_label_set_mnemonic_widget(GTK_LABEL(view.controls[i]->GetHandle()), view.controls[j]->GetHandle());
        break;
      }
    }
  }
}

void MakeAnnouncer(View& view) {
  auto* announcer = new PlainText(view.window, wxID_ANY, "", wxPoint(0, 0), wxSize(1, 1), wxST_NO_AUTORESIZE);
  gtk_widget_set_opacity(announcer->GetHandle(), 0.0);
  atk_object_set_role(Accessible(announcer), ATK_ROLE_NOTIFICATION);
  announcer->Hide();
  view.announcer = announcer;
}

}  // namespace

void WxBackend::DialogCreated(ui::CDialog& dialog) {
  auto view = std::make_shared<View>();
  view->dialog = &dialog;
  dialog.view = view;
  view->window = MakeWindow(dialog);
  MakeControls(view);
  NameLines(*view);
  PrepareReadables(*view);
  MakeAnnouncer(*view);
  LinkMnemonics(*view);
  BindWindowEvents(view);
  ApplyDefault(*view);
  Describe(*view);
}

// Created in template order, which is the tab order.
void WxBackend::MakeControls(const std::shared_ptr<View>& view) {
  const std::weak_ptr<View> weak = view;
  wxDialog* window = view->window;
  for (const ui::ControlState& control : view->dialog->Controls()) {
    const ui::ControlTemplate& c = control.tpl;
    const wxPoint pos = window->ConvertDialogToPixels(wxPoint(c.x, c.y));
    const wxSize size = window->ConvertDialogToPixels(wxSize(c.cx, c.cy));
    const wxWindowID id = c.id == -1 ? wxID_ANY : c.id;
    wxWindow* made = nullptr;
    if (IsButton(c)) {
      auto* button = new wxButton(window, id, Label(control), pos, size);
      // GTK shows a focused button as the default one (and says so to
      // screen readers), but Return presses the dialog's default button
      // wherever the keyboard is: the mark must stay where Return goes.
      gtk_widget_set_receives_default(button->GetHandle(), FALSE);
      const int commandId = c.id;
      button->Bind(wxEVT_BUTTON, [this, weak, commandId](wxCommandEvent&) {
        Later(weak, [commandId](ui::CDialog& d) { d.Command(commandId); });
      });
      made = button;
    } else {
      made = MakeStaticControl(window, control, id, pos, size);
    }
    if (!control.enabled) made->Enable(false);
    view->controls.push_back(made);
  }
}

void WxBackend::BindWindowEvents(const std::shared_ptr<View>& view) {
  const std::weak_ptr<View> weak = view;
  wxDialog* window = view->window;
  window->Bind(wxEVT_CHAR_HOOK, [this, weak](wxKeyEvent& event) { OnKey(weak, event); });
  window->Bind(wxEVT_ACTIVATE, [weak](wxActivateEvent& event) {
    if (const auto active = weak.lock(); active && event.GetActive()) {
      active->activated = std::chrono::steady_clock::now();
    }
    event.Skip();
  });
  window->Bind(wxEVT_CONTEXT_MENU, [this, weak](wxContextMenuEvent& event) {
    const bool fromKeyboard = event.GetPosition() == wxDefaultPosition;
    Later(weak, [this, fromKeyboard](ui::CDialog& d) {
      ShowWindowMenu(std::static_pointer_cast<View>(d.view), fromKeyboard);
    });
  });
  window->Bind(wxEVT_CLOSE_WINDOW, [this, weak](wxCloseEvent& event) {
    if (!event.CanVeto()) return event.Skip();
    event.Veto();  // the dialog decides whether it closes
    Later(weak, [](ui::CDialog& d) { d.Close(); });
  });
}

void WxBackend::OnKey(const std::weak_ptr<View>& weak, wxKeyEvent& event) {
  const int key = event.GetKeyCode();
  const bool plain = !event.HasAnyModifiers();
  const auto view = weak.lock();
  if (key == WXK_ESCAPE && plain) {
    Later(weak, [](ui::CDialog& d) { d.Close(); });
  } else if ((key == WXK_RETURN || key == WXK_NUMPAD_ENTER) && plain) {
    // Return presses the default button and nothing else, wherever the
    // keyboard is; with no default button it is IDOK.
    Later(weak, [](ui::CDialog& d) { d.Command(d.GetDefID() != 0 ? d.GetDefID() : ui::IDOK); });
  } else if (key == WXK_TAB && (plain || event.GetModifiers() == wxMOD_SHIFT) && view &&
             !view->dialog->HasUsableControl()) {
    // GTK would find nothing to go to and leave the keyboard on nothing:
    // the core's tab order goes round what says how matters stand.
    const bool backward = !plain;
    Later(weak, [this, backward](ui::CDialog& d) { TabToReadable(std::static_pointer_cast<View>(d.view), backward); });
  } else if ((key == WXK_F10 && event.GetModifiers() == wxMOD_SHIFT) || key == WXK_MENU ||
             key == WXK_WINDOWS_MENU) {
    Later(weak, [this](ui::CDialog& d) { ShowWindowMenu(std::static_pointer_cast<View>(d.view), true); });
  } else if (key == WXK_F1 && plain) {
    Later(weak, [](ui::CDialog& d) {
      if (!d.SystemMenuItems().empty()) d.SystemCommand(d.SystemMenuItems().front().first);
    });
  } else {
    event.Skip();
  }
}

void WxBackend::DialogShown(ui::CDialog& dialog) {
  if (View* view = ViewOf(dialog)) view->window->CentreOnParent();
}

void WxBackend::DialogEnded(ui::CDialog& dialog, std::intptr_t) {
  if (View* view = ViewOf(dialog)) {
    view->window->Destroy();
    view->window = nullptr;
  }
  dialog.view.reset();  // a later DoModal builds a new window
}

// ---- State changes --------------------------------------------------------------

void WxBackend::TitleChanged(ui::CDialog& dialog) {
  if (View* view = ViewOf(dialog)) view->window->SetTitle(Wx(dialog.GetWindowText()));
}

void WxBackend::ControlChanged(ui::CDialog& dialog, int id) {
  View* view = ViewOf(dialog);
  if (view == nullptr) return;
  const auto& controls = dialog.Controls();
  for (std::size_t i = 0; i < controls.size(); ++i) {
    if (controls[i].tpl.id != id) continue;
    wxWindow* control = view->controls[i];
    const ui::ControlKind kind = controls[i].tpl.kind;
    if (kind == ui::ControlKind::kProgress) {
      auto* gauge = static_cast<wxGauge*>(control);
      if (gauge->GetValue() != controls[i].position) gauge->SetValue(controls[i].position);
    } else if (kind != ui::ControlKind::kIcon && control->GetLabel() != Label(controls[i])) {
      control->SetLabel(Label(controls[i]));
      if (kind == ui::ControlKind::kText) TextChanged(*view, i);
    }
    const bool hadFocus = wxWindow::FindFocus() == control;
    const bool wasEnabled = control->IsEnabled();
    control->Enable(controls[i].enabled);
    // GTK would leave the keyboard nowhere, and a screen reader silent: it
    // moves on to the next control that can take it, or to the status text.
    if (hadFocus && !controls[i].enabled) FocusFrom(*view, i + 1);
    // A control usable again takes the keyboard back from the status text.
    if (!wasEnabled && controls[i].enabled && controls[i].tpl.tabStop && FocusedControl(*view) < 0 &&
        view->window->IsShown()) {
      ApplyFocus(*view);
    }
    return;
  }
}

// A changed text is said once while its window is the one in use.  A screen
// reader reads a window out whole when it becomes active, with the texts it
// has by then (Orca 43 took about 100 ms to get there, and read the display's
// identity that arrived meanwhile), and reads a text that takes the keyboard;
// it says nothing of a label's text changing, even with the keyboard on it.
constexpr auto kReadOnActivation = std::chrono::milliseconds(400);

void WxBackend::TextChanged(View& view, std::size_t index) {
  NameLines(view);
  if (!view.window->IsShown() || !view.window->IsActive() || modals_.empty() ||
      modals_.back().dialog != view.dialog) {
    return;
  }
  if (std::chrono::steady_clock::now() - view.activated < kReadOnActivation) return;
  if (view.statusFocusPending && view.dialog->Controls()[index].tpl.id == view.dialog->StatusTextId()) return;
  Announce(view, view.dialog->Controls()[index].text);
}

void WxBackend::ApplyDefault(View& view) {
  const auto& controls = view.dialog->Controls();
  for (std::size_t i = 0; i < controls.size(); ++i) {
    if (IsButton(controls[i].tpl) && controls[i].tpl.id == view.dialog->GetDefID()) {
      static_cast<wxButton*>(view.controls[i])->SetDefault();
      return;
    }
  }
  // No default button (the download dialog has none on purpose).
  view.window->SetDefaultItem(nullptr);
  gtk_window_set_default(GTK_WINDOW(view.window->GetHandle()), nullptr);
}

void WxBackend::DefaultChanged(ui::CDialog& dialog) {
  if (View* view = ViewOf(dialog)) ApplyDefault(*view);
}

void WxBackend::ApplyFocus(View& view) {
  const auto& controls = view.dialog->Controls();
  const int focusId = view.dialog->GetFocusID();
  for (std::size_t i = 0; i < controls.size(); ++i) {
    if (controls[i].tpl.id != focusId || focusId == -1) continue;
    const ui::ControlKind kind = controls[i].tpl.kind;
    if (kind == ui::ControlKind::kProgress || (kind == ui::ControlKind::kText && view.tabbing)) {
      return FocusReadable(view, i);
    }
    if (kind != ui::ControlKind::kText) return FocusFrom(view, i);
    return FocusStatusLater(view);
  }
  // The keyboard is on nothing the program chose: the first control that takes it.
  if (FocusedControl(view) < 0) FocusFrom(view, 0);
}

// Tab while no control can take the keyboard: the core says where it goes.
// Where that is where it already was (a dialog with nothing else to read),
// GTK reports no move and a screen reader would stay silent: the text is
// said again instead.
void WxBackend::TabToReadable(const std::shared_ptr<View>& view, bool backward) {
  if (!view || view->window == nullptr) return;
  ui::CDialog& dialog = *view->dialog;
  GtkWidget* before = gtk_window_get_focus(GTK_WINDOW(view->window->GetHandle()));
  view->tabbing = true;
  dialog.Tab(backward);
  view->tabbing = false;
  GtkWidget* after = gtk_window_get_focus(GTK_WINDOW(view->window->GetHandle()));
  const ui::ControlState* now = dialog.Control(dialog.GetFocusID());
  if (after == before && now != nullptr && now->tpl.kind == ui::ControlKind::kText) Announce(*view, now->text);
}

void WxBackend::Say(ui::CDialog& dialog, const std::string& text) {
  if (View* view = ViewOf(dialog)) Announce(*view, text);
}

void WxBackend::FocusChanged(ui::CDialog& dialog) {
  View* view = ViewOf(dialog);
  // Before the window is up, RunModalLoop puts the keyboard there.
  if (view != nullptr && view->window->IsShown()) ApplyFocus(*view);
}

void WxBackend::Repaint(ui::CDialog& dialog) {
  if (View* view = ViewOf(dialog)) {
    view->window->Refresh();
    view->window->Update();
  }
}

void WxBackend::MenuItemAdded(ui::CDialog& dialog, ui::UINT, const std::string&) {
  if (View* view = ViewOf(dialog)) Describe(*view);
}

void WxBackend::IconSet(ui::CDialog& dialog, int iconId) {
  View* view = ViewOf(dialog);
  if (view == nullptr) return;
  const wxIconBundle icons = WindowIcons(iconId);
  view->window->SetIcons(icons);
  // The program's other windows (the plug-in prompt, message boxes) show
  // the same icon, so a sighted helper sees which program they belong to.
  GList* pixbufs = nullptr;
  for (std::size_t i = 0; i < icons.GetIconCount(); ++i) {
    pixbufs = g_list_append(pixbufs, icons.GetIconByIndex(i).GetPixbuf());
  }
  gtk_window_set_default_icon_list(pixbufs);
  g_list_free(pixbufs);
}

// ---- The window menu ----------------------------------------------------------

// GTK has no window menu that an application may fill; the window manager
// owns it.  Its items are offered as a context menu instead (Shift+F10, the
// Menu key, the right mouse button), the first of them (About) also on F1,
// and the dialog's accessible description says so.
void WxBackend::Describe(View& view) {
  const auto& items = view.dialog->SystemMenuItems();
  std::string description;
  if (!items.empty()) {
    description = os::i18n::Format("Window menu: Shift+F10. %1$s: F1.", {Spoken(items.front().second)});
  }
  atk_object_set_description(Accessible(view.window), description.c_str());
}

void WxBackend::ShowWindowMenu(const std::shared_ptr<View>& view, bool fromKeyboard) {
  if (!view || view->window == nullptr) return;
  const auto items = view->dialog->SystemMenuItems();
  if (items.empty()) return;
  wxMenu menu;
  for (std::size_t i = 0; i < items.size(); ++i) menu.Append(kFirstMenuId + static_cast<int>(i), Wx(items[i].second));
  wxPoint where = wxDefaultPosition;  // the mouse pointer
  if (fromKeyboard) {
    // Opened from the keyboard: below the focused control, with its first
    // item selected, so that a screen reader says it and Return takes it.
    wxWindow* focus = wxWindow::FindFocus();
    if (focus != nullptr && wxGetTopLevelParent(focus) == view->window) {
      where = view->window->ScreenToClient(focus->ClientToScreen(wxPoint(0, focus->GetSize().y)));
    }
    menu.Bind(wxEVT_MENU_OPEN, [&menu](wxMenuEvent& event) {
      gtk_menu_shell_select_first(GTK_MENU_SHELL(menu.m_menu), FALSE);
      event.Skip();
    });
  }
  const int chosen = view->window->GetPopupMenuSelectionFromUser(menu, where);
  if (chosen < kFirstMenuId || chosen >= kFirstMenuId + static_cast<int>(items.size())) return;
  const ui::UINT commandId = items[static_cast<std::size_t>(chosen - kFirstMenuId)].first;
  Later(view, [commandId](ui::CDialog& d) { d.SystemCommand(commandId); });
}

// ---- Loops --------------------------------------------------------------------

void WxBackend::Later(const std::weak_ptr<View>& weak, std::function<void(ui::CDialog&)> action) {
  wxTheApp->CallAfter([this, weak, action = std::move(action)] {
    const std::shared_ptr<View> view = weak.lock();  // kept alive while the action runs
    if (!view || view->window == nullptr) return;
    ui::CDialog& dialog = *view->dialog;
    // Only the innermost modal window takes the user's actions.
    if (dialog.HasEnded() || modals_.empty() || modals_.back().dialog != &dialog) return;
    action(dialog);
    EndInnermostIfEnded();
  });
}

void WxBackend::EndInnermostIfEnded() {
  if (modals_.empty()) return;
  Modal& top = modals_.back();
  // Only the innermost loop is ended: an outer one is looked at when the
  // loops inside it have returned, from the handler that ran them.
  if (top.dialog == nullptr || top.ending || !top.window->IsModal() || !(*top.ended)()) return;
  top.ending = true;
  top.window->EndModal(wxID_CANCEL);
}

void WxBackend::RunModalLoop(ui::CDialog& dialog, const std::function<bool()>& ended) {
  View* view = ViewOf(dialog);
  if (view == nullptr || ended()) return;
  modals_.push_back(Modal{&dialog, &ended, view->window});
  struct Pop {
    std::vector<Modal>& modals;
    ~Pop() { modals.pop_back(); }
  } pop{modals_};
  // Runs once the loop is up: the keyboard goes to the active control, and
  // whatever was queued (or ended the dialog) before the loop began is seen.
  const std::weak_ptr<View> weak = std::static_pointer_cast<View>(dialog.view);
  wxTheApp->CallAfter([this, weak] {
    if (const auto shown = weak.lock(); shown && shown->window != nullptr) ApplyFocus(*shown);
    ui::DispatchPending();
    EndInnermostIfEnded();
  });
  view->window->ShowModal();
}

int WxBackend::MessageBox(ui::CDialog* owner, const ui::MessageBoxSpec& box) {
  const bool hasCancel = (box.style & 0x000F) == ui::MB_OKCANCEL;
  long style = wxOK | wxCENTRE;
  if (hasCancel) style |= wxCANCEL;
  if (hasCancel && (box.style & ui::MB_DEFBUTTON2) != 0) style |= wxCANCEL_DEFAULT;
  switch (box.style & 0x00F0) {
    case ui::MB_ICONERROR: style |= wxICON_ERROR; break;
    case ui::MB_ICONWARNING: style |= wxICON_WARNING; break;
    case ui::MB_ICONINFORMATION: style |= wxICON_INFORMATION; break;
    default: style |= wxICON_NONE; break;
  }
  // wx passes over an owner that is not on screen yet (a box from
  // OnInitDialog) and picks the active window instead.
  wxWindow* parent = owner != nullptr ? DialogWindow(*owner) : nullptr;
  const std::string caption = box.caption.empty() ? ui::ApplicationName() : box.caption;
  wxMessageDialog message(parent, Wx(box.text), Wx(caption), style);
  // The buttons in the user's language too (wx's own catalogue is not loaded).
  const char* ok = os::i18n::Translate("OK");
  if (hasCancel) {
    message.SetOKCancelLabels(Wx(ok), Wx(os::i18n::Translate("Cancel")));
  } else {
    message.SetOKLabel(Wx(ok));
  }

  modals_.push_back(Modal{});
  struct Pop {
    std::vector<Modal>& modals;
    ~Pop() { modals.pop_back(); }
  } pop{modals_};
  // GTK names a message box after its kind ("Error", "Information"), so a
  // screen reader would never hear the caption ("Download Done", "ERROR").
  // The GTK dialog exists only once the box is running: name it from inside
  // its loop, and never after it has gone.
  auto showing = std::make_shared<bool>(true);
  wxTheApp->CallAfter([&message, showing, caption] {
    if (!*showing) return;
    if (GtkWidget* widget = message.GetHandle()) atk_object_set_name(gtk_widget_get_accessible(widget), caption.c_str());
  });
  const int answer = message.ShowModal();
  *showing = false;
  // Back in the window below, the keyboard must be on something that can
  // take it: the box may have changed which controls can.
  if (owner != nullptr && owner->view) {
    const std::weak_ptr<View> weak = std::static_pointer_cast<View>(owner->view);
    wxTheApp->CallAfter([this, weak] {
      const auto below = weak.lock();
      if (!below || below->window == nullptr || modals_.empty() || modals_.back().dialog != below->dialog) return;
      if (FocusedControl(*below) < 0) ApplyFocus(*below);
    });
  }
  // Closing a box answers Cancel where it has one, OK where it has not.
  return hasCancel && answer != wxID_OK ? ui::IDCANCEL : ui::IDOK;
}

void WxBackend::Wake() {
  std::lock_guard lock(wakeMutex_);
  if (!accepting_ || wakeQueued_) return;
  wakeQueued_ = true;
  // QueueEvent (under CallAfter) may be called from any thread and wakes
  // whichever wx loop is running, a message box's included.
  wxTheApp->CallAfter([this] { OnWake(); });
}

void WxBackend::OnWake() {
  {
    // Cleared before dispatching, under the lock Wake() takes: whatever is
    // queued after this point queues another call.
    std::lock_guard lock(wakeMutex_);
    wakeQueued_ = false;
  }
  ui::DispatchPending();
  EndInnermostIfEnded();
}

}  // namespace wxui
