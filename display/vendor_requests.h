// The vendor control requests of the download and the status request, as
// both the host and the display side know them.
#pragma once

#include <cstdint>

inline constexpr std::uint8_t kVendorRequestType = 2;  // vendor request
inline constexpr std::uint8_t kRecipientDevice = 0;

inline constexpr std::uint8_t kRequestFirmwareLoad = 0xA0;     // EZ-USB memory and CPU control
inline constexpr std::uint16_t kCpuControlRegister = 0x7F92;   // 1 holds the 8051 in reset, 0 lets it run
inline constexpr std::uint8_t kRequestStartTransfer = 0xDF;
inline constexpr std::uint8_t kStartTransferByte = 0x58;
inline constexpr std::uint8_t kRequestChunk = 0xDC;            // value: low 16 bits of the offset
inline constexpr std::uint8_t kRequestStatus = 0xDE;           // 6 status bytes
inline constexpr std::uint8_t kRequestEndTransfer = 0xEF;      // total length, 32-bit little-endian
