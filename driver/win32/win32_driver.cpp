#include "driver/win32/win32_driver.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "driver/driver_support.h"
#include "display/display_class.h"

namespace {

// Our mirrored names, taken before <windows.h> turns its own into macros.
using DvHandle = os::HANDLE;
constexpr DvHandle kDvInvalidHandle = os::INVALID_HANDLE_VALUE;
constexpr os::DWORD kDvSuccess = os::ERROR_SUCCESS;
constexpr os::DWORD kDvFileNotFound = os::ERROR_FILE_NOT_FOUND;
constexpr os::DWORD kDvInvalidHandleError = os::ERROR_INVALID_HANDLE;
constexpr os::DWORD kDvGenFailure = os::ERROR_GEN_FAILURE;
constexpr os::DWORD kDvInvalidParameter = os::ERROR_INVALID_PARAMETER;
constexpr os::DWORD kDvOperationAborted = os::ERROR_OPERATION_ABORTED;
constexpr os::DWORD kDvDeviceNotConnected = os::ERROR_DEVICE_NOT_CONNECTED;
constexpr os::DWORD kDvAccessDenied = os::ERROR_ACCESS_DENIED;
constexpr os::DWORD kDvBusy = os::ERROR_BUSY;
constexpr os::DWORD kDvSemTimeout = os::ERROR_SEM_TIMEOUT;
constexpr os::UINT kDvArrival = os::DBT_DEVICEARRIVAL;
constexpr os::UINT kDvRemoval = os::DBT_DEVICEREMOVECOMPLETE;
constexpr os::DWORD kDvVendorRead = os::kIoctlVendorRead;
constexpr os::DWORD kDvVendorWrite = os::kIoctlVendorWrite;
const os::GUID kDvDisplayClass = kDisplayInterfaceClass;

}  // namespace

// clang-format off
#include <windows.h>
#include <dbt.h>
#include <setupapi.h>
// clang-format on

#ifndef ERROR_NO_SUCH_DEVICE
#define ERROR_NO_SUCH_DEVICE 433L  // not in every SDK's winerror.h
#endif

namespace win32drv {

namespace {

using os::drv::Target;

// The vendor request record is 8 bytes; a control transfer's data stage at
// most 4096.
constexpr DWORD kVendorRequestSize = 8;
constexpr DWORD kMaxControlData = 4096;

GUID ToWindows(const os::GUID& g) {
  GUID w;
  w.Data1 = g.Data1;
  w.Data2 = g.Data2;
  w.Data3 = g.Data3;
  std::memcpy(w.Data4, g.Data4, sizeof w.Data4);
  return w;
}

// One handle the driver layer gave out.
struct HandleState {
  HANDLE file = INVALID_HANDLE_VALUE;
  Target target = Target::kControl;
  // Transfers handed to the driver whose completion routine has not run yet.
  // Under Impl::mutex.
  int outstanding = 0;
};

struct Transfer;

}  // namespace

struct Win32Driver::Impl {
  std::mutex mutex;
  std::condition_variable changed;  // a transfer completed, or the thread started or stopped
  std::map<DvHandle, std::shared_ptr<HandleState>> handles;
  DvHandle nextHandle = 0x1000;

  os::drv::ListenerRegistry listeners;

  std::thread thread;
  std::atomic<DWORD> threadId{0};
  HANDLE threadHandle = nullptr;  // for QueueUserAPC; valid while the thread runs
  bool running = false;           // under mutex
  bool stopping = false;          // set by the stop request, on the thread itself
  bool registered = false;        // device notifications are on

  std::shared_ptr<HandleState> Find(DvHandle h) {
    std::lock_guard lock(mutex);
    auto it = handles.find(h);
    return it == handles.end() ? nullptr : it->second;
  }

  bool OnOwnThread() const { return GetCurrentThreadId() == threadId.load(); }

