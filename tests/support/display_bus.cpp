#include "display_bus.h"

#include <cstdlib>
#include <cstring>

#if DOTVANE_TEST_USB_BUS
#include <glib.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "driver/libusb/libusb_driver.h"
#include "tools/emulate/usb_testbed.h"

#if defined(__SANITIZE_THREAD__)
// umockdev and GLib are not instrumented, and GLib hands work between its
// threads (umockdev's worker among them) with futexes ThreadSanitizer cannot
// see: what the testbed allocates on the loop thread and umockdev's worker
// later locks or frees looks like a race.  The memory calls those two
// libraries make themselves are therefore not watched; the testbed's own
// handlers, which run on that worker, are instrumented and still are.
// libudev serves two users in this process, umockdev on the loop thread and
// libusb's event thread.  It seeds each new hash table from one static key
// that it fills with getrandom() on first use, from whichever thread comes
// first, unlocked: a torn key only gives a table another random seed, and
// each table keeps its own copy.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libglib-2.0.so.0\n"
         "called_from_lib:libumockdev.so.0\n"
         "race:libudev.so.1\n";
}
#endif
#endif

namespace test {

std::string BusName(BusKind kind) { return kind == BusKind::kUsb ? "Usb" : "InProcess"; }

BusKind ProgramBus() { return DOTVANE_TEST_USB_BUS ? BusKind::kUsb : BusKind::kInProcess; }

#if DOTVANE_TEST_USB_BUS

namespace {

// Marshalling onto the loop thread and the driver's broadcasts both answer
// in milliseconds; the bound only keeps a broken run from hanging.
constexpr auto kPatience = std::chrono::seconds(20);

}  // namespace

struct UsbBus::Impl {
  GMainLoop* loop = nullptr;
  std::thread loopThread;
  std::unique_ptr<emu::UsbTestbed> testbed;  // loop thread only
  std::unique_ptr<usbdrv::ScopedLibusbDriver> driver;
  int listenerId = -1;

  // Work for the loop thread.  It passes through this queue rather than
  // through GLib's own hand-off, whose locks ThreadSanitizer cannot see.
  std::mutex taskMutex;
  std::condition_variable taskDone;
  std::deque<std::function<void()>> tasks;

  // What the driver broadcast, in order.
  std::mutex eventMutex;
  std::condition_variable eventCv;
  std::vector<std::pair<os::UINT, std::string>> events;
  std::map<std::string, std::size_t> slots;  // plugged path -> testbed slot; test thread only

  static gboolean Drain(gpointer p) {
    auto* self = static_cast<Impl*>(p);
    std::deque<std::function<void()>> batch;
    {
      std::lock_guard lock(self->taskMutex);
      batch.swap(self->tasks);
    }
    for (auto& task : batch) task();
    return G_SOURCE_REMOVE;
  }

  // Runs `fn` on the loop thread and waits for it.  An idle source rather
  // than g_main_context_invoke: invoke may run the function right here when
  // this thread can acquire the default context, which is not the thread the
  // testbed belongs to.  `fn` may refer to the caller's frame, so a loop
  // thread that stops answering ends the run rather than the wait.
  void RunOnLoop(std::function<void()> fn) {
    auto finished = std::make_shared<bool>(false);
    {
      std::lock_guard lock(taskMutex);
      tasks.emplace_back([this, fn = std::move(fn), finished] {
        fn();
        std::lock_guard done(taskMutex);
        *finished = true;
        taskDone.notify_all();
      });
    }
    g_idle_add(Drain, this);
    std::unique_lock lock(taskMutex);
    if (!taskDone.wait_for(lock, kPatience, [&] { return *finished; })) {
      std::fprintf(stderr, "UsbBus: the GLib loop thread does not answer\n");
      std::abort();
    }
  }

  // Waits for a broadcast of `type` at or after position `from` (and for
  // `path` when not empty); returns its path, or empty after the bound.
  std::string WaitForEvent(std::size_t from, os::UINT type, const std::string& path) {
    std::unique_lock lock(eventMutex);
    std::string found;
    eventCv.wait_for(lock, kPatience, [&] {
      for (std::size_t i = from; i < events.size(); ++i) {
        if (events[i].first == type && (path.empty() || events[i].second == path)) {
          found = events[i].second;
          return true;
        }
      }
      return false;
    });
    return found;
  }

  std::size_t EventCount() {
    std::lock_guard lock(eventMutex);
    return events.size();
  }
};

UsbBus::UsbBus() : impl_(std::make_unique<Impl>()) {
  impl_->loop = g_main_loop_new(nullptr, FALSE);
  impl_->loopThread = std::thread([loop = impl_->loop] { g_main_loop_run(loop); });
  // The testbed first: it publishes its directory (UMOCKDEV_DIR) that the
  // preload shows libusb instead of the real /sys and /dev.
  impl_->RunOnLoop([this] { impl_->testbed = std::make_unique<emu::UsbTestbed>(emu::UsbTestbedTiming{}); });
  impl_->driver = std::make_unique<usbdrv::ScopedLibusbDriver>();
  impl_->listenerId = (*impl_->driver)->AddDeviceListener([impl = impl_.get()](os::UINT type, const std::string& path) {
    std::lock_guard lock(impl->eventMutex);
    impl->events.emplace_back(type, path);
    impl->eventCv.notify_all();
  });
}

UsbBus::~UsbBus() {
  (*impl_->driver)->RemoveDeviceListener(impl_->listenerId);
  impl_->driver.reset();
  impl_->RunOnLoop([this] {
    impl_->testbed.reset();
    g_main_loop_quit(impl_->loop);
  });
  impl_->loopThread.join();
  g_main_loop_unref(impl_->loop);
}

std::string UsbBus::Plug(std::shared_ptr<emu::EmulatedDisplay> display) {
  const std::size_t from = impl_->EventCount();
  std::size_t slot = 0;
  impl_->RunOnLoop([&] {
    slot = impl_->testbed->AddDisplay(display);
    impl_->testbed->Plug(slot);
  });
  // One display arrives at a time, so the next arrival is this one.
  std::string path = impl_->WaitForEvent(from, os::DBT_DEVICEARRIVAL, {});
  if (!path.empty()) impl_->slots[path] = slot;
  return path;
}

void UsbBus::Unplug(const std::string& path) {
  const auto it = impl_->slots.find(path);
  if (it == impl_->slots.end()) return;
  const std::size_t slot = it->second;
  impl_->slots.erase(it);
  const std::size_t from = impl_->EventCount();
  impl_->RunOnLoop([&] { impl_->testbed->Unplug(slot); });
  impl_->WaitForEvent(from, os::DBT_DEVICEREMOVECOMPLETE, path);
}

os::Driver& UsbBus::Driver() { return **impl_->driver; }

#endif  // DOTVANE_TEST_USB_BUS

std::unique_ptr<DisplayBus> MakeBus(BusKind kind, std::string* why) {
  if (kind == BusKind::kInProcess) return std::make_unique<InProcessBus>();
#if DOTVANE_TEST_USB_BUS
  // umockdev sends uevents, and redirects libusb to the testbed, only under
  // its preload.
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload == nullptr || std::strstr(preload, "libumockdev-preload") == nullptr) {
    if (why) *why = "the USB bus needs LD_PRELOAD=libumockdev-preload.so.0";
    return nullptr;
  }
  return std::make_unique<UsbBus>();
#else
  if (why) *why = "this program was built without the USB bus";
  return nullptr;
#endif
}

}  // namespace test
