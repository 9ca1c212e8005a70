// Whole runs of the main window against emulated displays: the user is
// played by a script of rules, and each run is judged by its result, its
// transcript and the dialog's state.
#include "scenario_fixture.h"

namespace {

using namespace scenario;

// ---- Start-up ----------------------------------------------------------------

TEST_F(Scenario, NoImageEndsBeforeTheWindowShows) {
  backend_.AutoAnswerOk(true);
  static const os::ResourceModule kNoImages{std::span<const os::ResourceEntry>()};
  EXPECT_EQ(Run(kNoImages), 2);
  const auto boxes = backend_.Boxes();
  ASSERT_EQ(boxes.size(), 1u) << Transcript();
  ExpectBox(boxes[0], "Resource file not found!", ui::ApplicationName(), ui::MB_ICONERROR);
  EXPECT_EQ(IndexOf("shown 102"), -1) << Transcript();
}

// One flipped byte anywhere in the image, or a digest that is missing: the
// image is refused before the display is asked anything.
TEST_F(Scenario, ADamagedImageIsRefusedBeforeAnyRequest) {
  const auto shipped = os::ResourceModule::Self().Find("BIN_UPDATE", "BIN");
  ASSERT_TRUE(shipped.has_value());
  const std::string image(reinterpret_cast<const char*>(shipped->data()), shipped->size());
  std::string flipped = image;
  flipped[flipped.size() / 2] ^= 0x01;
  const auto recorded = os::ResourceModule::Self().Find("BIN_UPDATE", kDigestResourceType);
  ASSERT_TRUE(recorded.has_value());
  const std::string digest(reinterpret_cast<const char*>(recorded->data()), recorded->size());
  EXPECT_EQ(digest, DigestOf(image)) << "the build records the digest of the image it embeds";

  backend_.AutoAnswerOk(true);
  Plug();
  HeldImage damaged(flipped, digest), unrecorded(image, "");
  for (const HeldImage* held : {&damaged, &unrecorded}) {
    EXPECT_EQ(Run(held->module), 2);
  }
  const auto boxes = backend_.Boxes();
  ASSERT_EQ(boxes.size(), 2u) << Transcript();
  for (const auto& box : boxes) {
    ExpectBox(box,
              "The firmware image inside Dotvane is damaged, so it cannot be written to the Braille display. "
              "Install Dotvane again.",
              ui::ApplicationName(), ui::MB_ICONERROR);
  }
  EXPECT_EQ(IndexOf("shown 102"), -1) << Transcript();
  EXPECT_TRUE(display_->Requests().empty()) << "the display was asked something";
}

TEST_F(Scenario, PromptWaitsForAMatchingArrivalThenConnects) {
  When([](const Scene& s) { return s.Up(IDD_PLUGIN); }, Do("plug", PlugLater()));
  When(StatusIs(kReady560), Press(ui::IDCANCEL));
  EXPECT_EQ(Run(), 2);

  EXPECT_GE(IndexOf("text 131/1012 \"Please plug a Vantor 3 Braille display into a USB port.\""), 0) << Transcript();
  const long shownPrompt = IndexOf("shown 131"), promptDone = IndexOf("ended 131 = 1"), shownMain = IndexOf("shown 102");
  EXPECT_LT(shownPrompt, promptDone) << Transcript();
  EXPECT_LT(promptDone, shownMain) << Transcript();
  // The prompt waited for the display to settle after its arrival.
  const auto sleeps = waits_.Durations("Sleep");
  EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), kArrivalPauseMs), 1);
}

TEST_F(Scenario, CancelledPromptEndsBeforeTheWindowShows) {
  When([](const Scene& s) { return s.Up(IDD_PLUGIN); }, Press(ui::IDCANCEL));
  EXPECT_EQ(Run(), 2);
  EXPECT_GE(IndexOf("ended 131 = 2"), 0) << Transcript();
  EXPECT_EQ(IndexOf("shown 102"), -1) << Transcript();
  EXPECT_FALSE(dlg_->IsConnected());
}

TEST_F(Scenario, ReadyStatusTitleAndAboutBox) {
  Plug();
  std::string aboutVersion;
  When(StatusIs(kReady560), test::SysCommand(IDM_ABOUTBOX));
  When([](const Scene& s) { return s.Up(IDD_ABOUTBOX); },
       [&](Scene& s) {
         aboutVersion = s.Text(IDC_VERSION);
         Press(ui::IDOK)(s);
       });
  When([](const Scene& s) { return s.Up(IDD_DOTVANE_DIALOG) && s.Seen("ended 100"); }, Press(ui::IDCANCEL));
  EXPECT_EQ(Run(), 2);

  EXPECT_EQ(aboutVersion, DOTVANE_VERSION);
  EXPECT_EQ(dlg_->GetWindowText(), "Orvanta Braille Display Firmware Update 5.71");
  EXPECT_GE(IndexOf("menu 102 0x10 "), 0) << Transcript();
  EXPECT_TRUE(dlg_->IsDlgItemEnabled(IDC_UPDATE));
  EXPECT_EQ(dlg_->GetDefID(), IDC_UPDATE);
  EXPECT_TRUE(backend_.Boxes().empty()) << Transcript();
}

