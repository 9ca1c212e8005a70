// A model of a braille display as seen from USB: the display's side of the
// packet protocol, its EZ-USB controller's answers to vendor requests, and
// its restart after a firmware download.
//
// The model speaks USB, not the driver layer: control transfers by their
// setup fields, bulk OUT writes to "brldsp0" and bulk IN transfers from
// "brldsp1".  The in-process driver back end and the umockdev device both
// sit on top of it, so every transport reaches the same display.
//
// Thread-safe: the host's threads and the back end's threads may call in
// at the same time.  Listeners are called without the model's lock held.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "protocol/vendor_requests.h"
#include "transport/display_class.h"

namespace emu {

using Status = std::array<std::uint8_t, 6>;

struct DisplayConfig {
  // What the display says in its INFO answer.
  std::string manufacturer = "Orvanta";
  std::string model = "Vantor 3";
  std::string version = "5.60";
  std::string suffix;  // empty: no suffix byte

  // USB identity; the serial makes the interface path unique.
  std::uint16_t vendorId = kDisplayVendorId;
  std::uint16_t productId = kDisplayProductId;
  std::string serial = "EMU0001";

  // Endpoints.  Without the IN endpoint the host keeps a control-only connection.
  bool hasOutPipe = true;  // "brldsp0"
  bool hasInPipe = true;   // "brldsp1"

  // Identity behaviour.
  bool answerQuery = true;
  bool splitInfo = false;  // the INFO answer arrives in two IN transfers
  std::vector<std::array<std::uint8_t, 4>> unaskedShortPackets;  // sent before each INFO answer, one transfer each

  // Update behaviour.
  bool acceptAgent = false;  // false: the first agent request is refused (STALL)
  std::map<int, Status> refusedChunks;  // chunk request number (0-based, counted since start) -> status answered after the refusal
  // Asked about every chunk request that refusedChunks does not name: a
  // status to refuse it with, or nothing to accept it.  Called with the
  // display's lock held: it must not call the display.
  std::function<std::optional<Status>(int chunkNumber)> refuseChunk;
  Status idleStatus = {0, 0, 0, 0, 0, 0};  // status while nothing has been refused
  bool refuseStart = false;
  bool refuseEnd = false;
  bool statusFails = false;  // status requests are refused (STALL)
  // How long the display takes to answer each chunk request, as a display
  // writing its flash does (0: at once).
  std::uint32_t chunkAcceptMs = 0;

  // Faults.
  bool writeNeverCompletes = false;  // bulk OUT transfers stay pending for ever
  bool failFirstRead = false;        // the first IN transfer after power-on completes with an error

  // After an accepted end of transfer the display leaves the bus and comes
  // back with the version read from the image it received.
  bool restartAfterEnd = true;
  // ...but with its old firmware still running: the image did not take.
  bool keepOldFirmware = false;
};

struct RecordedRequest {
  enum class Kind { kControlIn, kControlOut, kBulkOut };
  Kind kind;
  std::uint8_t requestType = 0;  // bmRequestType (control only)
  std::uint8_t request = 0;      // bRequest (control only)
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  std::uint16_t length = 0;      // wLength, or bytes written
  std::vector<std::uint8_t> data;  // data stage as sent or answered
  bool accepted = true;            // false: STALL / refused
};

class EmulatedDisplay {
 public:
  explicit EmulatedDisplay(DisplayConfig config = {});

  // A control transfer.  For IN transfers (bit 7 of bmRequestType) the model
  // fills `data`.  Returns the bytes moved, or -1 for a STALL.
  int ControlTransfer(std::uint8_t bmRequestType, std::uint8_t bRequest, std::uint16_t wValue, std::uint16_t wIndex,
                      std::uint8_t* data, std::uint16_t wLength);

  enum class OutResult { kDone, kPending, kError };
  // A bulk OUT transfer on "brldsp0".  kPending: the display never takes it.
  OutResult BulkOut(const std::uint8_t* data, std::size_t length);

  struct InTransfer {
    std::vector<std::uint8_t> data;
    bool error = false;
  };
  // The next bulk IN transfer the display has ready on "brldsp1", if any.
  std::optional<InTransfer> TakeIn();
  // Called whenever TakeIn has something new.
  void SetInListener(std::function<void()> listener);

  // Called when the display restarts after an accepted end of transfer; the
  // transport then detaches it and attaches it again, calling PowerOn.
  void SetRestartListener(std::function<void()> listener);
  // Called by the transport when the display (re)appears: session state is
  // reset, pending IN data dropped, and the identity is the current one.
  void PowerOn();

  // Queues bytes as one IN transfer, unasked.
  void SendUnasked(std::vector<std::uint8_t> bytes);

  // Called after every request is recorded, without the lock (fault injection:
  // a test may unplug the display from here).
  void SetRequestObserver(std::function<void(const RecordedRequest&)> observer);

  std::vector<RecordedRequest> Requests() const;
  void ClearRequests();
  DisplayConfig Config() const;
  void SetConfig(DisplayConfig config);
  std::string CurrentVersion() const;
  std::vector<std::uint8_t> ReceivedImage() const;  // bytes up to the accepted end length
  int Restarts() const;

  // The INFO packet the display answers a Query with (53 bytes).
  static std::vector<std::uint8_t> BuildInfoPacket(const std::string& manufacturer, const std::string& model,
                                                   const std::string& version, const std::string& suffix);

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace emu
