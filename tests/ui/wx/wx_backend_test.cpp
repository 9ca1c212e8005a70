// The wx back end on a real (virtual) display: windows built from templates,
// state mirrored into them, user actions delivered, loops and message boxes
// that keep dispatching what other threads send.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <wx/app.h>
#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/timer.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include "ui/wx/wx_backend.h"

namespace {

class Probe : public ui::CDialog {
 public:
  using CDialog::CDialog;
  std::vector<int> commands;
  std::vector<ui::UINT> sysCommands;
  std::function<ui::LRESULT()> onApp;
  ui::BOOL OnInitDialog() override { AppendSystemMenuItem(0x10, "&About Dotvane..."); return 1; }
  void OnCommand(int id) override { commands.push_back(id); }
  void OnSysCommand(ui::UINT id, ui::LPARAM) override { sysCommands.push_back(id); }
  ui::LRESULT OnAppMessage(ui::UINT message, ui::WPARAM, ui::LPARAM) override {
    if (message == os::WM_APP + 1) EndDialog(7);
    return onApp ? onApp() : 0;
  }
};

// Runs steps from a timer inside the dialog's loop; a step is retried until
// it returns true.  A script that stalls fails and ends the dialog.
class Script : public wxTimer {
 public:
  Script(Probe& dialog, std::vector<std::function<bool()>> steps) : dialog_(dialog), steps_(std::move(steps)) {
    Start(10);
  }
  void Notify() override {
    while (next_ < steps_.size() && steps_[next_]()) ++next_;
    if (next_ == steps_.size() || std::chrono::steady_clock::now() < deadline_) return;
    ADD_FAILURE() << "stalled at step " << next_;
    next_ = steps_.size();
    dialog_.EndDialog(-2);
    if (wxDialog* window = wxui::DialogWindow(dialog_); window && window->IsModal()) window->EndModal(0);
  }

 private:
  Probe& dialog_;
  std::vector<std::function<bool()>> steps_;
  std::size_t next_ = 0;
  const std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(10);
};

wxButton* Button(wxWindow* window, int id) { return dynamic_cast<wxButton*>(window->FindWindow(id)); }

// The button that Return follows and that carries the visible mark; 0 if
// the two disagree or no button has them.
int DefaultButton(wxWindow* window) {
  for (const int id : {1000, 2}) {
    GtkWidget* button = Button(window, id)->GetHandle();
    if (gtk_widget_has_default(button)) {
      return gtk_style_context_has_class(gtk_widget_get_style_context(button), "default") ? id : 0;
    }
  }
  return 0;
}

// A key press as the display server would deliver it to the window.
void PressKey(wxWindow* window, guint keyval) {
  GdkEvent* event = gdk_event_new(GDK_KEY_PRESS);
  event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(window->GetHandle())));
  event->key.keyval = keyval;
  gdk_event_set_device(event, gdk_seat_get_keyboard(gdk_display_get_default_seat(gdk_display_get_default())));
  gtk_main_do_event(event);
  gdk_event_free(event);
}

// Answers the message box showing `text` once it is up, as a click would.
void AnswerBox(gint response, std::string text, std::function<void(GtkDialog*)> check = {}) {
  wxTheApp->CallAfter([=] {
    GList* all = gtk_window_list_toplevels();
    GtkDialog* found = nullptr;
    for (GList* it = all; it != nullptr && found == nullptr; it = it->next) {
      if (!GTK_IS_MESSAGE_DIALOG(it->data) || !gtk_widget_get_visible(GTK_WIDGET(it->data))) continue;
      gchar* shown = nullptr;
      g_object_get(it->data, "text", &shown, nullptr);
      if (shown != nullptr && text == shown) found = GTK_DIALOG(it->data);
      g_free(shown);
    }
    g_list_free(all);
    if (found == nullptr) return AnswerBox(response, text, check);  // not up yet
    if (check) check(found);
    gtk_dialog_response(found, response);
  });
}

