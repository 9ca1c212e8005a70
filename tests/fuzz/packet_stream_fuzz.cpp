// Bytes from the display, cut into reads the fuzzer chooses, through the
// channel, the hand-off buffer and the packet reader into the main window,
// which validates what arrives and shows its boxes.  Every run must end with
// the window closed by its Exit button, never with a success.
#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "app/dotvane_dlg.h"
#include "emulator/emulated_display.h"
#include "fuzz_check.h"
#include "platform/inproc/inproc_driver.h"
#include "platform/ui/ui.h"

namespace {

// A user who answers every box at once and presses Exit once the display's
// bytes have all been handled.
class QuietUser final : public ui::Backend {
 public:
  int boxes = 0;
  int doneBoxes = 0;

  void DialogCreated(ui::CDialog&) override {}
  void DialogShown(ui::CDialog&) override {}
  void DialogEnded(ui::CDialog&, std::intptr_t) override {}
  void TitleChanged(ui::CDialog&) override {}
  void ControlChanged(ui::CDialog&, int) override {}
  void DefaultChanged(ui::CDialog&) override {}
  void FocusChanged(ui::CDialog&) override {}
  void Repaint(ui::CDialog&) override {}
  void MenuItemAdded(ui::CDialog&, ui::UINT, const std::string&) override {}
  void IconSet(ui::CDialog&, int) override {}

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
      std::unique_lock lock(mutex_);
      wake_.wait_for(lock, std::chrono::milliseconds(1), [this] { return woken_; });
      woken_ = false;
    }
  }

  int MessageBox(ui::CDialog*, const ui::MessageBoxSpec& box) override {
    ++boxes;
    if (box.caption == "Download Done") ++doneBoxes;
    ui::DispatchPending();  // a box is a modal loop of its own
    return (box.style & 0xF) == ui::MB_OK ? ui::IDOK : ui::IDCANCEL;
  }

  void Wake() override {
    {
      std::lock_guard lock(mutex_);
      woken_ = true;
    }
    wake_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool woken_ = false;
};

inproc::InProcessDriver& Bus() {
  static auto* driver = new inproc::ScopedInProcessDriver;
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
