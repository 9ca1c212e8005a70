// The user-interface thread's queue: sends with a time-out from other
// threads, posts, and device broadcasts to every registered window.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "emulator/emulated_display.h"
#include "emulator/inproc/inproc_driver.h"
#include "ui/driver_broadcasts/driver_broadcasts.h"
#include "ui/ui.h"
#include "silent_backend.h"
#include "display/display_class.h"

namespace {

using namespace std::chrono_literals;

// A back end with no presentation: its loop dispatches the queue and runs
// the test's step between dispatches until the dialog ends.
class LoopBackend : public test::SilentBackend {
 public:
  std::function<void(ui::CDialog&)> step;

  int MessageBox(ui::CDialog*, const ui::MessageBoxSpec&) override { return ui::IDOK; }
  void RunModalLoop(ui::CDialog& dialog, const std::function<bool()>& ended) override {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!ended() && std::chrono::steady_clock::now() < deadline) {
      ui::DispatchPending();
      if (ended()) break;
      if (step) step(dialog);
      WaitForWake(5ms);
    }
    if (!ended()) {
      ADD_FAILURE() << "dialog did not end";
      dialog.EndDialog(-2);
    }
  }
};

// A dialog that records the messages it handles.
class Probe : public ui::CDialog {
 public:
  explicit Probe(int templateId = 131) : CDialog(templateId) {}
  std::function<void(Probe&)> init;
  std::function<ui::LRESULT(ui::UINT, ui::WPARAM, ui::LPARAM)> onApp;
  std::vector<std::pair<ui::UINT, std::string>> broadcasts;

  ui::BOOL OnInitDialog() override {
    if (init) init(*this);
    return 1;
  }
  ui::LRESULT OnAppMessage(ui::UINT m, ui::WPARAM w, ui::LPARAM l) override { return onApp ? onApp(m, w, l) : 0; }
  ui::BOOL OnDeviceChange(ui::UINT event, const ui::DeviceBroadcast* record) override {
    broadcasts.emplace_back(event, record ? record->name : "");
    return 1;
  }
};

class CoreTest : public ::testing::Test {
 protected:
  CoreTest() {
    ui::ConnectDriverBroadcasts();
    ui::SetBackend(&backend_);
  }
  ~CoreTest() override { ui::SetBackend(nullptr); }
  LoopBackend backend_;
};

TEST_F(CoreTest, ASendFromAnotherThreadRunsTheHandlerOnTheDialogsThreadAndWaitsForIt) {
  Probe dialog;
  std::thread::id handledOn;
  std::thread sender;
  ui::LRESULT sent = 0;
  ui::LRESULT result = 0;
  dialog.onApp = [&](ui::UINT m, ui::WPARAM w, ui::LPARAM) {
    if (m == os::WM_APP + 5) dialog.EndDialog(1);
    handledOn = std::this_thread::get_id();
    return static_cast<ui::LRESULT>(w * 2);
  };
  dialog.init = [&](Probe& d) {
    sender = std::thread([&] {
      sent = d.SendMessageTimeout(os::WM_APP, 21, 0, os::SMTO_NORMAL, 5000, &result);
      d.PostMessage(os::WM_APP + 5, 0, 0);
    });
  };
  EXPECT_EQ(dialog.DoModal(), 1);
  sender.join();
  EXPECT_EQ(sent, 1);
  EXPECT_EQ(result, 42);
  EXPECT_EQ(handledOn, std::this_thread::get_id());
}

TEST_F(CoreTest, ASendThatTimedOutBeforeItsHandlerStartedIsNeverHandled) {
  Probe dialog;
  std::atomic<int> handled{0};
  std::atomic<bool> timedOut{false};
  std::thread sender;
  dialog.onApp = [&](ui::UINT m, ui::WPARAM, ui::LPARAM) {
    if (m == os::WM_APP) ++handled;
    if (m == os::WM_APP + 1) dialog.EndDialog(1);
    return ui::LRESULT{0};
  };
  dialog.init = [&](Probe& d) {
    // The dialog's thread is busy (still initialising) while the send times out.
    sender = std::thread([&] {
      auto data = std::make_shared<int>(7);
      timedOut = d.SendMessageTimeout(os::WM_APP, 0, 0, os::SMTO_NORMAL, 20, nullptr, data) == 0;
    });
    sender.join();
    d.PostMessage(os::WM_APP + 1, 0, 0);
  };
  EXPECT_EQ(dialog.DoModal(), 1);
  EXPECT_TRUE(timedOut);
  EXPECT_EQ(handled, 0);
}