TEST(WxBackend, PresentsTheTemplateAndDeliversActions) {
  Probe dlg(102);
  wxDialog* w = nullptr;
  Script script(dlg, {
      [&] { return (w = wxui::DialogWindow(dlg)) != nullptr && w->IsShown(); },
      [&] {
        EXPECT_EQ(w->GetTitle(), "Orvanta Braille Display Update Firmware");
        EXPECT_EQ(w->GetClientSize(), w->ConvertDialogToPixels(wxSize(259, 79)));
        EXPECT_EQ(Button(w, 1000)->GetLabel(), "Update Firmware...");
        EXPECT_EQ(Button(w, 2)->GetLabel(), "Exit");
        EXPECT_EQ(w->FindWindow(1013)->GetLabel(), "Static");
        AtkObject* accessible = gtk_widget_get_accessible(w->GetHandle());
        EXPECT_EQ(atk_object_get_role(accessible), ATK_ROLE_DIALOG);
        EXPECT_STREQ(atk_object_get_description(accessible), "Window menu: Shift+F10. About Dotvane: F1.");
        EXPECT_EQ(DefaultButton(w), 1000);
        dlg.SetDefID(2);
        EXPECT_EQ(DefaultButton(w), 2);
        dlg.SetDlgItemText(1013, "Ready to update firmware.");
        EXPECT_EQ(w->FindWindow(1013)->GetLabel(), "Ready to update firmware.");
        dlg.EnableDlgItem(1000, false);
        EXPECT_FALSE(Button(w, 1000)->IsEnabled());
        dlg.EnableDlgItem(1000, true);
        // Return presses the default button only, wherever the keyboard is.
        dlg.GotoDlgCtrl(1000);
        PressKey(w, GDK_KEY_Return);
        PressKey(w, GDK_KEY_F1);
        return true;
      },
      [&] { return !dlg.commands.empty() && !dlg.sysCommands.empty(); },
      [&] {
        EXPECT_EQ(dlg.commands, std::vector<int>{2});
        EXPECT_EQ(dlg.sysCommands, std::vector<ui::UINT>{0x10});
        wxCommandEvent click(wxEVT_BUTTON, 1000);
        click.SetEventObject(Button(w, 1000));
        Button(w, 1000)->ProcessWindowEvent(click);
        EXPECT_EQ(dlg.commands.size(), 1u) << "the command must not run inside the toolkit's handler";
        return true;
      },
      [&] { return dlg.commands.size() == 2; },
      [&] {
        EXPECT_EQ(dlg.commands.back(), 1000);
        std::thread([&] { dlg.PostMessage(os::WM_APP + 1, 0, 0); }).join();  // ends the dialog
        return true;
      },
  });
  EXPECT_EQ(dlg.DoModal(), 7);
  EXPECT_EQ(wxui::DialogWindow(dlg), nullptr);
}

TEST(WxBackend, MessageBoxKeepsDispatchingSends) {
  Probe dlg(131);
  int first = 0, second = 0;
  bool cancelWasDefault = false;
  ui::LRESULT sent = 0, delivered = 0;
  Script script(dlg, {
      [&] { return wxui::DialogWindow(dlg) != nullptr && wxui::DialogWindow(dlg)->IsShown(); },
      [&] {
        // Handled while the box is up, then the box is answered with Cancel.
        dlg.onApp = [&] {
          AnswerBox(GTK_RESPONSE_CANCEL, "Plug it in", [&](GtkDialog* box) {
            cancelWasDefault = gtk_widget_has_default(gtk_dialog_get_widget_for_response(box, GTK_RESPONSE_CANCEL));
          });
          return ui::LRESULT{42};
        };
        std::thread sender([&] { delivered = dlg.SendMessageTimeout(os::WM_APP + 2, 0, 0, 0, 10000, &sent); });
        first = dlg.MessageBox("Plug it in", "", ui::MB_OKCANCEL | ui::MB_DEFBUTTON2 | ui::MB_ICONWARNING);
        sender.join();
        AnswerBox(GTK_RESPONSE_DELETE_EVENT, "Done");  // closing a box with only OK answers OK
        second = dlg.MessageBox("Done", "", ui::MB_OK | ui::MB_ICONINFORMATION);
        dlg.EndDialog(3);
        return true;
      },
  });
  EXPECT_EQ(dlg.DoModal(), 3);
  EXPECT_TRUE(delivered == 1 && sent == 42) << "the send was not handled while the box was up";
  EXPECT_TRUE(first == ui::IDCANCEL && cancelWasDefault);
  EXPECT_EQ(second, ui::IDOK);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  auto backend = wxui::MakeWxBackend();
  if (!backend) {
    std::fputs("wx_tests: cannot open a display\n", stderr);
    return 1;
  }
  ui::SetBackend(backend.get());
  const int status = RUN_ALL_TESTS();
  ui::SetBackend(nullptr);
  return status;
}
