// The firmware image carried inside the program, its version block and the
// read-only stream the download reads it through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "os/resources.h"

struct FirmwareVersion {
  int major = 0;
  int minor = 0;
};

// The version as the program shows it everywhere: "5.71", "4.07".
std::string FormatFirmwareVersion(const FirmwareVersion& version);

// A read-only, fixed-length stream over bytes it neither copies nor owns.
class ImageStream {
 public:
  ImageStream() = default;
  ImageStream(const ImageStream&) = delete;
  ImageStream& operator=(const ImageStream&) = delete;

  // Attaches the stream to `length` bytes at `data`; the position becomes 0.
  void Attach(const unsigned char* data, std::size_t length);
  bool IsAttached() const { return data_ != nullptr; }

  // Absolute seek.  A position beyond the length is refused: the position
  // stays and is returned unchanged.  Seeking to exactly the length is fine.
  std::uint64_t Seek(std::uint64_t position);

  // Copies min(count, length - position) bytes and advances; 0 at the end.
  std::uint32_t Read(void* buffer, std::uint32_t count);

  std::uint64_t GetLength() const { return length_; }
  std::uint64_t GetPosition() const { return position_; }
  const unsigned char* Data() const { return data_; }

 private:
  const unsigned char* data_ = nullptr;
  std::uint64_t length_ = 0;
  std::uint64_t position_ = 0;
};

enum class VersionBlock {
  kNoMarker,   // no "ORVANTA" marker anywhere
  kMalformed,  // a marker, but no well-formed "d.dd" text after it
  kFound,      // *version has been set
};

// Finds the first marker and reads the version text after it.  Shared by
// the program and the emulated display, which reads the version of the
// image it was sent.
VersionBlock ReadVersionBlock(std::span<const unsigned char> image, FirmwareVersion* version);

// Looks the image up by name and type in `module`.  1: `stream` is attached
// to the whole image and `version` set from its block (or left alone when
// there is no marker).  0: no usable image; neither argument was touched.
int LoadFirmwareImage(const os::ResourceModule& module, const char* name, const char* type, ImageStream& stream,
                      FirmwareVersion& version);
