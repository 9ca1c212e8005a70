// Bookkeeping every driver back end needs in the same form: interface paths
// and the pipe paths beneath them, and the registry of device-change
// listeners.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "driver/driver.h"
#include "os/thread_safety.h"

namespace os::drv {

// Paths are compared as the display maker's driver compares them, without
// regard to case: os::SameText (os/text_compare.h).

// "\\?\USB#VID_vvvv&PID_pppp#<instance>#{class}": the interface path of a
// display, with the ids in upper-case hexadecimal.  `instance` tells
// displays of one kind apart (a serial, or where the device is plugged in).
std::string InterfacePath(std::uint16_t vendorId, std::uint16_t productId, const std::string& instance,
                          const GUID& interfaceClass);

enum class Target { kControl, kOutPipe, kInPipe };

// What a path given to Driver::Open names: a device's interface path, and
// either its control handle or one of its pipes.
struct OpenTarget {
  std::string devicePath;
  Target target = Target::kControl;
};

// "<interface path>" or "<interface path>\\.\<pipe name>"; nothing for a
// pipe name that is neither kPipeOutName nor kPipeInName.
std::optional<OpenTarget> ParseOpenPath(const std::string& path);

// The device-change listeners of one driver.
class ListenerRegistry {
 public:
  ListenerRegistry() = default;
  ListenerRegistry(const ListenerRegistry&) = delete;
  ListenerRegistry& operator=(const ListenerRegistry&) = delete;

  int Add(DeviceChangeListener listener);
  // When it returns the listener is not running and will not run again; it
  // waits for a call in progress on another thread, but not for one on this
  // thread (a listener that removes itself or another).
  void Remove(int id);
  // Calls every listener registered when it starts, in order, outside the
  // registry's lock, skipping any removed meanwhile.
  void Broadcast(UINT eventType, const std::string& path);

 private:
  struct Entry {
    DeviceChangeListener fn;
    bool removed = false;  // under the registry's mutex_
    int active = 0;        // calls in progress; under the registry's mutex_
  };
  os::Mutex mutex_;
  std::condition_variable_any ended_;  // a call has ended
  std::map<int, std::shared_ptr<Entry>> entries_ GUARDED_BY(mutex_);
  int nextId_ GUARDED_BY(mutex_) = 1;
};

}  // namespace os::drv
