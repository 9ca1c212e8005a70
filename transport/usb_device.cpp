#include "transport/usb_device.h"

#include <cstring>
#include <string>
#include <vector>

#include "os/text_compare.h"
#include "display/display_class.h"

namespace {

// Discovery gives up after this many unreadable interfaces in a row, so a
// driver that keeps failing cannot keep the walk going for ever.
constexpr os::DWORD kMaxEnumerationErrorsInARow = 64;

VendorRequest MakeVendorRequest(std::uint8_t requestType, std::uint8_t recipient, std::uint8_t request,
                                std::uint16_t value, std::uint16_t index) {
  VendorRequest record;
  std::memset(&record, 0, sizeof record);
  record.requestType = requestType;
  record.recipient = recipient;
  record.request = request;
  record.value = value;  // little-endian on every platform we build for
  record.index = index;
  return record;
}

// `only`, when not empty, is the one interface path to open: any other
// display of the class is passed over.
os::HANDLE FindDeviceAndPath(const os::GUID& interfaceClass, std::string* path, const std::string& only = {}) {
  os::HANDLE found = os::INVALID_HANDLE_VALUE;
  // Why nothing could be opened: no display at all, or the first one that
  // was there but refused (no permission, held by another program).  The
  // caller reads it with GetLastError, so the user can be told.
  os::DWORD why = os::ERROR_FILE_NOT_FOUND;
  os::HDEVINFO set = os::SetupDiGetClassDevs(&interfaceClass, os::DIGCF_PRESENT | os::DIGCF_DEVICEINTERFACE);
  if (set == nullptr) {
    os::SetLastError(why);
    return found;
  }
  os::DWORD errorsInARow = 0;
  for (os::DWORD index = 0; errorsInARow < kMaxEnumerationErrorsInARow; ++index) {
    os::SP_DEVICE_INTERFACE_DATA data;
    if (!os::SetupDiEnumDeviceInterfaces(set, &interfaceClass, index, &data)) {
      if (os::GetLastError() == os::ERROR_NO_MORE_ITEMS) break;
      ++errorsInARow;
      continue;
    }
    errorsInARow = 0;
    os::DWORD required = 0;
    os::SetupDiGetDeviceInterfaceDetail(set, &data, nullptr, 0, &required);
    std::vector<char> detail(required == 0 ? 1 : required);
    if (!os::SetupDiGetDeviceInterfaceDetail(set, &data, detail.data(), static_cast<os::DWORD>(detail.size()),
                                             nullptr)) {
      continue;
    }
    if (!only.empty() && !os::SameText(only, detail.data())) continue;
    // The path stays with the caller even when the open below fails.
    path->assign(detail.data());
    const os::HANDLE h = os::CreateFile(detail.data(), 0);
    if (h != os::INVALID_HANDLE_VALUE) {
      found = h;
      break;
    }
    if (why == os::ERROR_FILE_NOT_FOUND) why = os::GetLastError();
  }
  os::SetupDiDestroyDeviceInfoList(set);
  os::SetLastError(found == os::INVALID_HANDLE_VALUE ? why : os::ERROR_SUCCESS);
  return found;
}

}  // namespace

os::HANDLE FindDevice(const os::GUID& interfaceClass, char* pathOut, std::size_t pathOutSize) {
  std::string path;
  const os::HANDLE h = FindDeviceAndPath(interfaceClass, &path);
  if (pathOut != nullptr && pathOutSize > 0) {
    // A path that does not fit is not cut short: a shortened path names another object.
    if (path.size() < pathOutSize) {
      std::memcpy(pathOut, path.c_str(), path.size() + 1);
    } else {
      pathOut[0] = '\0';
    }
  }
  return h;
}

os::HANDLE OpenPipe(const char* pipeName, const os::GUID& interfaceClass, int overlapped) {
  std::string devicePath;
  const os::HANDLE device = FindDeviceAndPath(interfaceClass, &devicePath);
  if (device == os::INVALID_HANDLE_VALUE) return os::INVALID_HANDLE_VALUE;
  os::CloseHandle(device);  // only the path is wanted
  return OpenPipeBeneath(devicePath, pipeName, overlapped);
}

os::HANDLE OpenPipeBeneath(const std::string& devicePath, const char* pipeName, int overlapped) {
  char path[kPipePathSize] = {};
  const std::size_t nameLength = std::strlen(pipeName);
  const std::size_t separatorLength = std::strlen(os::kPipeSeparator);
  if (devicePath.size() + separatorLength + nameLength + 1 > sizeof path) return os::INVALID_HANDLE_VALUE;
  std::memcpy(path, devicePath.data(), devicePath.size());
  std::memcpy(path + devicePath.size(), os::kPipeSeparator, separatorLength);
  std::memcpy(path + devicePath.size() + separatorLength, pipeName, nameLength + 1);
  return os::CreateFile(path, overlapped ? os::FILE_FLAG_OVERLAPPED : 0);
}

