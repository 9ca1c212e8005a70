#include "emulator/inproc/inproc_driver.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>

#include "driver/driver_support.h"
#include "os/sync.h"
#include "os/text_compare.h"
#include "display/display_class.h"

namespace inproc {

namespace {

constexpr std::size_t kMaxControlData = 4096;
constexpr std::size_t kVendorRecordSize = 8;

std::string InterfacePath(const emu::DisplayConfig& config) {
  return os::drv::InterfacePath(config.vendorId, config.productId, config.serial, kDisplayInterfaceClass);
}

enum class HandleKind { kControl, kOutPipe, kInPipe };

struct PendingRead {
  void* buffer;
  os::DWORD length;
  os::IoCompletion* done;
};

struct PendingWrite {
  std::uint64_t id;
  os::DWORD length;
  os::IoCompletion* done;
  // The model is still being handed the data.  Whoever cancels the write in
  // that window leaves the error here, and StartWrite completes it once the
  // model has returned, since only then is the buffer free.
  bool starting;
  std::thread::id starter;
  os::DWORD abortError = os::ERROR_SUCCESS;
};

struct HandleState {
  std::shared_ptr<emu::EmulatedDisplay> display;
  HandleKind kind;
  bool alive = true;
  std::optional<PendingRead> read;
  std::vector<PendingWrite> writes;
  int completing = 0;  // completions taken off this handle whose Complete has not returned yet
};

struct Completion {
  std::shared_ptr<HandleState> handle;
  os::IoCompletion* done;
  os::DWORD error;
  os::DWORD transferred;
};

struct Plugged {
  std::string path;
  std::shared_ptr<emu::EmulatedDisplay> display;
};

struct RestartJob {
  std::string path;
  std::shared_ptr<emu::EmulatedDisplay> display;
};

// Everything the model's listeners may reach.  They hold it weakly, so a
// listener that fires on another thread while the driver is being destroyed
// finds either a live state or nothing.
struct Shared : std::enable_shared_from_this<Shared> {
  // Also guards every HandleState's transfers and flags.
  mutable os::Mutex mutex;
  std::condition_variable_any changed;  // completions returned, restarts ended

  std::vector<Plugged> bus GUARDED_BY(mutex);
  std::set<os::DWORD> failingIndices GUARDED_BY(mutex);
  struct OpenFailure {
    os::DWORD error;
    int times;  // opens still to fail; negative: every one
  };
  std::map<std::string, OpenFailure> openFailures GUARDED_BY(mutex);  // by device path
  std::map<os::HANDLE, std::shared_ptr<HandleState>> handles GUARDED_BY(mutex);
  os::HANDLE nextHandle GUARDED_BY(mutex) = 1;
  std::uint64_t nextWriteId GUARDED_BY(mutex) = 1;
  os::drv::ListenerRegistry listeners;

  os::DWORD leaveMs GUARDED_BY(mutex) = 50;
  os::DWORD returnMs GUARDED_BY(mutex) = 300;
  std::deque<RestartJob> restarts GUARDED_BY(mutex);
  int restartsInProgress GUARDED_BY(mutex) = 0;
  bool stopping GUARDED_BY(mutex) = false;

  // ---- completions -------------------------------------------------------

  // Takes the handle's outstanding transfers for completion with `error`.
  // Writes the model is still being handed are marked instead.  Lock held.
  static void TakeAll(const std::shared_ptr<HandleState>& h, os::DWORD error, std::vector<Completion>& out) {
    if (h->read) {
      out.push_back({h, h->read->done, error, 0});
      h->read.reset();
      ++h->completing;
    }
    for (auto it = h->writes.begin(); it != h->writes.end();) {
      if (it->starting) {
        if (it->abortError == os::ERROR_SUCCESS) it->abortError = error;
        ++it;
        continue;
      }
      out.push_back({h, it->done, error, 0});
      ++h->completing;
      it = h->writes.erase(it);
    }
  }

  // Calls Complete outside the lock, then lets waiting cancellers go on.
  void Finish(std::vector<Completion>& completions) {
    if (completions.empty()) return;
    for (auto& c : completions) c.done->Complete(c.error, c.transferred);
    {
      os::MutexLock lock(mutex);
      for (auto& c : completions) --c.handle->completing;
    }
    changed.notify_all();
    completions.clear();
  }

