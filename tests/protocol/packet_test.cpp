#include "protocol/packet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

Packet RawPacket(std::uint8_t type, std::vector<std::uint8_t> raw) {
  Packet p(type);
  std::copy(raw.begin(), raw.end(), p.raw);
  p.rawLength = static_cast<std::uint8_t>(raw.size());
  return p;
}

Packet ArgPacket(std::uint8_t type, std::uint8_t a1, std::uint8_t a2, std::uint8_t a3) {
  Packet p(type);
  p.arg1 = a1;
  p.arg2 = a2;
  p.arg3 = a3;
  return p;
}

// Header, payload and a correct checksum byte.
std::vector<std::uint8_t> Extended(std::vector<std::uint8_t> header, std::vector<std::uint8_t> payload) {
  std::vector<std::uint8_t> p = header;
  p.insert(p.end(), payload.begin(), payload.end());
  p.push_back(Packet::Checksum(header.data(), payload.data(), static_cast<int>(payload.size())));
  return p;
}

void Put(std::vector<std::uint8_t>& payload, std::size_t offset, const char* text) {
  std::memcpy(payload.data() + offset, text, std::strlen(text));
}

std::vector<std::uint8_t> Info(const char* manufacturer, const char* model, const char* version, const char* suffix) {
  std::vector<std::uint8_t> payload(kInfoPayloadLength, 0);
  Put(payload, 0, manufacturer);
  Put(payload, 24, model);
  Put(payload, 40, version);
  Put(payload, 46, suffix);
  return Extended({kPacketInfo, kInfoPayloadLength, 0, 0}, payload);
}

TEST(BuildFrameTest, AssemblesFramesAndLengths) {
  Packet update = RawPacket(0x7E, {0x11, 0x22, 0x33, 0x44, 0x55});
  update.arg1 = 9;
  Packet query = RawPacket(0x00, {0x81, 0x40});
  Packet raw84 = RawPacket(0x81, std::vector<std::uint8_t>(89, 0));
  raw84.raw[0] = 0x81;
  raw84.raw[1] = 84;
  const struct {
    const char* name;
    Packet packet;
    std::vector<std::uint8_t> head;
    int write;
    int expected;
  } cases[] = {
      {"query", Packet(0x00), {0, 0, 0, 0, 0}, 4, 4},
      {"query ignores raw bytes", query, {0, 0, 0, 0}, 4, 4},
      {"update ignores raw and args", update, {0x7E, 0x00, 0xC3, 0x3C, 0}, 4, 4},
      {"hv adj keeps only arg1", ArgPacket(0x08, 5, 6, 7), {0x08, 0x05, 0, 0}, 4, 4},
      {"short from args", ArgPacket(0x03, 1, 2, 3), {0x03, 1, 2, 3}, 4, 4},
      {"extended raw with checksum", RawPacket(0x81, {0x80, 0, 0, 0, 0x80}), {0x80, 0, 0, 0, 0x80}, 5, 5},
      {"raw short frame longer than written", RawPacket(0x03, {0x03, 1, 2, 3, 4, 5}), {0x03, 1, 2, 3}, 4, 6},
      {"extended from args", ArgPacket(0x81, 2, 0, 0), {0x81, 2, 0, 0, 0, 0, 0}, 7, 4},
      {"raw frame filling the buffer", raw84, {0x81, 84}, 89, 89},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OutgoingFrame frame;
    ASSERT_TRUE(BuildFrame(c.packet, &frame));
    EXPECT_EQ(std::vector<std::uint8_t>(frame.bytes, frame.bytes + c.head.size()), c.head);
    EXPECT_EQ(frame.writeLength, c.write);
    EXPECT_EQ(frame.expectedLength, c.expected);
  }
}

