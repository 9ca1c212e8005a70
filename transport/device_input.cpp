#include "transport/device_input.h"

#include <algorithm>
#include <cstring>

CDeviceInput::CDeviceInput() = default;
CDeviceInput::~CDeviceInput() = default;

void CDeviceInput::OnData(const std::uint8_t* data, std::int32_t length) {
  // The channel never delivers more than one read (256 bytes); anything
  // beyond the buffer is cut rather than written past it.
  const std::uint32_t stored = length <= 0 ? 0 : std::min<std::uint32_t>(static_cast<std::uint32_t>(length), kBufferSize);
  {
    // Signalled under the lock, together with the chunk: a consumer that
    // finds the chunk already there must not meet the signal only after it
    // has drained the chunk, or its next read would wake for nothing.
    os::MutexLock lock(m_mutex);
    if (stored > 0) std::memcpy(m_buffer, data, stored);
    m_pending = stored;
    m_offset = 0;
    m_dataReady.Set();
  }
  // Taken in time or not, the producer goes on: a consumer that stalls
  // loses the rest of this chunk to the next one.  Nobody will take it once
  // the consumer has gone, and waiting then would only hold up the channel
  // (and whoever closes it) for the whole bound, chunk after chunk.
  if (stored != 0 && !m_abandoned.load()) os::WaitForSingleObject(m_consumed, kHandOffWaitMs);
}

void CDeviceInput::OnDisconnect() {
  m_active.store(0);
  os::MutexLock lock(m_mutex);
  m_pending = 0;
  m_dataReady.Set();
}

void CDeviceInput::OnOpen() { m_active.store(1); }

std::uint32_t CDeviceInput::Read(void* buffer, std::uint32_t length) {
  bool nothingPending;
  {
    os::MutexLock lock(m_mutex);
    nothingPending = m_pending == 0;
  }
  if (nothingPending && os::WaitForSingleObject(m_dataReady, os::INFINITE) != os::WAIT_OBJECT_0) return 0;
  if (m_active.load() == 0) return 0;

  bool drained;
  std::uint32_t n;
  {
    os::MutexLock lock(m_mutex);
    n = std::min(m_pending, length);
    std::memcpy(buffer, m_buffer + m_offset, n);
    m_pending -= n;
    m_offset += n;
    // Only taking a chunk's last bytes drains it.  A read that found nothing
    // (the input ended meanwhile) must neither clear the end's signal nor
    // tell the producer a chunk was taken that it never stored.
    drained = n > 0 && m_pending == 0;
    if (drained) {
      m_offset = 0;
      // A signal that came while the chunk was being read belongs to it.
      m_dataReady.Reset();
    }
  }
  if (drained) m_consumed.Set();
  return n;
}

unsigned CDeviceInput::Connection() {
  os::MutexLock lock(m_mutex);
  return m_connection;
}

void CDeviceInput::Abandon(unsigned connection) {
  os::MutexLock lock(m_mutex);
  if (connection != m_connection) return;
  m_abandoned.store(true);
  m_consumed.Set();
}

void CDeviceInput::Reset() {
  {
    os::MutexLock lock(m_mutex);
    ++m_connection;
    m_abandoned.store(false);
    // A chunk stored after the last connection had ended (its channel's
    // reader delivering one more read while the input was inactive) belongs
    // to that connection: the next one must start with nothing pending, or
    // its first read would take old bytes for the new display's.
    m_pending = 0;
    m_offset = 0;
  }
  m_dataReady.Reset();
  m_consumed.Reset();
}

std::uint32_t CDeviceInput::Pending() {
  os::MutexLock lock(m_mutex);
  return m_pending;
}