CUsbDevice::CUsbDevice() = default;

CUsbDevice::~CUsbDevice() {
  Close();
  if (m_readerThread) {
    // The reader did not end within Close's wait.  Every call it can block in
    // is bounded by itself (the consumer's hand-off, the driver's cancel), so
    // it ends soon; the channel must not be freed while it can still run.
    if (m_readerThread->Wait(kCloseWaitMs) != os::WAIT_OBJECT_0) m_readerThread->Wait(os::INFINITE);
    m_readerThread.reset();
    m_callbacks.store(nullptr);
  }
  if (os::IsOpenHandle(m_control)) os::CloseHandle(m_control);
  m_control = os::kNoHandle;
}

int CUsbDevice::Open(int /*unused*/, IDeviceCallbacks* callbacks) {
  // One channel serves one Open: anything held, the discovery-failed marker
  // included, refuses a second one.
  if (m_control != os::kNoHandle || m_inPipe.load() != os::kNoHandle || m_outPipe != os::kNoHandle) return 0;
  m_failed.store(0);

  std::string path;
  m_control = FindDeviceAndPath(kDisplayInterfaceClass, &path, m_only);
  if (m_control == os::INVALID_HANDLE_VALUE) return 0;
  m_path = path;

  // Bound to one display, the pipes are the ones beneath it, not beneath
  // whichever display a walk of the class finds first.
  const auto openPipe = [this, &path](const char* name) {
    return m_only.empty() ? OpenPipe(name, kDisplayInterfaceClass, 1) : OpenPipeBeneath(path, name, 1);
  };
  const os::HANDLE out = openPipe(os::kPipeOutName);
  m_outPipe = out == os::INVALID_HANDLE_VALUE ? os::kNoHandle : out;
  const os::HANDLE in = openPipe(os::kPipeInName);
  m_inPipe.store(in == os::INVALID_HANDLE_VALUE ? os::kNoHandle : in);

  m_callbacks.store(callbacks);
  if (callbacks != nullptr) callbacks->OnOpen();
  return 1;
}

int CUsbDevice::StartReader() {
  if (m_inPipe.load() == os::kNoHandle || m_readerThread) return 0;
  m_readerThread = os::Thread::Create([this] { return ReaderMain(); });
  return m_readerThread ? 1 : 0;
}

void CUsbDevice::Disconnect() {
  // The reader and a failing Write may get here at the same time; the
  // exchange lets exactly one of them report it.
  if (m_failed.exchange(1) == 0) {
    if (IDeviceCallbacks* callbacks = m_callbacks.load()) callbacks->OnDisconnect();
  }
}

void CUsbDevice::ReadCompleted(os::DWORD error, os::DWORD transferred, os::OVERLAPPED* overlapped) {
  auto* self = static_cast<CUsbDevice*>(overlapped->owner);
  if (self == nullptr) return;
  self->m_readCount = transferred;
  self->m_readError = error;
  self->m_readCompleted = 1;
}

void CUsbDevice::WriteCompleted(os::DWORD error, os::DWORD transferred, os::OVERLAPPED* overlapped) {
  auto* self = static_cast<CUsbDevice*>(overlapped->owner);
  if (self == nullptr) return;
  self->m_writeCount = transferred;
  self->m_writeError = error;
  self->m_writeCompleted = 1;
}

os::DWORD CUsbDevice::ReaderMain() {
  std::uint8_t buffer[kReadSize];
  const os::HANDLE inPipe = m_inPipe.load();
  os::OVERLAPPED overlapped;
  overlapped.owner = this;
  bool stop = false;

  while (!stop) {
    if (!os::ReadFileEx(inPipe, buffer, kReadSize, &overlapped, &CUsbDevice::ReadCompleted)) {
      Disconnect();
      break;
    }
    // The read's completion can only run inside the alertable wait below.
    m_readCompleted = 0;
    m_readError = 0;
    m_readCount = 0;

    for (;;) {
      if (stop) break;
      const os::DWORD result = os::WaitForSingleObjectEx(m_stopEvent, kReaderWaitMs, true);
      if (result == os::WAIT_OBJECT_0) {
        // Stop on request: the consumer hears of it as an empty chunk.
        os::CancelIo(inPipe);
        stop = true;
        if (IDeviceCallbacks* callbacks = m_callbacks.load()) callbacks->OnData(buffer, 0);
      } else if (result == os::WAIT_IO_COMPLETION) {
        if (m_readCompleted == 0) continue;  // another transfer's routine ran
        if (m_readCount > 0 && m_readError == 0) {
          if (IDeviceCallbacks* callbacks = m_callbacks.load()) {
            callbacks->OnData(buffer, static_cast<std::int32_t>(m_readCount));
          }
        } else {
          Disconnect();
          stop = true;
        }
      }
      // A time-out is only a periodic wake-up: an idle display costs nothing.
      if (m_readCompleted == 0) continue;
      break;  // the read is done: issue the next one unless stopping
    }
  }

  // A cancelled read's routine is never run: the thread ends here and its
  // queued routines go with it.  The driver no longer touches the buffer.
  m_inPipe.store(os::kNoHandle);
  os::CloseHandle(inPipe);
  return 1;
}

