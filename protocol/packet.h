// Packets spoken with the display: frame, checksum, type names, outgoing
// frames and the validation of the INFO answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr std::uint8_t kPacketQuery = 0x00;
inline constexpr std::uint8_t kPacketInfo = 0x80;
inline constexpr std::size_t kPacketRawSize = 89;
inline constexpr std::uint8_t kInfoPayloadLength = 0x30;  // 48
inline constexpr std::size_t kInfoPacketSize = 53;

struct Packet {
  std::uint8_t rawLength = 0;              // 0: build the frame from type and arguments
  std::uint8_t raw[kPacketRawSize] = {};   // a complete frame, when rawLength > 0
  std::uint8_t type = 0;
  std::uint8_t arg1 = 0;
  std::uint8_t arg2 = 0;
  std::uint8_t arg3 = 0;
  std::string label;  // "name (XX)" when constructed from a type code

  Packet() = default;
  explicit Packet(std::uint8_t code);

  // Low 8 bits of the negated sum of the 4 header bytes and n payload bytes.
  static std::uint8_t Checksum(const std::uint8_t* header, const std::uint8_t* payload, int n);
  // Name of a type code; "Unknown Command" above 0x90, "" for unnamed codes.
  static const char* TypeName(std::uint8_t code);
};

struct OutgoingFrame {
  std::uint8_t bytes[kPacketRawSize] = {};
  int writeLength = 0;     // read off the assembled frame
  int expectedLength = 0;  // 4 from type and arguments, else the raw length
};

// Assembles the frame for `packet`.  Returns false, and the packet must not
// be sent, when the record does not fit the 89-byte frame: a raw length over
// 89, or a frame announcing more payload than the buffer holds.
bool BuildFrame(const Packet& packet, OutgoingFrame* frame);

enum class InfoOutcome { kAccepted, kChecksumError, kUnknownPacket, kBadHeader };

struct InfoResult {
  InfoOutcome outcome = InfoOutcome::kAccepted;
  std::uint8_t received = 0;  // checksum byte in the packet (checksum error)
  std::uint8_t computed = 0;  // checksum byte it should have been
  std::string manufacturer;
  std::string model;
  std::string version;  // with " (suffix)" when a suffix is present
};

// Validates one complete extended packet: header, payload of p[1] bytes and
// the checksum byte; the tests run in the order of InfoOutcome.  Texts are
// read no further than the end of their fields.
InfoResult ValidateInfo(const std::uint8_t* packet);
