// Shared helpers for the tests: a window that records what the packet
// reader sends it, callbacks that record what a channel delivers, a driver
// decorator that watches the calls a channel makes, and bounded waiting.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "driver/driver.h"
#include "os/sync.h"
#include "os/window.h"
#include "transport/usb_device.h"

namespace test {

// Waits until `done` holds, re-checking every millisecond, at most `limit`.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10));

// A target window whose handler runs on the sending thread and keeps a copy
// of every packet.
class RecordingWindow : public os::Window {
 public:
  struct Message {
    os::UINT message;
    os::WPARAM wParam;
    os::LPARAM lParam;
    std::vector<std::uint8_t> packet;  // long packets: header, payload and checksum as announced
  };

  os::LRESULT SendMessageTimeout(os::UINT message, os::WPARAM wParam, os::LPARAM lParam, os::UINT flags,
                                 os::UINT timeoutMs, os::LRESULT* result,
                                 std::shared_ptr<const void> keepAlive) override;
  os::BOOL PostMessage(os::UINT message, os::WPARAM wParam, os::LPARAM lParam) override;

  std::vector<Message> Messages() const;
  std::size_t Count() const;
  bool WaitForCount(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
  std::vector<os::UINT> Timeouts() const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<Message> messages_;
  std::vector<os::UINT> timeouts_;
};

// Callbacks that record what a channel delivers.
class RecordingCallbacks : public IDeviceCallbacks {
 public:
  void OnData(const std::uint8_t* data, std::int32_t length) override;
  void OnDisconnect() override;
  void OnOpen() override;

  std::vector<std::vector<std::uint8_t>> Chunks() const;
  int EmptyChunks() const;
  int Disconnects() const;
  int Opens() const;
  bool WaitFor(const std::function<bool(const RecordingCallbacks&)>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<std::vector<std::uint8_t>> chunks_;
  int empty_ = 0;
  int disconnects_ = 0;
  int opens_ = 0;
};

// Passes every call on to another driver and records the ones a channel's
// discovery and pipe opening make.
class WatchingDriver : public os::Driver {
 public:
  explicit WatchingDriver(os::Driver& inner) : inner_(inner) {}

  int Enumerations() const;              // EnumInterface calls
  std::vector<std::string> Opened() const;  // paths given to Open, in order

  os::EnumResult EnumInterface(const os::GUID& cls, os::DWORD index, std::string* path) override;
  os::HANDLE Open(const std::string& path, bool overlapped) override;
  void Close(os::HANDLE h) override { inner_.Close(h); }
  bool IoControl(os::HANDLE h, os::DWORD code, const void* in, os::DWORD inSize, void* out, os::DWORD outSize,
                 os::DWORD* returned) override {
    return inner_.IoControl(h, code, in, inSize, out, outSize, returned);
  }
  bool StartRead(os::HANDLE h, void* buffer, os::DWORD length, os::IoCompletion* done) override {
    return inner_.StartRead(h, buffer, length, done);
  }
  bool StartWrite(os::HANDLE h, const void* buffer, os::DWORD length, os::IoCompletion* done) override {
    return inner_.StartWrite(h, buffer, length, done);
  }
  void Cancel(os::HANDLE h) override { inner_.Cancel(h); }
  int AddDeviceListener(os::DeviceChangeListener listener) override { return inner_.AddDeviceListener(listener); }
  void RemoveDeviceListener(int id) override { inner_.RemoveDeviceListener(id); }

 private:
  os::Driver& inner_;
  mutable std::mutex mutex_;
  int enumerations_ = 0;
  std::vector<std::string> opened_;
};

// Records the completion of one transfer a driver was given.  It notifies
// under its lock, so the waiter may destroy it as soon as it sees the call.
class CompletionRecorder final : public os::IoCompletion {
 public:
  using Outcome = std::tuple<int, os::DWORD, os::DWORD>;  // calls, last error, last byte count

  void Complete(os::DWORD error, os::DWORD transferred) override;
  bool Wait(std::chrono::milliseconds limit = std::chrono::seconds(10));
  Outcome Got();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int calls_ = 0;
  os::DWORD error_ = 0;
  os::DWORD transferred_ = 0;
};

// Device-change broadcasts as one listener of a driver hears them.
class BroadcastRecorder {
 public:
  using Event = std::pair<os::UINT, std::string>;
  explicit BroadcastRecorder(os::Driver& driver);
  ~BroadcastRecorder();
  bool WaitForCount(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));
  std::vector<Event> Heard();

 private:
  os::Driver& driver_;
  int id_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Event> events_;
};

// The 8-byte vendor request record a driver is handed, built byte by byte
// (with a reserved byte the driver must ignore).
std::vector<std::uint8_t> VendorRecord(std::uint8_t type, std::uint8_t recipient, std::uint8_t request,
                                       std::uint16_t value = 0, std::uint16_t index = 0);

// Installs a driver for the life of the object.
class ScopedDriver {
 public:
  explicit ScopedDriver(os::Driver& driver) : previous_(os::CurrentDriver()) { os::SetDriver(&driver); }
  ~ScopedDriver() { os::SetDriver(previous_); }

 private:
  os::Driver* previous_;
};

// Records every duration the product asks the time layer for.
class WaitRecorder {
 public:
  WaitRecorder();
  ~WaitRecorder();
  std::vector<std::pair<std::string, os::DWORD>> Calls() const;
  std::vector<os::DWORD> Durations(const std::string& what) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, os::DWORD>> calls_;
};

}  // namespace test
