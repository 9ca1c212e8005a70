// Packets spoken with the display: frame, checksum, type names, outgoing
// frames and the validation of the INFO answer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
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

// ---- The packet reader's framing --------------------------------------------

inline constexpr std::size_t kFrameBufferSize = 256;

// Where the reader's bytes come from: copies at most `want` bytes into
// `into`, never across the end of one read from the display, and returns how
// many; 0 once the input has ended.
using FrameSource = std::function<std::uint32_t(std::uint8_t* into, std::uint32_t want)>;

struct FrameOutcome {
  bool deliver = false;  // `frame` holds a packet for the window
  bool ended = false;    // the input has ended: read no further
};

// Cuts the next packet off `read` into `frame`: 4 header bytes, and for an
// extended type (high bit set) the p[1] payload bytes and the checksum byte.
// A header cut short by the end of a read ends the input.  An extended
// packet longer than the frame buffer is read and dropped, never delivered.
// One whose body is cut short by the end of a read is delivered as it
// stands: the window's checksum test is the guard against a split packet.
FrameOutcome ReadFrame(const FrameSource& read, std::uint8_t (&frame)[kFrameBufferSize]);

// ---- The status answer ------------------------------------------------------

// The 6 bytes the display answers the status request with: result code,
// 24-bit big-endian resume offset, one uninterpreted byte, resume flag.
using DeviceStatus = std::array<std::uint8_t, 6>;

// The offset a refused chunk's status asks the download to resume from, or
// nothing when it allows no resume: a result code other than 0, no resume
// flag, or an offset beyond `sentEnd`, the end of the bytes the display has
// ever been sent.  No honest display holds bytes it was never sent; one
// that says so would have the download skip them.
std::optional<std::uint32_t> ResumeOffset(const DeviceStatus& status, std::uint32_t sentEnd);
