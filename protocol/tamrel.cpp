#include "protocol/tamrel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "os/sync.h"

CTamrel::CTamrel() = default;

CTamrel::~CTamrel() {
  if (m_channel) {
    CloseChannelAndReader();
    m_channel.reset();  // its destructor waits until its pipe reader has ended
  }
  // A packet reader that outlived its wait must end before the link goes.
  // With the channel gone nothing feeds the hand-off buffer any more; a
  // disconnect wakes a reader still waiting there.  Each of its sends is
  // bounded, so these waits end.
  for (auto& reader : m_lateReaders) {
    while (reader->Wait(kShortPacketTimeoutMs) != os::WAIT_OBJECT_0) m_input.OnDisconnect();
  }
  m_lateReaders.clear();
}

void CTamrel::JoinReader() {
  if (!m_readerThread) return;
  if (m_readerThread->Wait(kThreadWaitMs) != os::WAIT_OBJECT_0) {
    m_lateReaders.push_back(std::move(m_readerThread));
  }
  m_readerThread.reset();
}

// Teardown always closes the channel first, which ends the packet reader
// through the hand-off buffer, and then waits for the reader.
void CTamrel::CloseChannelAndReader() {
  if (m_channel) m_channel->Close();
  JoinReader();
}

int CTamrel::Open(os::HWND target) {
  m_target.store(target);
  m_active = 0;
  if (m_channel) {
    CloseChannelAndReader();
    m_channel.reset();
  }
  // Cleared only once the old connection is gone: clearing earlier would take
  // a "consumed" signal from a pipe reader still waiting for it, stalling the
  // teardown for the hand-off's whole bound; and the teardown itself signals
  // (the old reader's empty chunk), which must not reach the new connection.
  m_input.Reset();

  m_channel = std::make_unique<CUsbDevice>();
  m_channel->SetDevicePath(m_displayPath);
  if (!m_channel->Open(0, &m_input)) {
    m_openError = os::GetLastError();
    return 0;
  }
  m_openError = os::ERROR_SUCCESS;

  if (!m_channel->StartReader()) {
    // No display-to-host pipe: a control-only connection, good as long as
    // the display answers the status request.
    return QueryStatus();
  }

  m_readerThread = os::Thread::Create([this] { return ReadPackets(this); });
  m_active = 1;
  return 1;
}

void CTamrel::Close() { CloseChannelAndReader(); }

int CTamrel::SendPacket(const Packet& packet) {
  OutgoingFrame frame;
  if (!BuildFrame(packet, &frame)) return 0;  // does not fit the frame buffer: never sent
  if (m_active == 0 || !m_channel) return 0;
  const int written = m_channel->Write(frame.bytes, frame.writeLength) ? frame.writeLength : 0;
  return written == frame.expectedLength ? 1 : 0;
}

int CTamrel::QueryStatus() {
  if (!m_channel) return 0;
  return m_channel->VendorRead(kVendorRequestType, kRecipientDevice, kRequestStatus, 0, 0, m_status.data(),
                               static_cast<std::uint32_t>(m_status.size()));
}

void CTamrel::FormatStatus(std::string& text) const {
  char formatted[32];
  std::snprintf(formatted, sizeof formatted, " (%02x%02x%02x%02x%02x%02x)", m_status[0], m_status[1], m_status[2],
                m_status[3], m_status[4], m_status[5]);
  text = formatted;
}

void CTamrel::DeliverPacket(const std::uint8_t* frame) {
  os::HWND target = m_target.load();
  if (target == nullptr) return;  // no window: the packet is dropped
  os::LRESULT ignored = 0;
  if (frame[0] & 0x80) {
    // The window reads the packet during the send.  It gets its own copy of
    // the frame, kept alive by the send, so that a handler that starts just
    // as the send times out never reads a buffer the reader has reused.
    auto copy = std::make_shared<std::array<std::uint8_t, kFrameBufferSize>>();
    std::memcpy(copy->data(), frame, kFrameBufferSize);
    const auto address = reinterpret_cast<os::WPARAM>(copy->data());
    target->SendMessageTimeout(WM_LONG_PACKET, address, 0, os::SMTO_NORMAL, kLongPacketTimeoutMs, &ignored,
                               std::move(copy));
  } else {
    const std::uint32_t packed = (std::uint32_t{frame[0]} << 24) | (std::uint32_t{frame[1]} << 16) |
                                 (std::uint32_t{frame[2]} << 8) | std::uint32_t{frame[3]};
    target->SendMessageTimeout(WM_SHORT_PACKET, 0, static_cast<os::LPARAM>(packed), os::SMTO_NORMAL,
                               kShortPacketTimeoutMs, &ignored);
  }
}