  // Cancel's promise: when it returns, nothing of `h` is in flight, apart
  // from a write this very thread is still handing to the model (waiting for
  // it would wait for ourselves).
  bool Quiet(const std::shared_ptr<HandleState>& h) const {
    if (h->completing != 0) return false;
    const auto self = std::this_thread::get_id();
    return std::none_of(h->writes.begin(), h->writes.end(),
                        [&](const PendingWrite& w) { return w.starting && w.starter != self; });
  }

  // Hands the display's waiting IN transfers to the reads outstanding on its pipes.
  void Pump(const emu::EmulatedDisplay* display) {
    std::vector<Completion> completions;
    {
      os::MutexLock lock(mutex);
      for (auto& [id, h] : handles) {
        if (h->display.get() != display || h->kind != HandleKind::kInPipe || !h->alive || !h->read) continue;
        auto transfer = h->display->TakeIn();
        if (!transfer) break;
        const PendingRead read = *h->read;
        h->read.reset();
        ++h->completing;
        if (transfer->error) {
          completions.push_back({h, read.done, os::ERROR_GEN_FAILURE, 0});
        } else {
          const auto n = static_cast<os::DWORD>(std::min<std::size_t>(read.length, transfer->data.size()));
          // Copied under the lock so that a Cancel that returns finds the
          // buffer no longer touched.
          std::copy_n(transfer->data.begin(), n, static_cast<std::uint8_t*>(read.buffer));
          completions.push_back({h, read.done, os::ERROR_SUCCESS, n});
        }
      }
    }
    Finish(completions);
  }

  // ---- device changes ----------------------------------------------------

  void Broadcast(os::UINT eventType, const std::string& path) { listeners.Broadcast(eventType, path); }

  // ---- bus ---------------------------------------------------------------

  std::string Plug(std::shared_ptr<emu::EmulatedDisplay> display) {
    {
      os::MutexLock lock(mutex);
      for (auto& p : bus) {
        if (p.display == display) return p.path;
      }
    }
    const std::string path = InterfacePath(display->Config());
    std::weak_ptr<Shared> weak = weak_from_this();
    const emu::EmulatedDisplay* key = display.get();
    // The listeners name the display by address only: holding it strongly
    // from inside itself would keep it alive for ever.
    display->SetInListener([weak, key] {
      if (auto self = weak.lock()) self->Pump(key);
    });
    display->SetRestartListener([weak, key] {
      if (auto self = weak.lock()) self->ScheduleRestart(key);
    });
    display->PowerOn();
    {
      os::MutexLock lock(mutex);
      bus.push_back({path, display});
    }
    Broadcast(os::DBT_DEVICEARRIVAL, path);
    return path;
  }

  // Returns whether the path was on the bus.
  bool Unplug(const std::string& path) {
    std::shared_ptr<emu::EmulatedDisplay> display;
    std::vector<Completion> completions;
    {
      os::MutexLock lock(mutex);
      auto it = std::find_if(bus.begin(), bus.end(), [&](const Plugged& p) { return p.path == path; });
      if (it == bus.end()) return false;
      display = it->display;
      bus.erase(it);
      for (auto& [id, h] : handles) {
        if (h->display != display) continue;
        h->alive = false;
        TakeAll(h, os::ERROR_DEVICE_NOT_CONNECTED, completions);
      }
    }
    // A detached display has nobody to tell about its data or its restart.
    display->SetInListener(nullptr);
    display->SetRestartListener(nullptr);
    Finish(completions);
    Broadcast(os::DBT_DEVICEREMOVECOMPLETE, path);
    return true;
  }

  // ---- restarts ----------------------------------------------------------

  // Runs on the thread that accepted the end of transfer, inside the model's
  // control request: only queue the work, so that the request returns to the
  // host before the display leaves.
  void ScheduleRestart(const emu::EmulatedDisplay* key) {
    {
      os::MutexLock lock(mutex);
      if (stopping) return;
      auto it = std::find_if(bus.begin(), bus.end(), [&](const Plugged& p) { return p.display.get() == key; });
      if (it == bus.end()) return;
      restarts.push_back({it->path, it->display});
      ++restartsInProgress;
    }
    changed.notify_all();
  }

  // Waits with the lock held; false when the driver is stopping.  The delays
  // are the display's, not the product's, so they are scaled like every
  // other duration but not reported to the time scale's observer, and a
  // stopping driver cuts them short.
  bool Pause(os::UniqueMutexLock& lock, os::DWORD ms) REQUIRES(mutex) {
    return !changed.wait_for(lock.Waitable(), os::TimeScale::Scaled(ms), [this]() REQUIRES(mutex) { return stopping; });
  }

