#include "driver/libusb/libusb_driver.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>

#include "driver/driver_support.h"
#include "display/display_class.h"
#include "os/text_compare.h"

namespace usbdrv {

// ---- Pure helpers ----------------------------------------------------------

namespace detail {

std::string InterfacePath(std::uint16_t vendorId, std::uint16_t productId, std::uint8_t bus,
                          const std::vector<std::uint8_t>& ports) {
  std::string instance = std::to_string(bus) + "-";
  for (std::size_t i = 0; i < ports.size(); ++i) {
    if (i > 0) instance += '.';
    instance += std::to_string(ports[i]);
  }
  return os::drv::InterfacePath(vendorId, productId, instance, kDisplayInterfaceClass);
}

ControlSetup DecodeVendorRequest(const std::uint8_t (&record)[8], bool deviceToHost) {
  // Byte 2 is reserved and ignored, as the display maker's driver does.
  return ControlSetup{
      static_cast<std::uint8_t>(((record[0] & 0x03) << 5) | (record[1] & 0x1F) | (deviceToHost ? 0x80 : 0x00)),
      record[3], static_cast<std::uint16_t>(record[4] | (record[5] << 8)),
      static_cast<std::uint16_t>(record[6] | (record[7] << 8))};
}

os::DWORD OpenError(int libusbError) {
  switch (libusbError) {
    case LIBUSB_ERROR_ACCESS:
      return os::ERROR_ACCESS_DENIED;
    case LIBUSB_ERROR_BUSY:  // another program holds the interface (a screen reader, say)
      return os::ERROR_BUSY;
    case LIBUSB_ERROR_NO_DEVICE:
      return os::ERROR_DEVICE_NOT_CONNECTED;
    default:
      return os::ERROR_GEN_FAILURE;
  }
}

os::DWORD SubmitError(int libusbError) {
  return libusbError == LIBUSB_ERROR_NO_DEVICE ? os::ERROR_DEVICE_NOT_CONNECTED : os::ERROR_GEN_FAILURE;
}

os::DWORD TransferError(int libusbTransferStatus) {
  switch (libusbTransferStatus) {
    case LIBUSB_TRANSFER_COMPLETED:
      return os::ERROR_SUCCESS;
    case LIBUSB_TRANSFER_CANCELLED:
      return os::ERROR_OPERATION_ABORTED;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return os::ERROR_DEVICE_NOT_CONNECTED;
    case LIBUSB_TRANSFER_TIMED_OUT:  // only control requests have a time-out
      return os::ERROR_SEM_TIMEOUT;
    default:  // a STALL is the display refusing the request
      return os::ERROR_GEN_FAILURE;
  }
}

}  // namespace detail

namespace {

constexpr std::uint8_t kInterface = 0;
// The event thread's poll is woken by every event and by shutdown; the
// time-out only limits how long a lost wake-up could go unnoticed.
constexpr int kEventWaitSeconds = 10;

// The driver whose event thread this is, if any: that thread must not wait
// for work that only it can do.
thread_local const void* tlEventThreadOf = nullptr;

bool KnownProduct(std::uint16_t productId) {
  return std::find(kKnownProductIds.begin(), kKnownProductIds.end(), productId) != kKnownProductIds.end();
}

// A display found on the bus.
struct Described {
  libusb_device* device = nullptr;
  bool ok = false;  // false: it is a display, but where it sits could not be read
  std::string path;
  std::tuple<std::uint8_t, std::vector<std::uint8_t>, std::uint8_t> order;  // bus, ports, address
};

// False for a device that is not a display.
bool Describe(libusb_device* device, Described* out) {
  libusb_device_descriptor descriptor;
  if (libusb_get_device_descriptor(device, &descriptor) != 0) return false;
  if (descriptor.idVendor != kDisplayVendorId || !KnownProduct(descriptor.idProduct)) return false;
  std::uint8_t ports[8];
  const int count = libusb_get_port_numbers(device, ports, sizeof ports);
  const std::uint8_t bus = libusb_get_bus_number(device);
  const std::uint8_t address = libusb_get_device_address(device);
  out->device = device;
  out->ok = count >= 0;
  std::vector<std::uint8_t> portPath(ports, ports + std::max(count, 0));
  out->order = {bus, portPath, address};
  if (out->ok) {
    out->path = detail::InterfacePath(descriptor.idVendor, descriptor.idProduct, bus, portPath);
  }
  return true;
}

// libusb's current device list, freed (and unreferenced) on destruction.
class DeviceList {
 public:
  explicit DeviceList(libusb_context* ctx) {
    const ssize_t n = ctx ? libusb_get_device_list(ctx, &list_) : 0;
    count_ = n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  ~DeviceList() {
    if (list_) libusb_free_device_list(list_, 1);
  }
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;

  // The displays, in a stable order: bus, then port path.
  std::vector<Described> Displays() const {
    std::vector<Described> found;
    for (std::size_t i = 0; i < count_; ++i) {
      Described d;
      if (Describe(list_[i], &d)) found.push_back(std::move(d));
    }
    std::sort(found.begin(), found.end(), [](const Described& a, const Described& b) { return a.order < b.order; });
    return found;
  }

 private:
  libusb_device** list_ = nullptr;
  std::size_t count_ = 0;
};

// The bulk endpoint of interface 0 in the given direction; 0 when there is none.
std::uint8_t FindBulkEndpoint(libusb_device* device, bool in) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != 0 &&
      libusb_get_config_descriptor(device, 0, &config) != 0) {
    return 0;
  }
  std::uint8_t found = 0;
  for (int i = 0; i < config->bNumInterfaces && found == 0; ++i) {
    const libusb_interface& interface = config->interface[i];
    if (interface.num_altsetting < 1 || interface.altsetting[0].bInterfaceNumber != kInterface) continue;
    const libusb_interface_descriptor& setting = interface.altsetting[0];
    for (int e = 0; e < setting.bNumEndpoints; ++e) {
      const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
      const bool isIn = (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
      if ((endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) == LIBUSB_TRANSFER_TYPE_BULK && isIn == in) {
        found = endpoint.bEndpointAddress;
        break;
      }
    }
  }
  libusb_free_config_descriptor(config);
  return found;
}

enum class HandleKind { kControl, kOutPipe, kInPipe };

// The caller's side of one control transfer.
class ControlWait {
 public:
  static void LIBUSB_CALL Done(libusb_transfer* xfer) {
    auto* self = static_cast<ControlWait*>(xfer->user_data);
    // Notified under the lock: the waiter frees this object once it sees `done`.
    os::MutexLock lock(self->mutex_);
    self->done_ = true;
    self->cv_.notify_all();
  }
  // libusb's time-out bounds the wait: the transfer always comes back.
  void Wait() {
    os::UniqueMutexLock lock(mutex_);
    cv_.wait(lock.Waitable(), [this]() REQUIRES(mutex_) { return done_; });
  }

