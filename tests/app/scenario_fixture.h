// The fixture of the main window's scenario tests: whole runs against
// emulated displays, the user played by a script of rules, each run judged
// by its result, its transcript and the dialog's state.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "app/dotvane_dlg.h"
#include "app/history.h"
#include "emulator/emulated_display.h"
#include "image/image_digest.h"
#include "emulator/inproc/inproc_driver.h"
#include "os/sync.h"
#include "scripted_backend.h"
#include "ui/driver_broadcasts/driver_broadcasts.h"
#include "test_support.h"

namespace scenario {

using test::Answer;
using test::CloseDialog;
using test::Do;
using test::Press;
using test::Scene;

constexpr char kReadyTail[] = "Ready to update firmware.";
constexpr char kReady560[] =
    "Orvanta, Vantor 3 Braille display, current Firmware Version 5.60. Ready to update firmware.";
constexpr char kDone571[] =
    "Orvanta, Vantor 3 Braille display, updated to Firmware Version 5.71. Firmware update completed.  If you are "
    "using a screen reader with this Braille display, you may need to restart it.";
constexpr char kRefused[] = "Cannot update this firmware version!";
constexpr char kSame[] = "Firmware is already updated to the correct version.";
constexpr char kOlder[] = "The update firmware is an older version than the current firmware.";
constexpr char kWaiting[] =
    "The firmware has been written. Waiting for the Braille display to restart with its new firmware. This takes at "
    "most 2 minutes.";
constexpr char kBackChecking[] =
    "The firmware has been written. The Braille display has come back from its firmware update. Checking its "
    "firmware version.";
constexpr ui::UINT kConfirmStyle = ui::MB_OKCANCEL | ui::MB_ICONWARNING | ui::MB_DEFBUTTON2;

inline std::string ReadyLine(const std::string& versionText) {
  return "Orvanta, Vantor 3 Braille display, current Firmware Version " + versionText + ". " + kReadyTail;
}

// A module holding nothing but a firmware image and the digest its build
// recorded, as the program's own resources do.
struct HeldImage {
  HeldImage(std::string image, std::string recorded)
      : bytes(std::move(image)),
        digest(std::move(recorded)),
        entries{{{"BIN_UPDATE", "BIN", reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()},
                 {"BIN_UPDATE", kDigestResourceType, reinterpret_cast<const unsigned char*>(digest.data()),
                  digest.size()}}},
        module(entries) {}
  std::string bytes;
  std::string digest;
  std::array<os::ResourceEntry, 2> entries;
  os::ResourceModule module;
};

inline std::string DigestOf(const std::string& bytes) {
  return Sha256Hex({reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()});
}

// An image whose version block reads `version`; "0.00" gives an image
// without a version block.
inline const os::ResourceModule& ImageModule(const std::string& version) {
  static std::map<std::string, std::unique_ptr<HeldImage>> held;
  auto& slot = held[version];
  if (!slot) {
    std::string bytes = version == "0.00" ? "test image, build 2417, no version block"
                                          : "test image, build 2417 ORVANTA " + version;
    std::string digest = DigestOf(bytes);
    slot = std::make_unique<HeldImage>(std::move(bytes), std::move(digest));
  }
  return slot->module;
}

// Extended packets for injection; `checksum` -1 puts the right one.
inline std::vector<std::uint8_t> Extended(std::vector<std::uint8_t> headerAndPayload, int checksum = -1) {
  unsigned sum = 0;
  for (auto b : headerAndPayload) sum += b;
  headerAndPayload.push_back(checksum < 0 ? static_cast<std::uint8_t>(-sum) : static_cast<std::uint8_t>(checksum));
  return headerAndPayload;
}

inline std::vector<std::uint8_t> InfoHeader(std::uint8_t h2) {
  std::vector<std::uint8_t> bytes = {0x80, 0x30, h2, 0x00};
  bytes.resize(4 + 48, 0);
  return bytes;
}

// Every run keeps its update history in a folder of its own, never in the
// user's: the variable that names the history's home (XDG_STATE_HOME, or
// LOCALAPPDATA on Windows) points there for the test's life.
class ScopedStateHome {
 public:
#ifdef _WIN32
  static constexpr char kVariable[] = "LOCALAPPDATA";
  static void Set(const std::string& value) { _putenv_s(kVariable, value.c_str()); }
  static void Unset() { _putenv_s(kVariable, ""); }
#else
  static constexpr char kVariable[] = "XDG_STATE_HOME";
  static void Set(const std::string& value) { setenv(kVariable, value.c_str(), 1); }
  static void Unset() { unsetenv(kVariable); }
#endif

