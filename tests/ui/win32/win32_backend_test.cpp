// The Win32 dialog back end, driven by messages inside real dialogs on the
// (virtual) display: what the core decides must be what Windows shows and
// does.  Skipped where no window can be made (Wine without an X display).
#include "ui/win32/win32_backend.h"

#include <gtest/gtest.h>

#include "power/power.h"
#include "power/win32/win32_power.h"

#include <memory>
#include <string>
#include <thread>

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
  // Whether the window lets the session end (WM_QUERYENDSESSION's answer).
  static bool LetsSessionEnd(void* window);
  // The calling thread's execution state: continuous, and the system held.
  static bool StateContinuous();
  static bool StateSystemRequired();
};

constexpr int kStatus = 1011;
constexpr int kProgress = 1004;
constexpr int kStart = 1002;
constexpr int kCancel = 1003;
constexpr ui::UINT kCheck = os::WM_APP + 7;

class Win32BackendTest : public testing::Test {
 protected:
  void SetUp() override {
    backend_ = win32ui::MakeWin32Backend();
    if (!backend_) GTEST_SKIP() << "no window can be made here (no display)";
    ui::SetBackend(backend_.get());
  }
  void TearDown() override {
    if (backend_) ui::SetBackend(nullptr);
  }
  std::unique_ptr<ui::Backend> backend_;
};

// The download dialog: the checks run inside its modal loop, from a
// message posted by OnInitDialog, as the core's own messages arrive.
class DownloadDialog : public ui::CDialog {
 public:
  DownloadDialog() : CDialog(129) {}
  // Returns whether it has arranged for the dialog to end; if not (a
  // failed assertion returned early), the dialog ends at once.
  std::function<bool(DownloadDialog&)> check;

 protected:
  ui::BOOL OnInitDialog() override {
    AppendSystemMenuItem(16, "&About Dotvane...");
    PostMessage(kCheck, 0, 0);
    return 1;
  }
  ui::LRESULT OnAppMessage(ui::UINT message, ui::WPARAM wParam, ui::LPARAM lParam) override {
    if (message != kCheck) return CDialog::OnAppMessage(message, wParam, lParam);
    if (!check(*this) && !HasEnded()) EndDialog(-2);
    return 0;
  }
  // Its buttons end it with their ids.
  void OnCommand(int id) override { EndDialog(id); }
};

void* Item(const ui::CDialog& dialog, int id) { return win32ui::Win32Backend::ControlWindowOf(dialog, id); }

TEST_F(Win32BackendTest, TheDownloadDialogShowsWhatTheCoreSetsAndEndsByItsButton) {
  DownloadDialog dialog;
  bool checked = false;
  dialog.check = [&](DownloadDialog& d) {
    void* window = win32ui::Win32Backend::WindowOf(d);
    if (window == nullptr) return false;
    EXPECT_EQ(Shown::Text(window), "Firmware Update");
    EXPECT_EQ(Shown::SystemMenuText(window, 16), "&About Dotvane...");
    EXPECT_EQ(Shown::Text(Item(d, kStatus)), "DO NOT unplug Braille display during update!");
    EXPECT_EQ(Shown::ClassName(Item(d, kProgress)), "msctls_progress32");
    EXPECT_FALSE(Shown::LooksDefault(Item(d, kStart))) << "Return must not start a download";
    EXPECT_FALSE(Shown::LooksDefault(Item(d, kCancel)));
    EXPECT_EQ(Shown::Focus(), Item(d, kStart)) << "the first tab stop";

    d.SetProgressPos(kProgress, 40);
    EXPECT_EQ(Shown::ProgressPosition(Item(d, kProgress)), 40);
    d.SetProgressPos(kProgress, 250);
    EXPECT_EQ(Shown::ProgressPosition(Item(d, kProgress)), 100);

    // Both buttons disabled: the keyboard rests on the status text.
    d.EnableDlgItem(kStart, false);
    d.EnableDlgItem(kCancel, false);
    EXPECT_FALSE(Shown::Enabled(Item(d, kStart)));
    EXPECT_FALSE(Shown::Enabled(Item(d, kCancel)));
    EXPECT_EQ(Shown::Focus(), Item(d, kStatus));
    d.SetDlgItemText(kStatus, "Downloading firmware...");
    EXPECT_EQ(Shown::Text(Item(d, kStatus)), "Downloading firmware...");

    d.EnableDlgItem(kCancel, true);
    d.SetDefID(kCancel);
    EXPECT_EQ(Shown::DefaultId(window), static_cast<unsigned>(kCancel));
    EXPECT_TRUE(Shown::LooksDefault(Item(d, kCancel)));
    d.GotoDlgCtrl(kCancel);
    EXPECT_EQ(Shown::Focus(), Item(d, kCancel));
    checked = true;
    Shown::Click(Item(d, kCancel));  // the real button, pressed
    return true;
  };
  EXPECT_EQ(dialog.DoModal(), kCancel);
  EXPECT_TRUE(checked);
  EXPECT_EQ(win32ui::Win32Backend::WindowOf(dialog), nullptr);
}

// A real MessageBox with the asked-for default button; the core's queue is
// dispatched while it is up.
TEST_F(Win32BackendTest, AMessageBoxHasItsDefaultButtonAndTheQueueRunsMeanwhile) {
  DownloadDialog dialog;
  int answer = -1;
  int defaultId = 0;
  bool dispatchedMeanwhile = false;
  dialog.check = [&](DownloadDialog& d) {
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
    }
    return true;
  };
  EXPECT_EQ(dialog.DoModal(), ui::IDOK);
  EXPECT_EQ(answer, ui::IDOK);
  EXPECT_EQ(defaultId, ui::IDCANCEL) << "MB_DEFBUTTON2";
  EXPECT_TRUE(dispatchedMeanwhile);
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
  dialog.check = [&](DownloadDialog& d) {
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