// A back end whose Wake holds the waking thread until released.
class GatedBackend : public LoopBackend {
 public:
  void Wake() override {
    {
      std::unique_lock lock(gateMutex_);
      if (armed_) {
        entered_ = true;
        gateChanged_.notify_all();
        gateChanged_.wait(lock, [this] { return !armed_; });
      }
    }
    LoopBackend::Wake();
  }
  void Arm() {
    std::lock_guard lock(gateMutex_);
    armed_ = true;
  }
  void WaitUntilEntered() {
    std::unique_lock lock(gateMutex_);
    gateChanged_.wait(lock, [this] { return entered_; });
  }
  void Release() {
    {
      std::lock_guard lock(gateMutex_);
      armed_ = false;
    }
    gateChanged_.notify_all();
  }

 private:
  std::mutex gateMutex_;
  std::condition_variable gateChanged_;
  bool armed_ = false;
  bool entered_ = false;
};

// The program destroys its back end after replacing it with none; a
// broadcast or packet still waking it from another thread must be done
// with it by then.
TEST_F(CoreTest, ABackEndIsNotReplacedWhileAnotherThreadIsStillWakingIt) {
  GatedBackend gated;
  ui::SetBackend(&gated);
  Probe dialog;
  std::atomic<bool> replaced{false};
  bool replacedWhileWaking = true;
  dialog.onApp = [&](ui::UINT, ui::WPARAM, ui::LPARAM) {
    dialog.EndDialog(1);
    return ui::LRESULT{0};
  };
  dialog.init = [&](Probe& d) {
    gated.Arm();
    std::thread poster([&] { d.PostMessage(os::WM_APP, 0, 0); });
    gated.WaitUntilEntered();
    std::thread replacer([&] {
      ui::SetBackend(nullptr);
      replaced = true;
    });
    std::this_thread::sleep_for(50ms);
    replacedWhileWaking = replaced;
    gated.Release();
    poster.join();
    replacer.join();
    ui::SetBackend(&gated);
  };
  EXPECT_EQ(dialog.DoModal(), 1);
  EXPECT_FALSE(replacedWhileWaking);
  EXPECT_TRUE(replaced);
}

TEST_F(CoreTest, MessagesToAWindowThatHasEndedAreDropped) {
  Probe dialog;
  dialog.init = [](Probe& d) { d.EndDialog(3); };
  EXPECT_EQ(dialog.DoModal(), 3) << "a dialog may end from its own initialisation";
  EXPECT_EQ(dialog.PostMessage(os::WM_APP, 0, 0), 0);
  EXPECT_EQ(dialog.SendMessageTimeout(os::WM_APP, 0, 0, os::SMTO_NORMAL, 10, nullptr), 0);
  EXPECT_FALSE(ui::HasPending());
}

TEST_F(CoreTest, BroadcastsReachEveryRegisteredWindowWithThePath) {
  inproc::ScopedInProcessDriver driver;
  Probe outer(102);
  Probe inner(131);
  std::string path;
  inner.init = [&](Probe& d) {
    ui::RegisterDeviceNotification(&d, kDisplayInterfaceClass);
    path = driver->Plug(std::make_shared<emu::EmulatedDisplay>());
  };
  backend_.step = [&](ui::CDialog& d) {
    if (&d == &inner && !inner.broadcasts.empty()) inner.EndDialog(1);
    if (&d == &outer && !outer.broadcasts.empty()) outer.EndDialog(1);
  };
  outer.init = [&](Probe& d) {
    ui::RegisterDeviceNotification(&d, kDisplayInterfaceClass);
    EXPECT_EQ(inner.DoModal(), 1) << "a nested loop dispatches broadcasts to both windows";
  };
  EXPECT_EQ(outer.DoModal(), 1);
  ASSERT_EQ(inner.broadcasts.size(), 1u);
  EXPECT_EQ(inner.broadcasts[0], (std::pair<ui::UINT, std::string>{os::DBT_DEVICEARRIVAL, path}));
  ASSERT_EQ(outer.broadcasts.size(), 1u);
  EXPECT_EQ(outer.broadcasts[0].second, path);
}