 private:
  os::Mutex mutex_;
  std::condition_variable_any cv_;
  bool done_ GUARDED_BY(mutex_) = false;
};

}  // namespace

// One opened device: one libusb handle and one claim of interface 0, shared
// by every handle on the device.
struct DeviceConn {
  libusb_device* device;  // referenced by the open libusb handle
  libusb_device_handle* handle;
  int refs;
};

struct HandleState;

// One bulk transfer.  Held by its handle's list until its callback has run,
// and by whoever is cancelling it, so that libusb_cancel_transfer never
// meets freed memory.
struct Transfer {
  LibusbDriver::Impl* impl = nullptr;
  HandleState* owner = nullptr;  // outlives the transfer: Close waits for it
  libusb_transfer* xfer = nullptr;
  os::IoCompletion* done = nullptr;
  bool submitted = false;        // guarded by the driver's mutex
  bool cancelRequested = false;  // guarded by the driver's mutex
  ~Transfer() {
    if (xfer) libusb_free_transfer(xfer);
  }
};

// One open handle.  Holds one reference on its device's connection.
struct HandleState {
  HandleState(LibusbDriver::Impl* i, DeviceConn* c, HandleKind k, std::uint8_t e)
      : impl(i), conn(c), kind(k), endpoint(e) {}
  ~HandleState();
  HandleState(const HandleState&) = delete;
  HandleState& operator=(const HandleState&) = delete;

