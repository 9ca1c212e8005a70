// The image's SHA-256, and the check that it is the image the build made:
// the build records the digest of the image it embeds as a resource of its
// own beside it (same name, type "SHA256", 64 lowercase hexadecimal digits),
// and nothing is written to a display from an image that does not match it.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>

#include "os/resources.h"

inline constexpr char kDigestResourceType[] = "SHA256";

// The SHA-256 of `bytes`, computed by the system's own implementation (GLib
// on Linux, BCrypt on Windows); nothing when it cannot be computed.
std::optional<std::array<unsigned char, 32>> Sha256(std::span<const unsigned char> bytes);
// The same as 64 lowercase hexadecimal digits; empty when it cannot be computed.
std::string Sha256Hex(std::span<const unsigned char> bytes);

// True when `image` is exactly the bytes whose digest `module` records for
// the resource `name`.  False when the digest is missing, is not one, or
// differs: an image that cannot be vouched for is treated as damaged.
bool ImageMatchesRecordedDigest(const os::ResourceModule& module, const char* name,
                                std::span<const unsigned char> image);