  void Run(std::mutex& readyMutex, std::condition_variable& ready, bool& started);
  // Runs `work` on the back end's thread (at once when called there) and
  // waits until it has run.  false when the thread is not running.
  bool RunOnThread(const std::function<void()>& work);
  // Hands the transfer to the driver, on the back end's thread.  false when
  // Windows took nothing (no routine will run), with its error in *error.
  bool Issue(Transfer* transfer, DWORD* error);
};

namespace {

// One ReadFileEx / WriteFileEx.  The OVERLAPPED comes first, so the
// completion routine finds the rest from the pointer Windows hands back.
struct Transfer {
  OVERLAPPED overlapped{};
  Win32Driver::Impl* impl = nullptr;
  std::shared_ptr<HandleState> handle;
  os::IoCompletion* done = nullptr;
  void* buffer = nullptr;
  DWORD length = 0;
  bool write = false;
};

void Finish(Transfer* transfer, DWORD windowsError, DWORD transferred) {
  // The owner learns first; only then may Cancel or Close return, and with
  // them the owner reuse the buffer.
  transfer->done->Complete(TransferError(windowsError), transferred);
  Win32Driver::Impl* impl = transfer->impl;
  {
    std::lock_guard lock(impl->mutex);
    --transfer->handle->outstanding;
  }
  impl->changed.notify_all();
  delete transfer;
}

VOID CALLBACK Completed(DWORD error, DWORD transferred, LPOVERLAPPED overlapped) {
  Finish(reinterpret_cast<Transfer*>(overlapped), error, transferred);
}

struct Work {
  const std::function<void()>* work;
  std::mutex* mutex;
  std::condition_variable* cv;
  bool* done;
};

VOID CALLBACK RunWork(ULONG_PTR parameter) {
  auto* w = reinterpret_cast<Work*>(parameter);
  (*w->work)();
  {
    std::lock_guard lock(*w->mutex);
    *w->done = true;
  }
  w->cv->notify_all();
}

VOID CALLBACK Stop(ULONG_PTR impl) { reinterpret_cast<Win32Driver::Impl*>(impl)->stopping = true; }

LRESULT CALLBACK NotifyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DEVICECHANGE && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) &&
      lParam != 0) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    auto* impl = reinterpret_cast<Win32Driver::Impl*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (impl != nullptr && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
      const auto* iface = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(header);
      impl->listeners.Broadcast(wParam == DBT_DEVICEARRIVAL ? kDvArrival : kDvRemoval, iface->dbcc_name);
    }
    return TRUE;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

constexpr char kNotifyClass[] = "DotvaneDeviceNotify";

}  // namespace

void Win32Driver::Impl::Run(std::mutex& readyMutex, std::condition_variable& ready, bool& started) {
  threadId = GetCurrentThreadId();
  HANDLE self = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);

  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = NotifyProc;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = kNotifyClass;
  RegisterClassA(&windowClass);  // fails harmlessly when a second driver registers it again
  HWND window = CreateWindowExA(0, kNotifyClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
  HDEVNOTIFY notification = nullptr;
  if (window != nullptr) {
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = ToWindows(kDvDisplayClass);
    notification = RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  }
  {
    std::lock_guard lock(readyMutex);
    threadHandle = self;
    registered = notification != nullptr;
    {
      std::lock_guard own(mutex);
      running = self != nullptr;
    }
    started = true;
  }
  ready.notify_all();

  // Messages (WM_DEVICECHANGE) and queued work and completion routines
  // (APCs, which run inside this alertable wait) until asked to stop.
  while (self != nullptr && !stopping) {
    MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, MWMO_ALERTABLE | MWMO_INPUTAVAILABLE);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
  // Transfers still out (their owners did not close their handles) must
  // hand their buffers back before the thread that runs their routines goes.
  for (;;) {
    {
      std::lock_guard lock(mutex);
      bool any = false;
      for (auto& [id, handle] : handles) {
        if (handle->outstanding > 0) {
          CancelIo(handle->file);
          any = true;
        }
      }
      if (!any) break;
    }
    SleepEx(kCancelSliceMs, TRUE);
  }
  if (notification != nullptr) UnregisterDeviceNotification(notification);
  if (window != nullptr) DestroyWindow(window);
  {
    std::lock_guard lock(mutex);
    running = false;
  }
  changed.notify_all();
}

bool Win32Driver::Impl::RunOnThread(const std::function<void()>& work) {
  if (OnOwnThread()) {
    work();
    return true;
  }
  {
    std::lock_guard lock(mutex);
    if (!running) return false;
  }
  std::mutex doneMutex;
  std::condition_variable doneCv;
  bool done = false;
  Work w{&work, &doneMutex, &doneCv, &done};
  if (!QueueUserAPC(RunWork, threadHandle, reinterpret_cast<ULONG_PTR>(&w))) return false;
  // The thread spends its life in an alertable wait, so the work runs at
  // once.  Each slice checks that the thread still runs: one that has left
  // its loop runs no more APCs, and `w` may then be let go.
  std::unique_lock lock(doneMutex);
  while (!doneCv.wait_for(lock, std::chrono::milliseconds(kCancelSliceMs), [&] { return done; })) {
    std::lock_guard own(mutex);
    if (!running) return false;
  }
  return true;
}