  void RunRestarts() {
    os::UniqueMutexLock lock(mutex);
    for (;;) {
      changed.wait(lock.Waitable(), [this]() REQUIRES(mutex) { return stopping || !restarts.empty(); });
      if (stopping) break;
      RestartJob job = std::move(restarts.front());
      restarts.pop_front();
      if (Pause(lock, leaveMs)) {
        lock.Unlock();
        // A display that was unplugged meanwhile stays away.
        const bool left = Unplug(job.path);
        lock.Lock();
        if (left && Pause(lock, returnMs)) {
          lock.Unlock();
          Plug(job.display);
          lock.Lock();
        }
      }
      --restartsInProgress;
      changed.notify_all();
    }
    // Restarts not yet carried out are dropped.
    restarts.clear();
    restartsInProgress = 0;
    changed.notify_all();
  }

  // ---- handles -----------------------------------------------------------

  std::shared_ptr<HandleState> Find(os::HANDLE h) const REQUIRES(mutex) {
    auto it = handles.find(h);
    return it == handles.end() ? nullptr : it->second;
  }

  void Cancel(os::HANDLE handle) {
    std::vector<Completion> completions;
    std::shared_ptr<HandleState> h;
    {
      os::MutexLock lock(mutex);
      h = Find(handle);
      if (!h) return;
      TakeAll(h, os::ERROR_OPERATION_ABORTED, completions);
    }
    Finish(completions);
    os::UniqueMutexLock lock(mutex);
    changed.wait(lock.Waitable(), [&] { return Quiet(h); });
  }
};

}  // namespace

struct InProcessDriver::Impl {
  std::shared_ptr<Shared> shared = std::make_shared<Shared>();
  std::thread worker;
};

InProcessDriver::InProcessDriver() : impl_(std::make_unique<Impl>()) {
  impl_->worker = std::thread([s = impl_->shared.get()] { s->RunRestarts(); });
}

InProcessDriver::~InProcessDriver() {
  Shared& s = *impl_->shared;
  {
    os::MutexLock lock(s.mutex);
    s.stopping = true;
  }
  s.changed.notify_all();
  impl_->worker.join();

  // Every transfer still outstanding ends as aborted, and none is left in
  // flight, before the callers' completion objects can go away.
  std::vector<Completion> completions;
  std::vector<std::shared_ptr<HandleState>> all;
  std::vector<std::shared_ptr<emu::EmulatedDisplay>> displays;
  {
    os::MutexLock lock(s.mutex);
    for (auto& [id, h] : s.handles) {
      s.TakeAll(h, os::ERROR_OPERATION_ABORTED, completions);
      all.push_back(h);
    }
    s.handles.clear();
    for (auto& p : s.bus) displays.push_back(p.display);
    s.bus.clear();
  }
  s.Finish(completions);
  {
    os::UniqueMutexLock lock(s.mutex);
    s.changed.wait(lock.Waitable(), [&] { return std::all_of(all.begin(), all.end(), [&](auto& h) { return s.Quiet(h); }); });
  }
  // The displays may outlive the driver; they must not call into it.
  for (auto& d : displays) {
    d->SetInListener(nullptr);
    d->SetRestartListener(nullptr);
  }
}

std::string InProcessDriver::Plug(std::shared_ptr<emu::EmulatedDisplay> display) {
  return impl_->shared->Plug(std::move(display));
}

void InProcessDriver::Unplug(const std::string& path) { impl_->shared->Unplug(path); }

std::vector<std::string> InProcessDriver::Paths() const {
  os::MutexLock lock(impl_->shared->mutex);
  std::vector<std::string> paths;
  for (auto& p : impl_->shared->bus) paths.push_back(p.path);
  return paths;
}

void InProcessDriver::FailOpen(const std::string& path, os::DWORD error, int times) {
  os::MutexLock lock(impl_->shared->mutex);
  if (error == os::ERROR_SUCCESS) {
    impl_->shared->openFailures.erase(path);
  } else {
    impl_->shared->openFailures[path] = {error, times};
  }
}

void InProcessDriver::FailEnumIndex(os::DWORD index, bool fail) {
  os::MutexLock lock(impl_->shared->mutex);
  if (fail) {
    impl_->shared->failingIndices.insert(index);
  } else {
    impl_->shared->failingIndices.erase(index);
  }
}

void InProcessDriver::SetRestartDelays(os::DWORD leaveMs, os::DWORD returnMs) {
  os::MutexLock lock(impl_->shared->mutex);
  impl_->shared->leaveMs = leaveMs;
  impl_->shared->returnMs = returnMs;
}

bool InProcessDriver::WaitForRestarts(os::DWORD milliseconds) {
  // Real milliseconds: this bounds a test's patience, not a delay of the
  // display, so the time scale does not apply.
  Shared& s = *impl_->shared;
  os::UniqueMutexLock lock(s.mutex);
  return s.changed.wait_for(lock.Waitable(), std::chrono::milliseconds(milliseconds),
                            [&]() REQUIRES(s.mutex) { return s.restartsInProgress == 0; });
}

os::EnumResult InProcessDriver::EnumInterface(const os::GUID& interfaceClass, os::DWORD index, std::string* path) {
  Shared& s = *impl_->shared;
  os::MutexLock lock(s.mutex);
  if (!(interfaceClass == kDisplayInterfaceClass)) return os::EnumResult::kNoMoreItems;
  if (s.failingIndices.count(index)) return os::EnumResult::kError;
  if (index >= s.bus.size()) return os::EnumResult::kNoMoreItems;
  if (path) *path = s.bus[index].path;
  return os::EnumResult::kOk;
}

os::HANDLE InProcessDriver::Open(const std::string& path, bool /*overlapped*/) {
  Shared& s = *impl_->shared;
  const auto wanted = os::drv::ParseOpenPath(path);
  os::MutexLock lock(s.mutex);
  const auto plugged = !wanted ? s.bus.end() : std::find_if(s.bus.begin(), s.bus.end(), [&](const Plugged& p) {
    return os::SameText(wanted->devicePath, p.path);
  });
  if (plugged == s.bus.end()) {
    os::SetLastError(os::ERROR_FILE_NOT_FOUND);
    return os::INVALID_HANDLE_VALUE;
  }
  std::optional<HandleKind> kind;
  const auto config = plugged->display->Config();
  switch (wanted->target) {
    case os::drv::Target::kControl: {
      const auto failure = s.openFailures.find(plugged->path);
      if (failure != s.openFailures.end() && failure->second.times != 0) {
        if (failure->second.times > 0) --failure->second.times;
        os::SetLastError(failure->second.error);
        return os::INVALID_HANDLE_VALUE;
      }
      kind = HandleKind::kControl;
      break;
    }
    case os::drv::Target::kOutPipe:
      if (config.hasOutPipe) kind = HandleKind::kOutPipe;
      break;
    case os::drv::Target::kInPipe:
      if (config.hasInPipe) kind = HandleKind::kInPipe;
      break;
  }
  if (!kind) {
    // The device is there but offers no such endpoint.
    os::SetLastError(os::ERROR_FILE_NOT_FOUND);
    return os::INVALID_HANDLE_VALUE;
  }
  auto h = std::make_shared<HandleState>();
  h->display = plugged->display;
  h->kind = *kind;
  const os::HANDLE handle = s.nextHandle++;
  s.handles.emplace(handle, std::move(h));
  return handle;
}

void InProcessDriver::Close(os::HANDLE h) {
  Shared& s = *impl_->shared;
  s.Cancel(h);
  os::MutexLock lock(s.mutex);
  s.handles.erase(h);
}

bool InProcessDriver::IoControl(os::HANDLE handle, os::DWORD code, const void* in, os::DWORD inSize, void* out,
                                os::DWORD outSize, os::DWORD* returned) {
  Shared& s = *impl_->shared;
  if (returned) *returned = 0;
  std::shared_ptr<emu::EmulatedDisplay> display;
  {
    os::MutexLock lock(s.mutex);
    auto h = s.Find(handle);
    if (!h || h->kind != HandleKind::kControl) {
      os::SetLastError(os::ERROR_INVALID_HANDLE);
      return false;
    }
    if (!h->alive) {
      os::SetLastError(os::ERROR_DEVICE_NOT_CONNECTED);
      return false;
    }
    display = h->display;
  }
  const bool read = code == os::kIoctlVendorRead;
  if ((!read && code != os::kIoctlVendorWrite) || in == nullptr || inSize != kVendorRecordSize ||
      outSize > kMaxControlData || (outSize > 0 && out == nullptr)) {
    os::SetLastError(os::ERROR_INVALID_PARAMETER);
    return false;
  }

  // The vendor request record: requestType, recipient, reserved (ignored),
  // request, value and index little-endian.
  const auto* record = static_cast<const std::uint8_t*>(in);
  const std::uint8_t bmRequestType =
      static_cast<std::uint8_t>(((record[0] & 0x03) << 5) | (record[1] & 0x1F) | (read ? 0x80 : 0x00));
  const std::uint8_t request = record[3];
  const std::uint16_t value = static_cast<std::uint16_t>(record[4] | (record[5] << 8));
  const std::uint16_t index = static_cast<std::uint16_t>(record[6] | (record[7] << 8));

  const int moved = display->ControlTransfer(bmRequestType, request, value, index, static_cast<std::uint8_t*>(out),
                                             static_cast<std::uint16_t>(outSize));
  if (moved < 0) {
    os::SetLastError(os::ERROR_GEN_FAILURE);
    return false;
  }
  if (returned) *returned = static_cast<os::DWORD>(moved);
  return true;
}

bool InProcessDriver::StartRead(os::HANDLE handle, void* buffer, os::DWORD length, os::IoCompletion* done) {
  Shared& s = *impl_->shared;
  const emu::EmulatedDisplay* display;
  {
    os::MutexLock lock(s.mutex);
    auto h = s.Find(handle);
    if (!h || h->kind != HandleKind::kInPipe || done == nullptr || (buffer == nullptr && length > 0)) {
      os::SetLastError(os::ERROR_INVALID_PARAMETER);
      return false;
    }
    if (!h->alive) {
      os::SetLastError(os::ERROR_DEVICE_NOT_CONNECTED);
      return false;
    }
    if (h->read) {
      os::SetLastError(os::ERROR_BUSY);
      return false;
    }
    h->read = PendingRead{buffer, length, done};
    display = h->display.get();
  }
  // Data the display already has completes the read at once.
  s.Pump(display);
  return true;
}

bool InProcessDriver::StartWrite(os::HANDLE handle, const void* buffer, os::DWORD length, os::IoCompletion* done) {
  Shared& s = *impl_->shared;
  std::shared_ptr<HandleState> h;
  std::uint64_t id;
  {
    os::MutexLock lock(s.mutex);
    h = s.Find(handle);
    if (!h || h->kind != HandleKind::kOutPipe || done == nullptr || (buffer == nullptr && length > 0)) {
      os::SetLastError(os::ERROR_INVALID_PARAMETER);
      return false;
    }
    if (!h->alive) {
      os::SetLastError(os::ERROR_DEVICE_NOT_CONNECTED);
      return false;
    }
    id = s.nextWriteId++;
    h->writes.push_back({id, length, done, true, std::this_thread::get_id()});
  }

  // Outside the lock: the model may answer at once through its IN listener,
  // or a request observer may unplug the display from inside this call.
  const auto result = h->display->BulkOut(static_cast<const std::uint8_t*>(buffer), length);

  std::vector<Completion> completions;
  {
    os::MutexLock lock(s.mutex);
    auto it = std::find_if(h->writes.begin(), h->writes.end(), [id](const PendingWrite& w) { return w.id == id; });
    if (it->abortError != os::ERROR_SUCCESS) {
      completions.push_back({h, done, it->abortError, 0});
    } else if (result == emu::EmulatedDisplay::OutResult::kDone) {
      completions.push_back({h, done, os::ERROR_SUCCESS, length});
    } else if (result == emu::EmulatedDisplay::OutResult::kError) {
      completions.push_back({h, done, os::ERROR_GEN_FAILURE, 0});
    }
    if (completions.empty()) {
      it->starting = false;  // stays outstanding until cancelled or unplugged
    } else {
      h->writes.erase(it);
      ++h->completing;
    }
  }
  s.changed.notify_all();  // a canceller may be waiting for the model to return
  s.Finish(completions);
  return true;
}

void InProcessDriver::Cancel(os::HANDLE h) { impl_->shared->Cancel(h); }

int InProcessDriver::AddDeviceListener(os::DeviceChangeListener listener) {
  return impl_->shared->listeners.Add(std::move(listener));
}

void InProcessDriver::RemoveDeviceListener(int id) { impl_->shared->listeners.Remove(id); }

}  // namespace inproc