// The display's texts are 8-bit text: bytes that are not UTF-8 reach the
// window as the characters they stand for, never as bytes a toolkit drops.
TEST_F(Scenario, TheDisplaysEightBitTextsReachTheWindowAsCharacters) {
  emu::DisplayConfig config;
  config.manufacturer = "Orvant\xE9";  // é
  config.model = "Vantor \x80";        // €
  Plug(config);
  const std::string expected = "Orvant\u00e9, Vantor \u20ac Braille display, current Firmware Version 5.60. ";
  When(StatusIs(expected + kReadyTail), Press(ui::IDCANCEL));
  EXPECT_EQ(Run(), 2) << Transcript();
}

// ---- Packets that fail the INFO checks ----------------------------------------

struct RejectedCase {
  const char* name;
  std::vector<std::uint8_t> packet;
  const char* text;
};

class RejectedPacket : public Scenario, public ::testing::WithParamInterface<RejectedCase> {};

// The display is refused first, so that Exit is the default and Update is
// disabled: the rejected packet's status recomposition must undo both.
TEST_P(RejectedPacket, ShowsItsErrorAndRecomposesTheStatus) {
  emu::DisplayConfig config;
  config.version = "3.90";
  Plug(config);
  const std::string ready = ReadyLine("3.90");
  When(StatusIs(ready), Press(IDC_UPDATE));
  When([](const Scene& s) { return s.BoxUp(kRefused); }, Answer(ui::IDOK));
  When([](const Scene& s) { return s.Up(IDD_DOTVANE_DIALOG) && s.Seen("focus 102 2"); },
       Do("inject", [this] { display_->SendUnasked(GetParam().packet); }));
  When([](const Scene& s) { return s.BoxUp(GetParam().text); }, Answer(ui::IDOK));
  std::string status;
  When(
      [](const Scene& s) {
        return s.Up(IDD_DOTVANE_DIALOG) && s.Seen(GetParam().text) && s.dialog->IsDlgItemEnabled(IDC_UPDATE);
      },
      [&](Scene& s) {
        status = s.Text(IDC_STATUS);
        Press(ui::IDCANCEL)(s);
      });
  EXPECT_EQ(Run(), 2);

  const auto boxes = backend_.Boxes();
  ASSERT_EQ(boxes.size(), 2u) << Transcript();
  ExpectBox(boxes[1], GetParam().text, ui::ApplicationName(), ui::MB_ICONERROR);
  EXPECT_EQ(status, ready);
  EXPECT_EQ(dlg_->GetDefID(), IDC_UPDATE);
}

