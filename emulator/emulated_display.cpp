#include "emulator/emulated_display.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <span>
#include <thread>
#include <utility>

#include "image/firmware_image.h"

namespace emu {

namespace {

constexpr std::uint8_t kVendorOut = 0x40;  // vendor, host to device, recipient device
constexpr std::uint8_t kVendorIn = 0xC0;   // vendor, device to host, recipient device
constexpr std::size_t kMaxRequestData = 4096;
constexpr std::size_t kStatusLength = 6;

// INFO packet layout: header, 48 payload bytes, checksum.
constexpr std::size_t kInfoPayload = 48;
constexpr std::size_t kInfoLength = 4 + kInfoPayload + 1;
constexpr std::size_t kInfoFirstPart = 20;  // where a split INFO answer is cut

// The display's firmware can only write a chunk within a 24-bit address
// space; the status it reports carries offsets of that width.
constexpr std::uint64_t kMaxImageBytes = 1u << 24;

void PutText(std::vector<std::uint8_t>& packet, std::size_t offset, std::size_t field, const std::string& text) {
  // Always leave room for the terminating NUL inside the field: the host reads
  // each text only up to its NUL.
  const std::size_t n = std::min(text.size(), field - 1);
  std::copy_n(text.begin(), n, packet.begin() + static_cast<std::ptrdiff_t>(offset));
}

// The full offset whose low 16 bits are `value` and which lies closest to
// where the display expects the next chunk.  The request's value field only
// carries 16 bits, so the display has to infer the rest.
std::uint64_t ReconstructOffset(std::uint64_t expected, std::uint16_t value) {
  const std::uint64_t base = (expected & ~std::uint64_t{0xFFFF}) | value;
  auto distance = [expected](std::uint64_t x) { return x > expected ? x - expected : expected - x; };
  std::uint64_t best = base;
  if (base >= 0x10000 && distance(base - 0x10000) < distance(best)) best = base - 0x10000;
  if (distance(base + 0x10000) < distance(best)) best = base + 0x10000;
  return best;
}

}  // namespace

struct EmulatedDisplay::Impl {
  mutable std::mutex mutex;
  DisplayConfig config;
  std::string version;  // what the running firmware reports

  std::vector<RecordedRequest> requests;
  std::deque<InTransfer> in;
  std::vector<std::uint8_t> outBytes;  // bulk OUT bytes not yet forming a whole packet

  std::function<void()> inListener;
  std::function<void()> restartListener;
  std::function<void(const RecordedRequest&)> observer;

  // Session state, reset by PowerOn.
  bool agentRefused = false;
  std::vector<std::uint8_t> image;
  int chunkNumber = 0;
  std::uint64_t expectedOffset = 0;
  std::optional<Status> refusedStatus;  // what the last refused chunk left; idle status otherwise

  int restarts = 0;

  void ResetSession() {
    agentRefused = false;
    image.clear();
    chunkNumber = 0;
    expectedOffset = 0;
    refusedStatus.reset();
    in.clear();
    outBytes.clear();
    if (config.failFirstRead) in.push_back(InTransfer{{}, true});
  }

  // Queues the answer to a Query.  Returns whether anything was queued.
  bool AnswerQuery() {
    if (!config.answerQuery || !config.hasInPipe) return false;
    for (const auto& shortPacket : config.unaskedShortPackets) {
      in.push_back(InTransfer{{shortPacket.begin(), shortPacket.end()}, false});
    }
    auto info = BuildInfoPacket(config.manufacturer, config.model, version, config.suffix);
    if (config.splitInfo) {
      const auto cut = info.begin() + kInfoFirstPart;
      in.push_back(InTransfer{{info.begin(), cut}, false});
      in.push_back(InTransfer{{cut, info.end()}, false});
    } else {
      in.push_back(InTransfer{std::move(info), false});
    }
    return true;
  }

  // Cuts the buffered OUT bytes into packets by their own framing (bit 7 of
  // the type byte marks an extended packet of N + 5 bytes) and acts on each.
  bool ParseOut() {
    bool queued = false;
    std::size_t pos = 0;
    while (pos < outBytes.size()) {
      const std::uint8_t type = outBytes[pos];
      std::size_t frame = 4;
      if (type & 0x80) {
        if (outBytes.size() - pos < 2) break;
        frame = std::size_t{outBytes[pos + 1]} + 5;
      }
      if (outBytes.size() - pos < frame) break;
      // The only packet this display answers is the Query; everything else
      // the host might send is accepted and ignored.
      if (type == 0x00) queued |= AnswerQuery();
      pos += frame;
    }
    outBytes.erase(outBytes.begin(), outBytes.begin() + static_cast<std::ptrdiff_t>(pos));
    return queued;
  }

