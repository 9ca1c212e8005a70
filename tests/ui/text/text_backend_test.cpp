// The text back end, driven the way a user or a script drives it: a whole
// input script goes in, and the transcript that comes out is checked.

#include "ui/text/text_backend.h"

#include <gtest/gtest.h>

#include "piped_stdin.h"

#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

namespace {

using ui::CDialog;

constexpr ui::UINT kAboutCommand = 0x0010;
constexpr ui::UINT kWorkerDone = os::WM_APP + 5;
constexpr ui::UINT kFinish = os::WM_APP + 6;

// Download dialog (template 129).  Start Download greys itself, reports and
// ends with 1; Cancel ends with 0.
class DownloadDlg : public CDialog {
 public:
  explicit DownloadDlg(CDialog* parent) : CDialog(129, parent) {}
  void OnCommand(int id) override {
    if (id == 1002) {
      EnableDlgItem(1002, false);
      SetDlgItemText(1011, "Done");
      MessageBox("Download complete", "Download Done", ui::MB_OK | ui::MB_ICONINFORMATION);
      EndDialog(1);
    } else if (id == 1003) {
      EndDialog(0);
    }
  }
};

// Main window (template 102) with behaviour chosen per test.
class MainDlg : public CDialog {
 public:
  enum class Update { kDownloadDialog, kQuestion, kWorker, kSay };
  explicit MainDlg(Update update = Update::kDownloadDialog) : CDialog(102), update_(update) {}
  ~MainDlg() override {
    if (worker_.joinable()) worker_.join();
  }

  ui::BOOL OnInitDialog() override {
    // Several changes before the window shows: only the final state is listed.
    SetWindowText("Main 1.00");
    SetDlgItemText(1013, "Ready.");
    AppendSystemMenuItem(kAboutCommand, "&About Dotvane...");
    if (updateDisabled) EnableDlgItem(1000, false);
    if (exitDisabled) EnableDlgItem(ui::IDCANCEL, false);
    if (finishWith) {
      // The only other way out of the main window: a message from elsewhere.
      worker_ = std::thread([this, result = *finishWith] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        PostMessage(kFinish, static_cast<ui::WPARAM>(result), 0);
      });
    }
    return 1;
  }
  void OnCommand(int id) override {
    if (id != 1000) return CDialog::OnCommand(id);
    switch (update_) {
      case Update::kDownloadDialog: {
        DownloadDlg download(this);
        downloadResult = download.DoModal();
        break;
      }
      case Update::kQuestion:
        answer = MessageBox("Really?", "WARNING", ui::MB_OKCANCEL | ui::MB_ICONWARNING | ui::MB_DEFBUTTON2);
        break;
      case Update::kWorker:
        // Another thread reports back later, as the packet reader does.
        worker_ = std::thread([this] {
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          PostMessage(kWorkerDone, 0, 0);
        });
        break;
      case Update::kSay:
        Say("Not now: \"busy\".");
        break;
    }
  }
  void OnSysCommand(ui::UINT id, ui::LPARAM) override {
    if (id != kAboutCommand) return;
    CDialog about(100, this);
    about.DoModal();
  }
  ui::LRESULT OnAppMessage(ui::UINT message, ui::WPARAM wParam, ui::LPARAM) override {
    if (message == kWorkerDone) SetDlgItemText(1013, "From worker");
    if (message == kFinish) EndDialog(static_cast<std::intptr_t>(wParam));
    return 0;
  }

  bool updateDisabled = false;
  bool exitDisabled = false;
  std::optional<std::intptr_t> finishWith;
  std::intptr_t downloadResult = -100;
  int answer = -100;

 private:
  Update update_;
  std::thread worker_;
};

class TextBackendTest : public ::testing::Test {
 protected:
  void Start(const std::string& script) { Start(std::make_unique<std::istringstream>(script)); }
  void Start(std::unique_ptr<std::istream> in) {
    in_ = std::move(in);
    backend_ = std::make_unique<text::TextBackend>(*in_, out_);
    ui::SetBackend(backend_.get());
  }
  void Stop() {
    ui::SetBackend(nullptr);
    backend_.reset();
  }
  void TearDown() override { Stop(); }
  std::string Transcript() const { return out_.str(); }

  std::unique_ptr<std::istream> in_;
  std::ostringstream out_;
  std::unique_ptr<text::TextBackend> backend_;
};

const std::string kMainListing =
    "dialog 102 \"Main 1.00\"\n"
    "  button 1000 \"Update Firmware...\" default\n"
    "  button 2 \"Exit\"\n"
    "  text 1013 \"Ready.\"\n"
    "  menu 16 \"About Dotvane...\"\n"
    "  focus 1000\n";

// ---- Listings, changes and the end of input -------------------------------

