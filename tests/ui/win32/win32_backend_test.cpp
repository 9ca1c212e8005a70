// The Win32 dialog back end, driven by messages inside real dialogs on the
// (virtual) display: what the core decides must be what Windows shows and
// does.  Skipped where no window can be made (Wine without an X display).
#include "ui/win32/win32_backend.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include "power/power.h"
#include "power/win32/win32_power.h"

#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "os/sync.h"

namespace {

// What Windows says about a window; defined below, after <windows.h>,
// whose macros clash with the core's names.
struct Shown {
  static std::string Text(void* window);
  static std::string ClassName(void* window);
  static int ProgressPosition(void* window);
  static bool Enabled(void* window);
  static void* Focus();
  static unsigned DefaultId(void* window);  // DM_GETDEFID: id, or 0 without DC_HASDEFID
  static bool LooksDefault(void* button);   // drawn as the default (BS_DEFPUSHBUTTON)
  static std::string SystemMenuText(void* window, unsigned id);
  static void Click(void* button);
  // Answers the message box with this caption, once it is up, with `id`,
  // after noting which of its buttons is the default; false if none came
  // within 10 s.
  static bool AnswerBox(const std::string& caption, int id, int* defaultId);
  // Every EVENT_OBJECT_FOCUS of this process from now on, as the focused
  // window's text (and " (unavailable)" for a disabled one), in order.
  static void WatchFocus(std::vector<std::string>* log);
  static void StopWatchingFocus();
  // Runs `then` once Windows has handled everything posted to this thread
  // so far (a timer comes after them).
  static void AfterPosted(std::function<void()> then);
  // Whether the window lets the session end (WM_QUERYENDSESSION's answer).
  static bool LetsSessionEnd(void* window);
  // The calling thread's execution state: continuous, and the system held.
  static bool StateContinuous();
  static bool StateSystemRequired();
};

// What the back end tells screen readers, as words: "name <text>",
// "value <position>", "state <text>", "named <name>", "announce <text>".
class Recorder : public win32ui::Accessibility {
 public:
  explicit Recorder(std::vector<std::string>* log) : log_(log) {}
  void NameChanged(void* window) override { log_->push_back("name " + Shown::Text(window)); }
  void ValueChanged(void* window) override {
    log_->push_back("value " + std::to_string(Shown::ProgressPosition(window)));
  }
  void StateChanged(void* window) override { log_->push_back("state " + Shown::Text(window)); }
  void SetName(void*, const std::string& name) override { log_->push_back("named " + name); }
  void ForgetName(void* window) override { log_->push_back("forget " + Shown::ClassName(window)); }
  void Announce(void*, const std::string& text) override { log_->push_back("announce " + text); }

 private:
  std::vector<std::string>* log_;
};

constexpr int kStatus = 1011;
constexpr int kProgress = 1004;
constexpr int kStart = 1002;
constexpr int kCancel = 1003;
constexpr ui::UINT kCheck = os::WM_APP + 7;

class Win32BackendTest : public testing::Test {
 protected:
  void SetUp() override {
    backend_ = win32ui::MakeWin32Backend(std::make_unique<Recorder>(&told_));
    if (!backend_) GTEST_SKIP() << "no window can be made here (no display)";
    ui::SetBackend(backend_.get());
  }
  void TearDown() override {
    if (backend_) ui::SetBackend(nullptr);
  }
  // Taken and cleared: what the back end told screen readers since.
  std::vector<std::string> Told() { return std::exchange(told_, {}); }
  std::vector<std::string> told_;
  std::unique_ptr<ui::Backend> backend_;
};

// The download dialog: the checks run inside its modal loop, from a
// message posted by OnInitDialog, as the core's own messages arrive.
class DownloadDialog : public ui::CDialog {
 public:
  DownloadDialog() : CDialog(129) {}
  // Returns whether it has arranged for the dialog to end or for the next
  // step (Next()); if not (a failed assertion returned early), the dialog
  // ends at once.  `step` counts the calls from 0.
  std::function<bool(DownloadDialog&, int step)> check;
  // The check runs again, once what has been posted so far has been handled.
  void Next() {
    Shown::AfterPosted([this] { PostMessage(kCheck, 0, 0); });
  }

