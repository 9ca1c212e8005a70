// The hand-off of pipe input from the channel's reader thread to the link's
// packet reader, one chunk at a time.  The producer waits (bounded) until
// the consumer has taken the whole chunk; the consumer waits until a chunk
// or the end of input is there.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "os/sync.h"
#include "os/thread_safety.h"
#include "transport/usb_device.h"

class CDeviceInput : public IDeviceCallbacks {
 public:
  static constexpr std::uint32_t kBufferSize = 1024;
  static constexpr os::DWORD kHandOffWaitMs = 10000;  // how long a producer waits for its chunk to be taken

  CDeviceInput();
  ~CDeviceInput();
  CDeviceInput(const CDeviceInput&) = delete;
  CDeviceInput& operator=(const CDeviceInput&) = delete;

  void OnData(const std::uint8_t* data, std::int32_t length) override;
  void OnDisconnect() override;
  void OnOpen() override;

  // Copies at most `length` bytes of the chunk at hand; 0 at the end of input.
  std::uint32_t Read(void* buffer, std::uint32_t length);
  // Each Reset starts a new connection; a consumer notes the one it reads.
  unsigned Connection();
  // The consumer of `connection` has stopped reading for good: from now on
  // producers hand their chunks over without waiting for them to be taken,
  // and one that is waiting is released.  A consumer of an earlier
  // connection that ends late changes nothing.  Reset undoes it.
  void Abandon(unsigned connection);
  // Clears both events, an abandonment and any chunk left over, before a connect.
  void Reset();

  // For tests.
  std::uint32_t Pending();

 private:
  std::atomic<int> m_active{1};
  std::atomic<bool> m_abandoned{false};
  // A producer that gave up waiting may store its next chunk while the
  // consumer still reads the previous one: the two must not interleave.
  os::Mutex m_mutex;
  unsigned m_connection GUARDED_BY(m_mutex) = 0;
  std::uint32_t m_pending GUARDED_BY(m_mutex) = 0;
  std::uint32_t m_offset GUARDED_BY(m_mutex) = 0;
  std::uint8_t m_buffer[kBufferSize] GUARDED_BY(m_mutex);
  os::Event m_dataReady{os::Event::Mode::kAuto};
  os::Event m_consumed{os::Event::Mode::kAuto};
};