TEST_F(TextBackendTest, ListsTheShownStateAndClosesOnceAtTheEndOfInput) {
  MainDlg main;
  Start("");
  EXPECT_EQ(main.DoModal(), ui::IDCANCEL);
  EXPECT_EQ(Transcript(), kMainListing + "end of input\nend 102 \"Main 1.00\" result 2\n");
}

TEST_F(TextBackendTest, NestedDialogChangesAndBoxAreReportedInOrder) {
  MainDlg main;
  // By label in any case, without "...", then by id.
  Start("press update firmware\npress 1002\nanswer ok\npress EXIT\n");
  EXPECT_EQ(main.DoModal(), ui::IDCANCEL);
  EXPECT_EQ(main.downloadResult, 1);
  EXPECT_EQ(Transcript(), kMainListing +
                              "dialog 129 \"Firmware Update\"\n"
                              "  text 1011 \"DO NOT unplug Braille display during update!\"\n"
                              "  progress 1004 \"Firmware written\" 0%\n"
                              "  button 1002 \"Start Download\"\n"
                              "  button 1003 \"Cancel\"\n"
                              "  focus 1002\n"
                              "enabled 1002 no\n"
                              "focus 1003\n"
                              "text 1011 \"Done\"\n"
                              "box \"Download Done\" \"Download complete\" buttons OK default OK icon information\n"
                              "answered OK\n"
                              "end 129 \"Firmware Update\" result 1\n"
                              "end 102 \"Main 1.00\" result 2\n");
}

// What a dialog says without changing what it shows is a line of its own.
TEST_F(TextBackendTest, WhatADialogSaysIsALine) {
  MainDlg main(MainDlg::Update::kSay);
  Start("press update firmware\npress exit\n");
  EXPECT_EQ(main.DoModal(), ui::IDCANCEL);
  EXPECT_EQ(Transcript(), kMainListing + "say \"Not now: \\\"busy\\\".\"\nend 102 \"Main 1.00\" result 2\n");
}

TEST_F(TextBackendTest, EndOfInputClosesEachWindowOnceFromTheInnermostOut) {
  MainDlg main;
  Start("press update firmware...\n");
  EXPECT_EQ(main.DoModal(), ui::IDCANCEL);
  EXPECT_EQ(main.downloadResult, ui::IDCANCEL);
  const std::string t = Transcript();
  EXPECT_NE(t.find("end of input\nend 129 \"Firmware Update\" result 2\nend 102 \"Main 1.00\" result 2\n"),
            std::string::npos)
      << t;
}

TEST_F(TextBackendTest, AWindowThatRefusesToCloseAtEndOfInputIsLeftToEndByItself) {
  MainDlg main;
  main.exitDisabled = true;
  main.finishWith = 7;
  Start("");
  EXPECT_EQ(main.DoModal(), 7);
  const std::string t = Transcript();
  EXPECT_NE(t.find("end of input\n"), std::string::npos) << t;
  EXPECT_EQ(t.find("end of input", t.find("end of input") + 1), std::string::npos) << "closed once, not again and again";
}

// ---- Refused commands -------------------------------------------------------

TEST_F(TextBackendTest, RefusedCommandsSayWhyAndChangeNothing) {
  MainDlg main;
  main.updateDisabled = true;
  Start("press Update Firmware...\npress 1000\npress Start\npress\nanswer ok\nfrobnicate\nwait\n");
  EXPECT_EQ(main.DoModal(), ui::IDCANCEL);
  EXPECT_EQ(main.downloadResult, -100);  // the disabled button did nothing
  const std::string t = Transcript();
  EXPECT_NE(t.find("  button 1000 \"Update Firmware...\" disabled default\n"), std::string::npos) << t;
  EXPECT_NE(t.find("error: button \"Update Firmware...\" is disabled\n"
                   "error: button \"Update Firmware...\" is disabled\n"
                   "error: no button \"Start\" in this dialog\n"
                   "error: press what? give a button's label or id\n"
                   "error: no message box is up\n"
                   "error: unknown command \"frobnicate\"; type help for the list\n"
                   "error: wait for what? give a text to wait for\n"
                   "end of input\n"),
            std::string::npos)
      << t;
}

// ---- Message boxes ---------------------------------------------------------

TEST_F(TextBackendTest, BoxWithCancelIsListedAndCloseAnswersCancel) {
  MainDlg main(MainDlg::Update::kQuestion);
  Start("press 1000\nanswer ok\npress 1000\nclose\npress 1000\nshow\npress Cancel\nclose\n");
  EXPECT_EQ(main.DoModal(), ui::IDCANCEL);
  EXPECT_EQ(main.answer, ui::IDCANCEL);
  const std::string box = "box \"WARNING\" \"Really?\" buttons OK,Cancel default Cancel icon warning\n";
  EXPECT_EQ(Transcript(), kMainListing + box + "answered OK\n" + box + "answered Cancel\n" + box + box +
                              "answered Cancel\nend 102 \"Main 1.00\" result 2\n");
}

