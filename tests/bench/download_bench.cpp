// Host-side cost of a full download of the shipped image into the emulated
// display, and of closing an idle link.  The download's fixed pauses are
// taken out through the time scale, so what is measured is our own work:
// framing, the channel, the driver layer and the emulated display.
#include <benchmark/benchmark.h>

#include <memory>

#include "emulator/emulated_display.h"
#include "image/firmware_image.h"
#include "emulator/inproc/inproc_driver.h"
#include "os/sync.h"
#include "protocol/tamrel.h"

namespace {

class NullWindow : public os::Window {
 public:
  os::LRESULT SendMessageTimeout(os::UINT, os::WPARAM, os::LPARAM, os::UINT, os::UINT, os::LRESULT* result,
                                 std::shared_ptr<const void>) override {
    if (result) *result = 0;
    return 1;
  }
  os::BOOL PostMessage(os::UINT, os::WPARAM, os::LPARAM) override { return 1; }
};

void BM_FullDownloadOfShippedImage(benchmark::State& state) {
  os::ScopedTimeScale noPauses(1'000'000);
  ImageStream image;
  FirmwareVersion version;
  if (!LoadFirmwareImage(os::ResourceModule::Self(), "BIN_UPDATE", "BIN", image, version)) {
    state.SkipWithError("no image");
    return;
  }
  inproc::ScopedInProcessDriver driver;
  emu::DisplayConfig config;
  config.restartAfterEnd = false;
  auto display = std::make_shared<emu::EmulatedDisplay>(config);
  driver->Plug(display);
  NullWindow window;
  CTamrel link;
  for (auto _ : state) {
    state.PauseTiming();
    link.Open(&window);
    display->ClearRequests();
    image.Seek(0);
    state.ResumeTiming();
    if (!link.UpdateFirmware(image)) state.SkipWithError("download failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(image.GetLength()));
}
BENCHMARK(BM_FullDownloadOfShippedImage)->Unit(benchmark::kMillisecond);

void BM_CloseIdleLink(benchmark::State& state) {
  inproc::ScopedInProcessDriver driver;
  driver->Plug(std::make_shared<emu::EmulatedDisplay>());
  NullWindow window;
  CTamrel link;
  for (auto _ : state) {
    state.PauseTiming();
    link.Open(&window);
    state.ResumeTiming();
    link.Close();
  }
}
BENCHMARK(BM_CloseIdleLink)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
