// The status answer of a refused chunk, fed directly: 6 status bytes and the
// end of what the display has been sent.  A resume is allowed only for
// result code 0 with the resume flag, at the big-endian 24-bit offset the
// display gave, and never beyond the bytes it was sent.
#include <cstdint>
#include <cstring>

#include "fuzz_check.h"
#include "protocol/packet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // 6 status bytes, then the end of what was sent, big-endian; missing bytes are 0.
  std::uint8_t bytes[10] = {};
  std::memcpy(bytes, data, size < sizeof bytes ? size : sizeof bytes);
  DeviceStatus status;
  std::memcpy(status.data(), bytes, status.size());
  const std::uint32_t sentEnd = (std::uint32_t{bytes[6]} << 24) | (std::uint32_t{bytes[7]} << 16) |
                                (std::uint32_t{bytes[8]} << 8) | bytes[9];

  const auto resume = ResumeOffset(status, sentEnd);
  const std::uint32_t asked = (std::uint32_t{status[1]} << 16) | (std::uint32_t{status[2]} << 8) | status[3];
  const bool allowed = status[0] == 0 && status[5] != 0 && asked <= sentEnd;
  FUZZ_CHECK(resume.has_value() == allowed);
  if (resume) FUZZ_CHECK(*resume == asked && *resume <= 0xFFFFFF);
  return 0;
}
