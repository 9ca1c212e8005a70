// The power seam around an update, through the recording back end: the
// supply decides whether the write starts, and the computer is held from
// Start Download until the written display has come back, never longer.
#include <gtest/gtest.h>

#include <ostream>

#include "app/update_fw_dlg.h"
#include "display/vendor_requests.h"
#include "power/recording/recording_power.h"
#include "scenario_fixture.h"

namespace scenario {
namespace {

struct SupplyCase {
  const char* name;
  power::Supply supply;
  bool writes;
};
void PrintTo(const SupplyCase& c, std::ostream* out) { *out << c.name; }

class PowerScenario : public Scenario, public ::testing::WithParamInterface<SupplyCase> {
 protected:
  recpower::RecordingPower power_;
  power::ScopedBackend installedPower_{power_};
};

TEST_P(PowerScenario, TheSupplyDecidesAndTheHoldSpansTheWriteAndTheRestart) {
  power_.SetSupply(GetParam().supply);
  Plug();
  bool heldWhileWaiting = false;
  bool heldAtDone = true;
  When(StatusIs(kReady560), Press(IDC_UPDATE));
  When([](const Scene& s) { return s.Up(IDD_UPDATE_FW); }, Press(IDC_START_DOWNLOAD));
  if (GetParam().writes) {
    When(StatusIs(kWaiting), Do("note the hold", [&] { heldWhileWaiting = power::IsHeld() && power_.Held(); }));
  }
  When([](const Scene& s) { return s.box != nullptr; }, [&](Scene& s) {
    heldAtDone = power_.Held();
    Answer(ui::IDOK)(s);
  });
  if (!GetParam().writes) {
    When([](const Scene& s) { return s.Up(IDD_DOTVANE_DIALOG) && s.Seen("ended 129") && s.Seen("enabled 102/1000 1"); },
         Press(ui::IDCANCEL));
    EXPECT_EQ(Run(), 2);
    const auto boxes = backend_.Boxes();
    ASSERT_EQ(boxes.size(), 1u) << Transcript();
    ExpectBox(boxes[0], CUpdateFWDlg::LowBatteryText(5), "Battery Too Low", ui::MB_ICONWARNING);
    EXPECT_EQ(boxes[0].text.find("Connect the computer to power"), 0u);
    EXPECT_EQ(power_.Calls(), std::vector<std::string>{"read"});
    EXPECT_TRUE(dlg_->IsDlgItemEnabled(IDC_UPDATE)) << "Update Firmware... is offered again";
    for (const auto& request : display_->Requests()) {
      EXPECT_NE(request.request, kRequestStartTransfer);
      EXPECT_NE(request.request, kRequestChunk);
    }
    const auto lines = state_.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\"result\":\"low battery\",\"battery\":5}"), std::string::npos) << lines[0];
    return;
  }
  EXPECT_EQ(Run(), 1);
  EXPECT_TRUE(heldWhileWaiting) << Transcript();
  EXPECT_FALSE(heldAtDone) << "released before Download Done";
  EXPECT_FALSE(power::IsHeld());
  EXPECT_EQ(power_.Calls(),
            (std::vector<std::string>{"read", std::string("hold ") + power::kHoldReason, "release"}));
  EXPECT_EQ(display_->CurrentVersion(), "5.71");
}

INSTANTIATE_TEST_SUITE_P(
    Table, PowerScenario,
    ::testing::Values(SupplyCase{"BatteryAt5Discharging", {true, true, false, 5}, false},
                      SupplyCase{"BatteryAt25", {true, true, false, 25}, true},
                      SupplyCase{"BatteryAt5ChargingOnMains", {true, false, true, 5}, true},
                      SupplyCase{"NoBattery", {true, false, false, std::nullopt}, true},
                      SupplyCase{"Unknown", {}, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A failed write lets the computer go before its box; so does the wait for
// a display that never comes back, when it ends.
TEST_F(Scenario, TheHoldEndsWithAFailedWriteBeforeItsBox) {
  recpower::RecordingPower power;
  power::ScopedBackend installed(power);
  emu::DisplayConfig config;
  config.refusedChunks[2] = {0x01, 0x00, 0x10, 0x00, 0x00, 0x01};
  Plug(config);
  bool heldAtBox = true;
  When(StatusIs(kReady560), Press(IDC_UPDATE));
  When([](const Scene& s) { return s.Up(IDD_UPDATE_FW); }, Press(IDC_START_DOWNLOAD));
  When([](const Scene& s) { return s.box != nullptr; }, [&](Scene& s) {
    heldAtBox = power.Held();
    Answer(ui::IDOK)(s);
  });
  When([](const Scene& s) { return s.Up(IDD_DOTVANE_DIALOG) && s.Seen("ended 129"); }, Press(ui::IDCANCEL));
  EXPECT_EQ(Run(), 2);
  EXPECT_FALSE(heldAtBox);
  EXPECT_EQ(power.Calls(), (std::vector<std::string>{"read", std::string("hold ") + power::kHoldReason, "release"}));
}

}  // namespace
}  // namespace scenario
