// Bytes from the display, cut into reads the fuzzer chooses, through the
// channel, the hand-off buffer and the packet reader into the main window,
// which validates what arrives and shows its boxes.  Every run must end with
// the window closed by its Exit button, never with a success.
#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "app/dotvane_dlg.h"
#include "emulator/emulated_display.h"
#include "fuzz_check.h"
#include "emulator/inproc/inproc_driver.h"
#include "ui/driver_broadcasts/driver_broadcasts.h"
#include "ui/ui.h"
#include "silent_backend.h"

namespace {

// A user who answers every box at once and presses Exit once the display's
// bytes have all been handled.
class QuietUser final : public test::SilentBackend {
 public:
  int boxes = 0;
  int doneBoxes = 0;

  void RunModalLoop(ui::CDialog& dialog, const std::function<bool()>& ended) override {
    auto* main = dynamic_cast<CDotvaneDlg*>(&dialog);
    while (!ended()) {
      // Looked at before dispatching: whatever the reader sent before it
      // ended is then surely in the queue.
      const bool readerDone = main != nullptr && main->Link().ReaderEnded();
      ui::DispatchPending();
      if (ended()) break;
      if (main == nullptr || (readerDone && !ui::HasPending())) {
        dialog.Close();  // the plug-in prompt is cancelled; the main window left by Exit
        continue;
      }
      WaitForWake(std::chrono::milliseconds(1));
    }
  }

  int MessageBox(ui::CDialog*, const ui::MessageBoxSpec& box) override {
    ++boxes;
    if (box.caption == "Download Done") ++doneBoxes;
    ui::DispatchPending();  // a box is a modal loop of its own
    return (box.style & 0xF) == ui::MB_OK ? ui::IDOK : ui::IDCANCEL;
  }
};

inproc::InProcessDriver& Bus() {
  static auto* driver = new inproc::ScopedInProcessDriver;
  ui::ConnectDriverBroadcasts();
  return **driver;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  inproc::InProcessDriver& bus = Bus();
  FuzzedDataProvider input(data, size);

  emu::DisplayConfig config;
  config.answerQuery = false;  // everything the display says comes from the fuzzer
  auto display = std::make_shared<emu::EmulatedDisplay>(config);
  const std::string path = bus.Plug(display);
  // Each read is 1 to 256 bytes, as the channel reads them.
  while (input.remaining_bytes() > 0) {
    const auto length = input.ConsumeIntegralInRange<std::size_t>(1, 256);
    display->SendUnasked(input.ConsumeBytes<std::uint8_t>(length));
  }
  display->SendUnasked({});  // an empty read: the display has nothing more to say

  QuietUser user;
  ui::SetBackend(&user);
  std::intptr_t result;
  {
    CDotvaneDlg dialog;
    result = dialog.DoModal();
    FUZZ_CHECK(!dialog.IsUpdateDone());
  }
  ui::SetBackend(nullptr);
  bus.Unplug(path);

  FUZZ_CHECK(result == ui::IDCANCEL);
  FUZZ_CHECK(user.doneBoxes == 0);
  return 0;
}
