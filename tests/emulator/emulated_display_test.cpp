#include "emulator/emulated_display.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <tuple>

namespace emu {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint8_t kOut = 0x40;
constexpr std::uint8_t kIn = 0xC0;
const Bytes kQuery = {0, 0, 0, 0};

int Out(EmulatedDisplay& d, std::uint8_t request, std::uint16_t value, Bytes data) {
  return d.ControlTransfer(kOut, request, value, 0, data.data(), static_cast<std::uint16_t>(data.size()));
}

Status ReadStatus(EmulatedDisplay& d) {
  Status s{};
  EXPECT_EQ(d.ControlTransfer(kIn, kRequestStatus, 0, 0, s.data(), 6), 6);
  return s;
}

Bytes Slice(const Bytes& v, std::size_t from, std::size_t n) {
  return {v.begin() + static_cast<std::ptrdiff_t>(from), v.begin() + static_cast<std::ptrdiff_t>(from + n)};
}

Bytes Le32(std::uint32_t n) { return {std::uint8_t(n), std::uint8_t(n >> 8), std::uint8_t(n >> 16), std::uint8_t(n >> 24)}; }

// Bytes that never spell the marker by accident, with a version block near the end if asked.
Bytes MakeImage(std::size_t size, const char* version = nullptr) {
  Bytes image(size);
  for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<std::uint8_t>((i * 7 + 3) % 0x40);
  if (version) {
    const std::string block = std::string("ORVANTA") + std::string(6, '\0') + version + '\0';
    std::memcpy(image.data() + size - block.size() - 10, block.data(), block.size());
  }
  return image;
}

// Sends the image as the host does: 16-bit values, resuming where a refused chunk's status says.
void SendImage(EmulatedDisplay& d, const Bytes& image) {
  ASSERT_EQ(Out(d, kRequestStartTransfer, 0, {0x58}), 1);
  std::size_t offset = 0;
  for (int guard = 0; offset < image.size(); ++guard) {
    ASSERT_LT(guard, 1000);
    const std::size_t n = std::min<std::size_t>(4096, image.size() - offset);
    if (Out(d, kRequestChunk, static_cast<std::uint16_t>(offset), Slice(image, offset, n)) >= 0) {
      offset += n;
      continue;
    }
    const Status s = ReadStatus(d);
    ASSERT_TRUE(s[0] == 0 && s[5] != 0);
    offset = (std::size_t{s[1]} << 16) | (std::size_t{s[2]} << 8) | s[3];
  }
}

std::string TextAt(const Bytes& info, std::size_t payloadOffset) {
  return reinterpret_cast<const char*>(info.data() + 4 + payloadOffset);
}

TEST(EmulatedDisplayIdentity, QueryInTwoWritesIsAnsweredWithOneValidInfo) {
  DisplayConfig config;
  config.suffix = "b";
  EmulatedDisplay d(config);
  int notified = 0;
  d.SetInListener([&] { ++notified; });
  d.BulkOut(kQuery.data(), 2);
  EXPECT_FALSE(d.TakeIn());
  EXPECT_EQ(d.BulkOut(kQuery.data(), 2), EmulatedDisplay::OutResult::kDone);

  auto t = d.TakeIn();
  ASSERT_TRUE(t);
  ASSERT_EQ(t->data.size(), 53u);
  EXPECT_EQ(Slice(t->data, 0, 4), (Bytes{0x80, 0x30, 0x00, 0x00}));
  EXPECT_EQ(std::accumulate(t->data.begin(), t->data.end(), 0u) % 256, 0u);
  EXPECT_EQ(TextAt(t->data, 0), "Orvanta");
  EXPECT_EQ(TextAt(t->data, 24), "Vantor 3");
  EXPECT_EQ(TextAt(t->data, 40), "5.60");
  EXPECT_EQ(TextAt(t->data, 46), "b");
  EXPECT_EQ(notified, 1);
  EXPECT_FALSE(d.TakeIn());

  // Over-long texts are cut so that each stays terminated inside its field.
  auto info = EmulatedDisplay::BuildInfoPacket(std::string(30, 'M'), "", "5.60xy", "ab");
  EXPECT_EQ(TextAt(info, 0) + "|" + TextAt(info, 40) + "|" + TextAt(info, 46), std::string(23, 'M') + "|5.60x|a");
  EXPECT_EQ(EmulatedDisplay::BuildInfoPacket("", "", "", "")[52], 0x50);
}

TEST(EmulatedDisplayIdentity, UnaskedShortsComeFirstAndInfoMaySplit) {
  DisplayConfig config;
  config.unaskedShortPackets = {{0x03, 1, 2, 3}, {0x0A, 0, 0, 0}};
  config.splitInfo = true;
  EmulatedDisplay d(config);
  // A short and an extended packet the display ignores, framed ahead of the Query.
  const Bytes writes = {0x01, 0, 0, 0, 0x81, 0x02, 0, 0, 0xAA, 0xBB, 0x00, 0, 0, 0, 0};
  d.BulkOut(writes.data(), writes.size());

  std::vector<Bytes> got;
  while (auto t = d.TakeIn()) got.push_back(t->data);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0], (Bytes{0x03, 1, 2, 3}));
  EXPECT_EQ(got[1], (Bytes{0x0A, 0, 0, 0}));
  EXPECT_EQ(got[2].size(), 20u);
  got[2].insert(got[2].end(), got[3].begin(), got[3].end());
  EXPECT_EQ(got[2], EmulatedDisplay::BuildInfoPacket("Orvanta", "Vantor 3", "5.60", ""));

  // Power-on drops what was not read; a silent or stuck display answers nothing.
  d.SendUnasked({1, 2, 3, 4});
  d.PowerOn();
  EXPECT_FALSE(d.TakeIn());
  config.answerQuery = false;
  d.SetConfig(config);
  d.BulkOut(kQuery.data(), 4);
  config.answerQuery = true;
  config.writeNeverCompletes = true;
  d.SetConfig(config);
  EXPECT_EQ(d.BulkOut(kQuery.data(), 4), EmulatedDisplay::OutResult::kPending);
  EXPECT_FALSE(d.TakeIn());
  EXPECT_EQ(d.Requests().back().kind, RecordedRequest::Kind::kBulkOut);
  EXPECT_EQ(d.Requests().back().data, kQuery);
}