int CUsbDevice::Write(const void* buffer, std::int32_t length) {
  if (m_failed.load() != 0 || m_outPipe == os::kNoHandle || length < 0) {
    if (m_outPipe != os::kNoHandle && length >= 0) {
      os::CloseHandle(m_outPipe);
      m_outPipe = os::kNoHandle;
    }
    return 0;
  }

  m_writeCompleted = 0;
  m_writeError = 0;
  m_writeCount = 0;
  os::OVERLAPPED overlapped;
  overlapped.owner = this;

  if (os::WriteFileEx(m_outPipe, buffer, static_cast<os::DWORD>(length), &overlapped, &CUsbDevice::WriteCompleted)) {
    while (os::SleepEx(kWriteSleepMs, true) == os::WAIT_IO_COMPLETION && m_writeCompleted == 0) {
    }
    if (m_writeCompleted == 0) {
      // Still pending after the bound: cancel it and run its routine now, so
      // that neither the control block on this stack nor the caller's buffer
      // is touched once we return.
      os::CancelIo(m_outPipe);
      os::SleepEx(0, true);
      m_writeCount = 0;  // a write that did not complete in time has failed
    }
    // The driver's error decides, not the count: a transfer that ends in an
    // error has not been taken by the display, however many bytes it reports.
    if (m_writeError == 0 && m_writeCount == static_cast<os::DWORD>(length)) return 1;
  }

  Disconnect();
  os::CloseHandle(m_outPipe);
  m_outPipe = os::kNoHandle;
  return 0;
}

int CUsbDevice::VendorRead(std::uint8_t requestType, std::uint8_t recipient, std::uint8_t request,
                           std::uint16_t value, std::uint16_t index, void* buffer, std::uint32_t length) {
  if (!os::IsOpenHandle(m_control) || m_failed.load() != 0) return 0;
  VendorRequest record = MakeVendorRequest(requestType, recipient, request, value, index);
  os::DWORD moved = 0;
  const os::BOOL ok =
      os::DeviceIoControl(m_control, os::kIoctlVendorRead, &record, sizeof record, buffer, length, &moved);
  return ok && moved == length ? 1 : 0;
}

int CUsbDevice::VendorWrite(std::uint8_t requestType, std::uint8_t recipient, std::uint8_t request,
                            std::uint16_t value, std::uint16_t index, void* buffer, std::uint32_t length) {
  if (m_failed.load() != 0) {
    if (os::IsOpenHandle(m_control)) {
      os::CloseHandle(m_control);
      m_control = os::kNoHandle;
    }
    return 0;
  }
  if (!os::IsOpenHandle(m_control)) return 0;
  VendorRequest record = MakeVendorRequest(requestType, recipient, request, value, index);
  os::DWORD moved = 0;
  const os::BOOL ok =
      os::DeviceIoControl(m_control, os::kIoctlVendorWrite, &record, sizeof record, buffer, length, &moved);
  return ok && moved == length ? 1 : 0;
}

void CUsbDevice::Close() {
  bool readerEnded = true;
  if (m_readerThread) {
    m_stopEvent.Set();
    if (m_readerThread->Wait(kCloseWaitMs) == os::WAIT_OBJECT_0) {
      m_readerThread.reset();
    } else {
      readerEnded = false;
    }
  }
  // A reader still running owns the in-pipe and releases it itself; it also
  // keeps its callbacks until it has delivered its last chunk, so that its
  // consumer learns of the end (the destructor waits for it).
  if (readerEnded) {
    const os::HANDLE in = m_inPipe.exchange(os::kNoHandle);
    if (in != os::kNoHandle) os::CloseHandle(in);
  }
  if (m_outPipe != os::kNoHandle) {
    os::CloseHandle(m_outPipe);
    m_outPipe = os::kNoHandle;
  }
  if (readerEnded) m_callbacks.store(nullptr);
}