TEST_F(TextBackendTest, OkOnlyBoxRefusesCancelAndEndOfInputAnswersOk) {
  MainDlg main;
  Start("press update firmware\npress start download\nanswer cancel\n");
  EXPECT_EQ(main.DoModal(), ui::IDCANCEL);
  const std::string t = Transcript();
  EXPECT_NE(t.find("error: this message box has only OK\nend of input\nanswered OK\n"), std::string::npos) << t;
}

// ---- wait ------------------------------------------------------------------

TEST_F(TextBackendTest, WaitHoldsLaterCommandsUntilAnotherThreadsChangeIsShown) {
  MainDlg main(MainDlg::Update::kWorker);
  // Without the second wait, Exit would be pressed before the worker reports;
  // the first one is met at once by what the window already shows.
  Start("wait Ready.\npress 1000\nwait from WORKER\npress exit\n");
  EXPECT_EQ(main.DoModal(), ui::IDCANCEL);
  EXPECT_EQ(Transcript(), kMainListing + "text 1013 \"From worker\"\nend 102 \"Main 1.00\" result 2\n");
}

// ---- about, show, help ------------------------------------------------------

TEST_F(TextBackendTest, AboutOpensTheMenuItemsDialogAndShowRepeatsIt) {
  MainDlg main;
  Start("about\nshow\npress ok\nhelp\npress exit\n");
  EXPECT_EQ(main.DoModal(), ui::IDCANCEL);
  const std::string about =
      "dialog 100 \"About Dotvane\"\n"
      "  text - \"Tavix Firmware Updater Version\"\n"
      "  text - \"Copyright (C) Orvanta\"\n"
      "  button 1 \"OK\" default\n"
      "  text 1001 \"0.0\"\n"
      "  focus 1\n";
  const std::string t = Transcript();
  EXPECT_EQ(t.rfind(kMainListing + about + about + "end 100 \"About Dotvane\" result 1\ncommands:\n", 0), 0u) << t;
  EXPECT_NE(t.find("  wait <text>"), std::string::npos);
}

// ---- Quoting ---------------------------------------------------------------

TEST(TextQuoting, EscapesWhatWouldBreakTheLine) {
  EXPECT_EQ(text::Quote("a \"b\" c\\d\ne\tf"), R"("a \"b\" c\\d\ne\tf")");
  EXPECT_EQ(text::Quote(std::string("x\x01y", 3)), R"("x\001y")");
}

TEST(TextQuoting, MnemonicMarkersAreDroppedUnlessShownAsTheyAre) {
  EXPECT_EQ(text::ShownText("&Save && Quit"), "Save & Quit");
  EXPECT_EQ(text::ShownText("A&&B", true), "A&&B");
}

// ---- Standard input --------------------------------------------------------

// test::PipedStdin (tests/support) puts a pipe on the standard input.
using test::PipedStdin;

TEST_F(TextBackendTest, StandardInputStopsCleanlyWhileTheTerminalIsStillOpen) {
  PipedStdin stdinPipe;
  MainDlg main;
  backend_ = std::make_unique<text::TextBackend>(std::cin, out_);
  ui::SetBackend(backend_.get());
  // A command split over two reads, with the CR of a DOS-style script.
  stdinPipe.Write("show\npress ex");
  stdinPipe.Write("it\r\n");
  EXPECT_EQ(main.DoModal(), ui::IDCANCEL);
  Stop();  // the writer is still open: the reader must not keep us waiting
  EXPECT_EQ(Transcript(), kMainListing + kMainListing + "end 102 \"Main 1.00\" result 2\n");
}

// ---- Idle ------------------------------------------------------------------

// While nothing happens the user-interface thread sleeps until it is woken:
// a loop that re-checked its queue on a timer would go round again and
// again while the other thread takes its time.
TEST_F(TextBackendTest, AnIdleLoopLooksOnlyWhenWoken) {
  PipedStdin stdinPipe;  // input that neither comes nor ends
  backend_ = std::make_unique<text::TextBackend>(std::cin, out_);
  ui::SetBackend(backend_.get());
  CDialog idle(102);
  std::atomic<bool> finished{false};
  int looks = 0;
  std::thread other([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    finished = true;
    backend_->Wake();
  });
  backend_->RunModalLoop(idle, [&] {
    ++looks;
    return finished.load();
  });
  other.join();
  Stop();
  EXPECT_EQ(looks, 2) << "once at the start, once when woken";
}

}  // namespace
