#include "test_support.h"

#include <cstring>
#include <thread>

namespace test {

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// ---- RecordingWindow ----------------------------------------------------

os::LRESULT RecordingWindow::SendMessageTimeout(os::UINT message, os::WPARAM wParam, os::LPARAM lParam,
                                                os::UINT /*flags*/, os::UINT timeoutMs, os::LRESULT* result,
                                                std::shared_ptr<const void> /*keepAlive*/) {
  Message m{message, wParam, lParam, {}};
  if (message == os::WM_APP + 1 && wParam != 0) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(wParam);
    m.packet.assign(p, p + 5 + p[1]);
  }
  {
    std::lock_guard lock(mutex_);
    messages_.push_back(std::move(m));
    timeouts_.push_back(timeoutMs);
  }
  cv_.notify_all();
  if (result != nullptr) *result = 0;
  return 1;
}

os::BOOL RecordingWindow::PostMessage(os::UINT message, os::WPARAM wParam, os::LPARAM lParam) {
  {
    std::lock_guard lock(mutex_);
    messages_.push_back(Message{message, wParam, lParam, {}});
  }
  cv_.notify_all();
  return 1;
}

std::vector<RecordingWindow::Message> RecordingWindow::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::size_t RecordingWindow::Count() const {
  std::lock_guard lock(mutex_);
  return messages_.size();
}

bool RecordingWindow::WaitForCount(std::size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, limit, [&] { return messages_.size() >= count; });
}

std::vector<os::UINT> RecordingWindow::Timeouts() const {
  std::lock_guard lock(mutex_);
  return timeouts_;
}

// ---- RecordingCallbacks -------------------------------------------------

void RecordingCallbacks::OnData(const std::uint8_t* data, std::int32_t length) {
  {
    std::lock_guard lock(mutex_);
    if (length == 0) {
      ++empty_;
    } else {
      chunks_.emplace_back(data, data + length);
    }
  }
  cv_.notify_all();
}

void RecordingCallbacks::OnDisconnect() {
  {
    std::lock_guard lock(mutex_);
    ++disconnects_;
  }
  cv_.notify_all();
}

void RecordingCallbacks::OnOpen() {
  std::lock_guard lock(mutex_);
  ++opens_;
}

std::vector<std::vector<std::uint8_t>> RecordingCallbacks::Chunks() const {
  std::lock_guard lock(mutex_);
  return chunks_;
}
int RecordingCallbacks::EmptyChunks() const {
  std::lock_guard lock(mutex_);
  return empty_;
}
int RecordingCallbacks::Disconnects() const {
  std::lock_guard lock(mutex_);
  return disconnects_;
}
int RecordingCallbacks::Opens() const {
  std::lock_guard lock(mutex_);
  return opens_;
}

bool RecordingCallbacks::WaitFor(const std::function<bool(const RecordingCallbacks&)>& done,
                                 std::chrono::milliseconds limit) const {
  return WaitUntil([&] { return done(*this); }, limit);
}

// ---- WatchingDriver -----------------------------------------------------

int WatchingDriver::Enumerations() const {
  std::lock_guard lock(mutex_);
  return enumerations_;
}

std::vector<std::string> WatchingDriver::Opened() const {
  std::lock_guard lock(mutex_);
  return opened_;
}

os::EnumResult WatchingDriver::EnumInterface(const os::GUID& cls, os::DWORD index, std::string* path) {
  {
    std::lock_guard lock(mutex_);
    ++enumerations_;
  }
  return inner_.EnumInterface(cls, index, path);
}

os::HANDLE WatchingDriver::Open(const std::string& path, bool overlapped) {
  {
    std::lock_guard lock(mutex_);
    opened_.push_back(path);
  }
  return inner_.Open(path, overlapped);
}

// ---- CompletionRecorder -------------------------------------------------

void CompletionRecorder::Complete(os::DWORD error, os::DWORD transferred) {
  std::lock_guard lock(mutex_);
  ++calls_;
  error_ = error;
  transferred_ = transferred;
  cv_.notify_all();
}

bool CompletionRecorder::Wait(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, limit, [&] { return calls_ > 0; });
}

CompletionRecorder::Outcome CompletionRecorder::Got() {
  std::lock_guard lock(mutex_);
  return {calls_, error_, transferred_};
}

// ---- BroadcastRecorder --------------------------------------------------

BroadcastRecorder::BroadcastRecorder(os::Driver& driver) : driver_(driver) {
  id_ = driver.AddDeviceListener([this](os::UINT type, const std::string& path) {
    std::lock_guard lock(mutex_);
    events_.emplace_back(type, path);
    cv_.notify_all();
  });
}

BroadcastRecorder::~BroadcastRecorder() { driver_.RemoveDeviceListener(id_); }

bool BroadcastRecorder::WaitForCount(std::size_t count, std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, limit, [&] { return events_.size() >= count; });
}

std::vector<BroadcastRecorder::Event> BroadcastRecorder::Heard() {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<std::uint8_t> VendorRecord(std::uint8_t type, std::uint8_t recipient, std::uint8_t request,
                                       std::uint16_t value, std::uint16_t index) {
  return {type, recipient, 0xA5, request, static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(index >> 8)};
}

// ---- WaitRecorder -------------------------------------------------------

WaitRecorder::WaitRecorder() {
  os::TimeScale::SetObserver([this](const char* what, os::DWORD ms) {
    std::lock_guard lock(mutex_);
    calls_.emplace_back(what, ms);
  });
}

WaitRecorder::~WaitRecorder() { os::TimeScale::SetObserver(nullptr); }

std::vector<std::pair<std::string, os::DWORD>> WaitRecorder::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<os::DWORD> WaitRecorder::Durations(const std::string& what) const {
  std::lock_guard lock(mutex_);
  std::vector<os::DWORD> out;
  for (const auto& [name, ms] : calls_) {
    if (name == what) out.push_back(ms);
  }
  return out;
}

}  // namespace test
