// The image's version block, fed directly: arbitrary bytes as an image.  The
// version is the first "d.dd" at the first digit after the first "ORVANTA";
// nothing outside the bytes is read, and a block that is not well formed
// sets no version.
#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "image/firmware_image.h"

namespace {

bool Digit(unsigned char c) { return c >= '0' && c <= '9'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly `size` bytes, so that a read past the end is caught.
  const std::vector<unsigned char> bytes(data, data + size);
  FirmwareVersion version{7, 77};
  const VersionBlock block = ReadVersionBlock(std::span<const unsigned char>(bytes.data(), bytes.size()), &version);

  constexpr std::string_view kMarker = "ORVANTA";
  const auto marker = std::search(bytes.begin(), bytes.end(), kMarker.begin(), kMarker.end());
  if (marker == bytes.end()) {
    FUZZ_CHECK(block == VersionBlock::kNoMarker);
  } else {
    const auto text = std::find_if(marker, bytes.end(), Digit);
    const bool wellFormed = bytes.end() - text >= 4 && text[1] == '.' && Digit(text[2]) && Digit(text[3]);
    FUZZ_CHECK(block == (wellFormed ? VersionBlock::kFound : VersionBlock::kMalformed));
    if (wellFormed) {
      FUZZ_CHECK(version.major == text[0] - '0' && version.minor == (text[2] - '0') * 10 + (text[3] - '0'));
    }
  }
  if (block != VersionBlock::kFound) FUZZ_CHECK(version.major == 7 && version.minor == 77);
  return 0;
}
