// The firmware download against a display whose refusals, status answers and
// resume offsets are the fuzzer's.  Whatever it does, the download must end,
// send only what the protocol allows in the order it allows, send the image's
// own bytes at the offsets the display asked for, never resume beyond what it
// has sent, and report success only when the display accepted the end of
// transfer with the whole length.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "emulator/emulated_display.h"
#include "fuzz_check.h"
#include "emulator/inproc/inproc_driver.h"
#include "os/sync.h"
#include "protocol/tamrel.h"

namespace {

using emu::RecordedRequest;
using emu::Status;

inproc::InProcessDriver& Bus() {
  // The fixed pauses of the download are real time; they are shortened the
  // way the product's tests shorten them.  Both live for the whole run.
  static auto* scale = new os::ScopedTimeScale(1000);
  static auto* driver = new inproc::ScopedInProcessDriver;
  (void)scale;
  return **driver;
}

Status ConsumeStatus(FuzzedDataProvider& input, std::uint32_t imageLength) {
  Status status{};
  status[0] = input.ConsumeProbability<float>() < 0.85f ? 0 : input.ConsumeIntegral<std::uint8_t>();
  std::uint32_t offset;
  switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0:
      offset = input.ConsumeIntegralInRange<std::uint32_t>(0, 0xFFFFFF);
      break;
    case 1:  // somewhere in the image, often not on a chunk boundary
      offset = input.ConsumeIntegralInRange<std::uint32_t>(0, imageLength);
      break;
    case 2:  // a chunk boundary
      offset = input.ConsumeIntegralInRange<std::uint32_t>(0, imageLength / CTamrel::kTransferBufferSize) *
               CTamrel::kTransferBufferSize;
      break;
    default:  // just past the end
      offset = imageLength + input.ConsumeIntegralInRange<std::uint32_t>(1, 8);
      break;
  }
  status[1] = static_cast<std::uint8_t>(offset >> 16);
  status[2] = static_cast<std::uint8_t>(offset >> 8);
  status[3] = static_cast<std::uint8_t>(offset);
  status[4] = input.ConsumeIntegral<std::uint8_t>();
  status[5] = input.ConsumeProbability<float>() < 0.9f ? 1 : 0;
  return status;
}

std::uint8_t ImageByte(std::uint32_t at) { return static_cast<std::uint8_t>(at * 131u ^ (at >> 8)); }

bool Is(const RecordedRequest& r, std::uint8_t request) {
  return r.kind != RecordedRequest::Kind::kBulkOut && r.request == request;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  inproc::InProcessDriver& bus = Bus();
  FuzzedDataProvider input(data, size);

  emu::DisplayConfig config;
  config.restartAfterEnd = false;
  config.acceptAgent = input.ConsumeProbability<float>() < 0.05f;
  config.refuseStart = input.ConsumeProbability<float>() < 0.05f;
  config.refuseEnd = input.ConsumeProbability<float>() < 0.1f;
  config.statusFails = input.ConsumeProbability<float>() < 0.05f;
  const auto length = input.ConsumeIntegralInRange<std::uint32_t>(0, 70000);
  // The display's answer to chunk request k is pattern[k % size]: a pattern
  // repeats, as a faulty display's behaviour does.
  std::vector<std::optional<Status>> pattern(input.ConsumeIntegralInRange<std::size_t>(1, 8));
  for (auto& entry : pattern) {
    if (input.ConsumeBool()) entry = ConsumeStatus(input, length);
  }
  config.refuseChunk = [pattern](int n) { return pattern[static_cast<std::size_t>(n) % pattern.size()]; };

  std::vector<std::uint8_t> image(length);
  for (std::uint32_t i = 0; i < length; ++i) image[i] = ImageByte(i);
  ImageStream stream;
  stream.Attach(image.data(), image.size());

  auto display = std::make_shared<emu::EmulatedDisplay>(config);
  const std::string path = bus.Plug(display);
  int result;
  {
    CTamrel link;
    FUZZ_CHECK(link.Open(nullptr) == 1);
    display->ClearRequests();
    result = link.UpdateFirmware(stream);
  }
  bus.Unplug(path);

  // Replay the request log against the protocol.
  const auto log = display->Requests();
  FUZZ_CHECK(!log.empty());
  FUZZ_CHECK(Is(log[0], kRequestFirmwareLoad) && log[0].value == kCpuControlRegister);
  if (config.acceptAgent) {
    FUZZ_CHECK(result == 0);
    for (const auto& r : log) FUZZ_CHECK(Is(r, kRequestFirmwareLoad));
    return 0;
  }
  FUZZ_CHECK(!log[0].accepted);
  FUZZ_CHECK(log.size() >= 2 && Is(log[1], kRequestStartTransfer));
  FUZZ_CHECK(log[1].data.size() == 1 && log[1].data[0] == kStartTransferByte);

  const std::uint64_t chunks = (length + CTamrel::kTransferBufferSize - 1) / CTamrel::kTransferBufferSize;
  const std::uint64_t maxChunkRequests = (CTamrel::ResumeAllowance(length) + 1) * (chunks + 1);
  std::uint64_t offset = 0, chunkRequests = 0, sentEnd = 0;
  bool lastChunkRefused = false, ended = false, endAccepted = false;
  for (std::size_t i = 2; i < log.size(); ++i) {
    const RecordedRequest& r = log[i];
    FUZZ_CHECK(log[1].accepted);
    if (Is(r, kRequestChunk)) {
      FUZZ_CHECK(!ended && !lastChunkRefused);
      FUZZ_CHECK(++chunkRequests <= maxChunkRequests);
      FUZZ_CHECK(offset < length);
      const std::uint64_t n = std::min<std::uint64_t>(CTamrel::kTransferBufferSize, length - offset);
      FUZZ_CHECK(r.value == (offset & 0xFFFF));
      FUZZ_CHECK(r.data.size() == n);
      for (std::uint64_t k = 0; k < n; ++k) FUZZ_CHECK(r.data[k] == ImageByte(static_cast<std::uint32_t>(offset + k)));
      sentEnd = std::max(sentEnd, offset + n);
      if (r.accepted) {
        offset += n;
      } else {
        lastChunkRefused = true;
      }
    } else if (Is(r, kRequestStatus)) {
      FUZZ_CHECK(lastChunkRefused || (ended && !endAccepted));
      FUZZ_CHECK(i + 1 == log.size() || !ended);
      lastChunkRefused = false;
      if (!r.accepted || r.data.size() != 6 || r.data[0] != 0 || r.data[5] == 0) {
        FUZZ_CHECK(i + 1 == log.size());  // nothing follows a status that allows no resume
        break;
      }
      const std::uint64_t resume = (std::uint64_t{r.data[1]} << 16) | (r.data[2] << 8) | r.data[3];
      if (resume > sentEnd) {
        // The display cannot hold bytes it was never sent (and the image
        // cannot be read past its end): no chunk and no end may follow.
        FUZZ_CHECK(i + 1 == log.size());
        break;
      }
      offset = resume;
    } else {
      FUZZ_CHECK(Is(r, kRequestEndTransfer) && !ended && !lastChunkRefused);
      FUZZ_CHECK(offset == length);  // only the whole image is ever ended
      FUZZ_CHECK(r.data.size() == 4);
      FUZZ_CHECK((r.data[0] | (r.data[1] << 8) | (r.data[2] << 16) | (std::uint32_t{r.data[3]} << 24)) == length);
      ended = true;
      endAccepted = r.accepted;
    }
  }
  FUZZ_CHECK(result == (endAccepted ? 1 : 0));
  return 0;
}
