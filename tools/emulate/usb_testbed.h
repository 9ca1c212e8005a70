// Emulated displays as USB devices under umockdev: a sysfs entry and a
// /dev/bus/usb node per display, with usbdevfs emulated over the display
// model, so that a program running under the umockdev preload reaches the
// display through the real libusb.
//
// Threads: construct, plug, unplug and destroy on the thread that runs the
// default GLib main context; the restart delays run as timeouts there.
// usbdevfs calls are answered on umockdev's own worker thread.  UnplugSoon
// may be called from any thread, the model's listeners included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "emulator/emulated_display.h"

namespace emu {

// How a display's node refuses a program, as the kernel would.
struct UsbAccess {
  // Another program has claimed interface 0: every claim fails with EBUSY.
  bool claimedElsewhere = false;
  // The user may not open the node: opening it fails with EACCES.
  bool noPermission = false;
};

struct UsbTestbedTiming {
  int restartLeaveMs = 50;    // after an accepted end of transfer, until the display leaves the bus
  int restartReturnMs = 500;  // after it left, until it is back
};

// The descriptors a display shows on the bus: the device descriptor followed
// by the whole configuration, as the kernel's sysfs "descriptors" file holds
// them.
std::vector<std::uint8_t> DisplayDescriptors(const DisplayConfig& config);

// Upper-case hexadecimal, two digits a byte: how sysfs descriptors and the
// request log write bytes.
std::string Hex(const std::vector<std::uint8_t>& bytes);

class UsbTestbed {
 public:
  // Must run in a process under the umockdev preload (uevents are only sent
  // there).
  explicit UsbTestbed(UsbTestbedTiming timing);
  ~UsbTestbed();
  UsbTestbed(const UsbTestbed&) = delete;
  UsbTestbed& operator=(const UsbTestbed&) = delete;

  // Adds a display at the next port of bus 1, not plugged yet.  Returns its
  // slot.  The testbed takes the display's IN and restart listeners.  Add
  // every display before plugging any.  Interface 0 is claimed by one open
  // descriptor at a time, as usbdevfs does: a claim from another descriptor
  // (another program) fails with EBUSY until the holder releases it or
  // closes its descriptor.
  std::size_t AddDisplay(std::shared_ptr<EmulatedDisplay> display, UsbAccess access = {});

  // Powers the display on and announces it.  No effect when it is plugged or
  // was removed for good.
  void Plug(std::size_t slot);
  // Removes the display for good: it does not come back after a restart.
  void Unplug(std::size_t slot);
  // Removes the display as a user pulling the cable does: Plug brings it back.
  void Detach(std::size_t slot);
  // As Unplug, callable from any thread: every request to the display fails
  // from now on, and the removal itself follows on the main context.
  void UnplugSoon(std::size_t slot);

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace emu
