#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "os/sync.h"
#include "os/thread_safety.h"
#include "ui/ui.h"

namespace ui {

namespace {

// A message sent from another thread: the sender waits on it.
struct SendState {
  os::Mutex mutex;
  std::condition_variable_any cv;
  bool started GUARDED_BY(mutex) = false;
  bool done GUARDED_BY(mutex) = false;
  bool abandoned GUARDED_BY(mutex) = false;
  LRESULT result GUARDED_BY(mutex) = 0;
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
  // Held while the back end is woken and while it is replaced: Wake comes
  // from other threads (the packet reader, the driver's broadcasts), and a
  // back end must not be destroyed while one of them is still inside it.
  // Taken before `mutex`, never after it.
  os::Mutex wakeMutex;
  os::Mutex mutex;
  std::deque<Item> queue GUARDED_BY(mutex);
  std::map<std::uint64_t, CDialog*> windows GUARDED_BY(mutex);
  std::map<HDEVNOTIFY, RegistrationRecord> registrations GUARDED_BY(mutex);
  HDEVNOTIFY nextRegistration GUARDED_BY(mutex) = 1;
  std::uint64_t nextWindow GUARDED_BY(mutex) = 1;
  Backend* backend GUARDED_BY(mutex) = nullptr;
  std::string applicationName GUARDED_BY(mutex) = "dotvane";
  // Windows whose device broadcasts stay queued, in order, for now.
  std::set<std::uint64_t> holding GUARDED_BY(mutex);
  DeviceEventSource* deviceEvents GUARDED_BY(mutex) = nullptr;
};

Core& TheCore() {
  static Core core;
  return core;
}

// One name for the core, so that the lock analysis sees every access to a
// member go through the same object as the lock taken for it.
Core& g_core = TheCore();

void WakeBackend() {
  os::MutexLock waking(g_core.wakeMutex);
  Backend* backend;
  {
    os::MutexLock lock(g_core.mutex);
    backend = g_core.backend;
  }
  if (backend != nullptr) backend->Wake();
}

void Enqueue(Item item) {
  {
    os::MutexLock lock(g_core.mutex);
    g_core.queue.push_back(std::move(item));
  }
  WakeBackend();
}

// Arrival and removal from the device-event source, on a thread of its
// own: each registered window gets the broadcast posted, with its own record.
void OnDeviceChange(UINT eventType, const std::string& path) {
  std::vector<std::pair<std::uint64_t, os::GUID>> targets;
  {
    os::MutexLock lock(g_core.mutex);
    for (const auto& [handle, record] : g_core.registrations) targets.emplace_back(record.window, record.interfaceClass);
  }
  for (const auto& [window, interfaceClass] : targets) {
    auto record = std::make_shared<DeviceBroadcast>();
    record->deviceType = DBT_DEVTYP_DEVICEINTERFACE;
    // The source publishes one interface class, the display's: its
    // broadcasts belong to whichever class the window registered for.
    record->classGuid = interfaceClass;
    record->name = path;
    const auto address = reinterpret_cast<LPARAM>(record.get());
    Enqueue(Item{window, WM_DEVICECHANGE, eventType, address, std::move(record), nullptr});
  }
}

void EnsureDeviceListener() {
  DeviceEventSource* source;
  {
    os::MutexLock lock(g_core.mutex);
    source = g_core.deviceEvents;
  }
  if (source != nullptr) source->Listen(&OnDeviceChange);
}

}  // namespace

// ---- Back end and application -------------------------------------------

void SetBackend(Backend* backend) {
  os::MutexLock waking(g_core.wakeMutex);
  os::MutexLock lock(g_core.mutex);
  g_core.backend = backend;
}

Backend& CurrentBackend() {
  Backend* backend;
  {
    os::MutexLock lock(g_core.mutex);
    backend = g_core.backend;
  }
  if (backend == nullptr) {
    std::fputs("dotvane: a window was used with no user-interface back end set\n", stderr);
    std::abort();
  }
  return *backend;
}

void SetDeviceEventSource(DeviceEventSource* source) {
  os::MutexLock lock(g_core.mutex);
  g_core.deviceEvents = source;
}

void SetApplicationName(std::string name) {
  os::MutexLock lock(g_core.mutex);
  g_core.applicationName = std::move(name);
}

std::string ApplicationName() {
  os::MutexLock lock(g_core.mutex);
  return g_core.applicationName;
}

// ---- Windows ------------------------------------------------------------

std::uint64_t RegisterWindow(CDialog* dialog) {
  os::MutexLock lock(g_core.mutex);
  const std::uint64_t id = g_core.nextWindow++;
  g_core.windows[id] = dialog;
  return id;
}

void UnregisterWindow(std::uint64_t id) {
  os::MutexLock lock(g_core.mutex);
  g_core.windows.erase(id);
  g_core.holding.erase(id);
  // Its registrations and queued messages go with it.
  auto& registrations = g_core.registrations;
  for (auto it = registrations.begin(); it != registrations.end();) {
    it = it->second.window == id ? registrations.erase(it) : std::next(it);
  }
}

bool IsLiveWindow(std::uint64_t id) {
  os::MutexLock lock(g_core.mutex);
  return g_core.windows.count(id) != 0;
}

LRESULT Dispatch(std::uint64_t window, UINT message, WPARAM wParam, LPARAM lParam) {
  CDialog* dialog;
  {
    os::MutexLock lock(g_core.mutex);
    const auto found = g_core.windows.find(window);
    if (found == g_core.windows.end()) return 0;  // the window is gone: the message is dropped
    dialog = found->second;
  }
  return dialog->WindowProc(message, wParam, lParam);
}

namespace {

// The first queued item that may be dispatched now; held broadcasts are
// passed over.  Under the core's lock.
std::deque<Item>::iterator NextDispatchable() REQUIRES(g_core.mutex) {
  return std::find_if(g_core.queue.begin(), g_core.queue.end(), [](const Item& item) REQUIRES(g_core.mutex) {
    return item.message != WM_DEVICECHANGE || g_core.holding.count(item.window) == 0;
  });
}

}  // namespace

void HoldDeviceBroadcasts(const CDialog& window, bool hold) {
  {
    os::MutexLock lock(g_core.mutex);
    if (hold) {
      g_core.holding.insert(window.WindowId());
    } else if (g_core.holding.erase(window.WindowId()) == 0) {
      return;
    }
  }
  if (!hold) WakeBackend();  // what was held is dispatched now, in its order
}

bool HasPending() {
  os::MutexLock lock(g_core.mutex);
  return NextDispatchable() != g_core.queue.end();
}

bool DispatchPending() {
  bool any = false;
  for (;;) {
    Item item;
    {
      os::MutexLock lock(g_core.mutex);
      const auto next = NextDispatchable();
      if (next == g_core.queue.end()) return any;
      item = std::move(*next);
      g_core.queue.erase(next);
    }
    any = true;
    if (item.send) {
      os::MutexLock lock(item.send->mutex);
      if (item.send->abandoned) continue;  // its sender gave up before it started
      item.send->started = true;
    }
    // `item` keeps the message's data alive until the handler has returned,
    // even if the sender has stopped waiting meanwhile.
    const LRESULT result = Dispatch(item.window, item.message, item.wParam, item.lParam);
    if (item.send) {
      {
        os::MutexLock lock(item.send->mutex);
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
  os::UniqueMutexLock lock(state->mutex);
  if (state->cv.wait_for(lock.Waitable(), os::TimeScale::Scaled(timeoutMs),
                         [&]() REQUIRES(state->mutex) { return state->done; })) {
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
  os::MutexLock lock(g_core.mutex);
  const HDEVNOTIFY handle = g_core.nextRegistration++;
  g_core.registrations[handle] = RegistrationRecord{window->WindowId(), interfaceClass};
  return handle;
}

BOOL UnregisterDeviceNotification(HDEVNOTIFY handle) {
  os::MutexLock lock(g_core.mutex);
  return g_core.registrations.erase(handle) != 0 ? 1 : 0;
}

}  // namespace ui