  // Acts on one control request under the lock.  Returns the bytes moved or
  // -1; `restart` is set when the display is about to leave the bus.
  int Control(std::uint8_t bmRequestType, std::uint8_t bRequest, std::uint16_t wValue, std::uint8_t* data,
              std::uint16_t wLength, bool* restart) {
    if (wLength > 0 && data == nullptr) return -1;
    const bool out = bmRequestType == kVendorOut;
    const bool in = bmRequestType == kVendorIn;

    switch (bRequest) {
      case kRequestFirmwareLoad:
        if (!out || wLength > kMaxRequestData) return -1;
        if (wValue == kCpuControlRegister && wLength != 1) return -1;
        // A display whose controller runs the maker's own firmware refuses the
        // agent from the first request on, and keeps refusing until it is
        // powered again.
        if (!config.acceptAgent || agentRefused) {
          agentRefused = true;
          return -1;
        }
        return wLength;

      case kRequestStartTransfer:
        if (!out || wLength != 1 || data[0] != kStartTransferByte || config.refuseStart) return -1;
        image.clear();
        chunkNumber = 0;
        expectedOffset = 0;
        refusedStatus.reset();
        return wLength;

      case kRequestChunk: {
        if (!out || wLength == 0 || wLength > kMaxRequestData) return -1;
        const int n = chunkNumber++;
        std::optional<Status> refusal;
        if (auto it = config.refusedChunks.find(n); it != config.refusedChunks.end()) {
          refusal = it->second;
        } else if (config.refuseChunk) {
          refusal = config.refuseChunk(n);
        }
        if (refusal) {
          const Status& status = *refusal;
          refusedStatus = status;
          if (status[0] == 0 && status[5] != 0) {
            expectedOffset = (std::uint64_t{status[1]} << 16) | (std::uint64_t{status[2]} << 8) | status[3];
          }
          return -1;
        }
        const std::uint64_t offset = ReconstructOffset(expectedOffset, wValue);
        if (offset + wLength > kMaxImageBytes) return -1;
        if (image.size() < offset + wLength) image.resize(offset + wLength);
        std::copy_n(data, wLength, image.begin() + static_cast<std::ptrdiff_t>(offset));
        expectedOffset = offset + wLength;
        return wLength;
      }

      case kRequestStatus: {
        if (!in || config.statusFails) return -1;
        // A device answers at most what it has; a longer request gets a short
        // answer, a shorter one the first bytes.
        const Status status = refusedStatus.value_or(config.idleStatus);
        const std::size_t n = std::min<std::size_t>(kStatusLength, wLength);
        std::copy_n(status.begin(), n, data);
        return static_cast<int>(n);
      }

      case kRequestEndTransfer: {
        if (!out || wLength != 4 || config.refuseEnd) return -1;
        const std::uint32_t total = std::uint32_t{data[0]} | (std::uint32_t{data[1]} << 8) |
                                    (std::uint32_t{data[2]} << 16) | (std::uint32_t{data[3]} << 24);
        if (total < image.size()) image.resize(total);
        FirmwareVersion v;
        if (!config.keepOldFirmware &&
            ReadVersionBlock(std::span<const unsigned char>(image.data(), image.size()), &v) == VersionBlock::kFound) {
          char text[32];
          std::snprintf(text, sizeof text, "%d.%02d", v.major, v.minor);
          version = text;
        }
        ++restarts;
        *restart = config.restartAfterEnd;
        return wLength;
      }

      default:
        return -1;
    }
  }
};

EmulatedDisplay::EmulatedDisplay(DisplayConfig config) : impl_(std::make_shared<Impl>()) {
  impl_->config = std::move(config);
  impl_->version = impl_->config.version;
  impl_->ResetSession();
}

int EmulatedDisplay::ControlTransfer(std::uint8_t bmRequestType, std::uint8_t bRequest, std::uint16_t wValue,
                                     std::uint16_t wIndex, std::uint8_t* data, std::uint16_t wLength) {
  RecordedRequest record{};
  record.kind = (bmRequestType & 0x80) ? RecordedRequest::Kind::kControlIn : RecordedRequest::Kind::kControlOut;
  record.requestType = bmRequestType;
  record.request = bRequest;
  record.value = wValue;
  record.index = wIndex;
  record.length = wLength;

  std::uint32_t busyMs = 0;
  if (bRequest == kRequestChunk && record.kind == RecordedRequest::Kind::kControlOut) {
    std::lock_guard lock(impl_->mutex);
    busyMs = impl_->config.chunkAcceptMs;
  }
  // Busy outside the lock: the display's other traffic goes on meanwhile.
  if (busyMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(busyMs));

  bool restart = false;
  int result;
  std::function<void(const RecordedRequest&)> observer;
  std::function<void()> restartListener;
  {
    std::lock_guard lock(impl_->mutex);
    if (record.kind == RecordedRequest::Kind::kControlOut && data != nullptr) record.data.assign(data, data + wLength);
    result = impl_->Control(bmRequestType, bRequest, wValue, data, wLength, &restart);
    if (record.kind == RecordedRequest::Kind::kControlIn && result > 0) record.data.assign(data, data + result);
    record.accepted = result >= 0;
    impl_->requests.push_back(record);
    observer = impl_->observer;
    if (restart) restartListener = impl_->restartListener;
  }
  if (observer) observer(record);
  if (restartListener) restartListener();
  return result;
}

EmulatedDisplay::OutResult EmulatedDisplay::BulkOut(const std::uint8_t* data, std::size_t length) {
  RecordedRequest record{};
  record.kind = RecordedRequest::Kind::kBulkOut;
  record.length = static_cast<std::uint16_t>(std::min<std::size_t>(length, 0xFFFF));
  if (data != nullptr) record.data.assign(data, data + length);

  OutResult result = OutResult::kDone;
  bool queued = false;
  std::function<void(const RecordedRequest&)> observer;
  std::function<void()> inListener;
  {
    std::lock_guard lock(impl_->mutex);
    impl_->requests.push_back(record);
    observer = impl_->observer;
    if (!impl_->config.hasOutPipe) {
      result = OutResult::kError;
    } else if (impl_->config.writeNeverCompletes) {
      // The display never takes the data, so it never reads it either.
      result = OutResult::kPending;
    } else {
      impl_->outBytes.insert(impl_->outBytes.end(), record.data.begin(), record.data.end());
      queued = impl_->ParseOut();
      if (queued) inListener = impl_->inListener;
    }
  }
  if (observer) observer(record);
  if (inListener) inListener();
  return result;
}

std::optional<EmulatedDisplay::InTransfer> EmulatedDisplay::TakeIn() {
  std::lock_guard lock(impl_->mutex);
  if (impl_->in.empty()) return std::nullopt;
  InTransfer t = std::move(impl_->in.front());
  impl_->in.pop_front();
  return t;
}

void EmulatedDisplay::SetInListener(std::function<void()> listener) {
  std::lock_guard lock(impl_->mutex);
  impl_->inListener = std::move(listener);
}

void EmulatedDisplay::SetRestartListener(std::function<void()> listener) {
  std::lock_guard lock(impl_->mutex);
  impl_->restartListener = std::move(listener);
}

void EmulatedDisplay::PowerOn() {
  std::function<void()> inListener;
  {
    std::lock_guard lock(impl_->mutex);
    impl_->ResetSession();
    if (!impl_->in.empty()) inListener = impl_->inListener;
  }
  if (inListener) inListener();
}

void EmulatedDisplay::SendUnasked(std::vector<std::uint8_t> bytes) {
  std::function<void()> inListener;
  {
    std::lock_guard lock(impl_->mutex);
    impl_->in.push_back(InTransfer{std::move(bytes), false});
    inListener = impl_->inListener;
  }
  if (inListener) inListener();
}

void EmulatedDisplay::SetRequestObserver(std::function<void(const RecordedRequest&)> observer) {
  std::lock_guard lock(impl_->mutex);
  impl_->observer = std::move(observer);
}

std::vector<RecordedRequest> EmulatedDisplay::Requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

void EmulatedDisplay::ClearRequests() {
  std::lock_guard lock(impl_->mutex);
  impl_->requests.clear();
}

DisplayConfig EmulatedDisplay::Config() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->config;
}

