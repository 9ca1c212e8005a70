// The USB device channel: the program's only path to the display.
//
// A channel finds the display by its driver's interface class, holds a
// control handle for vendor requests and two pipes for packets (the OUT pipe
// written, the IN pipe read; os::kPipeOutName and os::kPipeInName), and runs
// a reader thread that keeps one read outstanding and hands each completed
// read to its callbacks.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "driver/io.h"
#include "os/sync.h"
#include "os/thread.h"

// The consumer of a channel's input.  The channel never owns or deletes it.
class IDeviceCallbacks {
 public:
  // One completed read (1 to 256 bytes), or length 0 when the reader stops
  // on request.  May block the reader thread.
  virtual void OnData(const std::uint8_t* data, std::int32_t length) = 0;
  // The channel has failed; at most once per Open.
  virtual void OnDisconnect() = 0;
  // Open succeeded; on the opening thread, before Open returns.
  virtual void OnOpen() = 0;

 protected:
  ~IDeviceCallbacks() = default;
};

// The record handed to the driver with each vendor control request;
// multi-byte fields little-endian.
#pragma pack(push, 1)
struct VendorRequest {
  std::uint8_t requestType;  // 2: vendor request
  std::uint8_t recipient;    // 0: the device
  std::uint8_t reserved;     // not assigned; the driver ignores it
  std::uint8_t request;
  std::uint16_t value;
  std::uint16_t index;
};
#pragma pack(pop)
static_assert(sizeof(VendorRequest) == 8);

inline constexpr std::size_t kPipePathSize = 256;

// Abstract transport.
class CDevice {
 public:
  virtual ~CDevice() = default;
  virtual int Open(int unused, IDeviceCallbacks* callbacks) = 0;
  virtual int StartReader() = 0;
  virtual int Write(const void* buffer, std::int32_t length) = 0;
  // Kept for the interface's slot order; does nothing and nobody calls it.
  virtual void Reserved() {}
};

class CUsbDevice : public CDevice {
 public:
  static constexpr os::DWORD kReadSize = 256;
  static constexpr os::DWORD kReaderWaitMs = 10000;  // periodic wake-up of the reader
  static constexpr os::DWORD kWriteSleepMs = 10000;  // bound on one write
  static constexpr os::DWORD kCloseWaitMs = 10000;   // bound on the reader's end in Close

  CUsbDevice();
  ~CUsbDevice() override;
  CUsbDevice(const CUsbDevice&) = delete;
  CUsbDevice& operator=(const CUsbDevice&) = delete;

  int Open(int unused, IDeviceCallbacks* callbacks) override;
  // Before Open: open only the display at this interface path (compared
  // without regard to case); empty, the first openable display.
  void SetDevicePath(std::string path) { m_only = std::move(path); }
  // The interface path of the display Open opened; empty before.
  const std::string& DevicePath() const { return m_path; }
  int StartReader() override;
  int Write(const void* buffer, std::int32_t length) override;

  int VendorRead(std::uint8_t requestType, std::uint8_t recipient, std::uint8_t request, std::uint16_t value,
                 std::uint16_t index, void* buffer, std::uint32_t length);
  int VendorWrite(std::uint8_t requestType, std::uint8_t recipient, std::uint8_t request, std::uint16_t value,
                  std::uint16_t index, void* buffer, std::uint32_t length);
  void Close();

  // For tests and diagnostics.
  bool HasFailed() const { return m_failed.load() != 0; }
  os::HANDLE ControlHandle() const { return m_control; }
  bool HasInPipe() const { return m_inPipe.load() != os::kNoHandle; }
  bool HasOutPipe() const { return m_outPipe != os::kNoHandle; }
  bool HasReader() const { return m_readerThread != nullptr; }

 private:
  os::DWORD ReaderMain();
  void Disconnect();
  static void ReadCompleted(os::DWORD error, os::DWORD transferred, os::OVERLAPPED* overlapped);
  static void WriteCompleted(os::DWORD error, os::DWORD transferred, os::OVERLAPPED* overlapped);

  std::atomic<int> m_failed{0};
  os::HANDLE m_control = os::kNoHandle;
  std::atomic<os::HANDLE> m_inPipe{os::kNoHandle};  // the reader's while it runs; it releases it
  os::HANDLE m_outPipe = os::kNoHandle;
  os::Event m_stopEvent{os::Event::Mode::kAuto};
  std::unique_ptr<os::Thread> m_readerThread;
  int m_readCompleted = 0;
  os::DWORD m_readError = 0;
  os::DWORD m_readCount = 0;
  int m_writeCompleted = 0;
  os::DWORD m_writeError = 0;
  os::DWORD m_writeCount = 0;
  std::atomic<IDeviceCallbacks*> m_callbacks{nullptr};
  std::string m_only;
  std::string m_path;
};

// An open synchronous handle to the first openable display of the class,
// with its interface path in pathOut (when it fits, else empty); the
// invalid-handle value when none can be opened.
os::HANDLE FindDevice(const os::GUID& interfaceClass, char* pathOut, std::size_t pathOutSize);

// The named pipe beneath the first openable display: its interface path,
// "\\.\" and the name.  The invalid-handle value on failure, also when the
// pipe path would not fit the 256-byte path buffer.
os::HANDLE OpenPipe(const char* pipeName, const os::GUID& interfaceClass, int overlapped);
// The named pipe beneath the display at `devicePath`, as OpenPipe makes its path.
os::HANDLE OpenPipeBeneath(const std::string& devicePath, const char* pipeName, int overlapped);