 protected:
  ui::BOOL OnInitDialog() override {
    AppendSystemMenuItem(16, "&About Dotvane...");
    PostMessage(kCheck, 0, 0);
    return 1;
  }
  ui::LRESULT OnAppMessage(ui::UINT message, ui::WPARAM wParam, ui::LPARAM lParam) override {
    if (message != kCheck) return CDialog::OnAppMessage(message, wParam, lParam);
    if (!check(*this, step_++) && !HasEnded()) EndDialog(-2);
    return 0;
  }
  // Its buttons end it with their ids.
  void OnCommand(int id) override { EndDialog(id); }

 private:
  int step_ = 0;
};

void* Item(const ui::CDialog& dialog, int id) { return win32ui::Win32Backend::ControlWindowOf(dialog, id); }

TEST_F(Win32BackendTest, TheDownloadDialogShowsWhatTheCoreSetsAndEndsByItsButton) {
  DownloadDialog dialog;
  bool checked = false;
  std::vector<std::string> focus;
  Shown::WatchFocus(&focus);
  dialog.check = [&](DownloadDialog& d, int step) {
    void* window = win32ui::Win32Backend::WindowOf(d);
    if (window == nullptr) return false;
    if (step == 0) {
      EXPECT_EQ(Shown::Text(window), "Firmware Update");
      EXPECT_EQ(Shown::SystemMenuText(window, 16), "&About Dotvane...");
      EXPECT_EQ(Shown::Text(Item(d, kStatus)), "DO NOT unplug Braille display during update!");
      EXPECT_EQ(Shown::ClassName(Item(d, kProgress)), "msctls_progress32");
      EXPECT_FALSE(Shown::LooksDefault(Item(d, kStart))) << "Return must not start a download";
      EXPECT_FALSE(Shown::LooksDefault(Item(d, kCancel)));
      EXPECT_EQ(Shown::Focus(), Item(d, kStart)) << "the first tab stop";
      // Named by its own words, not by the status line before it.
      EXPECT_EQ(Told(), std::vector<std::string>{"named Firmware written"});

      d.SetProgressPos(kProgress, 40);
      EXPECT_EQ(Shown::ProgressPosition(Item(d, kProgress)), 40);
      d.SetProgressPos(kProgress, 250);
      EXPECT_EQ(Shown::ProgressPosition(Item(d, kProgress)), 100);

      // Both buttons disabled: the keyboard goes to the status text once it
      // says what is going on, and the focus reads it (no announcement).
      d.EnableDlgItem(kCancel, false);
      d.EnableDlgItem(kStart, false);
      EXPECT_FALSE(Shown::Enabled(Item(d, kCancel)));
      d.SetDlgItemText(kStatus, "Downloading firmware...");
      EXPECT_EQ(Shown::Text(Item(d, kStatus)), "Downloading firmware...");
      EXPECT_EQ(Told(), (std::vector<std::string>{"value 40", "value 100", "name Downloading firmware..."}));
      d.Next();
      return true;
    }
    if (step == 1) {
      EXPECT_EQ(Shown::Focus(), Item(d, kStatus));
      EXPECT_FALSE(Shown::Enabled(Item(d, kStart))) << "disabled once the keyboard has left it";
      // Said now, with the keyboard on it: a name change and no announcement.
      d.SetDlgItemText(kStatus, "Still downloading...");
      EXPECT_EQ(Told(), std::vector<std::string>{"name Still downloading..."});
      d.EnableDlgItem(kCancel, true);
      EXPECT_EQ(Shown::Focus(), Item(d, kCancel)) << "enabled again, it takes the keyboard back";
      d.SetDefID(kCancel);
      EXPECT_EQ(Shown::DefaultId(window), static_cast<unsigned>(kCancel));
      EXPECT_TRUE(Shown::LooksDefault(Item(d, kCancel)));
      EXPECT_EQ(Told(), std::vector<std::string>{"state Cancel"});
      d.GotoDlgCtrl(kCancel);
      EXPECT_EQ(Shown::Focus(), Item(d, kCancel));
      // Long after the window opened, with the keyboard elsewhere: the
      // change is announced once, after its name change.
      os::ScopedTimeScale quick(400);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      d.SetDlgItemText(kStatus, "Firmware written.");
      d.SetDlgItemText(kStatus, "Firmware written.");
      EXPECT_EQ(Told(), (std::vector<std::string>{"name Firmware written.", "announce Firmware written."}));
      d.Next();
      return true;
    }
    Shown::StopWatchingFocus();
    // Every focus event named an enabled control that says what it is, the
    // status text only once its new words were in place.  (Wine raises none
    // for the first focus in a process that had none before; Windows does.)
    if (!focus.empty() && focus.front() == "Start Download") focus.erase(focus.begin());
    EXPECT_EQ(focus, (std::vector<std::string>{"Downloading firmware...", "Cancel"}));
    checked = true;
    Shown::Click(Item(d, kCancel));  // the real button, pressed
    return true;
  };
  EXPECT_EQ(dialog.DoModal(), kCancel);
  Shown::StopWatchingFocus();
  EXPECT_TRUE(checked);
  EXPECT_EQ(win32ui::Win32Backend::WindowOf(dialog), nullptr);
  EXPECT_EQ(Told(), std::vector<std::string>{"forget msctls_progress32"}) << "the bar's name goes with it";
}

// A real MessageBox with the asked-for default button; the core's queue is
// dispatched while it is up.
TEST_F(Win32BackendTest, AMessageBoxHasItsDefaultButtonAndTheQueueRunsMeanwhile) {
  DownloadDialog dialog;
  int answer = -1;
  int defaultId = 0;
  bool dispatchedMeanwhile = false;
  dialog.check = [&](DownloadDialog& d, int) {
    if (answer == -1) {
      answer = 0;
      std::thread other([&] {
        // Posted while the box is up: handled inside its own loop.
        d.PostMessage(kCheck, 0, 0);
        Shown::AnswerBox("Careful", ui::IDOK, &defaultId);
      });
      answer = d.MessageBox("Really?", "Careful", ui::MB_OKCANCEL | ui::MB_ICONWARNING | ui::MB_DEFBUTTON2);
      other.join();
      d.EndDialog(ui::IDOK);
    } else {
      dispatchedMeanwhile = true;
      // Changed under the box: said with the window when it is active again
      // (a name change), never announced over the box.
      os::ScopedTimeScale quick(400);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      d.SetDlgItemText(kStatus, "Changed meanwhile.");
    }
    return true;
  };
  EXPECT_EQ(dialog.DoModal(), ui::IDOK);
  EXPECT_EQ(answer, ui::IDOK);
  EXPECT_EQ(defaultId, ui::IDCANCEL) << "MB_DEFBUTTON2";
  EXPECT_TRUE(dispatchedMeanwhile);
  EXPECT_EQ(Told(), (std::vector<std::string>{"named Firmware written", "name Changed meanwhile.",
                                                "forget msctls_progress32"}));
}

// The hold on the computer through the power seam's Win32 back end, taken
// with the main window: the session may not end and the system stays
// awake while it is held, and both are undone after.  (Wine cannot say
// which shutdown block reason a window has: ShutdownBlockReasonQuery is
// missing there, and Create only a stub.)
TEST_F(Win32BackendTest, WhileTheComputerIsHeldTheSessionMayNotEnd) {
  win32power::Win32Power power;
  power::ScopedBackend installed(power);
  DownloadDialog dialog;
  bool checked = false;
  dialog.check = [&](DownloadDialog& d, int) {
    void* window = win32ui::Win32Backend::WindowOf(d);
    if (window == nullptr) return false;
    EXPECT_TRUE(Shown::LetsSessionEnd(window));
    {
      power::KeepRunning hold(ui::CurrentBackend().NativeWindow(d));
      EXPECT_FALSE(Shown::LetsSessionEnd(window)) << "WM_QUERYENDSESSION refused";
      EXPECT_TRUE(Shown::StateContinuous());
      EXPECT_TRUE(Shown::StateSystemRequired());
    }
    EXPECT_TRUE(Shown::LetsSessionEnd(window));
    EXPECT_FALSE(Shown::StateSystemRequired());
    checked = true;
    d.EndDialog(kCancel);
    return true;
  };
  EXPECT_EQ(dialog.DoModal(), kCancel);
  EXPECT_TRUE(checked);
}

}  // namespace

