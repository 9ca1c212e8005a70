// The driver layer: the one seam between the display channel and whatever
// carries its bytes.
//
// It stands in for the display maker's kernel driver.  A back end implements
// the struct below and nothing else; the channel reaches it only through the
// Windows-shaped calls of driver/io.h.  Back ends today:
//   - emulator/inproc: an emulated display inside the process (tests, demo);
//   - driver/libusb: real USB devices through libusb-1.0 (Linux);
//   - driver/win32: the display maker's driver itself, through SetupDi,
//     CreateFile and DeviceIoControl (Windows).
//
// The contract each back end keeps is written at each operation below.
// Common to all of them: a handle is never used after Close; every call may
// come from any thread of the program (the user-interface thread, the
// channel's reader, the download), several at a time, so a back end guards
// its own state; and
// every failure sets the calling thread's last error (os::SetLastError),
// which the channel reads to tell the user what went wrong.  Back ends
// share their bookkeeping through driver/driver_support.h.
//
// DOTVANE_TRACE=1 in the environment logs every call with its result to
// standard error (driver/driver_trace.h).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "os/types.h"

namespace os {

// Device-I/O control codes of the display driver.
inline constexpr DWORD kIoctlVendorRead = 0x222016;   // device to host
inline constexpr DWORD kIoctlVendorWrite = 0x222019;  // host to device

// Separator between a device-interface path and a pipe name.
inline constexpr char kPipeSeparator[] = "\\\\.\\";
// The display's two pipes beneath its interface path: host to display (the
// bulk OUT endpoint) and display to host (the bulk IN endpoint).
inline constexpr char kPipeOutName[] = "brldsp0";
inline constexpr char kPipeInName[] = "brldsp1";

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
  // order (the same index names the same display while the set of attached
  // displays stays the same).  Any thread; blocks only to read the bus
  // (microseconds; libusb reads its device list).  kOk with the interface
  // path in *path (which contains "VID_" and the vendor id in hexadecimal,
  // and stays the same while the device stays attached); kNoMoreItems past
  // the last one and for any other class; kError for an index that exists
  // but cannot be read, and the caller's walk goes on past it.  Sets no
  // last error.
  virtual EnumResult EnumInterface(const GUID& interfaceClass, DWORD index, std::string* path) = 0;

  // Opens `path`: an interface path as enumerated, for a control handle, or
  // that path, kPipeSeparator and kPipeOutName or kPipeInName, for a pipe
  // (names compared without regard to case).  Any thread; may block while
  // the device is opened and its interface claimed (milliseconds).  A handle
  // on success; INVALID_HANDLE_VALUE on failure with the last error set to
  // ERROR_FILE_NOT_FOUND (no such display, no such pipe, or a display
  // without that endpoint), ERROR_ACCESS_DENIED (the user may not open the
  // device node), ERROR_BUSY (another program has claimed the interface),
  // ERROR_DEVICE_NOT_CONNECTED (it left while being opened) or
  // ERROR_GEN_FAILURE.  `overlapped` is accepted for the shape of the call;
  // every handle can carry asynchronous transfers.
  virtual HANDLE Open(const std::string& path, bool overlapped) = 0;

  // Cancels as Cancel does, then releases the handle; the last handle on a
  // device releases the device.  Any thread but the back end's own; blocks
  // as Cancel does.  An unknown handle is ignored.
  virtual void Close(HANDLE h) = 0;

  // A vendor control request on a control handle: `code` kIoctlVendorRead
  // (data from the display into `out`) or kIoctlVendorWrite (data from
  // `out` to the display), `in` the 8-byte VendorRequest record, `outSize`
  // the data stage (at most 4096 bytes).  Synchronous: any thread but the
  // back end's own; blocks until the display answers, bounded like a
  // driver's (libusb: usbdrv::kControlTimeoutMs, 5000 ms).  true with the
  // bytes moved in *returned (which may be fewer than asked for); false with
  // *returned 0 and the last error ERROR_INVALID_HANDLE (not a control
  // handle), ERROR_INVALID_PARAMETER (another code, a record not 8 bytes,
  // too much data), ERROR_DEVICE_NOT_CONNECTED (the display has gone),
  // ERROR_SEM_TIMEOUT (no answer within the bound) or ERROR_GEN_FAILURE (the
  // display refused the request: a STALL).
  virtual bool IoControl(HANDLE h, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                         DWORD* returned) = 0;