  LibusbDriver::Impl* const impl;
  DeviceConn* const conn;
  const HandleKind kind;
  const std::uint8_t endpoint;
  std::vector<std::shared_ptr<Transfer>> transfers;  // guarded by the driver's mutex
};

struct LibusbDriver::Impl {
  libusb_context* ctx = nullptr;
  libusb_hotplug_callback_handle hotplug = 0;
  bool hotplugRegistered = false;

  // Guards opening and the last release of a device, so that a new claim
  // never races the release of the old one.  Never held together with `mutex`.
  os::Mutex connMutex;
  std::map<libusb_device*, DeviceConn*> conns GUARDED_BY(connMutex);

  // Also guards each HandleState's transfers and each Transfer's flags.
  os::Mutex mutex;
  std::condition_variable_any changed;  // transfers finished
  std::condition_variable_any queued;   // device changes queued for the listeners, or stopping
  std::map<os::HANDLE, std::shared_ptr<HandleState>> handles GUARDED_BY(mutex);
  os::HANDLE nextHandle GUARDED_BY(mutex) = 1;
  // Attached displays (referenced) and their paths.
  std::map<libusb_device*, std::string> known GUARDED_BY(mutex);
  std::deque<std::pair<os::UINT, std::string>> events GUARDED_BY(mutex);
  os::drv::ListenerRegistry listeners;
  bool stopDispatch GUARDED_BY(mutex) = false;

  std::atomic<bool> stopEvents{false};
  std::thread eventThread;
  std::thread dispatchThread;

  // ---- devices -------------------------------------------------------------

  // The shared connection to `device`, opened and claimed if it is the first.
  DeviceConn* Acquire(libusb_device* device, int* error) {
    os::MutexLock lock(connMutex);
    auto it = conns.find(device);
    if (it != conns.end()) {
      ++it->second->refs;
      return it->second;
    }
    libusb_device_handle* handle = nullptr;
    int r = libusb_open(device, &handle);
    if (r == 0) {
      // A kernel driver bound to the interface gives way while we hold it.
      libusb_set_auto_detach_kernel_driver(handle, 1);
      r = libusb_claim_interface(handle, kInterface);
      if (r != 0) libusb_close(handle);
    }
    if (r != 0) {
      *error = r;
      return nullptr;
    }
    auto* conn = new DeviceConn{device, handle, 1};
    conns.emplace(device, conn);
    return conn;
  }

  void Release(DeviceConn* conn) {
    os::MutexLock lock(connMutex);
    if (--conn->refs > 0) return;
    conns.erase(conn->device);
    libusb_release_interface(conn->handle, kInterface);  // fails harmlessly on a device that left
    libusb_close(conn->handle);
    delete conn;
  }

  std::shared_ptr<HandleState> Find(os::HANDLE h) {
    os::MutexLock lock(mutex);
    auto it = handles.find(h);
    return it == handles.end() ? nullptr : it->second;
  }

  // ---- transfers -----------------------------------------------------------

  static void LIBUSB_CALL TransferDone(libusb_transfer* xfer) {
    auto* t = static_cast<Transfer*>(xfer->user_data);
    t->done->Complete(detail::TransferError(xfer->status), static_cast<os::DWORD>(std::max(xfer->actual_length, 0)));
    t->impl->Forget(t);
  }

  // Takes a finished transfer off its handle; its canceller may go on.
  void Forget(Transfer* t) {
    std::shared_ptr<Transfer> last;  // freed outside the lock
    {
      os::MutexLock lock(mutex);
      auto& list = t->owner->transfers;
      auto it = std::find_if(list.begin(), list.end(), [t](const auto& p) { return p.get() == t; });
      if (it != list.end()) {
        last = std::move(*it);
        list.erase(it);
      }
    }
    changed.notify_all();
  }

