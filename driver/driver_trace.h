// The driver-call trace: with DOTVANE_TRACE=1 in the environment, every call
// the program makes into the driver layer, and every completion and device
// change the driver reports back, is written to standard error as one line,
// with its arguments' essentials and its result.  It is what a person
// supporting a user asks for when a display misbehaves:
//
//     DOTVANE_TRACE=1 dotvane 2> dotvane-trace.txt
//
// A line reads "dotvane-trace <ms since start> t<thread> <call> -> <result>";
// a call that may block, or completes later, also gets a line ending in
// "..." as it starts.  For example
//     dotvane-trace 812 t1 IoControl h3 vendor-read request DE value 0 index 0 length 6 -> ok 6 bytes
//     dotvane-trace 815 t4 StartRead h5 length 256 ...
//     dotvane-trace 816 t2 complete read h5 -> error 0, 53 bytes 80 30 00 00 4F 72 76 61
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <ostream>
#include <string>

#include "driver/driver.h"

namespace os {

// Passes every call on to `inner` and writes one line per call to `out`.
class TracingDriver final : public Driver {
 public:
  TracingDriver(Driver& inner, std::ostream& out);

  Driver& Inner() const { return inner_; }

  EnumResult EnumInterface(const GUID& interfaceClass, DWORD index, std::string* path) override;
  HANDLE Open(const std::string& path, bool overlapped) override;
  void Close(HANDLE h) override;
  bool IoControl(HANDLE h, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                 DWORD* returned) override;
  bool StartRead(HANDLE h, void* buffer, DWORD length, IoCompletion* done) override;
  bool StartWrite(HANDLE h, const void* buffer, DWORD length, IoCompletion* done) override;
  void Cancel(HANDLE h) override;
  int AddDeviceListener(DeviceChangeListener listener) override;
  void RemoveDeviceListener(int id) override;

  // Writes one line; any thread.
  void Line(const std::string& text);

 private:
  bool Start(bool read, HANDLE h, const void* buffer, DWORD length, IoCompletion* done);

  Driver& inner_;
  std::ostream& out_;
  std::mutex mutex_;  // one line at a time
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Whether the environment asks for the trace (DOTVANE_TRACE=1).
bool TraceRequested();

}  // namespace os
