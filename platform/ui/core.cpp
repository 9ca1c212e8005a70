#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "platform/driver.h"
#include "platform/sync.h"
#include "platform/ui/ui.h"

namespace ui {

namespace {

// A message sent from another thread: the sender waits on it.
struct SendState {
  std::mutex mutex;
  std::condition_variable cv;
  bool started = false;
  bool done = false;
  bool abandoned = false;
  LRESULT result = 0;
};

struct Item {
  std::uint64_t window;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  std::shared_ptr<const void> keepAlive;  // what wParam/lParam point to
  std::shared_ptr<SendState> send;        // set for sends
};

struct RegistrationRecord {
  std::uint64_t window;
  os::GUID interfaceClass;
};

struct Core {
  std::mutex mutex;
  std::deque<Item> queue;
  std::map<std::uint64_t, CDialog*> windows;
  std::map<HDEVNOTIFY, RegistrationRecord> registrations;
  HDEVNOTIFY nextRegistration = 1;
  std::uint64_t nextWindow = 1;
  Backend* backend = nullptr;
  // Held while the back end is woken and while it is replaced: Wake comes
  // from other threads (the packet reader, the driver's broadcasts), and a
  // back end must not be destroyed while one of them is still inside it.
  // Taken before `mutex`, never after it.
  std::mutex wakeMutex;
  std::string applicationName = "dotvane";
  // Windows whose device broadcasts stay queued, in order, for now.
  std::set<std::uint64_t> holding;
  std::uint64_t listenedGeneration = 0;  // the driver our device listener is on (0: none)
};

Core& TheCore() {
  static Core core;
  return core;
}

void WakeBackend() {
  std::lock_guard waking(TheCore().wakeMutex);
  Backend* backend;
  {
    std::lock_guard lock(TheCore().mutex);
    backend = TheCore().backend;
  }
  if (backend != nullptr) backend->Wake();
}

void Enqueue(Item item) {
  {
    std::lock_guard lock(TheCore().mutex);
    TheCore().queue.push_back(std::move(item));
  }
  WakeBackend();
}

// Arrival and removal from the driver, on a thread of its own: each
// registered window gets the broadcast posted, with its own record.
void OnDriverDeviceChange(UINT eventType, const std::string& path) {
  std::vector<std::pair<std::uint64_t, os::GUID>> targets;
  {
    std::lock_guard lock(TheCore().mutex);
    for (const auto& [handle, record] : TheCore().registrations) targets.emplace_back(record.window, record.interfaceClass);
  }
  for (const auto& [window, interfaceClass] : targets) {
    auto record = std::make_shared<DeviceBroadcast>();
    record->deviceType = DBT_DEVTYP_DEVICEINTERFACE;
    // The driver layer publishes one interface class, the display's: its
    // broadcasts belong to whichever class the window registered for.
    record->classGuid = interfaceClass;
    record->name = path;
    const auto address = reinterpret_cast<LPARAM>(record.get());
    Enqueue(Item{window, WM_DEVICECHANGE, eventType, address, std::move(record), nullptr});
  }
}

void EnsureDeviceListener() {
  os::Driver* driver = os::CurrentDriver();
  const std::uint64_t generation = os::DriverGeneration();
  if (driver == nullptr) return;
  {
    std::lock_guard lock(TheCore().mutex);
    if (generation == TheCore().listenedGeneration) return;
    // A driver installed since (a test's fresh driver) gets a listener of its
    // own; the previous one went away with its driver.
    TheCore().listenedGeneration = generation;
  }
  driver->AddDeviceListener(&OnDriverDeviceChange);
}

}  // namespace

// ---- Back end and application -------------------------------------------

void SetBackend(Backend* backend) {
  std::lock_guard waking(TheCore().wakeMutex);
  std::lock_guard lock(TheCore().mutex);
  TheCore().backend = backend;
}

Backend& CurrentBackend() {
  std::lock_guard lock(TheCore().mutex);
  return *TheCore().backend;
}

void SetApplicationName(std::string name) {
  std::lock_guard lock(TheCore().mutex);
  TheCore().applicationName = std::move(name);
}

const std::string& ApplicationName() { return TheCore().applicationName; }

// ---- Windows ------------------------------------------------------------

std::uint64_t RegisterWindow(CDialog* dialog) {
  std::lock_guard lock(TheCore().mutex);
  const std::uint64_t id = TheCore().nextWindow++;
  TheCore().windows[id] = dialog;
  return id;
}

void UnregisterWindow(std::uint64_t id) {
  std::lock_guard lock(TheCore().mutex);
  TheCore().windows.erase(id);
  TheCore().holding.erase(id);
  // Its registrations and queued messages go with it.
  auto& registrations = TheCore().registrations;
  for (auto it = registrations.begin(); it != registrations.end();) {
    it = it->second.window == id ? registrations.erase(it) : std::next(it);
  }
}

bool IsLiveWindow(std::uint64_t id) {
  std::lock_guard lock(TheCore().mutex);
  return TheCore().windows.count(id) != 0;
}

LRESULT Dispatch(std::uint64_t window, UINT message, WPARAM wParam, LPARAM lParam) {
  CDialog* dialog;
  {
    std::lock_guard lock(TheCore().mutex);
    const auto found = TheCore().windows.find(window);
    if (found == TheCore().windows.end()) return 0;  // the window is gone: the message is dropped
    dialog = found->second;
  }
  return dialog->WindowProc(message, wParam, lParam);
}

namespace {

// The first queued item that may be dispatched now; held broadcasts are
// passed over.  Under the core's lock.
std::deque<Item>::iterator NextDispatchable() {
  Core& core = TheCore();
  return std::find_if(core.queue.begin(), core.queue.end(), [&core](const Item& item) {
    return item.message != WM_DEVICECHANGE || core.holding.count(item.window) == 0;
  });
}

}  // namespace

void HoldDeviceBroadcasts(const CDialog& window, bool hold) {
  {
    std::lock_guard lock(TheCore().mutex);
    if (hold) {
      TheCore().holding.insert(window.WindowId());
    } else if (TheCore().holding.erase(window.WindowId()) == 0) {
      return;
    }
  }
  if (!hold) WakeBackend();  // what was held is dispatched now, in its order
}

bool HasPending() {
  std::lock_guard lock(TheCore().mutex);
  return NextDispatchable() != TheCore().queue.end();
}

bool DispatchPending() {
  bool any = false;
  for (;;) {
    Item item;
    {
      std::lock_guard lock(TheCore().mutex);
      const auto next = NextDispatchable();
      if (next == TheCore().queue.end()) return any;
      item = std::move(*next);
      TheCore().queue.erase(next);
    }
    any = true;
    if (item.send) {
      std::lock_guard lock(item.send->mutex);
      if (item.send->abandoned) continue;  // its sender gave up before it started
      item.send->started = true;
    }
    // `item` keeps the message's data alive until the handler has returned,
    // even if the sender has stopped waiting meanwhile.
    const LRESULT result = Dispatch(item.window, item.message, item.wParam, item.lParam);
    if (item.send) {
      {
        std::lock_guard lock(item.send->mutex);
        item.send->done = true;
        item.send->result = result;
      }
      item.send->cv.notify_all();
    }
  }
}

LRESULT SendFromOtherThread(std::uint64_t window, UINT message, WPARAM wParam, LPARAM lParam, UINT timeoutMs,
                            LRESULT* result, std::shared_ptr<const void> keepAlive) {
  if (!IsLiveWindow(window)) return 0;
  auto state = std::make_shared<SendState>();
  Enqueue(Item{window, message, wParam, lParam, std::move(keepAlive), state});
  os::TimeScale::Notify("SendMessageTimeout", timeoutMs);
  std::unique_lock lock(state->mutex);
  if (state->cv.wait_for(lock, os::TimeScale::Scaled(timeoutMs), [&] { return state->done; })) {
    if (result != nullptr) *result = state->result;
    return 1;
  }
  // Not handled in time.  One that has not started never will; one that is
  // running finishes on data the queue still holds.
  if (!state->started) state->abandoned = true;
  return 0;
}

BOOL Post(std::uint64_t window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!IsLiveWindow(window)) return 0;
  Enqueue(Item{window, message, wParam, lParam, nullptr, nullptr});
  return 1;
}

// ---- Device notifications -----------------------------------------------

HDEVNOTIFY RegisterDeviceNotification(CDialog* window, const os::GUID& interfaceClass) {
  if (window == nullptr || !window->IsWindow()) return kNoNotification;
  EnsureDeviceListener();
  std::lock_guard lock(TheCore().mutex);
  const HDEVNOTIFY handle = TheCore().nextRegistration++;
  TheCore().registrations[handle] = RegistrationRecord{window->WindowId(), interfaceClass};
  return handle;
}

BOOL UnregisterDeviceNotification(HDEVNOTIFY handle) {
  std::lock_guard lock(TheCore().mutex);
  return TheCore().registrations.erase(handle) != 0 ? 1 : 0;
}

}  // namespace ui