INSTANTIATE_TEST_SUITE_P(
    Packets, RejectedPacket,
    ::testing::Values(
        // Header 80 30 00 00 with 48 zero bytes sums to 0x50 when correct.
        RejectedCase{"InfoBadChecksum", Extended(InfoHeader(0), 0x51), "Bad data checksum! Checksum:51  Should be:50 "},
        RejectedCase{"OtherTypeBadChecksum", Extended({0x81, 0, 0, 0}, 0x00),
                     "Bad data checksum! Checksum:00  Should be:7F "},
        RejectedCase{"UnknownType", Extended({0x81, 0, 0, 0}), "Unknown packet!"},
        RejectedCase{"InfoBadHeader", Extended(InfoHeader(1)), "Bad INFO packet header!"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Version rules -------------------------------------------------------------

enum class Outcome { kDownload, kRefused, kSame, kOlder };

struct VersionCase {
  const char* image;    // "5.71": the shipped image
  const char* display;  // nullptr: the display does not answer the Query
  const char* suffix;
  Outcome outcome;
  bool confirm = false;  // answer OK to the confirmation
};

class VersionRule : public Scenario, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionRule, DecidesAsTheTableSays) {
  const VersionCase& row = GetParam();
  emu::DisplayConfig config;
  config.answerQuery = row.display != nullptr;
  if (row.display) config.version = row.display;
  config.suffix = row.suffix;
  Plug(config);

  const std::string versionText = config.version + (config.suffix.empty() ? "" : " (" + config.suffix + ")");
  const bool box = row.outcome != Outcome::kDownload;
  const bool download = row.outcome == Outcome::kDownload || row.confirm;
  When(StatusIs(row.display ? ReadyLine(versionText) : kReadyTail), Press(IDC_UPDATE));
  if (box) When([](const Scene& s) { return s.box != nullptr; }, Answer(download ? ui::IDOK : ui::IDCANCEL));
  if (download) When([](const Scene& s) { return s.Up(IDD_UPDATE_FW); }, Press(IDC_CANCEL_DOWNLOAD));
  bool updateEnabled = true;
  int defaultId = 0, focusId = 0;
  When([](const Scene& s) { return s.Up(IDD_DOTVANE_DIALOG) && (s.Seen("answer") || s.Seen("ended 129")); },
       [&](Scene& s) {
         updateEnabled = s.dialog->IsDlgItemEnabled(IDC_UPDATE);
         defaultId = s.dialog->GetDefID();
         focusId = s.dialog->GetFocusID();
         Press(ui::IDCANCEL)(s);
       });
  const os::ResourceModule& images =
      std::string(row.image) == "5.71" ? os::ResourceModule::Self() : ImageModule(row.image);
  EXPECT_EQ(Run(images), 2);

  EXPECT_TRUE(dlg_->GetWindowText().ends_with(std::string(" ") + row.image)) << dlg_->GetWindowText();
  const auto boxes = backend_.Boxes();
  ASSERT_EQ(boxes.size(), box ? 1u : 0u) << Transcript();
  if (row.outcome == Outcome::kRefused) ExpectBox(boxes[0], kRefused, "ERROR", ui::MB_ICONERROR);
  if (row.outcome == Outcome::kSame) ExpectBox(boxes[0], kSame, "WARNING", kConfirmStyle);
  if (row.outcome == Outcome::kOlder) ExpectBox(boxes[0], kOlder, "WARNING", kConfirmStyle);
  EXPECT_EQ(IndexOf("shown 129") >= 0, download) << Transcript();
  // Cancelled in the download dialog, nothing was written: the command is
  // offered again, and only then does the status line say it is ready.
  EXPECT_EQ(updateEnabled, download);
  EXPECT_EQ(dlg_->GetDlgItemText(IDC_STATUS).ends_with(kReadyTail), download) << dlg_->GetDlgItemText(IDC_STATUS);
  if (download) {
    EXPECT_GE(IndexOf("ended 129 = 0"), 0) << Transcript();
    EXPECT_TRUE(dlg_->IsDlgItemEnabled(ui::IDCANCEL));
    EXPECT_FALSE(dlg_->IsUpdateDone());
    // Return and the keyboard both on the command offered again.
    EXPECT_EQ(defaultId, IDC_UPDATE);
    EXPECT_EQ(focusId, IDC_UPDATE);
  } else {
    EXPECT_EQ(defaultId, ui::IDCANCEL);
    EXPECT_EQ(focusId, ui::IDCANCEL);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, VersionRule,
                         ::testing::Values(VersionCase{"5.71", nullptr, "", Outcome::kDownload},
                                           VersionCase{"5.71", "3.90", "", Outcome::kRefused},
                                           VersionCase{"5.71", "4.70", "", Outcome::kRefused},
                                           VersionCase{"5.71", "4.71", "", Outcome::kDownload},
                                           VersionCase{"5.71", "5.70", "", Outcome::kDownload},
                                           VersionCase{"5.71", "5.71", "", Outcome::kSame},
                                           VersionCase{"5.71", "5.71", "b", Outcome::kSame},
                                           VersionCase{"5.71", "5.71", "", Outcome::kSame, true},
                                           VersionCase{"5.71", "5.80", "", Outcome::kOlder},
                                           VersionCase{"5.71", "6.00", "", Outcome::kRefused},
                                           VersionCase{"5.71", "5.7", "", Outcome::kDownload},
                                           VersionCase{"5.71", "5", "", Outcome::kDownload},
                                           VersionCase{"5.71", " 5.71", "", Outcome::kRefused},
                                           VersionCase{"5.71", "10.5", "", Outcome::kRefused},
                                           VersionCase{"4.60", "4.50", "", Outcome::kDownload},
                                           VersionCase{"4.60", "4.60", "", Outcome::kSame},
                                           VersionCase{"4.60", "4.75", "", Outcome::kOlder},
                                           VersionCase{"4.60", "5.60", "", Outcome::kOlder},
                                           VersionCase{"4.60", "6.10", "", Outcome::kOlder, true},
                                           VersionCase{"4.80", "4.75", "", Outcome::kDownload},
                                           VersionCase{"4.80", "5.80", "", Outcome::kOlder},
                                           VersionCase{"0.00", "4.10", "", Outcome::kOlder}));

// ---- Download ------------------------------------------------------------------

TEST_F(Scenario, FailedDownloadReportsTheDisplayStatus) {
  emu::DisplayConfig config;
  config.refusedChunks[0] = {0x01, 0x00, 0x10, 0x00, 0x00, 0x01};
  Plug(config);
  When(StatusIs(kReady560), Press(IDC_UPDATE));
  When([](const Scene& s) { return s.Up(IDD_UPDATE_FW); }, Press(IDC_START_DOWNLOAD));
  When([](const Scene& s) { return s.box != nullptr; }, Answer(ui::IDOK));
  When([](const Scene& s) { return s.Up(IDD_DOTVANE_DIALOG) && s.Seen("ended 129"); }, Press(ui::IDCANCEL));
  EXPECT_EQ(Run(), 2);

  const auto boxes = backend_.Boxes();
  ASSERT_EQ(boxes.size(), 1u) << Transcript();
  ExpectBox(boxes[0], "Firmware update failed! (010010000001)", "ERROR", ui::MB_ICONERROR);
  EXPECT_GE(IndexOf("ended 129 = 0"), 0) << Transcript();
  EXPECT_FALSE(dlg_->IsUpdateDone());
  EXPECT_FALSE(dlg_->IsDlgItemEnabled(IDC_UPDATE));
  // Return would otherwise press the disabled Update Firmware... while the
  // keyboard is on Exit.
  EXPECT_EQ(dlg_->GetDefID(), ui::IDCANCEL);
  EXPECT_EQ(dlg_->GetFocusID(), ui::IDCANCEL);
}

TEST_F(Scenario, SuccessfulUpdateReconnectsAndReportsTheNewVersion) {
  Plug();
  When(StatusIs(kReady560), Press(IDC_UPDATE));
  When([](const Scene& s) { return s.Up(IDD_UPDATE_FW); }, Press(IDC_START_DOWNLOAD));
  When([](const Scene& s) { return s.BoxUp("Firmware update completed."); }, Answer(ui::IDOK));
  EXPECT_EQ(Run(), 1);

  const auto boxes = backend_.Boxes();
  ASSERT_EQ(boxes.size(), 1u) << Transcript();
  ExpectBox(boxes[0], kDone571, "Download Done", ui::MB_ICONINFORMATION);
  // Downloading with its progress, then the status says what is waited
  // for, and only after the display's return and the pause does the
  // closing box come.
  const std::vector<std::string> order = {"enabled 129/1003 0",
                                          "enabled 129/1002 0",
                                          "focus 129 1011",
                                          "text 129/1011 \"Downloading firmware...\"",
                                          "progress 129/1004 8",
                                          "progress 129/1004 100",
                                          "ended 129 = 1",
                                          "enabled 102/2 0",
                                          "focus 102 1013",
                                          std::string("text 102/1013 \"") + kWaiting + "\"",
                                          std::string("text 102/1013 \"") + kBackChecking + "\"",
                                          "box \"Download Done\"",
                                          "ended 102 = 1"};
  for (std::size_t i = 0; i < order.size(); ++i) {
    ASSERT_GE(IndexOf(order[i]), 0) << order[i] << "\n" << Transcript();
    if (i > 0) {
      EXPECT_LT(IndexOf(order[i - 1]), IndexOf(order[i])) << order[i] << "\n" << Transcript();
    }
  }
  EXPECT_EQ(IndexOf("created 131"), -1) << Transcript();
  const auto sleeps = waits_.Durations("Sleep");
  EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), kArrivalPauseMs), 1);
  EXPECT_EQ(display_->CurrentVersion(), "5.71");
  EXPECT_TRUE(dlg_->IsUpdateDone());
}

