// The driver layer: the one seam between the display channel and whatever
// carries its bytes.
//
// It stands in for the display maker's kernel driver.  A back end implements
// the struct below and nothing else; the channel reaches it only through the
// Windows-shaped calls of platform/io.h.  Back ends today:
//   - platform/inproc: an emulated display inside the process (tests, demo);
//   - platform/libusb: real USB devices through libusb-1.0.
//
// Contract every back end keeps:
//   * Discovery: each attached display publishes one device-interface path of
//     the display interface class.  The path contains "VID_" and the vendor
//     id in hexadecimal, and stays the same while the device stays attached.
//   * Open(path) opens that path as a control handle; Open(path + "\\.\" +
//     "brldsp0" or "brldsp1") opens the host-to-display or display-to-host
//     pipe.  INVALID_HANDLE_VALUE and an error code on failure.
//   * IoControl with kIoctlVendorRead or kIoctlVendorWrite takes the 8-byte
//     vendor request record as input and the data stage in the output
//     buffer; it is synchronous and reports the bytes moved.  It must not
//     hang forever: a back end bounds it as a driver would.
//   * StartRead/StartWrite start one asynchronous transfer and return at once
//     (true), or refuse it (false, and `done` is never used).  For a started
//     transfer the back end calls done->Complete(error, bytes) exactly once,
//     from any thread, even from inside StartRead/StartWrite: the I/O layer
//     queues the caller's completion routine to the caller's thread.
//   * Cancel(h): every transfer outstanding on h is completed (with
//     ERROR_OPERATION_ABORTED, or with its real outcome if it finished first)
//     before Cancel returns, and the back end no longer touches its buffer.
//     Close(h) cancels first.
//   * Device-change listeners hear arrival and removal of displays with
//     their interface paths, on a thread of the back end's choosing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/types.h"

namespace os {

// Device-I/O control codes of the display driver.
inline constexpr DWORD kIoctlVendorRead = 0x222016;   // device to host
inline constexpr DWORD kIoctlVendorWrite = 0x222019;  // host to device

// Separator between a device-interface path and a pipe name.
inline constexpr char kPipeSeparator[] = "\\\\.\\";

// Broadcast event types.
inline constexpr UINT DBT_DEVICEARRIVAL = 0x8000;
inline constexpr UINT DBT_DEVICEREMOVECOMPLETE = 0x8004;

class IoCompletion {
 public:
  virtual void Complete(DWORD error, DWORD transferred) = 0;

 protected:
  ~IoCompletion() = default;
};

enum class EnumResult { kOk, kNoMoreItems, kError };

using DeviceChangeListener = std::function<void(UINT eventType, const std::string& path)>;

class Driver {
 public:
  virtual ~Driver() = default;

  // The interface at `index` of the class's present interfaces, in a stable
  // enumeration order.  kNoMoreItems past the last one; kError for an index
  // that exists but cannot be read (the walk goes on past it).
  virtual EnumResult EnumInterface(const GUID& interfaceClass, DWORD index, std::string* path) = 0;

  // Sets the thread's last error on failure.
  virtual HANDLE Open(const std::string& path, bool overlapped) = 0;
  virtual void Close(HANDLE h) = 0;

  virtual bool IoControl(HANDLE h, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                         DWORD* returned) = 0;

  virtual bool StartRead(HANDLE h, void* buffer, DWORD length, IoCompletion* done) = 0;
  virtual bool StartWrite(HANDLE h, const void* buffer, DWORD length, IoCompletion* done) = 0;
  virtual void Cancel(HANDLE h) = 0;

  // Returns an id for RemoveDeviceListener.
  virtual int AddDeviceListener(DeviceChangeListener listener) = 0;
  virtual void RemoveDeviceListener(int id) = 0;
};

// The driver the process talks to.  Set once at start-up (or per test).
void SetDriver(Driver* driver);
Driver* CurrentDriver();
// Counts SetDriver calls, so that a listener knows a driver is new even
// when it was allocated where an earlier one lived.
std::uint64_t DriverGeneration();

}  // namespace os