TEST(EmulatedDisplayUpdate, AgentRefusedFromTheFirstRequestUntilPowerOn) {
  EmulatedDisplay d;
  EXPECT_EQ(Out(d, kRequestFirmwareLoad, kCpuControlRegister, {1}), -1);
  auto config = d.Config();
  config.acceptAgent = true;
  d.SetConfig(config);
  EXPECT_EQ(Out(d, kRequestFirmwareLoad, 0, Bytes(16)), -1) << "the refusal holds for the session";

  d.PowerOn();
  EXPECT_EQ(Out(d, kRequestFirmwareLoad, kCpuControlRegister, {1}), 1);
  EXPECT_EQ(Out(d, kRequestFirmwareLoad, 0, Bytes(3456)), 3456);
  EXPECT_EQ(Out(d, kRequestFirmwareLoad, kCpuControlRegister, {0}), 1);
  EXPECT_EQ(Out(d, kRequestFirmwareLoad, 0, Bytes(4097)), -1);
  EXPECT_FALSE(d.Requests()[0].accepted);
}

TEST(EmulatedDisplayUpdate, EndTruncatesAndKeepsTheVersionWithoutABlock) {
  DisplayConfig config;
  config.restartAfterEnd = false;
  config.refuseEnd = true;
  EmulatedDisplay d(config);
  bool restarted = false;
  d.SetRestartListener([&] { restarted = true; });
  SendImage(d, MakeImage(5000));
  EXPECT_EQ(Out(d, kRequestEndTransfer, 0, Le32(3000)), -1);
  EXPECT_EQ(d.Restarts(), 0);

  config.refuseEnd = false;
  d.SetConfig(config);
  EXPECT_EQ(Out(d, kRequestEndTransfer, 0, Le32(3000)), 4);
  EXPECT_EQ(d.ReceivedImage(), MakeImage(3000));
  EXPECT_EQ(d.CurrentVersion(), "5.60");
  EXPECT_EQ(d.Restarts(), 1);
  EXPECT_FALSE(restarted);
}

}  // namespace
}  // namespace emu