os::DWORD CTamrel::ReadPackets(CTamrel* link) {
  std::uint8_t frame[kFrameBufferSize] = {};
  const unsigned connection = link->m_input.Connection();
  const FrameSource read = [link](std::uint8_t* into, std::uint32_t want) { return link->m_input.Read(into, want); };
  // A read that returns nothing means the input has ended: after a
  // disconnect the hand-off buffer gives that answer once, and a further
  // read would wait for a signal that never comes.
  for (bool ended = false; !ended;) {
    const FrameOutcome outcome = ReadFrame(read, frame);
    if (outcome.deliver) link->DeliverPacket(frame);
    ended = outcome.ended;
  }
  // Nothing reads this connection's input any more: the channel must not
  // wait for its chunks to be taken.
  link->m_input.Abandon(connection);
  return 1;
}

int CTamrel::Request(std::uint8_t request, std::uint16_t value, std::uint32_t length) {
  return m_channel->VendorWrite(kVendorRequestType, kRecipientDevice, request, value, 0, m_transfer, length);
}

std::uint64_t CTamrel::ResumeAllowance(std::uint64_t imageLength) {
  const std::uint64_t chunks = (imageLength + kTransferBufferSize - 1) / kTransferBufferSize;
  return std::uint64_t{kResumeBudget} * (chunks + 1);
}

int CTamrel::LoadAgent(const AgentRecord* table) {
  if (!m_channel || table == nullptr) return 0;
  std::uint32_t fill = 0;
  std::uint32_t start = 0;

  m_transfer[0] = 0x01;  // hold the 8051 in reset
  if (!Request(kRequestFirmwareLoad, kCpuControlRegister, 1)) return 0;

  for (const AgentRecord* record = table; record->type == 0; ++record) {
    const std::uint32_t length = std::min<std::uint32_t>(record->length, kTransferBufferSize);
    if (start + fill == record->address && fill + length <= kTransferBufferSize) {
      std::memcpy(m_transfer + fill, record->data, length);
      fill += length;
    } else {
      if (!Request(kRequestFirmwareLoad, static_cast<std::uint16_t>(start), fill)) return 0;
      std::memcpy(m_transfer, record->data, length);
      fill = length;
      start = record->address;
    }
  }
  if (!Request(kRequestFirmwareLoad, static_cast<std::uint16_t>(start), fill)) return 0;

  m_transfer[0] = 0x00;  // let the 8051 run
  return Request(kRequestFirmwareLoad, kCpuControlRegister, 1);
}

int CTamrel::UpdateFirmware(ImageStream& stream, const DownloadProgress& progress) {
  m_downloadStep = DownloadStep::kConnect;  // the report follows each step below
  m_downloadOffset = 0;
  if (!m_channel) return 0;  // never opened: there is nothing to talk to

  os::Sleep(kPauseBeforeClose);
  CloseChannelAndReader();  // the control handle stays open for the requests below
  os::Sleep(kPauseBeforeAgent);

  // A display whose controller takes the whole agent is not one this image
  // is for: that ends the download as failed.  Only a refusal goes on.
  m_downloadStep = DownloadStep::kAgent;
  if (LoadAgent(kAgentTable)) return 0;

  os::Sleep(kPauseBeforeStart);
  m_downloadStep = DownloadStep::kStart;
  m_transfer[0] = kStartTransferByte;
  if (!Request(kRequestStartTransfer, 0, 1)) return 0;
  os::Sleep(kPauseBeforeFirstChunk);

  std::uint32_t n = stream.Read(m_transfer, kTransferBufferSize);
  std::uint32_t offset = 0;
  int budget = kResumeBudget;
  // The budget is given back by every accepted chunk, so a display that
  // takes a chunk and then asks for earlier bytes again could keep the
  // transfer going for ever.  Over the whole transfer it may resume as often
  // as a display refusing every chunk the full budget's worth could.
  std::uint64_t resumesLeft = ResumeAllowance(stream.GetLength());
  std::uint32_t sentEnd = 0;  // the end of the bytes the display has been sent
  m_downloadStep = DownloadStep::kChunk;
  while (n > 0) {
    m_downloadOffset = offset;
    sentEnd = std::max(sentEnd, offset + n);
    if (Request(kRequestChunk, static_cast<std::uint16_t>(offset & 0xFFFF), n)) {
      offset += n;
      budget = kResumeBudget;
      if (progress) progress(offset, stream.GetLength());
    } else {
      os::Sleep(kPauseBeforeStatus);
      if (!QueryStatus()) return 0;
      if (budget == 0 || resumesLeft == 0) return 0;
      const std::optional<std::uint32_t> resume = ResumeOffset(m_status, sentEnd);
      if (!resume) return 0;
      offset = *resume;
      if (stream.Seek(offset) != offset) return 0;
      --budget;
      --resumesLeft;
    }
    n = stream.Read(m_transfer, kTransferBufferSize);
  }

  m_downloadStep = DownloadStep::kEnd;
  m_downloadOffset = offset;
  m_transfer[0] = static_cast<std::uint8_t>(offset);
  m_transfer[1] = static_cast<std::uint8_t>(offset >> 8);
  m_transfer[2] = static_cast<std::uint8_t>(offset >> 16);
  m_transfer[3] = static_cast<std::uint8_t>(offset >> 24);
  if (Request(kRequestEndTransfer, 0, 4)) return 1;

  os::Sleep(kPauseBeforeStatus);
  QueryStatus();
  return 0;
}