  bool Start(os::HANDLE handle, HandleKind kind, void* buffer, os::DWORD length, os::IoCompletion* done) {
    auto h = Find(handle);
    if (!h || h->kind != kind || done == nullptr || (buffer == nullptr && length > 0) || length > INT_MAX) {
      os::SetLastError(os::ERROR_INVALID_PARAMETER);
      return false;
    }
    auto t = std::make_shared<Transfer>();
    t->impl = this;
    t->owner = h.get();
    t->done = done;
    t->xfer = libusb_alloc_transfer(0);
    if (t->xfer == nullptr) {
      os::SetLastError(os::ERROR_GEN_FAILURE);
      return false;
    }
    // No time-out: a read waits for the display to speak, and Cancel ends it.
    libusb_fill_bulk_transfer(t->xfer, h->conn->handle, h->endpoint, static_cast<unsigned char*>(buffer),
                              static_cast<int>(length), &Impl::TransferDone, t.get(), 0);
    {
      os::MutexLock lock(mutex);
      h->transfers.push_back(t);  // listed first: the callback may run before submit returns
    }
    const int r = libusb_submit_transfer(t->xfer);
    bool cancel = false;
    {
      os::MutexLock lock(mutex);
      if (r != 0) {
        std::erase(h->transfers, t);
      } else {
        t->submitted = true;
        cancel = t->cancelRequested;  // a Cancel came while it was being submitted
      }
    }
    if (r != 0) {
      changed.notify_all();
      os::SetLastError(detail::SubmitError(r));
      return false;
    }
    if (cancel) libusb_cancel_transfer(t->xfer);
    return true;
  }

  void Cancel(const std::shared_ptr<HandleState>& h) {
    for (;;) {
      std::vector<std::shared_ptr<Transfer>> toCancel;
      {
        os::MutexLock lock(mutex);
        if (h->transfers.empty()) return;
        for (auto& t : h->transfers) {
          t->cancelRequested = true;
          if (t->submitted) toCancel.push_back(t);
        }
      }
      // A transfer that has finished meanwhile answers NOT_FOUND; that is fine.
      for (auto& t : toCancel) libusb_cancel_transfer(t->xfer);
      // The event thread itself cannot wait for the callbacks it would run.
      if (tlEventThreadOf == this) return;
      os::UniqueMutexLock lock(mutex);
      if (changed.wait_for(lock.Waitable(), std::chrono::milliseconds(kCancelSliceMs),
                           [&] { return h->transfers.empty(); })) {
        return;
      }
    }
  }

  // ---- threads -------------------------------------------------------------

  void RunEvents() {
    tlEventThreadOf = this;
    while (!stopEvents.load()) {
      timeval tv{kEventWaitSeconds, 0};
      const int r = libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
      if (r != 0 && r != LIBUSB_ERROR_INTERRUPTED && r != LIBUSB_ERROR_TIMEOUT) {
        // A failing poll must not turn into a busy loop.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
  }

  static int LIBUSB_CALL HotplugCallback(libusb_context*, libusb_device* device, libusb_hotplug_event event,
                                         void* user) {
    static_cast<Impl*>(user)->OnHotplug(device, event);
    return 0;
  }

  // Inside libusb's event handling: only note the change and queue it; the
  // listeners run on the dispatch thread, where they may open devices.
  void OnHotplug(libusb_device* device, libusb_hotplug_event event) {
    if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) {
      Described d;
      if (!Describe(device, &d) || !d.ok) return;
      {
        os::MutexLock lock(mutex);
        // libusb may announce a device already found at start-up.
        if (!known.emplace(device, d.path).second) return;
        libusb_ref_device(device);
        events.emplace_back(os::DBT_DEVICEARRIVAL, d.path);
      }
    } else {
      std::string path;
      bool wasKnown = false;
      {
        os::MutexLock lock(mutex);
        auto it = known.find(device);
        if (it != known.end()) {
          path = std::move(it->second);
          known.erase(it);
          wasKnown = true;
        }
      }
      if (wasKnown) {
        libusb_unref_device(device);
      } else {
        Described d;
        if (!Describe(device, &d) || !d.ok) return;
        path = d.path;
      }
      os::MutexLock lock(mutex);
      events.emplace_back(os::DBT_DEVICEREMOVECOMPLETE, std::move(path));
    }
    queued.notify_one();
  }

  void RunDispatch() {
    os::UniqueMutexLock lock(mutex);
    for (;;) {
      queued.wait(lock.Waitable(), [this]() REQUIRES(mutex) { return stopDispatch || !events.empty(); });
      if (stopDispatch) return;
      auto [type, path] = std::move(events.front());
      events.pop_front();
      lock.Unlock();
      listeners.Broadcast(type, path);
      lock.Lock();
    }
  }

  void StartUp() {
    if (libusb_init(&ctx) != 0) {
      ctx = nullptr;
      return;
    }
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
      hotplugRegistered = libusb_hotplug_register_callback(
                              ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
                              LIBUSB_HOTPLUG_NO_FLAGS, kDisplayVendorId, LIBUSB_HOTPLUG_MATCH_ANY,
                              LIBUSB_HOTPLUG_MATCH_ANY, &Impl::HotplugCallback, this, &hotplug) == LIBUSB_SUCCESS;
    }
    // The displays already attached, so that their removal can name them.
    {
      DeviceList list(ctx);
      for (auto& d : list.Displays()) {
        if (!d.ok) continue;
        os::MutexLock lock(mutex);
        if (known.emplace(d.device, d.path).second) libusb_ref_device(d.device);
      }
    }
    dispatchThread = std::thread([this] { RunDispatch(); });
    eventThread = std::thread([this] { RunEvents(); });
  }

