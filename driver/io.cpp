#include "driver/io.h"

#include <cstring>
#include <map>

namespace os {

// ---- Device-interface enumeration --------------------------------------

struct DeviceInfoSet {
  Driver* driver;
  GUID interfaceClass;
  std::map<DWORD, std::string> paths;  // members seen by the enumeration so far
};

HDEVINFO SetupDiGetClassDevs(const GUID* interfaceClass, DWORD /*flags*/) {
  Driver* driver = CurrentDriver();
  if (driver == nullptr || interfaceClass == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return new DeviceInfoSet{driver, *interfaceClass, {}};
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, const GUID* interfaceClass, DWORD memberIndex,
                                 SP_DEVICE_INTERFACE_DATA* data) {
  if (set == nullptr || interfaceClass == nullptr || data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string path;
  switch (set->driver->EnumInterface(*interfaceClass, memberIndex, &path)) {
    case EnumResult::kOk:
      set->paths[memberIndex] = std::move(path);
      data->InterfaceClassGuid = *interfaceClass;
      data->index = memberIndex;
      return 1;
    case EnumResult::kNoMoreItems:
      SetLastError(ERROR_NO_MORE_ITEMS);
      return 0;
    case EnumResult::kError:
      break;
  }
  SetLastError(ERROR_GEN_FAILURE);
  return 0;
}

BOOL SetupDiGetDeviceInterfaceDetail(HDEVINFO set, const SP_DEVICE_INTERFACE_DATA* data, char* devicePath,
                                     DWORD size, DWORD* requiredSize) {
  if (set == nullptr || data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const auto found = set->paths.find(data->index);
  if (found == set->paths.end()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return 0;
  }
  const DWORD needed = static_cast<DWORD>(found->second.size() + 1);
  if (requiredSize != nullptr) *requiredSize = needed;
  if (devicePath == nullptr || size < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(devicePath, found->second.c_str(), needed);
  return 1;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  delete set;
  return set != nullptr;
}

// ---- Handles and control calls -----------------------------------------

HANDLE CreateFile(const char* path, DWORD flagsAndAttributes) {
  Driver* driver = CurrentDriver();
  if (driver == nullptr || path == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return driver->Open(path, (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0);
}

BOOL CloseHandle(HANDLE h) {
  Driver* driver = CurrentDriver();
  if (!IsOpenHandle(h) || driver == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  driver->Close(h);
  return 1;
}

BOOL DeviceIoControl(HANDLE h, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                     DWORD* returned) {
  Driver* driver = CurrentDriver();
  DWORD moved = 0;
  if (!IsOpenHandle(h) || driver == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    if (returned != nullptr) *returned = 0;
    return 0;
  }
  const bool ok = driver->IoControl(h, code, in, inSize, out, outSize, &moved);
  if (returned != nullptr) *returned = moved;
  return ok ? 1 : 0;
}

// ---- Overlapped I/O -----------------------------------------------------

namespace {

// One transfer in flight.  The back end completes it exactly once, from any
// thread; the routine is then queued to the thread that started it.
class PendingTransfer final : public IoCompletion {
 public:
  PendingTransfer(OVERLAPPED* overlapped, LPOVERLAPPED_COMPLETION_ROUTINE routine)
      : context_(CurrentThreadContext()), overlapped_(overlapped), routine_(routine) {}

  void Complete(DWORD error, DWORD transferred) override {
    auto routine = routine_;
    auto overlapped = overlapped_;
    QueueCompletion(context_, [routine, overlapped, error, transferred] { routine(error, transferred, overlapped); });
    delete this;
  }

  // For a transfer the back end refused to start: nothing will complete it.
  void Discard() { delete this; }

 private:
  ~PendingTransfer() = default;
  std::shared_ptr<detail::ThreadContext> context_;
  OVERLAPPED* overlapped_;
  LPOVERLAPPED_COMPLETION_ROUTINE routine_;
};

template <typename Start>
BOOL StartTransfer(HANDLE h, OVERLAPPED* overlapped, LPOVERLAPPED_COMPLETION_ROUTINE routine, Start start) {
  Driver* driver = CurrentDriver();
  if (!IsOpenHandle(h) || driver == nullptr || overlapped == nullptr || routine == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  auto* pending = new PendingTransfer(overlapped, routine);
  if (!start(*driver, pending)) {
    pending->Discard();
    return 0;
  }
  return 1;
}

}  // namespace

BOOL ReadFileEx(HANDLE h, void* buffer, DWORD length, OVERLAPPED* overlapped,
                LPOVERLAPPED_COMPLETION_ROUTINE routine) {
  return StartTransfer(h, overlapped, routine, [&](Driver& driver, IoCompletion* done) {
    return driver.StartRead(h, buffer, length, done);
  });
}

BOOL WriteFileEx(HANDLE h, const void* buffer, DWORD length, OVERLAPPED* overlapped,
                 LPOVERLAPPED_COMPLETION_ROUTINE routine) {
  return StartTransfer(h, overlapped, routine, [&](Driver& driver, IoCompletion* done) {
    return driver.StartWrite(h, buffer, length, done);
  });
}

BOOL CancelIo(HANDLE h) {
  Driver* driver = CurrentDriver();
  if (!IsOpenHandle(h) || driver == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  driver->Cancel(h);
  return 1;
}

}  // namespace os
