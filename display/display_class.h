// Build constants that identify the display: its driver's device-interface
// class and its USB identity.  Discovery finds displays by the class;
// arrival and removal broadcasts are matched by the vendor-id text.
#pragma once

#include <cstdint>

#include "os/types.h"

inline constexpr os::GUID kDisplayInterfaceClass = {
    0x5b7d1c2e, 0x93a4, 0x4f6b, {0x8e, 0x21, 0x6c, 0x0d, 0x47, 0xb9, 0x3a, 0x15}};

inline constexpr std::uint16_t kDisplayVendorId = 0x1209;
inline constexpr std::uint16_t kDisplayProductId = 0x7D50;

// "VID_" and the vendor id in upper-case hexadecimal; device names are
// upper-cased before they are searched for it.
inline constexpr char kVendorIdMatchText[] = "VID_1209";