  ScopedStateHome() {
    std::error_code ignored;
    const auto temp = std::filesystem::temp_directory_path(ignored);
    for (int attempt = 0; attempt < 100 && folder_.empty(); ++attempt) {
      const auto candidate = temp / ("dotvane-state-" + std::to_string(std::random_device{}()));
      if (std::filesystem::create_directory(candidate, ignored)) folder_ = candidate.string();
    }
    if (const char* old = std::getenv(kVariable)) old_ = old;
    Point(folder_);
  }
  ~ScopedStateHome() {
    history::Flush(kWaitMs);
    if (old_) {
      Set(*old_);
    } else {
      Unset();
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  ScopedStateHome(const ScopedStateHome&) = delete;
  ScopedStateHome& operator=(const ScopedStateHome&) = delete;

  void Point(const std::string& stateHome) { Set(stateHome); }
  const std::string& Folder() const { return folder_; }
  // The history's lines once every queued record is written.
  std::vector<std::string> Lines() const {
    // The bound is real time whatever scale the test has set.
    EXPECT_TRUE(history::Flush(kWaitMs * os::TimeScale::Divisor()));
    std::vector<std::string> lines;
    std::ifstream file(folder_ + "/dotvane/history.jsonl");
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
  }

 private:
  // Bounds the wait for the writer thread; scaled like every other wait.
  static constexpr os::DWORD kWaitMs = 10000;
  std::string folder_;
  std::optional<std::string> old_;
};

class Scenario : public ::testing::Test {
 protected:
  // The windows follow the in-process driver's arrivals and removals, as
  // the program's follow the real driver's.
  Scenario() { ui::ConnectDriverBroadcasts(); }

  void Plug(emu::DisplayConfig config = {}) {
    display_ = std::make_shared<emu::EmulatedDisplay>(std::move(config));
    path_ = driver_->Plug(display_);
  }
  // Plugs the current display in again, or a default one.
  std::function<void()> PlugLater() {
    return [this] { display_ ? (void)(path_ = driver_->Plug(display_)) : Plug(); };
  }

  std::intptr_t Run(const os::ResourceModule& images = os::ResourceModule::Self()) {
    dlg_ = std::make_unique<CDotvaneDlg>(images);
    const std::intptr_t result = dlg_->DoModal();
    EXPECT_TRUE(backend_.UnfiredRules().empty()) << "rules left unfired; transcript:\n" << backend_.Transcript();
    return result;
  }

  void When(test::Predicate predicate, test::Action action) { backend_.When(std::move(predicate), std::move(action)); }

  static test::Predicate StatusIs(std::string text) {
    return [text = std::move(text)](const Scene& s) { return s.Up(IDD_DOTVANE_DIALOG) && s.Text(IDC_STATUS) == text; };
  }

  // Position of the first transcript line containing `fragment`; -1 without one.
  long IndexOf(const std::string& fragment) const {
    const auto lines = backend_.Lines();
    const auto it = std::find_if(lines.begin(), lines.end(),
                                 [&](const std::string& l) { return l.find(fragment) != std::string::npos; });
    return it == lines.end() ? -1 : it - lines.begin();
  }
  std::string Transcript() const { return backend_.Transcript(); }

  ScopedStateHome state_;
  inproc::ScopedInProcessDriver driver_;
  os::ScopedTimeScale time_{10};
  test::WaitRecorder waits_;
  test::ScriptedBackend backend_;
  test::ScopedBackend installed_{backend_};
  std::shared_ptr<emu::EmulatedDisplay> display_;
  std::string path_;
  std::unique_ptr<CDotvaneDlg> dlg_;
};

inline void ExpectBox(const test::UiEvent& box, const std::string& text, const std::string& caption, ui::UINT style) {
  EXPECT_EQ(box.text, text);
  EXPECT_EQ(box.caption, caption);
  EXPECT_EQ(box.style, style);
}

}  // namespace scenario