// The keyboard is never left on a disabled control: it moves on to the next
// control that takes it, then to the status text, and comes back to the
// default button once that is usable again.  Whenever the program moves the
// default, the keyboard goes along, so that Return and Space press the same
// button.  (Template 102: Update 1000, the default; Exit 2; the status text
// 1013.)
TEST_F(CoreTest, TheKeyboardMovesOffDisabledControlsAndBackWhenOneIsUsable) {
  Probe dialog(102);
  std::vector<int> focus;
  dialog.init = [&](Probe& d) {
    const auto note = [&] { focus.push_back(d.GetFocusID()); };
    note();
    d.EnableDlgItem(1000, false);
    note();
    d.EnableDlgItem(ui::IDCANCEL, false);
    note();
    d.EnableDlgItem(ui::IDCANCEL, true);
    note();
    d.EnableDlgItem(1000, true);  // the default, usable again
    note();
    d.EnableDlgItem(1000, false);
    d.SetDefID(ui::IDCANCEL);
    d.EnableDlgItem(1000, true);  // no longer the default: the keyboard stays
    note();
    d.SetDefID(1000);
    note();
    d.EndDialog(1);
  };
  dialog.DoModal();
  EXPECT_EQ(focus, (std::vector<int>{1000, ui::IDCANCEL, 1013, ui::IDCANCEL, 1000, ui::IDCANCEL, 1000}));
}

// Tab goes round the usable controls; with none usable (the download dialog
// while the display is written) round the status text and the progress bar,
// never onto nothing.  (Template 129: the status text 1011, the progress bar
// 1004, Start Download 1002, Cancel 1003.)
TEST_F(CoreTest, TabGoesRoundTheUsableControlsOrRoundWhatTellsHowFarThingsAre) {
  Probe dialog(129);
  std::vector<int> focus;
  dialog.init = [&](Probe& d) {
    const auto tab = [&](bool backward) {
      d.Tab(backward);
      focus.push_back(d.GetFocusID());
    };
    focus.push_back(d.GetFocusID());
    tab(false);
    tab(false);
    tab(true);
    d.EnableDlgItem(1003, false);
    d.EnableDlgItem(1002, false);
    focus.push_back(d.GetFocusID());
    tab(false);
    tab(false);
    tab(true);
    d.EnableDlgItem(1002, true);
    focus.push_back(d.GetFocusID());
    d.EndDialog(1);
  };
  dialog.DoModal();
  EXPECT_EQ(focus, (std::vector<int>{1002, 1003, 1002, 1003, 1011, 1004, 1011, 1004, 1002}));
}

// Broadcasts held for a window stay queued in order while everything else is
// dispatched, and follow once released.
TEST_F(CoreTest, HeldBroadcastsWaitInOrderWhileOtherMessagesPass) {
  inproc::ScopedInProcessDriver driver;
  Probe dialog(102);
  std::vector<std::string> handled;
  std::string first, second;
  dialog.onApp = [&](ui::UINT, ui::WPARAM, ui::LPARAM) {
    handled.push_back("posted with " + std::to_string(dialog.broadcasts.size()) + " broadcasts");
    ui::HoldDeviceBroadcasts(dialog, false);
    return ui::LRESULT{0};
  };
  dialog.init = [&](Probe& d) {
    ui::RegisterDeviceNotification(&d, kDisplayInterfaceClass);
    ui::HoldDeviceBroadcasts(d, true);
    first = driver->Plug(std::make_shared<emu::EmulatedDisplay>());
    driver->Unplug(first);
  };
  backend_.step = [&](ui::CDialog& d) {
    // The in-process driver broadcasts on the thread that plugs: both are
    // queued by now, ahead of this post.
    if (handled.empty() && dialog.broadcasts.empty()) d.PostMessage(os::WM_APP, 0, 0);
    if (dialog.broadcasts.size() == 2) d.EndDialog(1);
  };
  EXPECT_EQ(dialog.DoModal(), 1);
  EXPECT_EQ(handled, (std::vector<std::string>{"posted with 0 broadcasts"}));
  ASSERT_EQ(dialog.broadcasts.size(), 2u);
  EXPECT_EQ(dialog.broadcasts[0], (std::pair<ui::UINT, std::string>{os::DBT_DEVICEARRIVAL, first}));
  EXPECT_EQ(dialog.broadcasts[1], (std::pair<ui::UINT, std::string>{os::DBT_DEVICEREMOVECOMPLETE, first}));
}

}  // namespace