void EmulatedDisplay::SetConfig(DisplayConfig config) {
  std::lock_guard lock(impl_->mutex);
  // A test that tweaks a copy of the configuration taken before an update
  // must not undo the version the update installed; only an explicit change
  // of the configured version replaces the running one.
  if (config.version != impl_->config.version) impl_->version = config.version;
  impl_->config = std::move(config);
}

std::string EmulatedDisplay::CurrentVersion() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->version;
}

std::vector<std::uint8_t> EmulatedDisplay::ReceivedImage() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->image;
}

int EmulatedDisplay::Restarts() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->restarts;
}

std::vector<std::uint8_t> EmulatedDisplay::BuildInfoPacket(const std::string& manufacturer, const std::string& model,
                                                           const std::string& version, const std::string& suffix) {
  std::vector<std::uint8_t> packet(kInfoLength, 0);
  packet[0] = 0x80;
  packet[1] = static_cast<std::uint8_t>(kInfoPayload);
  PutText(packet, 4 + 0, 24, manufacturer);
  PutText(packet, 4 + 24, 16, model);
  PutText(packet, 4 + 40, 6, version);
  PutText(packet, 4 + 46, 2, suffix);
  unsigned sum = 0;
  for (std::size_t i = 0; i + 1 < kInfoLength; ++i) sum += packet[i];
  packet[kInfoLength - 1] = static_cast<std::uint8_t>(-sum & 0xFF);
  return packet;
}

}  // namespace emu
