#include "driver/driver_trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace os {

namespace {

// Small numbers for threads, in the order they first trace: easier to follow
// in a log than the system's thread ids.
int ThreadNumber() {
  static std::atomic<int> next{1};
  thread_local const int number = next.fetch_add(1);
  return number;
}

std::string Hex(const void* data, DWORD length, DWORD most) {
  std::string text;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  for (DWORD i = 0; i < length && i < most; ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, " %02X", bytes[i]);
    text += byte;
  }
  if (length > most) text += " ...";
  return text;
}

std::string Handle(HANDLE h) { return "h" + std::to_string(h); }

std::string Failed() { return "failed, error " + std::to_string(GetLastError()); }

// The completion of one traced transfer: writes its line, then passes it on.
class TracedCompletion final : public IoCompletion {
 public:
  TracedCompletion(TracingDriver& trace, bool read, HANDLE h, const void* buffer, IoCompletion* done)
      : trace_(trace), read_(read), h_(h), buffer_(buffer), done_(done) {}

  void Complete(DWORD error, DWORD transferred) override {
    std::string line = std::string("complete ") + (read_ ? "read " : "write ") + Handle(h_) + " -> error " +
                       std::to_string(error) + ", " + std::to_string(transferred) + " bytes";
    // What a read brought is in the buffer now, before the caller's routine
    // can run: its first bytes name the packet.
    if (read_ && error == ERROR_SUCCESS) line += Hex(buffer_, transferred, 8);
    trace_.Line(line);
    IoCompletion* done = done_;
    delete this;
    done->Complete(error, transferred);
  }

  void Discard() { delete this; }

 private:
  ~TracedCompletion() = default;
  TracingDriver& trace_;
  const bool read_;
  const HANDLE h_;
  const void* const buffer_;
  IoCompletion* const done_;
};

const char* ChangeName(UINT eventType) {
  if (eventType == DBT_DEVICEARRIVAL) return "arrival";
  if (eventType == DBT_DEVICEREMOVECOMPLETE) return "removal";
  return "change";
}

}  // namespace

TracingDriver::TracingDriver(Driver& inner, std::ostream& out) : inner_(inner), out_(out) {}

void TracingDriver::Line(const std::string& text) {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
  const std::string line =
      "dotvane-trace " + std::to_string(ms) + " t" + std::to_string(ThreadNumber()) + " " + text + "\n";
  std::lock_guard lock(mutex_);
  out_ << line;
  out_.flush();
}

EnumResult TracingDriver::EnumInterface(const GUID& interfaceClass, DWORD index, std::string* path) {
  const EnumResult result = inner_.EnumInterface(interfaceClass, index, path);
  std::string text = "EnumInterface " + GuidToString(interfaceClass) + " index " + std::to_string(index) + " -> ";
  switch (result) {
    case EnumResult::kOk: text += path != nullptr ? "\"" + *path + "\"" : "ok"; break;
    case EnumResult::kNoMoreItems: text += "no more items"; break;
    case EnumResult::kError: text += "unreadable"; break;
  }
  Line(text);
  return result;
}

HANDLE TracingDriver::Open(const std::string& path, bool overlapped) {
  const HANDLE h = inner_.Open(path, overlapped);
  Line("Open \"" + path + "\"" + (overlapped ? " overlapped" : "") + " -> " +
       (h == INVALID_HANDLE_VALUE ? Failed() : Handle(h)));
  return h;
}

void TracingDriver::Close(HANDLE h) {
  Line("Close " + Handle(h) + " ...");
  inner_.Close(h);
  Line("Close " + Handle(h) + " -> done");
}

bool TracingDriver::IoControl(HANDLE h, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                              DWORD* returned) {
  const bool read = code == kIoctlVendorRead;
  std::string text = "IoControl " + Handle(h) + " ";
  if (read || code == kIoctlVendorWrite) {
    text += read ? "vendor-read" : "vendor-write";
  } else {
    char name[16];
    std::snprintf(name, sizeof name, "code %X", code);
    text += name;
  }
  if (in != nullptr && inSize == 8) {
    // The vendor request record: type, recipient, reserved, request, value, index.
    const auto* r = static_cast<const std::uint8_t*>(in);
    char fields[64];
    std::snprintf(fields, sizeof fields, " request %02X value %X index %X", r[3], unsigned(r[4] | r[5] << 8),
                  unsigned(r[6] | r[7] << 8));
    text += fields;
  }
  text += " length " + std::to_string(outSize);
  if (!read && out != nullptr) text += " data" + Hex(out, outSize, 8);
  DWORD moved = 0;
  const bool ok = inner_.IoControl(h, code, in, inSize, out, outSize, &moved);
  if (returned != nullptr) *returned = moved;
  text += " -> ";
  if (ok) {
    text += "ok " + std::to_string(moved) + " bytes";
    if (read && out != nullptr) text += Hex(out, moved, 8);
  } else {
    text += Failed();
  }
  Line(text);
  return ok;
}

bool TracingDriver::Start(bool read, HANDLE h, const void* buffer, DWORD length, IoCompletion* done) {
  auto* traced = done == nullptr ? nullptr : new TracedCompletion(*this, read, h, buffer, done);
  // The line goes out before the call: the completion may come, and write
  // its own line, before the call returns.
  Line(std::string(read ? "StartRead " : "StartWrite ") + Handle(h) + " length " + std::to_string(length) +
       (read ? "" : " data" + Hex(buffer, length, 8)) + " ...");
  const bool started = read ? inner_.StartRead(h, const_cast<void*>(buffer), length, traced)
                            : inner_.StartWrite(h, buffer, length, traced);
  if (!started) {
    const DWORD error = GetLastError();
    if (traced != nullptr) traced->Discard();
    Line(std::string(read ? "StartRead " : "StartWrite ") + Handle(h) + " -> refused, error " + std::to_string(error));
    SetLastError(error);
  }
  return started;
}

bool TracingDriver::StartRead(HANDLE h, void* buffer, DWORD length, IoCompletion* done) {
  return Start(true, h, buffer, length, done);
}

bool TracingDriver::StartWrite(HANDLE h, const void* buffer, DWORD length, IoCompletion* done) {
  return Start(false, h, buffer, length, done);
}

void TracingDriver::Cancel(HANDLE h) {
  Line("Cancel " + Handle(h) + " ...");
  inner_.Cancel(h);
  Line("Cancel " + Handle(h) + " -> done");
}

int TracingDriver::AddDeviceListener(DeviceChangeListener listener) {
  const int id = inner_.AddDeviceListener([this, listener = std::move(listener)](UINT eventType, const std::string& path) {
    Line(std::string("device ") + ChangeName(eventType) + " \"" + path + "\"");
    listener(eventType, path);
  });
  Line("AddDeviceListener -> " + std::to_string(id));
  return id;
}

void TracingDriver::RemoveDeviceListener(int id) {
  inner_.RemoveDeviceListener(id);
  Line("RemoveDeviceListener " + std::to_string(id) + " -> done");
}

bool TraceRequested() {
  const char* value = std::getenv("DOTVANE_TRACE");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

}  // namespace os