bool Win32Driver::Impl::Issue(Transfer* transfer, DWORD* error) {
  BOOL ok = transfer->write ? WriteFileEx(transfer->handle->file, transfer->buffer, transfer->length,
                                          &transfer->overlapped, Completed)
                            : ReadFileEx(transfer->handle->file, transfer->buffer, transfer->length,
                                         &transfer->overlapped, Completed);
  if (ok) return true;
  // Nothing was queued: no routine will run for it.
  *error = GetLastError();
  {
    std::lock_guard lock(mutex);
    --transfer->handle->outstanding;
  }
  changed.notify_all();
  delete transfer;
  return false;
}

// ---- Errors ------------------------------------------------------------------

os::DWORD OpenError(os::DWORD windowsError) {
  switch (windowsError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
      return kDvFileNotFound;
    case ERROR_ACCESS_DENIED:
      return kDvAccessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return kDvBusy;
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_NO_SUCH_DEVICE:
      return kDvDeviceNotConnected;
    default:
      return kDvGenFailure;
  }
}

os::DWORD TransferError(os::DWORD windowsError) {
  switch (windowsError) {
    case ERROR_SUCCESS:
      return kDvSuccess;
    case ERROR_OPERATION_ABORTED:
      return kDvOperationAborted;
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_NO_SUCH_DEVICE:
    case ERROR_BAD_COMMAND:  // what a driver answers on a handle whose device has gone
      return kDvDeviceNotConnected;
    case ERROR_SEM_TIMEOUT:
      return kDvSemTimeout;
    case ERROR_INVALID_HANDLE:
      return kDvInvalidHandleError;
    case ERROR_INVALID_PARAMETER:
      return kDvInvalidParameter;
    default:
      return kDvGenFailure;
  }
}

// ---- The driver ----------------------------------------------------------------

Win32Driver::Win32Driver() : impl_(std::make_unique<Impl>()) {
  std::mutex readyMutex;
  std::condition_variable ready;
  bool started = false;
  impl_->thread = std::thread([this, &readyMutex, &ready, &started] { impl_->Run(readyMutex, ready, started); });
  // Creating a message-only window and registering for notifications takes
  // milliseconds; the thread signals even when either fails.
  std::unique_lock lock(readyMutex);
  ready.wait(lock, [&] { return started; });
}

Win32Driver::~Win32Driver() {
  std::vector<DvHandle> open;
  {
    std::lock_guard lock(impl_->mutex);
    for (auto& [id, handle] : impl_->handles) open.push_back(id);
  }
  for (DvHandle h : open) Close(h);
  // The thread sits in an alertable wait for its whole life, so the request
  // always reaches it.
  if (impl_->threadHandle != nullptr) QueueUserAPC(Stop, impl_->threadHandle, reinterpret_cast<ULONG_PTR>(impl_.get()));
  if (impl_->thread.joinable()) impl_->thread.join();
  if (impl_->threadHandle != nullptr) CloseHandle(impl_->threadHandle);
}

bool Win32Driver::Started() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->running && impl_->registered;
}

os::EnumResult Win32Driver::EnumInterface(const os::GUID& interfaceClass, os::DWORD index, std::string* path) {
  const GUID windowsClass = ToWindows(interfaceClass);
  HDEVINFO set = SetupDiGetClassDevsA(&windowsClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return os::EnumResult::kNoMoreItems;  // no driver serves the class
  os::EnumResult result = os::EnumResult::kError;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  if (!SetupDiEnumDeviceInterfaces(set, nullptr, &windowsClass, index, &data)) {
    if (GetLastError() == ERROR_NO_MORE_ITEMS) result = os::EnumResult::kNoMoreItems;
  } else {
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
    if (required >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
      std::vector<unsigned char> storage(required);
      auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
      if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr)) {
        *path = detail->DevicePath;
        result = os::EnumResult::kOk;
      }
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return result;
}

os::HANDLE Win32Driver::Open(const std::string& path, bool /*overlapped*/) {
  const auto target = os::drv::ParseOpenPath(path);
  if (!target) {
    os::SetLastError(kDvFileNotFound);
    return kDvInvalidHandle;
  }
  // Always overlapped: every handle may carry completion-routine transfers
  // and bounded control requests.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    os::SetLastError(OpenError(GetLastError()));
    return kDvInvalidHandle;
  }
  auto state = std::make_shared<HandleState>();
  state->file = file;
  state->target = target->target;
  std::lock_guard lock(impl_->mutex);
  const DvHandle h = impl_->nextHandle++;
  impl_->handles[h] = state;
  return h;
}

void Win32Driver::Close(os::HANDLE h) {
  Cancel(h);
  std::shared_ptr<HandleState> state;
  {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->handles.find(h);
    if (it == impl_->handles.end()) return;
    state = it->second;
    impl_->handles.erase(it);
  }
  CloseHandle(state->file);
}

