// The driver layer over emulated displays inside the process.
//
// Displays are plugged into this driver's bus and unplugged from it; each
// publishes one interface path of the display interface class, answers
// vendor control codes through its USB model and offers the two pipes.
// Tests use it to run the whole channel, link and download without USB.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "emulator/emulated_display.h"
#include "driver/driver.h"

namespace inproc {

class InProcessDriver final : public os::Driver {
 public:
  InProcessDriver();
  ~InProcessDriver() override;

  // Attaches a display and broadcasts its arrival.  Returns its interface
  // path: "\\?\USB#VID_vvvv&PID_pppp#<serial>#{class}".
  std::string Plug(std::shared_ptr<emu::EmulatedDisplay> display);
  // Detaches it: its transfers in flight complete with
  // ERROR_DEVICE_NOT_CONNECTED, its open handles fail from now on, and its
  // removal is broadcast.
  void Unplug(const std::string& path);
  std::vector<std::string> Paths() const;

  // Makes opening the display at `path` fail with `error` (ERROR_ACCESS_DENIED
  // as without permission, ERROR_BUSY as when another program holds it), the
  // next `times` times or, when negative, always; ERROR_SUCCESS clears it.
  void FailOpen(const std::string& path, os::DWORD error, int times = -1);

  // Makes enumeration of `index` fail with an error other than the end of the walk.
  void FailEnumIndex(os::DWORD index, bool fail = true);

  // A restarting display leaves after `leaveMs` and returns `returnMs` after
  // leaving (both pass through the time scale).
  void SetRestartDelays(os::DWORD leaveMs, os::DWORD returnMs);
  // Waits until no restart is in progress; false after `milliseconds`.
  bool WaitForRestarts(os::DWORD milliseconds);

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

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Installs an InProcessDriver as the process's driver for the life of the object.
using ScopedInProcessDriver = os::ScopedDriver<InProcessDriver>;

}  // namespace inproc
