// dotvane-download-demo: a whole firmware update of an emulated display,
// inside this process, printing what happens.  It runs the real link and
// download code over the in-process driver, so a newcomer can watch the
// protocol without hardware.
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "emulator/emulated_display.h"
#include "image/firmware_image.h"
#include "emulator/inproc/inproc_driver.h"
#include "os/sync.h"
#include "protocol/packet.h"
#include "protocol/tamrel.h"

namespace {

constexpr os::DWORD kAnswerWaitMs = 5000;    // how long we wait for the INFO answer
constexpr os::DWORD kReturnWaitMs = 30000;   // how long we wait for the display to come back
constexpr os::DWORD kArrivalPauseMs = 1000;  // the display needs this after it arrives

// Stands in for the main window: takes packets from the link's reader and
// keeps the last INFO answer.
class ConsoleWindow : public os::Window {
 public:
  os::LRESULT SendMessageTimeout(os::UINT message, os::WPARAM wParam, os::LPARAM lParam, os::UINT, os::UINT,
                                 os::LRESULT* result, std::shared_ptr<const void>) override {
    if (result) *result = 0;
    if (message == WM_SHORT_PACKET) {
      std::printf("  packet: short %08lx (ignored)\n", static_cast<unsigned long>(lParam));
    } else if (message == WM_LONG_PACKET) {
      const InfoResult info = ValidateInfo(reinterpret_cast<const std::uint8_t*>(wParam));
      std::lock_guard lock(mutex_);
      info_ = info;
      cv_.notify_all();
    }
    return 1;
  }
  os::BOOL PostMessage(os::UINT, os::WPARAM, os::LPARAM) override { return 1; }

  std::optional<InfoResult> WaitForInfo() {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, os::TimeScale::Scaled(kAnswerWaitMs), [&] { return info_.has_value(); });
    auto info = info_;
    info_.reset();
    return info;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::optional<InfoResult> info_;
};

std::optional<InfoResult> Identify(CTamrel& link, ConsoleWindow& window) {
  if (!link.Open(&window)) {
    std::printf("  the display cannot be opened\n");
    return std::nullopt;
  }
  link.SendPacket(Packet(kPacketQuery));
  auto info = window.WaitForInfo();
  if (!info) {
    std::printf("  no answer to the Query\n");
  } else if (info->outcome != InfoOutcome::kAccepted) {
    std::printf("  the answer was not a valid INFO packet\n");
    info.reset();
  } else {
    std::printf("  display: %s, %s, firmware version %s\n", info->manufacturer.c_str(), info->model.c_str(),
                info->version.c_str());
  }
  return info;
}

void PrintRequests(const emu::EmulatedDisplay& display) {
  for (const auto& r : display.Requests()) {
    if (r.kind == emu::RecordedRequest::Kind::kBulkOut) continue;
    std::printf("  request %02X value %-5u length %-4u%s\n", r.request, r.value, r.length,
                r.accepted ? "" : "  (refused)");
  }
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  ImageStream image;
  FirmwareVersion version;
  const auto& module = os::ResourceModule::Self();
  if (!LoadFirmwareImage(module, "IIC_UPDATE", "IIC", image, version) &&
      !LoadFirmwareImage(module, "BIN_UPDATE", "BIN", image, version)) {
    std::printf("Resource file not found!\n");
    return 2;
  }
  std::printf("Firmware image: %llu bytes, version %s\n", static_cast<unsigned long long>(image.GetLength()),
              FormatFirmwareVersion(version).c_str());

  inproc::ScopedInProcessDriver driver;
  std::mutex mutex;
  std::condition_variable cv;
  int arrivals = 0;
  driver->AddDeviceListener([&](os::UINT event, const std::string& path) {
    std::printf("  %s: %s\n", event == os::DBT_DEVICEARRIVAL ? "arrival" : "removal", path.c_str());
    std::lock_guard lock(mutex);
    if (event == os::DBT_DEVICEARRIVAL) ++arrivals;
    cv.notify_all();
  });

  auto display = std::make_shared<emu::EmulatedDisplay>();
  std::printf("Plugging in the emulated display\n");
  driver->Plug(display);

  ConsoleWindow window;
  CTamrel link;
  std::printf("Connecting\n");
  if (!Identify(link, window)) return 1;

  std::printf("Downloading\n");
  display->ClearRequests();
  image.Seek(0);
  const int arrivalsBefore = arrivals;
  if (!link.UpdateFirmware(image)) {
    std::string status;
    link.FormatStatus(status);
    PrintRequests(*display);
    std::printf("Firmware update failed!%s\n", status.c_str());
    return 1;
  }
  PrintRequests(*display);
  std::printf("The display accepted the end of transfer; waiting for it to restart\n");

  {
    std::unique_lock lock(mutex);
    if (!cv.wait_for(lock, os::TimeScale::Scaled(kReturnWaitMs), [&] { return arrivals > arrivalsBefore; })) {
      std::printf("The display did not come back\n");
      return 1;
    }
  }
  os::Sleep(kArrivalPauseMs);
  std::printf("Reconnecting\n");
  const auto info = Identify(link, window);
  if (!info) return 1;
  const std::string expected = FormatFirmwareVersion(version);
  if (info->version.rfind(expected, 0) != 0) {
    std::printf("The display still reports %s, not %s: the update did not take\n", info->version.c_str(),
                expected.c_str());
    return 1;
  }
  std::printf("Firmware update completed: the display now runs %s\n", info->version.c_str());
  return 0;
}
