// Whole runs of the main window against displays that fail: removed in every
// phase, silent, slow, hostile, or back with the wrong firmware.  Whatever
// happens, a run ends, and it ends with "Download Done" and result 1 only
// when the display took the end of transfer, left, came back and identified
// itself with the new version.
#include <memory>
#include <string>

#include "app/end_requests.h"
#include "scenario_fixture.h"

namespace {

using namespace scenario;
using Kind = emu::RecordedRequest::Kind;

constexpr char kFailed[] = "Firmware update failed!";
constexpr char kCompletedSentence[] =
    "Firmware update completed.  If you are using a screen reader with this Braille display, you may need to "
    "restart it.";
constexpr char kOverdue[] =
    "The Braille display has not come back from its firmware update. Unplug it and plug it in again to see its "
    "firmware version, or choose Exit.";
constexpr char kBackUnidentified[] =
    "The Braille display has come back from its firmware update but has not identified itself. Unplug it and plug "
    "it in again to see its firmware version, or choose Exit.";

class FaultMatrix : public Scenario {
 protected:
  // Calls `what` from inside the display's handling of the `occurrence`th
  // request (0-based) that `matches`, after the display has answered it.
  void OnRequest(std::function<bool(const emu::RecordedRequest&)> matches, int occurrence, std::function<void()> what) {
    // The display calls a copy of its observer: the count lives outside it.
    auto seen = std::make_shared<int>(0);
    display_->SetRequestObserver([matches = std::move(matches), occurrence, what = std::move(what),
                                  seen](const emu::RecordedRequest& r) {
      if (matches(r) && (*seen)++ == occurrence) what();
    });
  }
  std::function<void()> Unplug() {
    return [this] { driver_->Unplug(path_); };
  }
  void StartTheUpdate() {
    When(StatusIs(kReady560), Press(IDC_UPDATE));
    When([](const Scene& s) { return s.Up(IDD_UPDATE_FW); }, Press(IDC_START_DOWNLOAD));
  }
  bool SawDownloadDone() const {
    for (const auto& box : backend_.Boxes()) {
      if (box.caption == "Download Done") return true;
    }
    return false;
  }
  static bool IsControl(const emu::RecordedRequest& r, std::uint8_t request) {
    return r.kind != Kind::kBulkOut && r.request == request;
  }
};

// ---- The display removed in each phase of an update ----------------------------

struct Phase {
  const char* name;
  std::uint8_t request;
  int occurrence;
};

class RemovedDuring : public FaultMatrix, public ::testing::WithParamInterface<Phase> {};

// The download fails at the next request, the failure names the status, the
// removal then asks for the display, and the user leaves.
TEST_P(RemovedDuring, TheDownloadFailsAndThePromptComes) {
  Plug();
  const Phase phase = GetParam();
  OnRequest([phase](const emu::RecordedRequest& r) { return IsControl(r, phase.request); }, phase.occurrence,
            Unplug());
  StartTheUpdate();
  When([](const Scene& s) { return s.BoxUp(kFailed); }, Answer(ui::IDOK));
  When([](const Scene& s) { return s.Up(IDD_PLUGIN); }, Press(ui::IDCANCEL));
  EXPECT_EQ(Run(), 2);
  EXPECT_FALSE(SawDownloadDone()) << Transcript();
  EXPECT_FALSE(dlg_->IsUpdateDone());
  EXPECT_GE(IndexOf("ended 129 = 0"), 0) << Transcript();
  // The user hears how the write ended before being asked for the display,
  // and the status line never offers an update that cannot be started.
  EXPECT_LT(IndexOf("answer 1"), IndexOf("created 131")) << Transcript();
  EXPECT_GE(IndexOf("The firmware update failed. Unplug the Braille display"), 0) << Transcript();
}

std::vector<Phase> Phases() {
  std::vector<Phase> phases = {{"Agent", 0xA0, 0}, {"Start", 0xDF, 0}};
  static const char* const kChunkNames[] = {"Chunk0", "Chunk1", "Chunk2", "Chunk3", "Chunk4",  "Chunk5", "Chunk6",
                                            "Chunk7", "Chunk8", "Chunk9", "Chunk10", "Chunk11", "Chunk12"};
  for (int k = 0; k < 13; ++k) phases.push_back({kChunkNames[k], 0xDC, k});
  return phases;
}

INSTANTIATE_TEST_SUITE_P(EveryPhase, RemovedDuring, ::testing::ValuesIn(Phases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Removed before it could answer the Query: no identity, the prompt, and
// once it is back it identifies itself.
TEST_F(FaultMatrix, RemovedBeforeItsIdentityAnswerItIsAskedForAgain) {
  Plug();
  OnRequest([](const emu::RecordedRequest& r) { return r.kind == Kind::kBulkOut; }, 0, Unplug());
  When([](const Scene& s) { return s.Up(IDD_PLUGIN); }, Do("plug", PlugLater()));
  When(StatusIs(kReady560), Press(ui::IDCANCEL));
  EXPECT_EQ(Run(), 2);
  EXPECT_LT(IndexOf("shown 131"), IndexOf(kReady560)) << Transcript();
}

// ---- After the end of transfer -------------------------------------------------

// The restart's bound is long in real time; these runs shorten it through
// the same time scale the product's waits go through, once the end of
// transfer is asked for.  Not before: the identity and the write keep the
// scenarios' own scale, since a thousandth of the packet reader's 1000 ms
// send is shorter than a loaded machine takes to hand a packet over.
class AfterTheEnd : public FaultMatrix {
 protected:
  static void ShortenTheRestart() { os::TimeScale::SetDivisor(1000); }
};

// The display took the end of transfer and never came back: after the bound
// the user is told and may leave; nothing claims the update completed.
TEST_F(AfterTheEnd, ADisplayThatNeverComesBackLeavesTheUserAWayOut) {
  emu::DisplayConfig config;
  config.restartAfterEnd = false;
  Plug(config);
  OnRequest([](const emu::RecordedRequest& r) { return IsControl(r, 0xEF); }, 0, [unplug = Unplug()] {
    ShortenTheRestart();
    unplug();
  });
  StartTheUpdate();
  bool exitWasDisabled = false;
  When([](const Scene& s) { return s.Up(IDD_DOTVANE_DIALOG) && s.Seen("ended 129 = 1"); },
       [&](Scene& s) {
         exitWasDisabled = !s.dialog->IsDlgItemEnabled(ui::IDCANCEL);
         CloseDialog()(s);  // refused, and the user hears what is waited for
       });
  When([](const Scene& s) { return s.BoxUp(kOverdue); }, Answer(ui::IDOK));
  When([](const Scene& s) { return s.Up(IDD_DOTVANE_DIALOG) && s.Seen("answer 1"); }, Press(ui::IDCANCEL));
  EXPECT_EQ(Run(), 2);

  EXPECT_TRUE(exitWasDisabled);
  EXPECT_GE(IndexOf(std::string("say 102 \"") + kWaiting + "\""), 0) << Transcript();
  const auto boxes = backend_.Boxes();
  ASSERT_EQ(boxes.size(), 1u) << Transcript();
  ExpectBox(boxes[0], kOverdue, "Firmware Update Not Confirmed", ui::MB_ICONWARNING);
  EXPECT_GE(IndexOf("default 102 2"), 0) << Transcript();
  EXPECT_EQ(IndexOf("Firmware update completed"), -1) << Transcript();
  // The product's own bound, asked for as it stands.
  EXPECT_EQ(kRestartWaitMs, 120000u);
  const auto waits = waits_.Durations("WaitForSingleObject");
  EXPECT_NE(std::find(waits.begin(), waits.end(), kRestartWaitMs), waits.end());
}

// Back on the bus, but it never identifies itself: it stays silent, or its
// INFO answer comes in two reads and fails its checksum.  The status line
// has the completion sentence (it is back), the bound still lets the user
// leave, and the box says what is true: it came back but said nothing
// readable.
class ComesBackUnidentified : public AfterTheEnd, public ::testing::WithParamInterface<bool> {};

TEST_P(ComesBackUnidentified, TheUserIsToldItCameBackAndMayLeave) {
  const bool split = GetParam();
  Plug();
  OnRequest([](const emu::RecordedRequest& r) { return IsControl(r, 0xEF); }, 0, [this, split] {
    ShortenTheRestart();
    auto config = display_->Config();
    config.answerQuery = split;
    config.splitInfo = split;
    display_->SetConfig(config);
  });
  StartTheUpdate();
  if (split) When([](const Scene& s) { return s.BoxUp("Bad data checksum!"); }, Answer(ui::IDOK));
  std::string caption, status;
  When([](const Scene& s) { return s.BoxUp(kBackUnidentified); },
       [&](Scene& s) {
         caption = s.box->caption;
         status = dlg_->GetDlgItemText(IDC_STATUS);
         Answer(ui::IDOK)(s);
       });
  When([](const Scene& s) {
         return s.Up(IDD_DOTVANE_DIALOG) && s.Seen("ended 129 = 1") && s.dialog->IsDlgItemEnabled(ui::IDCANCEL);
       },
       Press(ui::IDCANCEL));
  EXPECT_EQ(Run(), 2);
  EXPECT_FALSE(SawDownloadDone()) << Transcript();
  EXPECT_EQ(IndexOf("has not come back"), -1) << Transcript();
  EXPECT_EQ(caption, "Firmware Update Not Confirmed");
  // Back but unidentified: nothing has shown the update took.
  EXPECT_EQ(status, kBackChecking);
  EXPECT_EQ(IndexOf("Firmware update completed"), -1) << Transcript();
  EXPECT_EQ(display_->Restarts(), 1);
}

INSTANTIATE_TEST_SUITE_P(SilentOrSplit, ComesBackUnidentified, ::testing::Values(false, true),
                         [](const auto& info) { return std::string(info.param ? "SplitInfo" : "Silent"); });

// Back with the firmware it had: the update did not take.  Telling the user
// it completed would report a failure as success.
TEST_F(FaultMatrix, ADisplayBackWithItsOldVersionIsToldTheUpdateFailed) {
  emu::DisplayConfig config;
  config.keepOldFirmware = true;
  Plug(config);
  StartTheUpdate();
  When([](const Scene& s) { return s.BoxUp(kFailed); }, Answer(ui::IDOK));
  When([](const Scene& s) { return StatusIs(kReady560)(s) && s.Seen("answer 1"); }, Press(ui::IDCANCEL));
  EXPECT_EQ(Run(), 2);

  const auto boxes = backend_.Boxes();
  ASSERT_EQ(boxes.size(), 1u) << Transcript();
  ExpectBox(boxes[0], "Firmware update failed! The Braille display came back with firmware version 5.60 instead of 5.71.",
            "ERROR", ui::MB_ICONERROR);
  // Success is never announced ahead of the failure, not even in the status line.
  EXPECT_EQ(IndexOf("Firmware update completed"), -1) << Transcript();
  EXPECT_LT(IndexOf(kBackChecking), IndexOf(kFailed)) << Transcript();
  EXPECT_FALSE(dlg_->IsUpdateDone());
  EXPECT_TRUE(dlg_->IsDlgItemEnabled(IDC_UPDATE)) << "it may be updated again";
  EXPECT_EQ(dlg_->GetDefID(), IDC_UPDATE);
  EXPECT_EQ(dlg_->GetFocusID(), IDC_UPDATE);
  EXPECT_EQ(display_->Restarts(), 1);
}

// Back with no version text at all: told so, not of "version  instead of".
TEST_F(FaultMatrix, ADisplayBackWithoutAVersionIsToldSo) {
  emu::DisplayConfig config;
  config.keepOldFirmware = true;
  Plug(config);
  OnRequest([](const emu::RecordedRequest& r) { return IsControl(r, 0xEF); }, 0, [this] {
    auto changed = display_->Config();
    changed.version.clear();
    display_->SetConfig(changed);
  });
  StartTheUpdate();
  When([](const Scene& s) { return s.BoxUp(kFailed); }, Answer(ui::IDOK));
  When([](const Scene& s) { return s.Up(IDD_DOTVANE_DIALOG) && s.Seen("answer 1"); }, Press(ui::IDCANCEL));
  EXPECT_EQ(Run(), 2);
  const auto boxes = backend_.Boxes();
  ASSERT_EQ(boxes.size(), 1u) << Transcript();
  ExpectBox(boxes[0],
            "Firmware update failed! The Braille display came back without a firmware version instead of version "
            "5.71.",
            "ERROR", ui::MB_ICONERROR);
}

// While the display is written, Escape and the close box are refused: the
// dialog ends only with the download, which goes on to the end.  The writer
// is held at its second chunk until the close has been tried.
TEST_F(FaultMatrix, TheDownloadDialogCannotBeClosedWhileTheDisplayIsWritten) {
  auto tried = std::make_shared<os::Event>(os::Event::Mode::kManual);
  emu::DisplayConfig config;
  config.refuseChunk = [tried](int chunk) -> std::optional<emu::Status> {
    if (chunk == 1) {
      EXPECT_EQ(os::WaitForSingleObject(*tried, 5000), os::WAIT_OBJECT_0);
    }
    return std::nullopt;
  };
  Plug(config);
  StartTheUpdate();
  When([](const Scene& s) { return s.Up(IDD_UPDATE_FW) && s.Seen("progress 129/1004 8"); },
       [tried](Scene& s) {
         s.dialog->Close();
         tried->Set();
       });
  When([](const Scene& s) { return s.BoxUp("Firmware update completed."); }, Answer(ui::IDOK));
  EXPECT_EQ(Run(), 1) << Transcript();
  EXPECT_LT(IndexOf("progress 129/1004 8"), IndexOf("ended 129 = 1")) << Transcript();
  EXPECT_EQ(IndexOf("ended 129 = 0"), -1) << Transcript();
  // The refusal is not met with silence: the user hears why the window stays.
  EXPECT_GE(IndexOf("say 129 \"The firmware is being written to the Braille display; this window closes by itself "
                    "when the writing has ended.\""),
            0)
      << Transcript();
}

// Back with the new version but no maker name: the completion sentence goes
// to the status line and no box comes, as for any such display; the user
// can still leave.
TEST_F(FaultMatrix, ADisplayBackWithoutAMakerNameCanBeLeft) {
  Plug();
  OnRequest([](const emu::RecordedRequest& r) { return IsControl(r, 0xEF); }, 0, [this] {
    auto config = display_->Config();
    config.manufacturer.clear();
    display_->SetConfig(config);
  });
  StartTheUpdate();
  When([](const Scene& s) {
         return s.Up(IDD_DOTVANE_DIALOG) && s.Text(IDC_STATUS) == kCompletedSentence && s.Seen("enabled 102/2 1");
       },
       Press(ui::IDCANCEL));
  EXPECT_EQ(Run(), 2);
  EXPECT_TRUE(backend_.Boxes().empty()) << Transcript();
  EXPECT_EQ(display_->CurrentVersion(), "5.71");
}

// ---- Other displays on the bus ------------------------------------------------

// A second display comes and goes while the first is written: the first
// still comes back, and only its identity closes the update.
TEST_F(FaultMatrix, ASecondDisplayArrivingAndLeavingMidUpdateDoesNotDecideTheResult) {
  Plug();
  driver_->SetRestartDelays(0, 10000);
  std::string second;
  int chunks = 0;  // the observer is copied, so it counts by reference
  display_->SetRequestObserver([&](const emu::RecordedRequest& r) {
    if (!IsControl(r, 0xDC)) return;
    if (chunks == 4) {
      emu::DisplayConfig other;
      other.serial = "EMU0002";
      second = driver_->Plug(std::make_shared<emu::EmulatedDisplay>(other));
    } else if (chunks == 8) {
      driver_->Unplug(second);
    }
    ++chunks;
  });
  StartTheUpdate();
  When([](const Scene& s) { return s.BoxUp("Firmware update completed."); }, Answer(ui::IDOK));
  EXPECT_EQ(Run(), 1) << Transcript();
  // The second display's arrival and removal, handled after the download
  // while the first restarts, are not about the written display: no prompt
  // asks for anything, and the first display's return ends the update.
  EXPECT_EQ(IndexOf("created 131"), -1) << Transcript();
  const auto boxes = backend_.Boxes();
  ASSERT_EQ(boxes.size(), 1u) << Transcript();
  ExpectBox(boxes[0], kDone571, "Download Done", ui::MB_ICONINFORMATION);
  EXPECT_EQ(display_->CurrentVersion(), "5.71");
}

// Another display, already carrying the image's version, is attached while
// the first is written; the written one comes back with its old firmware
// and, re-plugged, after the other.  The check is about the written
// display: it failed, whatever the other one says.
TEST_F(FaultMatrix, OnlyTheWrittenDisplayAnswersTheClosingCheck) {
  emu::DisplayConfig written;
  written.keepOldFirmware = true;
  Plug(written);
  emu::DisplayConfig other;
  other.serial = "EMU0002";
  other.version = "5.71";
  auto second = std::make_shared<emu::EmulatedDisplay>(other);
  driver_->Plug(second);
  StartTheUpdate();
  When([](const Scene& s) { return s.BoxUp(kFailed); }, Answer(ui::IDOK));
  When([](const Scene& s) { return s.Up(IDD_DOTVANE_DIALOG) && s.Seen("answer 1"); }, Press(ui::IDCANCEL));
  EXPECT_EQ(Run(), 2) << Transcript();
  EXPECT_FALSE(SawDownloadDone()) << Transcript();
  const auto boxes = backend_.Boxes();
  ASSERT_EQ(boxes.size(), 1u) << Transcript();
  ExpectBox(boxes[0], "Firmware update failed! The Braille display came back with firmware version 5.60 instead of 5.71.",
            "ERROR", ui::MB_ICONERROR);
  EXPECT_TRUE(second->Requests().empty()) << "the other display was never spoken to";
}

// ---- Faults of the connection -------------------------------------------------

// The Query is written and the display never takes it: the write gives up
// at its bound and the channel is failed, so nothing is identified, and an
// update then fails at its first request.
TEST_F(FaultMatrix, AWriteThatNeverCompletesEndsAtItsBoundAndTheUpdateFails) {
  emu::DisplayConfig config;
  config.writeNeverCompletes = true;
  Plug(config);
  When(StatusIs(kReadyTail), Press(IDC_UPDATE));
  When([](const Scene& s) { return s.Up(IDD_UPDATE_FW); }, Press(IDC_START_DOWNLOAD));
  When([](const Scene& s) { return s.BoxUp(kFailed); }, Answer(ui::IDOK));
  When([](const Scene& s) { return s.Up(IDD_DOTVANE_DIALOG) && s.Seen("ended 129"); }, Press(ui::IDCANCEL));
  EXPECT_EQ(Run(), 2);
  EXPECT_FALSE(SawDownloadDone());
  const auto waits = waits_.Durations("SleepEx");
  EXPECT_NE(std::find(waits.begin(), waits.end(), CUsbDevice::kWriteSleepMs), waits.end());
}

// A refused chunk whose status cannot be read: the download fails with the
// status the link last had.
TEST_F(FaultMatrix, AStatusRequestThatFailsEndsTheDownload) {
  emu::DisplayConfig config;
  config.refusedChunks[3] = {0x00, 0x00, 0x30, 0x00, 0x00, 0x01};
  config.statusFails = true;
  Plug(config);
  StartTheUpdate();
  When([](const Scene& s) { return s.BoxUp(kFailed); }, Answer(ui::IDOK));
  When([](const Scene& s) { return s.Up(IDD_DOTVANE_DIALOG) && s.Seen("ended 129"); }, Press(ui::IDCANCEL));
  EXPECT_EQ(Run(), 2);
  const auto boxes = backend_.Boxes();
  ASSERT_EQ(boxes.size(), 1u) << Transcript();
  EXPECT_EQ(boxes[0].text, "Firmware update failed! (ffffffffffff)");
  EXPECT_FALSE(dlg_->IsUpdateDone());
}

// Hundreds of unasked key packets before the identity: each is handed to
// the window and dropped, and the identity still arrives.
TEST_F(FaultMatrix, AFloodOfShortPacketsDoesNotHideTheIdentity) {
  emu::DisplayConfig config;
  config.unaskedShortPackets.assign(400, {0x01, 0x02, 0x00, 0x10});
  Plug(config);
  When(StatusIs(kReady560), Press(ui::IDCANCEL));
  EXPECT_EQ(Run(), 2);
  EXPECT_TRUE(backend_.Boxes().empty()) << Transcript();
}

// ---- Asked to end during the write ---------------------------------------------

// A request to end the program (a signal, as the forwarder posts it) that
// comes during the write: the dialog says it will end when the update has
// finished, the update goes on to its outcome, the outcome is shown and
// recorded, and the window ends by itself, as a failure.
struct EndingCase {
  const char* name;
  bool backWithoutUpdate;  // false: a chunk is refused
  const char* box;
  const char* recorded;
};

class AskedToEndDuringTheWrite : public AfterTheEnd, public ::testing::WithParamInterface<EndingCase> {};

TEST_P(AskedToEndDuringTheWrite, TheUpdateFinishesAndTheWindowEndsAfterItsOutcome) {
  const EndingCase c = GetParam();
  emu::DisplayConfig config;
  if (c.backWithoutUpdate) {
    config.restartAfterEnd = false;
  } else {
    config.refusedChunks[6] = {0x01, 0x00, 0x10, 0x00, 0x00, 0x01};
  }
  Plug(config);
  // At the fourth chunk (SIGTERM's number), and, for a display that never
  // comes back, its removal after the end of transfer.
  auto chunks = std::make_shared<int>(0);
  display_->SetRequestObserver([this, chunks, c](const emu::RecordedRequest& r) {
    if (IsControl(r, 0xDC) && (*chunks)++ == 3) dlg_->PostMessage(endreq::WM_END_REQUESTED, 15, 0);
    if (c.backWithoutUpdate && IsControl(r, 0xEF)) {
      ShortenTheRestart();
      driver_->Unplug(path_);
    }
  });
  StartTheUpdate();
  When([&c](const Scene& s) { return s.BoxUp(c.box); }, Answer(ui::IDOK));
  EXPECT_EQ(Run(), 2);  // no Exit pressed: the window ended by itself

  EXPECT_TRUE(dlg_->IsEndRequested());
  EXPECT_GE(IndexOf("text 129/1011 \"The firmware is being written to the Braille display. Dotvane will end when "
                    "the update has finished.\""),
            0)
      << Transcript();
  if (c.backWithoutUpdate) {
    EXPECT_GE(IndexOf(std::string("text 102/1013 \"") + kWaiting + " Dotvane will end when the update has finished."),
              0)
        << Transcript();
  }
  const auto boxes = backend_.Boxes();
  ASSERT_EQ(boxes.size(), 1u) << Transcript();
  EXPECT_EQ(boxes[0].text.find(c.box), 0u) << boxes[0].text;
  EXPECT_EQ(endreq::CurrentStage(), endreq::Stage::kIdle);
  // The records that the write began and how far it got come first; the
  // attempt's end is the last.
  const auto lines = state_.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find(std::string("\"result\":\"") + c.recorded + "\""), std::string::npos) << lines.back();
}

INSTANTIATE_TEST_SUITE_P(Outcomes, AskedToEndDuringTheWrite,
                         ::testing::Values(EndingCase{"ChunkRefused", false, kFailed, "failed"},
                                           EndingCase{"NeverBack", true, kOverdue, "not back"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