  // Starts one asynchronous transfer on a pipe handle: a read of up to
  // `length` bytes from the IN pipe, or a write of `length` bytes to the OUT
  // pipe.  Any thread; never blocks for the transfer.  true: the transfer is
  // started, and the back end calls done->Complete(error, bytes) exactly
  // once, from any thread, possibly before StartRead/StartWrite has
  // returned; until then it may touch `buffer`, and after it never.  A read
  // waits for the display for as long as it takes (only Cancel, Close or a
  // removal ends it); error ERROR_SUCCESS with the bytes of one transfer
  // from the display, ERROR_OPERATION_ABORTED when cancelled,
  // ERROR_DEVICE_NOT_CONNECTED when the display left, ERROR_GEN_FAILURE
  // otherwise.  false: nothing was started and `done` is never called; the
  // last error is ERROR_INVALID_PARAMETER (not a pipe of that direction),
  // ERROR_BUSY (inproc, which keeps one read per handle: a read is already
  // outstanding), ERROR_DEVICE_NOT_CONNECTED or ERROR_GEN_FAILURE.
  virtual bool StartRead(HANDLE h, void* buffer, DWORD length, IoCompletion* done) = 0;
  virtual bool StartWrite(HANDLE h, const void* buffer, DWORD length, IoCompletion* done) = 0;

  // Ends every transfer outstanding on h: each is completed (with
  // ERROR_OPERATION_ABORTED, or with its real outcome if it finished first)
  // before Cancel returns, and the back end no longer touches its buffer.
  // Any thread but the back end's own (whose own calls return without
  // waiting); blocks until the back end has handed the transfers back
  // (libusb: retried every usbdrv::kCancelSliceMs until it has, since
  // returning earlier would leave a buffer in use).  Cannot fail; an
  // unknown handle is ignored.
  virtual void Cancel(HANDLE h) = 0;

  // Registers a listener for the arrival (DBT_DEVICEARRIVAL) and removal
  // (DBT_DEVICEREMOVECOMPLETE) of displays, with their interface paths.
  // Any thread; never blocks for long.  Returns an id for
  // RemoveDeviceListener.  Listeners run on a thread of the back end's
  // choosing (inproc: the thread that plugs or unplugs; libusb: its
  // dispatch thread), one call at a time per change, and may open and
  // close devices.
  virtual int AddDeviceListener(DeviceChangeListener listener) = 0;
  // Unregisters; when it returns the listener is not running and will not
  // run again, so its owner may go away.  Blocks until a call in progress
  // on another thread has ended, and not at all from inside a listener
  // call.  An unknown id is ignored.
  virtual void RemoveDeviceListener(int id) = 0;
};

// The driver the process talks to.  Set once at start-up (or per test).
void SetDriver(Driver* driver);
Driver* CurrentDriver();
// Counts SetDriver calls, so that a listener knows a driver is new even
// when it was allocated where an earlier one lived.
std::uint64_t DriverGeneration();

// Owns a driver of type D and installs it as the process's driver for the
// life of the object; the driver installed before is put back afterwards.
template <typename D>
class ScopedDriver {
 public:
  ScopedDriver() : previous_(CurrentDriver()) { SetDriver(&driver_); }
  ~ScopedDriver() { SetDriver(previous_); }
  ScopedDriver(const ScopedDriver&) = delete;
  ScopedDriver& operator=(const ScopedDriver&) = delete;
  D& operator*() { return driver_; }
  D* operator->() { return &driver_; }

 private:
  D driver_;
  Driver* previous_;
};

}  // namespace os
