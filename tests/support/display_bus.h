// Where the tests plug emulated displays in: a bus with the process's driver
// installed for its lifetime.  The in-process bus serves the displays from
// inside the driver; the USB bus attaches them as USB devices under umockdev
// and installs the libusb driver, so the same test reaches them through the
// real libusb.  The USB bus exists only in programs built with
// DOTVANE_TEST_USB_BUS=1, which must run under LD_PRELOAD=libumockdev-preload.so.0.
#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "emulator/emulated_display.h"
#include "driver/driver.h"
#include "emulator/inproc/inproc_driver.h"

namespace test {

enum class BusKind { kInProcess, kUsb };

std::string BusName(BusKind kind);
inline std::ostream& operator<<(std::ostream& out, BusKind kind) { return out << BusName(kind); }

class DisplayBus {
 public:
  virtual ~DisplayBus() = default;

  // Attaches the display and returns the interface path the driver reports
  // for it, once the driver can open it; empty when it did not appear in time.
  virtual std::string Plug(std::shared_ptr<emu::EmulatedDisplay> display) = 0;
  // Detaches the display for good; returns once the driver saw it leave.
  virtual void Unplug(const std::string& path) = 0;
  // The installed driver.
  virtual os::Driver& Driver() = 0;
  // Driver-level faults (failing opens, unreadable enumeration indices) can
  // be injected through InProcess().
  virtual bool SupportsFaults() const = 0;
  // The in-process driver, or null on a bus that has none.
  virtual inproc::InProcessDriver* InProcess() { return nullptr; }
};

class InProcessBus final : public DisplayBus {
 public:
  std::string Plug(std::shared_ptr<emu::EmulatedDisplay> display) override { return driver_->Plug(std::move(display)); }
  void Unplug(const std::string& path) override { driver_->Unplug(path); }
  os::Driver& Driver() override { return *driver_; }
  bool SupportsFaults() const override { return true; }
  inproc::InProcessDriver* InProcess() override { return &*driver_; }

 private:
  inproc::ScopedInProcessDriver driver_;
};

#if DOTVANE_TEST_USB_BUS
// Hosts a USB testbed on a GLib main-loop thread of its own (the testbed
// must be driven from the thread running the default main context) and
// installs a libusb driver.  Plug, Unplug and destruction marshal onto that
// thread and wait there, bounded.
class UsbBus final : public DisplayBus {
 public:
  UsbBus();
  ~UsbBus() override;
  UsbBus(const UsbBus&) = delete;
  UsbBus& operator=(const UsbBus&) = delete;

  std::string Plug(std::shared_ptr<emu::EmulatedDisplay> display) override;
  void Unplug(const std::string& path) override;
  os::Driver& Driver() override;
  bool SupportsFaults() const override { return false; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
#endif

// The bus of that kind, or null (with the reason in *why) when this program
// cannot provide it.
std::unique_ptr<DisplayBus> MakeBus(BusKind kind, std::string* why);

// The bus this program's bus-parameterised tests run on: the USB bus in
// programs built with DOTVANE_TEST_USB_BUS=1, the in-process one elsewhere.
// A test source that asks for it compiles the same for both programs.
BusKind ProgramBus();

}  // namespace test
