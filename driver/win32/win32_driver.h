// The driver layer over Windows' own calls: whatever kernel driver serves
// the display's device-interface class (the display maker's) is reached
// with the calls its contract names.
//
//   discovery   SetupDiGetClassDevs / SetupDiEnumDeviceInterfaces /
//               SetupDiGetDeviceInterfaceDetail over the class
//   open        CreateFile on the interface path (control handle) and on
//               "<interface path>\\.\brldsp0" / "...\\.\brldsp1" (pipes)
//   control     DeviceIoControl with kIoctlVendorRead / kIoctlVendorWrite
//               and the 8-byte VendorRequest record, bounded like a driver's
//   transfers   ReadFileEx / WriteFileEx, whose completion routines run on
//               the back end's own thread, in its alertable wait
//   cancel      CancelIo on that thread; CancelIo only asks, so Cancel
//               waits until every routine has run before a buffer may be
//               reused
//   broadcasts  RegisterDeviceNotification on a message-only window;
//               WM_DEVICECHANGE arrivals and removals of the class
//
// Windows' names are kept out of this header: <windows.h> defines macros
// that clash with the names os/, driver/ and ui/ mirror.
#pragma once

#include <memory>
#include <string>

#include "driver/driver.h"

namespace win32drv {

// How long a vendor control request may take before it is abandoned
// (cancelled, and reported as ERROR_SEM_TIMEOUT), as a driver bounds it.
inline constexpr os::DWORD kControlTimeoutMs = 5000;
// Cancel asks again this often until the driver has handed a transfer back.
inline constexpr os::DWORD kCancelSliceMs = 100;

class Win32Driver final : public os::Driver {
 public:
  Win32Driver();
  ~Win32Driver() override;
  Win32Driver(const Win32Driver&) = delete;
  Win32Driver& operator=(const Win32Driver&) = delete;

  // Whether the back end's thread runs and device notifications are
  // registered; false leaves discovery working but no broadcasts coming.
  bool Started() const;

  // os::Driver
  os::EnumResult EnumInterface(const os::GUID& interfaceClass, os::DWORD index, std::string* path) override;
  os::HANDLE Open(const std::string& path, bool overlapped) override;
  void Close(os::HANDLE h) override;
  bool IoControl(os::HANDLE h, os::DWORD code, const void* in, os::DWORD inSize, void* out, os::DWORD outSize,
                 os::DWORD* returned) override;
  bool StartRead(os::HANDLE h, void* buffer, os::DWORD length, os::IoCompletion* done) override;
  bool StartWrite(os::HANDLE h, const void* buffer, os::DWORD length, os::IoCompletion* done) override;
  void Cancel(os::HANDLE h) override;
  int AddDeviceListener(os::DeviceChangeListener listener) override;
  void RemoveDeviceListener(int id) override;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The error the driver layer reports for a Windows error of CreateFile.
os::DWORD OpenError(os::DWORD windowsError);
// ... of DeviceIoControl, ReadFileEx and WriteFileEx, or of their completion.
os::DWORD TransferError(os::DWORD windowsError);

// Installs a Win32Driver as the process's driver for the life of the object.
using ScopedWin32Driver = os::ScopedDriver<Win32Driver>;

}  // namespace win32drv
