// dotvane-demo: the dotvane program over an emulated display inside the
// process, for trying it out without hardware.  Its options shape the
// display; the program itself is unchanged.
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "app/backend_choice.h"
#include "app/history.h"
#include "emulator/emulated_display.h"
#include "emulator/inproc/inproc_driver.h"
#include "os/command_line.h"
#include "os/i18n.h"
#include "os/sync.h"
#include "power/recording/recording_power.h"

int main(int argc, char** argv) {
  os::i18n::Init();
  os::CommandLine options{"Runs dotvane against an emulated braille display inside this process.", "",
                          os::CommandLine::Errors::kParser};
  emu::DisplayConfig config;
  unsigned plugAfterMs = 0;
  bool failDownload = false;
  options.Value("--display-version", config.version, "firmware version the display reports").ShowDefault();
  options.Value("--plug-after", plugAfterMs, "plug the display in after this many milliseconds (0: at once)");
  options.Flag("--fail-download", failDownload, "refuse the first chunk with status 01 00 10 00 00 01");
  // A slow display, to watch the write as a real one takes it (each chunk
  // is a flash page): the same bound as dotvane-emulate's, below the
  // host's 5 s limit on one request.
  options
      .Value("--chunk-delay", config.chunkAcceptMs,
             "the display takes MS to answer each chunk request, as writing its flash does")
      .TypeName("MS")
      .Range(0, 4000);
  int battery = -1;
  options.Value("--battery", battery, "the computer runs on its battery at this percentage, not charging")
      .Range(0, 100);
  if (const auto status = options.Parse(argc, argv)) return *status;
  if (failDownload) config.refusedChunks[0] = {0x01, 0x00, 0x10, 0x00, 0x00, 0x01};

  // Updates of an emulated display are no part of the user's update history.
  history::SetEnabled(false);
  // Nothing of the computer is held for an emulated display; its supply is
  // what the options say (unknown without --battery).
  recpower::RecordingPower power;
  if (battery >= 0) power.SetSupply({.known = true, .onBattery = true, .charging = false, .percent = battery});
  power::ScopedBackend installPower(power);
  inproc::ScopedInProcessDriver driver;
  auto display = std::make_shared<emu::EmulatedDisplay>(config);

  std::mutex mutex;
  std::condition_variable cv;
  bool stopping = false;
  std::thread plugger;
  if (plugAfterMs == 0) {
    driver->Plug(display);
  } else {
    plugger = std::thread([&] {
      std::unique_lock lock(mutex);
      if (!cv.wait_for(lock, std::chrono::milliseconds(plugAfterMs), [&] { return stopping; })) driver->Plug(display);
    });
  }

  const int status = RunDotvane();
  {
    std::lock_guard lock(mutex);
    stopping = true;
  }
  cv.notify_all();
  if (plugger.joinable()) plugger.join();
  return status;
}