  void ShutDown() {
    if (ctx == nullptr) return;
    if (hotplugRegistered) libusb_hotplug_deregister_callback(ctx, hotplug);

    // Every transfer still outstanding ends, and every device is released,
    // while the event thread still delivers the callbacks.
    std::map<os::HANDLE, std::shared_ptr<HandleState>> all;
    {
      os::MutexLock lock(mutex);
      all.swap(handles);
    }
    for (auto& [id, h] : all) Cancel(h);
    all.clear();

    stopEvents.store(true);
    libusb_interrupt_event_handler(ctx);
    eventThread.join();
    {
      os::MutexLock lock(mutex);
      stopDispatch = true;
    }
    queued.notify_one();
    dispatchThread.join();

    {
      // Both threads have ended; the lock only keeps the analysis' rule.
      os::MutexLock lock(mutex);
      for (auto& [device, path] : known) libusb_unref_device(device);
      known.clear();
    }
    libusb_exit(ctx);
    ctx = nullptr;
  }
};

HandleState::~HandleState() { impl->Release(conn); }

// ---- LibusbDriver ------------------------------------------------------------

LibusbDriver::LibusbDriver() : impl_(std::make_unique<Impl>()) { impl_->StartUp(); }

LibusbDriver::~LibusbDriver() { impl_->ShutDown(); }

bool LibusbDriver::HasUsb() const { return impl_->ctx != nullptr; }

os::EnumResult LibusbDriver::EnumInterface(const os::GUID& interfaceClass, os::DWORD index, std::string* path) {
  if (!(interfaceClass == kDisplayInterfaceClass)) return os::EnumResult::kNoMoreItems;
  const auto displays = DeviceList(impl_->ctx).Displays();
  if (index >= displays.size()) return os::EnumResult::kNoMoreItems;
  if (!displays[index].ok) return os::EnumResult::kError;
  if (path) *path = displays[index].path;
  return os::EnumResult::kOk;
}

os::HANDLE LibusbDriver::Open(const std::string& path, bool /*overlapped*/) {
  const auto wanted = os::drv::ParseOpenPath(path);
  if (!wanted) {
    os::SetLastError(os::ERROR_FILE_NOT_FOUND);
    return os::INVALID_HANDLE_VALUE;
  }
  const std::string& devicePath = wanted->devicePath;
  const HandleKind kind = wanted->target == os::drv::Target::kOutPipe  ? HandleKind::kOutPipe
                          : wanted->target == os::drv::Target::kInPipe ? HandleKind::kInPipe
                                                                       : HandleKind::kControl;

  DeviceList list(impl_->ctx);  // keeps the device referenced until it is opened
  const auto displays = list.Displays();
  const auto found = std::find_if(displays.begin(), displays.end(),
                                  [&](const Described& d) { return d.ok && os::SameText(d.path, devicePath); });
  if (found == displays.end()) {
    os::SetLastError(os::ERROR_FILE_NOT_FOUND);
    return os::INVALID_HANDLE_VALUE;
  }
  std::uint8_t endpoint = 0;
  if (kind != HandleKind::kControl) {
    endpoint = FindBulkEndpoint(found->device, kind == HandleKind::kInPipe);
    if (endpoint == 0) {
      // The device is there but offers no such endpoint.
      os::SetLastError(os::ERROR_FILE_NOT_FOUND);
      return os::INVALID_HANDLE_VALUE;
    }
  }
  int error = 0;
  DeviceConn* conn = impl_->Acquire(found->device, &error);
  if (conn == nullptr) {
    os::SetLastError(detail::OpenError(error));
    return os::INVALID_HANDLE_VALUE;
  }
  auto state = std::make_shared<HandleState>(impl_.get(), conn, kind, endpoint);
  os::MutexLock lock(impl_->mutex);
  const os::HANDLE h = impl_->nextHandle++;
  impl_->handles.emplace(h, std::move(state));
  return h;
}

void LibusbDriver::Close(os::HANDLE handle) {
  auto h = impl_->Find(handle);
  if (!h) return;
  impl_->Cancel(h);
  os::MutexLock lock(impl_->mutex);
  impl_->handles.erase(handle);
  // `h` releases the device after the lock, when the last user lets go.
}

bool LibusbDriver::IoControl(os::HANDLE handle, os::DWORD code, const void* in, os::DWORD inSize, void* out,
                             os::DWORD outSize, os::DWORD* returned) {
  if (returned) *returned = 0;
  auto h = impl_->Find(handle);
  if (!h || h->kind != HandleKind::kControl) {
    os::SetLastError(os::ERROR_INVALID_HANDLE);
    return false;
  }
  const bool read = code == os::kIoctlVendorRead;
  if ((!read && code != os::kIoctlVendorWrite) || in == nullptr || inSize != 8 || outSize > kMaxControlData ||
      (outSize > 0 && out == nullptr)) {
    os::SetLastError(os::ERROR_INVALID_PARAMETER);
    return false;
  }
  std::uint8_t record[8];
  std::copy_n(static_cast<const std::uint8_t*>(in), 8, record);
  const auto setup = detail::DecodeVendorRequest(record, read);

  // Asynchronous with a time-out, completed by the event thread, rather than
  // libusb's synchronous call: that one hands the transfer back to this
  // thread through a flag no lock orders, so the event thread may still be
  // inside the transfer when it is freed here.
  std::vector<unsigned char> buffer(LIBUSB_CONTROL_SETUP_SIZE + outSize);
  libusb_fill_control_setup(buffer.data(), setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex,
                            static_cast<std::uint16_t>(outSize));
  if (!read && outSize > 0)
    std::copy_n(static_cast<const unsigned char*>(out), outSize, buffer.data() + LIBUSB_CONTROL_SETUP_SIZE);
  ControlWait wait;
  libusb_transfer* xfer = libusb_alloc_transfer(0);
  if (xfer == nullptr) {
    os::SetLastError(os::ERROR_GEN_FAILURE);
    return false;
  }
  libusb_fill_control_transfer(xfer, h->conn->handle, buffer.data(), &ControlWait::Done, &wait, kControlTimeoutMs);
  const int r = libusb_submit_transfer(xfer);
  if (r == 0) wait.Wait();
  const os::DWORD error = r != 0 ? detail::SubmitError(r) : detail::TransferError(xfer->status);
  const int moved = xfer->actual_length;
  libusb_free_transfer(xfer);
  if (error != os::ERROR_SUCCESS) {
    os::SetLastError(error);
    return false;
  }
  if (read && moved > 0)
    std::copy_n(buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, moved, static_cast<unsigned char*>(out));
  if (returned) *returned = static_cast<os::DWORD>(moved);
  return true;
}

bool LibusbDriver::StartRead(os::HANDLE h, void* buffer, os::DWORD length, os::IoCompletion* done) {
  return impl_->Start(h, HandleKind::kInPipe, buffer, length, done);
}

bool LibusbDriver::StartWrite(os::HANDLE h, const void* buffer, os::DWORD length, os::IoCompletion* done) {
  // libusb takes a mutable buffer for both directions; an OUT transfer only reads it.
  return impl_->Start(h, HandleKind::kOutPipe, const_cast<void*>(buffer), length, done);
}

void LibusbDriver::Cancel(os::HANDLE handle) {
  if (auto h = impl_->Find(handle)) impl_->Cancel(h);
}

int LibusbDriver::AddDeviceListener(os::DeviceChangeListener listener) {
  return impl_->listeners.Add(std::move(listener));
}

void LibusbDriver::RemoveDeviceListener(int id) { impl_->listeners.Remove(id); }

}  // namespace usbdrv
