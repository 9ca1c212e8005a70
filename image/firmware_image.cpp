#include "image/firmware_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

// The only part of the image the program reads; compared byte for byte and
// without a terminating NUL.
constexpr std::string_view kMarker = "ORVANTA";

// Only the ten ASCII digits count: the image is raw bytes, not text in any
// locale, so std::isdigit's locale and signedness rules are no help here.
constexpr bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

}  // namespace

void ImageStream::Attach(const unsigned char* data, std::size_t length) {
  data_ = data;
  length_ = length;
  position_ = 0;
}

std::uint64_t ImageStream::Seek(std::uint64_t position) {
  // The download compares the returned position with the one it asked for,
  // so a refused seek must leave the position where it was.
  if (position <= length_) position_ = position;
  return position_;
}

std::uint32_t ImageStream::Read(void* buffer, std::uint32_t count) {
  if (position_ >= length_ || count == 0) return 0;
  const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, length_ - position_));
  std::memcpy(buffer, data_ + position_, n);
  position_ += n;
  return n;
}

VersionBlock ReadVersionBlock(std::span<const unsigned char> image, FirmwareVersion* version) {
  // find() only reports an occurrence that fits wholly inside the image, and
  // the lowest one: a later marker never gets a say.
  const std::string_view bytes(reinterpret_cast<const char*>(image.data()), image.size());
  const std::size_t marker = bytes.find(kMarker);
  if (marker == std::string_view::npos) return VersionBlock::kNoMarker;

  // The scan starts at the marker itself, not after it; the marker holds no
  // digit, so this is the first digit after it.  Digits before the marker
  // (build numbers in the header and the like) are never considered.
  const auto text = std::find_if(image.begin() + static_cast<std::ptrdiff_t>(marker), image.end(), IsDigit);
  if (image.end() - text < 4) return VersionBlock::kMalformed;
  if (text[1] != '.' || !IsDigit(text[2]) || !IsDigit(text[3])) return VersionBlock::kMalformed;

  version->major = text[0] - '0';
  version->minor = (text[2] - '0') * 10 + (text[3] - '0');
  return VersionBlock::kFound;
}

int LoadFirmwareImage(const os::ResourceModule& module, const char* name, const char* type, ImageStream& stream,
                      FirmwareVersion& version) {
  if (name == nullptr || type == nullptr) return 0;
  const auto image = module.Find(name, type);
  if (!image || image->empty()) return 0;

  // Read into a local first: a malformed block must leave the caller's
  // version exactly as it was, so that the next resource can be tried.
  FirmwareVersion found;
  switch (ReadVersionBlock(*image, &found)) {
    case VersionBlock::kMalformed:
      return 0;
    case VersionBlock::kFound:
      version = found;
      break;
    case VersionBlock::kNoMarker:
      // Usable, just unversioned: the caller keeps whatever it had (0.00).
      break;
  }
  // Always the whole resource: the version block is part of what the display
  // receives.
  stream.Attach(image->data(), image->size());
  return 1;
}

std::string FormatFirmwareVersion(const FirmwareVersion& version) {
  char text[32];
  std::snprintf(text, sizeof text, "%d.%02d", version.major, version.minor);
  return text;
}