#include <windows.h>

namespace {

std::vector<std::string>* g_focusLog = nullptr;
HWINEVENTHOOK g_focusHook = nullptr;

HWND H(void* window) { return static_cast<HWND>(window); }

std::string Shown::Text(void* window) {
  char text[512] = {};
  GetWindowTextA(H(window), text, sizeof text);
  return text;
}

std::string Shown::ClassName(void* window) {
  char name[128] = {};
  GetClassNameA(H(window), name, sizeof name);
  return name;
}

int Shown::ProgressPosition(void* window) { return static_cast<int>(SendMessageA(H(window), 0x0408, 0, 0)); }  // PBM_GETPOS

bool Shown::Enabled(void* window) { return IsWindowEnabled(H(window)) != FALSE; }

void* Shown::Focus() { return GetFocus(); }

unsigned Shown::DefaultId(void* window) {
  const LRESULT result = SendMessageA(H(window), DM_GETDEFID, 0, 0);
  return HIWORD(result) == DC_HASDEFID ? LOWORD(result) : 0u;
}

std::string Shown::SystemMenuText(void* window, unsigned id) {
  char text[128] = {};
  GetMenuStringA(GetSystemMenu(H(window), FALSE), id, text, sizeof text, MF_BYCOMMAND);
  return text;
}

bool Shown::LooksDefault(void* button) {
  return (GetWindowLongPtrA(H(button), GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
}

void CALLBACK OnFocus(HWINEVENTHOOK, DWORD, HWND window, LONG object, LONG, DWORD, DWORD) {
  if (g_focusLog == nullptr || object != OBJID_CLIENT) return;
  g_focusLog->push_back(Shown::Text(window) + (IsWindowEnabled(window) ? "" : " (unavailable)"));
}

void Shown::WatchFocus(std::vector<std::string>* log) {
  g_focusLog = log;
  // Out of context: delivered on this thread's message loop, as the
  // dialog's own loop runs.
  g_focusHook = SetWinEventHook(EVENT_OBJECT_FOCUS, EVENT_OBJECT_FOCUS, nullptr, OnFocus, GetCurrentProcessId(), 0,
                                WINEVENT_OUTOFCONTEXT);
}

void Shown::StopWatchingFocus() {
  if (g_focusHook != nullptr) UnhookWinEvent(g_focusHook);
  g_focusHook = nullptr;
  g_focusLog = nullptr;
}

std::function<void()> g_afterPosted;

void CALLBACK AfterPostedTimer(HWND, UINT, UINT_PTR timer, DWORD) {
  KillTimer(nullptr, timer);
  std::exchange(g_afterPosted, nullptr)();
}

void Shown::AfterPosted(std::function<void()> then) {
  g_afterPosted = std::move(then);
  SetTimer(nullptr, 0, 0, AfterPostedTimer);
}

void Shown::Click(void* button) { PostMessageA(H(button), BM_CLICK, 0, 0); }

bool Shown::LetsSessionEnd(void* window) { return SendMessageA(H(window), WM_QUERYENDSESSION, 0, 0) != 0; }

// A call without ES_CONTINUOUS changes nothing lasting and returns the
// thread's state.
bool Shown::StateContinuous() { return (SetThreadExecutionState(0) & ES_CONTINUOUS) != 0; }
bool Shown::StateSystemRequired() { return (SetThreadExecutionState(0) & ES_SYSTEM_REQUIRED) != 0; }

bool Shown::AnswerBox(const std::string& caption, int id, int* defaultId) {
  for (int i = 0; i < 1000; ++i) {
    HWND box = FindWindowA("#32770", caption.c_str());
    if (box != nullptr && IsWindowVisible(box)) {
      // The button drawn as the default, which Return presses.
      *defaultId = 0;
      for (int button : {IDOK, IDCANCEL}) {
        if (HWND item = GetDlgItem(box, button); item != nullptr && LooksDefault(item)) *defaultId = button;
      }
      PostMessageA(box, WM_COMMAND, static_cast<WPARAM>(id), 0);
      return true;
    }
    Sleep(10);
  }
  return false;
}

}  // namespace
