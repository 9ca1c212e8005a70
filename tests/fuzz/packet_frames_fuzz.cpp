// The packet reader's framing and the INFO validation, fed directly: the
// display's bytes, cut into reads the fuzzer chooses, go through ReadFrame
// as the packet reader calls it, and every extended packet it delivers
// through ValidateInfo as the main window calls it.  No threads, no window:
// this is the byte parsing of packet_stream at thousands of inputs a second.
// What must hold: no read outside the frame or the packet; each call either
// takes bytes or ends; what is delivered is exactly what was read; an
// accepted INFO is a well-formed one and its texts stay in their fields.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "protocol/packet.h"

namespace {

// The hand-off buffer's answers without its threads: a read never crosses
// the end of one read from the display, and 0 means the input has ended.
class Reads {
 public:
  explicit Reads(std::vector<std::vector<std::uint8_t>> reads) : reads_(std::move(reads)) {}

  std::uint32_t Take(std::uint8_t* into, std::uint32_t want) {
    if (current_ == reads_.size()) return 0;
    const std::vector<std::uint8_t>& read = reads_[current_];
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(want, read.size() - offset_));
    std::memcpy(into, read.data() + offset_, n);
    taken_.insert(taken_.end(), read.begin() + static_cast<std::ptrdiff_t>(offset_),
                  read.begin() + static_cast<std::ptrdiff_t>(offset_ + n));
    offset_ += n;
    if (offset_ == read.size()) {
      ++current_;
      offset_ = 0;
    }
    return n;
  }

  // Every byte handed out so far, in order.
  const std::vector<std::uint8_t>& Taken() const { return taken_; }

 private:
  std::vector<std::vector<std::uint8_t>> reads_;
  std::size_t current_ = 0;
  std::size_t offset_ = 0;
  std::vector<std::uint8_t> taken_;
};

void CheckInfo(const std::uint8_t* frame) {
  // The window validates a copy of exactly the frame buffer: reading past it
  // is a finding.
  const std::vector<std::uint8_t> copy(frame, frame + kFrameBufferSize);
  const InfoResult info = ValidateInfo(copy.data());
  if (info.outcome == InfoOutcome::kChecksumError) {
    FUZZ_CHECK(info.received != info.computed);
    return;
  }
  FUZZ_CHECK(info.received == info.computed);
  if (info.outcome != InfoOutcome::kAccepted) return;
  FUZZ_CHECK(copy[0] == kPacketInfo && copy[1] == kInfoPayloadLength && copy[2] == 0 && copy[3] == 0);
  FUZZ_CHECK(info.manufacturer.size() <= 24 && info.model.size() <= 16);
  FUZZ_CHECK(info.version.size() <= 6 + 5);  // the version, and " (" suffix ")"
  for (const std::string* text : {&info.manufacturer, &info.model}) {
    FUZZ_CHECK(text->find('\0') == std::string::npos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  // Each read is 1 to 256 bytes, as the channel reads them.
  std::vector<std::vector<std::uint8_t>> cut;
  while (input.remaining_bytes() > 0) {
    const auto length = input.ConsumeIntegralInRange<std::size_t>(1, 256);
    auto bytes = input.ConsumeBytes<std::uint8_t>(length);
    if (bytes.empty()) break;
    cut.push_back(std::move(bytes));
  }
  Reads reads(std::move(cut));

  std::uint8_t frame[kFrameBufferSize] = {};
  const FrameSource source = [&](std::uint8_t* into, std::uint32_t want) {
    FUZZ_CHECK(into >= frame && want <= static_cast<std::uint32_t>(frame + kFrameBufferSize - into));
    return reads.Take(into, want);
  };
  for (bool ended = false; !ended;) {
    const std::size_t before = reads.Taken().size();
    const FrameOutcome outcome = ReadFrame(source, frame);
    const std::vector<std::uint8_t>& taken = reads.Taken();
    FUZZ_CHECK(outcome.ended || taken.size() >= before + 4);  // every frame takes its header at least
    if (outcome.deliver) {
      const std::size_t got = taken.size() - before;
      FUZZ_CHECK(got >= 4 && got <= kFrameBufferSize);
      FUZZ_CHECK(std::equal(taken.begin() + static_cast<std::ptrdiff_t>(before), taken.end(), frame));
      if ((frame[0] & 0x80) == 0) {
        FUZZ_CHECK(got == 4);
      } else {
        FUZZ_CHECK(got <= 4u + frame[1] + 1u);
        CheckInfo(frame);
      }
    }
    ended = outcome.ended;
  }
  return 0;
}
