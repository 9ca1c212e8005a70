#include "protocol/packet.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

constexpr std::uint8_t kLastNamedCode = 0x90;
constexpr const char* kUnknownCommand = "Unknown Command";

// One name per code up to and including 0x90; codes the display never uses
// stay empty so that a label still shows the code itself.
constexpr std::array<const char*, kLastNamedCode + 1> MakeTypeNames() {
  std::array<const char*, kLastNamedCode + 1> names{};
  names.fill("");
  names[0x00] = "Query";
  names[0x01] = "Ack";
  names[0x02] = "Nak";
  names[0x03] = "Key";
  names[0x04] = "CR Button";
  names[0x05] = "Wheel";
  names[0x08] = "HV Adj";
  names[0x09] = "Beep";
  names[0x0A] = "Keep Alive";
  names[0x0F] = "Config";
  names[0x78] = "Ack Read EE";
  names[0x79] = "Ack Write EE";
  names[0x7A] = "Nak Read EE";
  names[0x7B] = "Nak Write EE";
  names[0x7C] = "Read EE";
  names[0x7D] = "Write EE";
  names[0x7E] = "Update";
  names[0x7F] = "Diagnostic";
  names[0x80] = "Info";
  names[0x81] = "Write";
  names[0x82] = "ExtKey";
  names[0x90] = kUnknownCommand;
  return names;
}

constexpr auto kTypeNames = MakeTypeNames();

constexpr std::size_t kHeaderSize = 4;
// Header plus checksum byte: what an extended frame needs besides its payload.
constexpr std::size_t kExtendedOverhead = kHeaderSize + 1;

bool IsExtended(std::uint8_t type) { return (type & 0x80) != 0; }

// Where each INFO text sits in the 48-byte payload, and how much room it has.
struct TextField {
  std::size_t offset;
  std::size_t size;
};
constexpr TextField kManufacturerField{0, 24};
constexpr TextField kModelField{24, 16};
constexpr TextField kVersionField{40, 6};
constexpr TextField kSuffixField{46, 2};

// The display is meant to NUL-terminate every text inside its field; one
// that does not is cut at the field end rather than run into its neighbour.
std::string FieldText(const std::uint8_t* payload, TextField field) {
  const std::uint8_t* begin = payload + field.offset;
  const std::uint8_t* end = begin + field.size;
  return std::string(begin, std::find(begin, end, std::uint8_t{0}));
}

}  // namespace

Packet::Packet(std::uint8_t code) : type(code) {
  const std::uint8_t shown = std::min(code, kLastNamedCode);
  char text[64];
  std::snprintf(text, sizeof text, "%s (%02X)", TypeName(shown), static_cast<unsigned>(shown));
  label = text;
}

std::uint8_t Packet::Checksum(const std::uint8_t* header, const std::uint8_t* payload, int n) {
  int sum = 0;
  for (std::size_t i = 0; i < kHeaderSize; ++i) sum += header[i];
  for (int i = 0; i < n; ++i) sum += payload[i];
  return static_cast<std::uint8_t>(-sum & 0xFF);
}

const char* Packet::TypeName(std::uint8_t code) {
  return code > kLastNamedCode ? kUnknownCommand : kTypeNames[code];
}

bool BuildFrame(const Packet& packet, OutgoingFrame* frame) {
  // The record cannot hold more raw bytes than its buffer; a larger count
  // means the record is corrupt, whatever its type would do with them.
  if (packet.rawLength > kPacketRawSize) return false;

  OutgoingFrame built;
  std::uint8_t* bytes = built.bytes;
  bytes[0] = packet.type;
  bool fromRaw = false;
  switch (packet.type) {
    case 0x00:  // Query
    case 0x01:  // Ack
    case 0x02:  // Nak
    case 0x09:  // Beep
      break;
    case 0x08:  // HV Adj carries its level and nothing else
      bytes[1] = packet.arg1;
      break;
    case 0x7E:  // Update always carries the same fixed argument pattern
      bytes[2] = 0xC3;
      bytes[3] = 0x3C;
      break;
    default:
      if (packet.rawLength > 0) {
        std::copy_n(packet.raw, packet.rawLength, bytes);
        fromRaw = true;
      } else {
        bytes[1] = packet.arg1;
        bytes[2] = packet.arg2;
        bytes[3] = packet.arg3;
      }
      break;
  }

  // The length goes by the assembled frame, not by the record's type: a raw
  // frame speaks for itself.
  const std::size_t writeLength = IsExtended(bytes[0]) ? bytes[1] + kExtendedOverhead : kHeaderSize;
  if (writeLength > kPacketRawSize) return false;

  built.writeLength = static_cast<int>(writeLength);
  built.expectedLength = fromRaw ? packet.rawLength : static_cast<int>(kHeaderSize);
  *frame = built;
  return true;
}

InfoResult ValidateInfo(const std::uint8_t* packet) {
  InfoResult result;
  const std::uint8_t length = packet[1];
  const std::uint8_t* payload = packet + kHeaderSize;

  // A damaged packet's type byte cannot be trusted either, so the checksum
  // decides first.
  result.received = payload[length];
  result.computed = Packet::Checksum(packet, payload, length);
  if (result.received != result.computed) {
    result.outcome = InfoOutcome::kChecksumError;
    return result;
  }
  if (packet[0] != kPacketInfo) {
    result.outcome = InfoOutcome::kUnknownPacket;
    return result;
  }
  if (length != kInfoPayloadLength || packet[2] != 0 || packet[3] != 0) {
    result.outcome = InfoOutcome::kBadHeader;
    return result;
  }

  result.manufacturer = FieldText(payload, kManufacturerField);
  result.model = FieldText(payload, kModelField);
  result.version = FieldText(payload, kVersionField);
  if (payload[kSuffixField.offset] != 0) {
    result.version += " (" + FieldText(payload, kSuffixField) + ")";
  }
  return result;
}

FrameOutcome ReadFrame(const FrameSource& read, std::uint8_t (&frame)[kFrameBufferSize]) {
  constexpr std::uint32_t kRoom = kFrameBufferSize - kHeaderSize;  // payload and checksum that fit
  FrameOutcome outcome;
  if (read(frame, kHeaderSize) != kHeaderSize) {
    outcome.ended = true;
    return outcome;
  }
  if (IsExtended(frame[0])) {
    const std::uint32_t body = std::uint32_t{frame[1]} + 1;  // payload and checksum
    if (body > kRoom) {
      // Its bytes are read and dropped so the next header is found where it
      // should be.
      std::uint32_t left = body;
      while (left > 0) {
        const std::uint32_t want = std::min(left, kRoom);
        const std::uint32_t got = read(frame + kHeaderSize, want);
        left -= got;
        outcome.ended = got == 0;
        if (got != want) break;  // the read from the display ended
      }
      return outcome;
    }
    outcome.ended = read(frame + kHeaderSize, body) == 0;
  }
  outcome.deliver = true;
  return outcome;
}

std::optional<std::uint32_t> ResumeOffset(const DeviceStatus& status, std::uint32_t sentEnd) {
  if (status[0] != 0 || status[5] == 0) return std::nullopt;
  const std::uint32_t offset = (std::uint32_t{status[1]} << 16) | (std::uint32_t{status[2]} << 8) | status[3];
  if (offset > sentEnd) return std::nullopt;
  return offset;
}