bool Win32Driver::IoControl(os::HANDLE h, os::DWORD code, const void* in, os::DWORD inSize, void* out,
                            os::DWORD outSize, os::DWORD* returned) {
  if (returned != nullptr) *returned = 0;
  auto state = impl_->Find(h);
  if (!state || state->target != Target::kControl) {
    os::SetLastError(kDvInvalidHandleError);
    return false;
  }
  if ((code != kDvVendorRead && code != kDvVendorWrite) || inSize != kVendorRequestSize || in == nullptr ||
      outSize > kMaxControlData || (outSize > 0 && out == nullptr)) {
    os::SetLastError(kDvInvalidParameter);
    return false;
  }
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (overlapped.hEvent == nullptr) {
    os::SetLastError(kDvGenFailure);
    return false;
  }
  // Both codes take the data stage as the output buffer: the driver maps it
  // for reading (METHOD_OUT_DIRECT) or writing (METHOD_IN_DIRECT).
  DWORD moved = 0;
  DWORD error = ERROR_SUCCESS;
  if (!DeviceIoControl(state->file, code, const_cast<void*>(in), inSize, out, outSize, &moved, &overlapped)) {
    error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      error = ERROR_SUCCESS;
      bool timedOut = WaitForSingleObject(overlapped.hEvent, kControlTimeoutMs) == WAIT_TIMEOUT;
      // Cancelling only asks: the buffers stay the driver's until it has
      // completed the request.
      while (timedOut && WaitForSingleObject(overlapped.hEvent, kCancelSliceMs) == WAIT_TIMEOUT) {
        CancelIoEx(state->file, &overlapped);
      }
      if (!GetOverlappedResult(state->file, &overlapped, &moved, TRUE)) error = GetLastError();
      if (timedOut) error = ERROR_SEM_TIMEOUT;
    }
  }
  CloseHandle(overlapped.hEvent);
  if (error != ERROR_SUCCESS) {
    os::SetLastError(TransferError(error));
    return false;
  }
  if (returned != nullptr) *returned = moved;
  return true;
}

namespace {

bool StartTransfer(Win32Driver::Impl& impl, os::HANDLE h, void* buffer, DWORD length, os::IoCompletion* done,
                   bool write) {
  auto state = impl.Find(h);
  if (!state || state->target != (write ? Target::kOutPipe : Target::kInPipe) || done == nullptr) {
    os::SetLastError(kDvInvalidParameter);
    return false;
  }
  auto* transfer = new Transfer;
  transfer->impl = &impl;
  transfer->handle = state;
  transfer->done = done;
  transfer->buffer = buffer;
  transfer->length = length;
  transfer->write = write;
  {
    std::lock_guard lock(impl.mutex);
    ++state->outstanding;
  }
  // Issued on the back end's thread, whose alertable wait runs the
  // completion routines: a routine runs only on the thread that issued.
  DWORD issueError = ERROR_SUCCESS;
  bool issued = false;
  const bool ran = impl.RunOnThread([&] { issued = impl.Issue(transfer, &issueError); });
  if (!ran) {
    {
      std::lock_guard lock(impl.mutex);
      --state->outstanding;
    }
    delete transfer;
    os::SetLastError(kDvGenFailure);
    return false;
  }
  if (!issued) {
    os::SetLastError(TransferError(issueError));
    return false;
  }
  return true;
}

}  // namespace

bool Win32Driver::StartRead(os::HANDLE h, void* buffer, os::DWORD length, os::IoCompletion* done) {
  return StartTransfer(*impl_, h, buffer, length, done, false);
}

bool Win32Driver::StartWrite(os::HANDLE h, const void* buffer, os::DWORD length, os::IoCompletion* done) {
  return StartTransfer(*impl_, h, const_cast<void*>(buffer), length, done, true);
}

void Win32Driver::Cancel(os::HANDLE h) {
  auto state = impl_->Find(h);
  if (!state) return;
  // CancelIo acts on the calling thread's own requests: it is asked on the
  // back end's thread, which issued them.
  const auto ask = [&] { CancelIo(state->file); };
  if (impl_->OnOwnThread()) {
    ask();  // the routines run in this thread's next alertable wait
    return;
  }
  std::unique_lock lock(impl_->mutex);
  while (state->outstanding > 0 && impl_->running) {
    lock.unlock();
    impl_->RunOnThread(ask);
    lock.lock();
    impl_->changed.wait_for(lock, std::chrono::milliseconds(kCancelSliceMs),
                            [&] { return state->outstanding == 0 || !impl_->running; });
  }
}

int Win32Driver::AddDeviceListener(os::DeviceChangeListener listener) {
  return impl_->listeners.Add(std::move(listener));
}

void Win32Driver::RemoveDeviceListener(int id) { impl_->listeners.Remove(id); }

}  // namespace win32drv