// ---- Arrival and removal -------------------------------------------------------

TEST_F(Scenario, RemovalBeforeAnUpdateAsksForTheDisplayAgain) {
  Plug();
  When(StatusIs(kReady560), Do("unplug", [this] { driver_->Unplug(path_); }));
  When([](const Scene& s) { return s.Up(IDD_PLUGIN); }, Do("plug", PlugLater()));
  When([](const Scene& s) { return s.Seen("ended 131 = 1") && StatusIs(kReady560)(s); }, Press(ui::IDCANCEL));
  EXPECT_EQ(Run(), 2);
  EXPECT_LT(IndexOf("> unplug"), IndexOf("shown 131")) << Transcript();
  EXPECT_TRUE(dlg_->IsConnected());
}

TEST_F(Scenario, ForeignBroadcastsChangeNothing) {
  Plug();
  bool connected = false;
  When(StatusIs(kReady560), Do("foreign device in and out", [this] {
         emu::DisplayConfig other;
         other.vendorId = 0x1234;
         other.serial = "EMU0002";
         const std::string path = driver_->Plug(std::make_shared<emu::EmulatedDisplay>(other));
         ASSERT_EQ(path.find(kVendorIdMatchText), std::string::npos) << path;
         driver_->Unplug(path);
       }));
  When([](const Scene& s) { return s.Up(IDD_DOTVANE_DIALOG) && s.Seen("> foreign"); },
       [&](Scene& s) {
         connected = dlg_->IsConnected();
         Press(ui::IDCANCEL)(s);
       });
  EXPECT_EQ(Run(), 2);
  // Both broadcasts were dispatched before the second rule fired: nothing came of them.
  EXPECT_EQ(IndexOf("> foreign") + 1, IndexOf("> press 102/2")) << Transcript();
  EXPECT_TRUE(connected);
}

}  // namespace

