// The driver layer over real USB displays, through libusb-1.0.
//
// A display is an attached USB device with the display's vendor id and one
// of the product ids this build knows.  Each publishes the interface path
//   "\\?\USB#VID_vvvv&PID_pppp#<bus>-<port path>#{display interface class}"
// which names where it is plugged in, so it stays the same while the device
// stays attached (and comes back the same after a restart in the same port).
//
// Handles: the control handle claims interface 0 of the device; the OUT pipe
// is the bulk OUT endpoint of that interface and the IN pipe the bulk IN one.  All
// handles on one device share one libusb device handle and one claim, which
// the last handle to close releases: the channel opens the device three
// times and closes two of them at once.
//
// Threads: one thread handles libusb's events (transfer completions and
// hotplug), sleeping in poll while nothing happens, so an idle display costs
// nothing; another calls the device-change listeners, because listeners may
// open and close devices, which libusb forbids inside its hotplug callback.
// Completions (IoCompletion::Complete) run on the event thread, so they must
// not wait for the driver: the I/O layer only queues them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"

namespace usbdrv {

// The product ids of the display this build knows, all under kDisplayVendorId.
inline constexpr std::array<std::uint16_t, 1> kKnownProductIds = {0x7D50};

// A driver bounds each control request rather than wait for ever on a
// display that stopped answering; the display answers in milliseconds.
inline constexpr unsigned kControlTimeoutMs = 5000;

// Cancel waits for libusb to hand back the cancelled transfers in slices of
// this length, cancelling again after each: the buffers must not be touched
// once Cancel returns, so it does not give up.
inline constexpr unsigned kCancelSliceMs = 2000;

// The largest data stage of a vendor request: the download's 4096-byte chunk.
inline constexpr std::uint32_t kMaxControlData = 4096;

namespace detail {

// The interface path of a display at `bus` and `ports` (outermost first).
std::string InterfacePath(std::uint16_t vendorId, std::uint16_t productId, std::uint8_t bus,
                          const std::vector<std::uint8_t>& ports);

// The setup fields of a vendor request, decoded from the 8-byte record
// (requestType, recipient, reserved, request, value and index little-endian).
struct ControlSetup {
  std::uint8_t bmRequestType;
  std::uint8_t bRequest;
  std::uint16_t wValue;
  std::uint16_t wIndex;
};
ControlSetup DecodeVendorRequest(const std::uint8_t (&record)[8], bool deviceToHost);

// The error an open reports for a libusb error code.
os::DWORD OpenError(int libusbError);
// The error a transfer reports when libusb refuses to submit it.
os::DWORD SubmitError(int libusbError);
// The error a finished transfer reports for its libusb transfer status.
os::DWORD TransferError(int libusbTransferStatus);

}  // namespace detail

class LibusbDriver final : public os::Driver {
 public:
  // Without USB support at all (libusb cannot start) the driver behaves as
  // one with no displays attached.
  LibusbDriver();
  ~LibusbDriver() override;
  LibusbDriver(const LibusbDriver&) = delete;
  LibusbDriver& operator=(const LibusbDriver&) = delete;

  // Whether libusb started; false means no display can ever appear.
  bool HasUsb() const;

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

// Installs a LibusbDriver as the process's driver for the life of the object.
using ScopedLibusbDriver = os::ScopedDriver<LibusbDriver>;

}  // namespace usbdrv
