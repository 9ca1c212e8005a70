// The display link: the host's connection to one braille display.
//
// Every connect creates a fresh channel that feeds the embedded hand-off
// buffer; a packet reader thread cuts that input into packets and sends each
// one to the target window.  The link also writes packets, reads the
// display's status and carries the firmware download.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "image/firmware_image.h"
#include "os/thread.h"
#include "os/window.h"
#include "display/agent.h"
#include "protocol/download_report.h"
#include "protocol/packet.h"
#include "display/vendor_requests.h"
#include "transport/device_input.h"
#include "transport/usb_device.h"

inline constexpr os::UINT WM_SHORT_PACKET = os::WM_APP;      // lParam: the 4 bytes, big-endian
inline constexpr os::UINT WM_LONG_PACKET = os::WM_APP + 1;   // wParam: address of the packet

class CTamrel {
 public:
  static constexpr os::DWORD kThreadWaitMs = 10000;
  static constexpr os::UINT kShortPacketTimeoutMs = 20;
  static constexpr os::UINT kLongPacketTimeoutMs = 1000;
  static constexpr std::size_t kFrameBufferSize = ::kFrameBufferSize;
  static constexpr std::uint32_t kTransferBufferSize = 4096;
  static constexpr int kResumeBudget = 3;  // resumes allowed between two accepted chunks
  // Resumes allowed over a whole transfer of an image this long: the budget
  // once for every chunk and once more.
  static std::uint64_t ResumeAllowance(std::uint64_t imageLength);
  // Pauses of the download, in order.
  static constexpr os::DWORD kPauseBeforeClose = 100;
  static constexpr os::DWORD kPauseBeforeAgent = 100;
  static constexpr os::DWORD kPauseBeforeStart = 50;
  static constexpr os::DWORD kPauseBeforeFirstChunk = 100;
  static constexpr os::DWORD kPauseBeforeStatus = 10;

  CTamrel();
  virtual ~CTamrel();
  CTamrel(const CTamrel&) = delete;
  CTamrel& operator=(const CTamrel&) = delete;

  // 1 when connected with a packet reader, or control-only with a status answer.
  int Open(os::HWND target);
  // Every later Open connects only to the display at this interface path;
  // empty (at first), to the first display that can be opened.
  void SetDisplayPath(std::string path) { m_displayPath = std::move(path); }
  const std::string& DisplayPath() const { return m_displayPath; }
  // The interface path of the display the last Open opened; empty before.
  std::string OpenedPath() const { return m_channel ? m_channel->DevicePath() : std::string(); }
  void Close();
  int SendPacket(const Packet& packet);
  int QueryStatus();
  void FormatStatus(std::string& text) const;
  int LoadAgent(const AgentRecord* table);
  // Told after every chunk the display accepted: the bytes it holds so far
  // (the offset the transfer has reached) and the image's length.
  using DownloadProgress = std::function<void(std::uint64_t accepted, std::uint64_t length)>;
  // Runs the whole download and returns 1 once the display accepted the end
  // of the transfer, 0 on any failure.  Blocks until then; each request it
  // makes is bounded, and so is the number of resumes.  It may run on any
  // one thread (the download dialog runs it on a worker of its own, so that
  // the window keeps answering), provided no other thread uses the link
  // until it returns.  `progress` is called on that same thread.
  int UpdateFirmware(ImageStream& stream, const DownloadProgress& progress = {});

  // Body of the packet reader thread.
  static os::DWORD ReadPackets(CTamrel* link);

  const DeviceStatus& Status() const { return m_status; }
  // Where the last UpdateFirmware stopped; its step says why when it returned 0.
  DownloadReport LastDownload() const { return {m_downloadStep, m_downloadOffset, m_status}; }
  void ClearDownloadReport() { m_downloadStep = DownloadStep::kNone; }
  // Why the last Open found no display it could open: ERROR_FILE_NOT_FOUND
  // when none is attached, ERROR_ACCESS_DENIED or ERROR_BUSY when one is
  // there but may not be used; ERROR_SUCCESS after a successful Open.
  os::DWORD OpenError() const { return m_openError; }
  // For tests and diagnostics.
  CUsbDevice* Channel() const { return m_channel.get(); }
  bool IsActive() const { return m_active != 0; }
  bool HasReader() const { return m_readerThread != nullptr; }
  // The packet reader has left its loop (or there never was one).
  bool ReaderEnded() const { return !m_readerThread || m_readerThread->HasEnded(); }

 private:
  void CloseChannelAndReader();
  void JoinReader();
  void DeliverPacket(const std::uint8_t* frame);
  int Request(std::uint8_t request, std::uint16_t value, std::uint32_t length);

  std::unique_ptr<CUsbDevice> m_channel;
  CDeviceInput m_input;
  int m_active = 0;
  std::atomic<os::HWND> m_target{nullptr};
  std::unique_ptr<os::Thread> m_readerThread;
  std::uint8_t m_transfer[kTransferBufferSize] = {};
  DeviceStatus m_status = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  // Readers that did not end within their wait; collected at destruction.
  std::vector<std::unique_ptr<os::Thread>> m_lateReaders;
  os::DWORD m_openError = os::ERROR_SUCCESS;
  std::string m_displayPath;
  // Atomic: the download may run on another thread than the one reading the report.
  std::atomic<DownloadStep> m_downloadStep{DownloadStep::kNone};
  std::atomic<std::uint32_t> m_downloadOffset{0};
};