namespace {

// Return presses IDOK where no button is the default.  Neither the main
// window nor the download dialog has an OK button, and 1 from either means
// an update was written: IDOK must end neither.
TEST_F(Scenario, ReturnNeverEndsAWindowAsASuccess) {
  Plug();
  When(StatusIs(kReady560), Press(ui::IDOK));
  When(StatusIs(kReady560), Press(IDC_UPDATE));  // still there: the IDOK did nothing
  When([](const Scene& s) { return s.Up(IDD_UPDATE_FW); }, Press(ui::IDOK));
  When([](const Scene& s) { return s.Up(IDD_UPDATE_FW); }, Press(IDC_CANCEL_DOWNLOAD));
  When([](const Scene& s) { return s.Up(IDD_DOTVANE_DIALOG) && s.Seen("ended 129"); }, Press(ui::IDCANCEL));
  EXPECT_EQ(Run(), 2);
  EXPECT_GE(IndexOf("ended 129 = 0"), 0) << Transcript();
  EXPECT_FALSE(dlg_->IsUpdateDone());
}

}  // namespace

namespace {

// ---- A display that is attached but cannot be opened --------------------------

TEST_F(Scenario, ADisplayHeldByAnotherProgramIsNamedNotPromptedFor) {
  Plug();
  driver_->FailOpen(path_, os::ERROR_BUSY);
  When([](const Scene& s) { return s.BoxUp("another program is using it"); },
       [this](Scene& s) {
         driver_->FailOpen(path_, os::ERROR_SUCCESS);  // the user stops the other program ...
         Answer(ui::IDOK)(s);                          // ... and tries again
       });
  When(StatusIs(kReady560), Press(ui::IDCANCEL));
  EXPECT_EQ(Run(), 2);
  const auto boxes = backend_.Boxes();
  ASSERT_EQ(boxes.size(), 1u) << Transcript();
  EXPECT_EQ(boxes[0].caption, "Braille Display in Use");
  EXPECT_EQ(boxes[0].style, ui::MB_OKCANCEL | ui::MB_ICONWARNING);
  EXPECT_EQ(IndexOf("shown 131"), -1) << "no plug-in prompt for a display that is plugged in";
}

TEST_F(Scenario, APermissionRefusedForAMomentIsRetriedThenExplained) {
  Plug();
  driver_->FailOpen(path_, os::ERROR_ACCESS_DENIED, 3);  // udev catches up after three tries
  When(StatusIs(kReady560), Press(ui::IDCANCEL));
  EXPECT_EQ(Run(), 2);
  EXPECT_TRUE(backend_.Boxes().empty()) << Transcript();
  const auto sleeps = waits_.Durations("Sleep");
  EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), kPermissionRetryStepMs), 3);
}

TEST_F(Scenario, APermissionThatStaysRefusedIsExplainedAndCancelEnds) {
  Plug();
  driver_->FailOpen(path_, os::ERROR_ACCESS_DENIED);
  When([](const Scene& s) { return s.BoxUp("do not have permission"); }, Answer(ui::IDCANCEL));
  EXPECT_EQ(Run(), 2);
  ASSERT_EQ(backend_.Boxes().size(), 1u) << Transcript();
  EXPECT_NE(backend_.Boxes()[0].text.find("70-dotvane.rules"), std::string::npos);
  EXPECT_EQ(backend_.Boxes()[0].caption, "No Permission for the Braille Display");
  EXPECT_EQ(IndexOf("shown 102"), -1);
}

}  // namespace
