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
  ASSERT_EQ(Out(d, kRequestStart, 0, {0x58}), 1);
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
  EXPECT_EQ(Out(d, kRequestAgent, kCpuControlRegister, {1}), -1);
  auto config = d.Config();
  config.acceptAgent = true;
  d.SetConfig(config);
  EXPECT_EQ(Out(d, kRequestAgent, 0, Bytes(16)), -1) << "the refusal holds for the session";

  d.PowerOn();
  EXPECT_EQ(Out(d, kRequestAgent, kCpuControlRegister, {1}), 1);
  EXPECT_EQ(Out(d, kRequestAgent, 0, Bytes(3456)), 3456);
  EXPECT_EQ(Out(d, kRequestAgent, kCpuControlRegister, {0}), 1);
  EXPECT_EQ(Out(d, kRequestAgent, 0, Bytes(4097)), -1);
  EXPECT_FALSE(d.Requests()[0].accepted);
}

TEST(EmulatedDisplayUpdate, DownloadInstallsTheImageVersionAndRestarts) {
  EmulatedDisplay d;
  const auto image = MakeImage(10000, "6.05");
  int observed = 0, restarted = 0;
  // Both are called after recording and without the model's lock: asking
  // the model from inside would deadlock otherwise.
  d.SetRequestObserver([&](const RecordedRequest& r) {
    ++observed;
    EXPECT_EQ(d.Requests().back().request, r.request);
  });
  d.SetRestartListener([&] {
    ++restarted;
    EXPECT_EQ(d.CurrentVersion(), "6.05");
  });
  SendImage(d, image);
  ASSERT_EQ(Out(d, kRequestEnd, 0, Le32(10000)), 4);

  EXPECT_EQ(d.ReceivedImage(), image);
  EXPECT_EQ(d.Restarts(), 1);
  EXPECT_EQ(restarted, 1);
  const auto r = d.Requests();
  ASSERT_EQ(r.size(), 5u);
  EXPECT_EQ(observed, 5);
  const std::uint8_t codes[] = {kRequestStart, kRequestChunk, kRequestChunk, kRequestChunk, kRequestEnd};
  const std::uint16_t values[] = {0, 0, 4096, 8192, 0};
  for (std::size_t i = 0; i < r.size(); ++i) {
    EXPECT_EQ(std::tie(r[i].kind, r[i].requestType, r[i].request, r[i].value),
              std::make_tuple(RecordedRequest::Kind::kControlOut, kOut, codes[i], values[i]));
  }
  EXPECT_EQ(r[3].data, Slice(image, 8192, 10000 - 8192));
  EXPECT_EQ(r[4].data, (Bytes{0x10, 0x27, 0, 0}));
}

TEST(EmulatedDisplayUpdate, EndTruncatesAndKeepsTheVersionWithoutABlock) {
  DisplayConfig config;
  config.restartAfterEnd = false;
  config.refuseEnd = true;
  EmulatedDisplay d(config);
  bool restarted = false;
  d.SetRestartListener([&] { restarted = true; });
  SendImage(d, MakeImage(5000));
  EXPECT_EQ(Out(d, kRequestEnd, 0, Le32(3000)), -1);
  EXPECT_EQ(d.Restarts(), 0);

  config.refuseEnd = false;
  d.SetConfig(config);
  EXPECT_EQ(Out(d, kRequestEnd, 0, Le32(3000)), 4);
  EXPECT_EQ(d.ReceivedImage(), MakeImage(3000));
  EXPECT_EQ(d.CurrentVersion(), "5.60");
  EXPECT_EQ(d.Restarts(), 1);
  EXPECT_FALSE(restarted);
}

TEST(EmulatedDisplayUpdate, RefusedChunkReportsWhereToResume) {
  DisplayConfig config;
  config.idleStatus = {0, 0, 0, 0, 7, 0};
  config.refusedChunks = {{2, Status{0, 0x00, 0x1F, 0x00, 0, 1}}, {5, Status{5, 0, 0, 0, 0, 0}}};
  EmulatedDisplay d(config);
  const auto image = MakeImage(3 * 4096 + 100);
  ASSERT_EQ(Out(d, kRequestStart, 0, {0x58}), 1);
  EXPECT_EQ(ReadStatus(d), config.idleStatus);
  EXPECT_EQ(Out(d, kRequestChunk, 0, Slice(image, 0, 4096)), 4096);
  EXPECT_EQ(Out(d, kRequestChunk, 4096, Slice(image, 4096, 4096)), 4096);
  EXPECT_EQ(Out(d, kRequestChunk, 8192, Slice(image, 8192, 4096)), -1);
  EXPECT_EQ(ReadStatus(d), config.refusedChunks[2]);
  EXPECT_EQ(Out(d, kRequestChunk, 7936, Slice(image, 7936, 4096)), 4096);
  EXPECT_EQ(Out(d, kRequestChunk, 12032, Slice(image, 12032, 356)), 356);
  EXPECT_EQ(d.ReceivedImage(), image);
  // A refusal that asks for no resume leaves the expected offset alone.
  EXPECT_EQ(Out(d, kRequestChunk, 12388, {1}), -1);
  EXPECT_EQ(ReadStatus(d), config.refusedChunks[5]);
  EXPECT_EQ(Out(d, kRequestChunk, 12388, {1}), 1);
  EXPECT_EQ(d.ReceivedImage().size(), image.size() + 1);

  config.statusFails = true;
  d.SetConfig(config);
  Status s{};
  EXPECT_EQ(d.ControlTransfer(kIn, kRequestStatus, 0, 0, s.data(), 6), -1);
  EXPECT_EQ(d.ControlTransfer(kOut, kRequestStatus, 0, 0, s.data(), 6), -1);
  EXPECT_EQ(Out(d, 0x33, 0, {9}), -1);
  const auto r = d.Requests();
  EXPECT_EQ(r[1].kind, RecordedRequest::Kind::kControlIn);
  EXPECT_EQ(r[1].data, Bytes(config.idleStatus.begin(), config.idleStatus.end()));
  EXPECT_FALSE(r[4].accepted);
  EXPECT_EQ(r.back().data, Bytes{9});
  EXPECT_FALSE(r.back().accepted);
}

TEST(EmulatedDisplayUpdate, OffsetsPast64KiBAreRebuiltFromSixteenBitValues) {
  DisplayConfig config;
  // Chunk 17 lies at 69632; the display wants it again from 65280, across the 16-bit wrap.
  config.refusedChunks = {{17, Status{0, 0x00, 0xFF, 0x00, 0, 1}}};
  EmulatedDisplay d(config);
  const auto image = MakeImage(150000, "5.71");
  SendImage(d, image);
  ASSERT_EQ(Out(d, kRequestEnd, 0, Le32(150000)), 4);
  EXPECT_EQ(d.ReceivedImage(), image);
  EXPECT_EQ(d.CurrentVersion(), "5.71");
}

}  // namespace
}  // namespace emu
