// Arbitrary bytes as the embedded firmware image: loading must accept or
// refuse them without reading outside them, and a loaded stream must give
// back exactly those bytes and refuse every seek past their end.
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "fuzz_check.h"
#include "image/firmware_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly `size` bytes, so that a read past the end is caught.
  std::vector<unsigned char> bytes(data, data + size);
  const os::ResourceEntry entry{"BIN_UPDATE", "BIN", bytes.data(), bytes.size()};
  const os::ResourceModule module(std::span<const os::ResourceEntry>(&entry, 1));

  ImageStream stream;
  FirmwareVersion version{7, 77};
  if (!LoadFirmwareImage(module, "BIN_UPDATE", "BIN", stream, version)) {
    FUZZ_CHECK(!stream.IsAttached());
    FUZZ_CHECK(version.major == 7 && version.minor == 77);  // a refusal leaves the version alone
    return 0;
  }
  FUZZ_CHECK(size > 0);
  FUZZ_CHECK(stream.GetLength() == size);
  FUZZ_CHECK(version.major >= 0 && version.major <= 9 && version.minor >= 0 && version.minor <= 99);

  // Read it the way the download does and compare.
  std::vector<unsigned char> chunk(4096);
  std::uint64_t at = 0;
  while (std::uint32_t n = stream.Read(chunk.data(), static_cast<std::uint32_t>(chunk.size()))) {
    FUZZ_CHECK(at + n <= size);
    FUZZ_CHECK(std::memcmp(chunk.data(), bytes.data() + at, n) == 0);
    at += n;
  }
  FUZZ_CHECK(at == size);

  // Seeks: any offset within the image is reached exactly, the end included;
  // one beyond it is reported as a position other than the one asked for.
  const std::uint64_t within = size > 4 ? (std::uint64_t{bytes[0]} << 8 | bytes[1]) % (size + 1) : size;
  FUZZ_CHECK(stream.Seek(within) == within);
  FUZZ_CHECK(stream.Seek(size) == size);
  FUZZ_CHECK(stream.Read(chunk.data(), 1) == 0);
  FUZZ_CHECK(stream.Seek(size + 1) != size + 1);
  FUZZ_CHECK(stream.Seek(UINT64_MAX) != UINT64_MAX);
  return 0;
}
