#include "ui/driver_broadcasts/driver_broadcasts.h"

#include <cstdint>

#include "driver/driver.h"
#include "os/sync.h"
#include "os/thread_safety.h"
#include "ui/ui.h"

namespace ui {

namespace {

class DriverEventSource final : public DeviceEventSource {
 public:
  void Listen(Sink sink) override {
    os::Driver* driver = os::CurrentDriver();
    const std::uint64_t generation = os::DriverGeneration();
    if (driver == nullptr) return;
    {
      os::MutexLock lock(mutex_);
      // A driver is told apart by its generation, not its address: a test's
      // fresh driver may live where an earlier one did.
      if (generation == listenedGeneration_) return;
      listenedGeneration_ = generation;
    }
    driver->AddDeviceListener(sink);
  }

 private:
  os::Mutex mutex_;
  std::uint64_t listenedGeneration_ GUARDED_BY(mutex_) = 0;  // the driver listened to (0: none)
};

}  // namespace

void ConnectDriverBroadcasts() {
  // Never destroyed: a registration may still reach it while the program ends.
  static auto* const source = new DriverEventSource;
  SetDeviceEventSource(source);
}

}  // namespace ui