TEST(BuildFrameTest, RefusesFramesThatDoNotFit) {
  Packet tooLong = RawPacket(0x81, {0x80, 0, 0, 0, 0x80});
  tooLong.rawLength = 90;
  const struct {
    const char* name;
    Packet packet;
  } cases[] = {
      {"raw length over 89", tooLong},
      {"raw frame announcing 85 payload bytes", RawPacket(0x81, {0x81, 85, 0, 0})},
      {"args announcing 85 payload bytes", ArgPacket(0x80, 85, 0, 0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OutgoingFrame frame;
    EXPECT_FALSE(BuildFrame(c.packet, &frame));
    EXPECT_EQ(frame.writeLength, 0);
  }
}

TEST(ChecksumTest, NegatesUnsignedSumModulo256) {
  const std::uint8_t info[4] = {0x80, 0x30, 0, 0};
  const std::uint8_t zeros[48] = {};
  EXPECT_EQ(Packet::Checksum(info, zeros, 48), 0x50);
  // 5 * 0xFF = 0x4FB: bytes must count as unsigned and the sum must wrap.
  const std::uint8_t ones[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  const std::uint8_t one[1] = {0xFF};
  EXPECT_EQ(Packet::Checksum(ones, one, 1), 0x05);
  EXPECT_EQ(Packet::Checksum(info, nullptr, 0), 0x50);
}

TEST(ValidateInfoTest, RejectsInOrder) {
  std::vector<std::uint8_t> badSumWrite = Extended({0x81, 2, 0, 0}, {7, 8});
  badSumWrite.back() ^= 0x01;
  std::vector<std::uint8_t> badSumInfo = Info("Orvanta", "", "", "");
  badSumInfo[10] = 'x';
  const struct {
    const char* name;
    std::vector<std::uint8_t> packet;
    InfoOutcome outcome;
  } cases[] = {
      {"non-info checksum", badSumWrite, InfoOutcome::kChecksumError},
      {"info checksum", badSumInfo, InfoOutcome::kChecksumError},
      {"valid write", Extended({0x81, 2, 0, 0}, {7, 8}), InfoOutcome::kUnknownPacket},
      {"short payload", Extended({0x80, 0x2F, 0, 0}, std::vector<std::uint8_t>(0x2F, 0)), InfoOutcome::kBadHeader},
      {"header byte 2", Extended({0x80, 0x30, 1, 0}, std::vector<std::uint8_t>(48, 0)), InfoOutcome::kBadHeader},
      {"header byte 3", Extended({0x80, 0x30, 0, 1}, std::vector<std::uint8_t>(48, 0)), InfoOutcome::kBadHeader},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const InfoResult r = ValidateInfo(c.packet.data());
    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(r.manufacturer, "");
  }
  const InfoResult r = ValidateInfo(badSumWrite.data());
  EXPECT_EQ(r.received, 0x6F);
  EXPECT_EQ(r.computed, 0x6E);
}

TEST(ValidateInfoTest, ReadsTextsWithinTheirFields) {
  const struct {
    const char* name;
    std::vector<std::uint8_t> packet;
    const char* manufacturer;
    const char* model;
    const char* version;
  } cases[] = {
      {"all zero", Info("", "", "", ""), "", "", ""},
      {"typical", Info("Orvanta", "Vantor 3", "5.60", "b"), "Orvanta", "Vantor 3", "5.60 (b)"},
      {"fields full without NUL",
       Info("MMMMMMMMMMMMMMMMMMMMMMMM", "DDDDDDDDDDDDDDDD", "VVVVVV", "SS"),
       "MMMMMMMMMMMMMMMMMMMMMMMM", "DDDDDDDDDDDDDDDD", "VVVVVV (SS)"},
  };
  EXPECT_EQ(cases[0].packet.back(), 0x50);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const InfoResult r = ValidateInfo(c.packet.data());
    ASSERT_EQ(r.outcome, InfoOutcome::kAccepted);
    EXPECT_EQ(r.manufacturer, c.manufacturer);
    EXPECT_EQ(r.model, c.model);
    EXPECT_EQ(r.version, c.version);
  }
}

TEST(PacketTest, NamesAndLabels) {
  const struct {
    std::uint8_t code;
    const char* name;
    const char* label;
  } cases[] = {
      {0x00, "Query", "Query (00)"},
      {0x0B, "", " (0B)"},
      {0x7E, "Update", "Update (7E)"},
      {0x80, "Info", "Info (80)"},
      {0x82, "ExtKey", "ExtKey (82)"},
      {0x8F, "", " (8F)"},
      {0x90, "Unknown Command", "Unknown Command (90)"},
      {0xA5, "Unknown Command", "Unknown Command (90)"},
      {0xFF, "Unknown Command", "Unknown Command (90)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_STREQ(Packet::TypeName(c.code), c.name);
    const Packet p(c.code);
    EXPECT_EQ(p.label, c.label);
    EXPECT_EQ(p.type, c.code);
    EXPECT_EQ(p.rawLength, 0);
  }
  EXPECT_EQ(Packet().label, "");
}

}  // namespace
