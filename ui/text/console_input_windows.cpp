// Kept apart from the rest of the back end: <windows.h> defines macros
// (MessageBox, IDOK, ...) that clash with the names ui mirrors.
#include "ui/text/console_input_windows.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace text {

namespace {

constexpr DWORD kPollMs = 50;

enum class Ready { kData, kNone, kEnded, kUnknown };

// Whether a read would return at once.  A pipe says how much it holds; a
// console handle is signalled while input events are waiting (a line is
// only complete after Enter, so a console read may still wait for the rest
// of it); a file never blocks.
Ready WaitForInput(HANDLE in, DWORD type) {
  if (type == FILE_TYPE_PIPE) {
    DWORD available = 0;
    if (!PeekNamedPipe(in, nullptr, 0, nullptr, &available, nullptr)) {
      // Wine hands a Unix pipe over as one it cannot look into.
      return GetLastError() == ERROR_BROKEN_PIPE ? Ready::kEnded : Ready::kUnknown;  // else: writer gone
    }
    if (available > 0) return Ready::kData;
    Sleep(kPollMs);
    return Ready::kNone;
  }
  if (type == FILE_TYPE_CHAR) {
    switch (WaitForSingleObject(in, kPollMs)) {
      case WAIT_OBJECT_0:
        return Ready::kData;
      case WAIT_TIMEOUT:
        return Ready::kNone;
      default:
        return Ready::kEnded;
    }
  }
  return Ready::kData;
}

// What a blocking reader hands over: it may outlive the back end, so it
// shares only this with it.
struct Handover {
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<std::string> chunks;
  bool ended = false;
};

// For input that cannot be looked into: a reader thread of its own blocks in
// ReadFile and hands each chunk over; the caller waits for them in bounded
// waits.  Stopped, the caller returns and leaves that thread (detached) with
// the shared hand-over alone, until the input ends or the process does.
bool ReadBlocking(HANDLE in, const std::function<void(std::string)>& chunk, const std::atomic<bool>& stop) {
  auto handover = std::make_shared<Handover>();
  std::thread([in, handover] {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got > 0) {
      {
        std::lock_guard lock(handover->mutex);
        handover->chunks.emplace_back(buffer, got);
      }
      handover->cv.notify_all();
    }
    {
      std::lock_guard lock(handover->mutex);
      handover->ended = true;
    }
    handover->cv.notify_all();
  }).detach();
  std::unique_lock lock(handover->mutex);
  for (;;) {
    handover->cv.wait_for(lock, std::chrono::milliseconds(kPollMs),
                          [&] { return !handover->chunks.empty() || handover->ended; });
    while (!handover->chunks.empty()) {
      std::string next = std::move(handover->chunks.front());
      handover->chunks.pop_front();
      lock.unlock();
      chunk(std::move(next));
      lock.lock();
    }
    if (handover->ended) return true;
    if (stop) return false;
  }
}

}  // namespace

bool ReadStandardInput(const std::function<void(std::string)>& line, const std::atomic<bool>& stop) {
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  const DWORD type = in == nullptr || in == INVALID_HANDLE_VALUE ? FILE_TYPE_UNKNOWN : GetFileType(in);
  std::string pending;
  char buffer[4096];
  bool ended = type == FILE_TYPE_UNKNOWN;
  while (!ended) {
    if (stop) return false;
    const Ready ready = WaitForInput(in, type);
    if (ready == Ready::kNone) continue;
    if (ready == Ready::kUnknown) {
      const bool endedNow = ReadBlocking(
          in,
          [&](std::string data) {
            pending += data;
            std::size_t newline;
            while ((newline = pending.find('\n')) != std::string::npos) {
              line(pending.substr(0, newline));
              pending.erase(0, newline + 1);
            }
          },
          stop);
      if (!endedNow) return false;
      break;
    }
    DWORD got = 0;
    if (ready == Ready::kEnded || !ReadFile(in, buffer, sizeof buffer, &got, nullptr) || got == 0) {
      ended = true;
      break;
    }
    pending.append(buffer, got);
    std::size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      line(pending.substr(0, newline));
      pending.erase(0, newline + 1);
    }
  }
  if (!pending.empty()) line(std::move(pending));
  return true;
}

}  // namespace text
