// The firmware download against emulated displays: the agent attempt, the
// chunk sequence, resume after a refused chunk and the end of transfer.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
#include <optional>
#include <algorithm>

#include "emulator/emulated_display.h"
#include "image/firmware_image.h"
#include "emulator/inproc/inproc_driver.h"
#include "protocol/tamrel.h"
#include "test_support.h"

namespace {

using Kind = emu::RecordedRequest::Kind;

// A request as a short text, so whole sequences compare and print well:
// "DC 8192 4096", "EF 0 4 F0C20000".
std::string Describe(const emu::RecordedRequest& r) {
  if (r.kind == Kind::kBulkOut) return "OUT " + std::to_string(r.length);
  char text[64];
  std::snprintf(text, sizeof text, "%02X %u %u", r.request, r.value, r.length);
  std::string out = text;
  if (r.request == 0xEF || r.request == 0xDF || (r.request == 0xA0 && r.value == 0x7F92)) {
    out += ' ';
    for (auto b : r.data) {
      std::snprintf(text, sizeof text, "%02X", b);
      out += text;
    }
  }
  if (!r.accepted) out += " refused";
  return out;
}

std::vector<std::string> DescribeAll(const std::vector<emu::RecordedRequest>& requests) {
  std::vector<std::string> out;
  for (const auto& r : requests) out.push_back(Describe(r));
  return out;
}

std::vector<std::string> Chunks(std::uint32_t from, std::uint32_t to, std::uint32_t last) {
  std::vector<std::string> out;
  for (std::uint32_t offset = from; offset < to; offset += 4096) {
    out.push_back("DC " + std::to_string(offset & 0xFFFF) + " " + std::to_string(std::min(4096u, last - offset)));
  }
  return out;
}

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(LoadFirmwareImage(os::ResourceModule::Self(), "BIN_UPDATE", "BIN", image_, version_), 1); }

  std::shared_ptr<emu::EmulatedDisplay> Connect(emu::DisplayConfig config = {}) {
    display_ = std::make_shared<emu::EmulatedDisplay>(config);
    driver_->Plug(display_);
    EXPECT_EQ(link_.Open(&window_), 1);
    display_->ClearRequests();
    return display_;
  }

  std::vector<std::string> Requests() const { return DescribeAll(display_->Requests()); }

  os::ScopedTimeScale fast_{20};
  inproc::ScopedInProcessDriver driver_;
  test::RecordingWindow window_;
  ImageStream image_;
  FirmwareVersion version_;
  std::shared_ptr<emu::EmulatedDisplay> display_;
  CTamrel link_;
};

TEST_F(DownloadTest, TheShippedImageGoesInThirteenChunksAndTheDisplayComesBackWithIt) {
  Connect();
  image_.Seek(0);
  ASSERT_EQ(link_.UpdateFirmware(image_), 1);

  std::vector<std::string> expected = {"A0 32658 1 01 refused", "DF 0 1 58"};
  const auto chunks = Chunks(0, 49904, 49904);
  expected.insert(expected.end(), chunks.begin(), chunks.end());
  expected.push_back("EF 0 4 F0C20000");
  EXPECT_EQ(Requests(), expected);
  EXPECT_EQ(chunks.back(), "DC 49152 752");

  const auto received = display_->ReceivedImage();
  ASSERT_EQ(received.size(), 49904u);
  EXPECT_EQ(std::memcmp(received.data(), image_.Data(), received.size()), 0);

  EXPECT_FALSE(link_.HasReader()) << "the download leaves the link closed";
  EXPECT_TRUE(driver_->WaitForRestarts(10000));
  EXPECT_EQ(display_->CurrentVersion(), "5.71");
}

TEST_F(DownloadTest, TheDownloadAsksForItsRealPausesInOrder) {
  test::WaitRecorder waits;
  Connect();
  ASSERT_EQ(link_.UpdateFirmware(image_), 1);
  EXPECT_EQ(waits.Durations("Sleep"), (std::vector<os::DWORD>{100, 100, 50, 100}));
}

TEST_F(DownloadTest, ADisplayThatTakesTheWholeAgentEndsTheDownloadBeforeAnyStart) {
  emu::DisplayConfig config;
  config.acceptAgent = true;
  Connect(config);
  EXPECT_EQ(link_.UpdateFirmware(image_), 0);
  EXPECT_EQ(Requests(), (std::vector<std::string>{"A0 32658 1 01", "A0 0 3456", "A0 32658 1 00"}));
}

TEST_F(DownloadTest, ResumesFromTheOffsetTheDisplayReports) {
  emu::DisplayConfig config;
  config.refusedChunks[2] = {0x00, 0x00, 0x1F, 0x00, 0x00, 0x01};  // the chunk at 8192; wants 7936 again
  Connect(config);
  // Progress counts what the display holds: after the resume it goes back
  // to the offset the display asked for, not on from where the refusal was.
  std::vector<std::uint64_t> progress;
  ASSERT_EQ(link_.UpdateFirmware(image_, [&](std::uint64_t accepted, std::uint64_t length) {
    EXPECT_EQ(length, 49904u);
    progress.push_back(accepted);
  }), 1);
  ASSERT_GE(progress.size(), 3u);
  EXPECT_EQ((std::vector<std::uint64_t>(progress.begin(), progress.begin() + 3)),
            (std::vector<std::uint64_t>{4096, 8192, 7936 + 4096}));
  EXPECT_EQ(progress.back(), 49904u);
  const auto requests = Requests();
  const std::vector<std::string> around(requests.begin() + 4, requests.begin() + 8);
  EXPECT_EQ(around, (std::vector<std::string>{"DC 8192 4096 refused", "DE 0 6", "DC 7936 4096", "DC 12032 4096"}));
  EXPECT_EQ(requests.back(), "EF 0 4 F0C20000");
  const auto received = display_->ReceivedImage();
  ASSERT_EQ(received.size(), 49904u);
  EXPECT_EQ(std::memcmp(received.data(), image_.Data(), received.size()), 0);
}

TEST_F(DownloadTest, FourRefusedChunksInARowEndTheDownloadAfterThreeResumes) {
  emu::DisplayConfig config;
  for (int n = 1; n <= 4; ++n) config.refusedChunks[n] = {0x00, 0x00, 0x10, 0x00, 0x00, 0x01};
  Connect(config);
  EXPECT_EQ(link_.UpdateFirmware(image_), 0);
  const auto requests = Requests();
  const std::vector<std::string> tail(requests.begin() + 2, requests.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"DC 0 4096", "DC 4096 4096 refused", "DE 0 6", "DC 4096 4096 refused",
                                            "DE 0 6", "DC 4096 4096 refused", "DE 0 6", "DC 4096 4096 refused",
                                            "DE 0 6"}));
}

TEST_F(DownloadTest, AStatusThatDoesNotAllowAResumeEndsAtOnce) {
  const emu::Status refusals[] = {
      {0x01, 0x00, 0x10, 0x00, 0x00, 0x01},  // an error code
      {0x00, 0x00, 0x10, 0x00, 0x00, 0x00},  // no resume flag
      {0x00, 0x00, 0xC3, 0x00, 0x00, 0x01},  // beyond the image's end
      // Beyond the 4096 bytes it has been sent: the rest would never be
      // written, and at the image's end the transfer would be ended over it.
      {0x00, 0x00, 0x10, 0x01, 0x00, 0x01},
      {0x00, 0x00, 0xC2, 0xF0, 0x00, 0x01},
  };
  for (const auto& status : refusals) {
    SCOPED_TRACE(testing::PrintToString(status));
    emu::DisplayConfig config;
    config.refusedChunks[0] = status;
    Connect(config);
    EXPECT_EQ(link_.UpdateFirmware(image_), 0);
    EXPECT_EQ(DescribeAll(display_->Requests()).back(), "DE 0 6");
    EXPECT_EQ(link_.Status(), status) << "the status is what a failure report shows";
    driver_->Unplug(driver_->Paths()[0]);
  }
}

TEST_F(DownloadTest, ARefusedHoldSkipsTheAgentAndARefusedEndReadsTheStatus) {
  emu::DisplayConfig config;
  config.refuseEnd = true;
  config.idleStatus = {0x01, 0x00, 0x10, 0x00, 0x00, 0x01};
  Connect(config);
  EXPECT_EQ(link_.UpdateFirmware(image_), 0);
  const auto requests = Requests();
  EXPECT_EQ(requests[0], "A0 32658 1 01 refused");
  EXPECT_EQ(requests[1], "DF 0 1 58");
  EXPECT_EQ(requests[requests.size() - 2], "EF 0 4 F0C20000 refused");
  EXPECT_EQ(requests.back(), "DE 0 6");
  std::string text;
  link_.FormatStatus(text);
  EXPECT_EQ(text, " (010010000001)");
}

TEST_F(DownloadTest, AnEmptyImageGoesStraightFromStartToEnd) {
  Connect();
  ImageStream empty;
  static const unsigned char nothing[1] = {0};
  empty.Attach(nothing, 0);
  EXPECT_EQ(link_.UpdateFirmware(empty), 1);
  EXPECT_EQ(Requests(), (std::vector<std::string>{"A0 32658 1 01 refused", "DF 0 1 58", "EF 0 4 00000000"}));
}

TEST_F(DownloadTest, PastSixtyFourKilobytesTheChunkValueWrapsWhileTheEndLengthStaysExact) {
  std::vector<unsigned char> big(70000);
  std::iota(big.begin(), big.end(), 0);
  ImageStream stream;
  stream.Attach(big.data(), big.size());
  emu::DisplayConfig config;
  config.refusedChunks[16] = {0x00, 0x01, 0x00, 0x00, 0x00, 0x01};  // the chunk at 65536; wants it again
  Connect(config);
  ASSERT_EQ(link_.UpdateFirmware(stream), 1);
  const auto requests = Requests();
  EXPECT_EQ(requests[17], "DC 61440 4096");
  EXPECT_EQ(requests[18], "DC 0 4096 refused");
  EXPECT_EQ(requests[20], "DC 0 4096");
  EXPECT_EQ(requests[21], "DC 4096 368");
  EXPECT_EQ(requests.back(), "EF 0 4 70110100");
  EXPECT_EQ(display_->ReceivedImage(), std::vector<std::uint8_t>(big.begin(), big.end()));
}

// Agent tables of our own, to show how records are put together into loads.
struct Table {
  std::vector<AgentRecord> records;
  Table(std::initializer_list<std::pair<std::uint16_t, std::uint16_t>> spans) {
    for (const auto& [address, length] : spans) {
      AgentRecord record{};
      record.length = length;
      record.address = address;
      record.type = 0;
      std::memset(record.data, address & 0xFF, sizeof record.data);
      records.push_back(record);
    }
    AgentRecord end{};
    end.type = 1;
    records.push_back(end);
  }
};

TEST_F(DownloadTest, AgentRecordsAreCoalescedUpToTheTransferBufferSize) {
  emu::DisplayConfig config;
  config.acceptAgent = true;
  Connect(config);
  const struct {
    Table table;
    std::vector<std::string> loads;
  } cases[] = {
      {Table{{0, 3000}, {3000, 2000}}, {"A0 0 3000", "A0 3000 2000"}},
      {Table{{0, 1000}, {1000, 2000}}, {"A0 0 3000"}},
      {Table{{0, 100}, {500, 100}}, {"A0 0 100", "A0 500 100"}},
  };
  for (const auto& c : cases) {
    display_->ClearRequests();
    ASSERT_EQ(link_.LoadAgent(c.table.records.data()), 1);
    auto requests = Requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests.front(), "A0 32658 1 01");
    EXPECT_EQ(requests.back(), "A0 32658 1 00");
    EXPECT_EQ(std::vector<std::string>(requests.begin() + 1, requests.end() - 1), c.loads);
  }
}

// A display that takes every chunk once and then asks for the previous one
// again gives the retry budget back each time: without a bound over the
// whole transfer the download would never end.
TEST_F(DownloadTest, ADisplayThatKeepsAskingForEarlierBytesEndsTheDownloadAfterItsAllowance) {
  emu::DisplayConfig config;
  config.refuseChunk = [](int n) -> std::optional<emu::Status> {
    if (n % 2 == 0) return std::nullopt;
    return emu::Status{0x00, 0x00, 0x00, 0x00, 0x00, 0x01};  // from the start again
  };
  Connect(config);
  EXPECT_EQ(link_.UpdateFirmware(image_), 0);
  const auto requests = display_->Requests();
  const auto refused = std::count_if(requests.begin(), requests.end(),
                                     [](const emu::RecordedRequest& r) { return r.request == 0xDC && !r.accepted; });
  // The whole budget once for each of the 13 chunks and once more.
  EXPECT_EQ(CTamrel::ResumeAllowance(49904), 42u);
  EXPECT_EQ(refused, 43) << "42 resumes, then the refusal that ends it";
  EXPECT_EQ(Describe(requests.back()), "DE 0 6");
}

// The allowance never cuts short a display that uses the full budget at
// every chunk: three refusals before each chunk is taken still get through.
TEST_F(DownloadTest, ThreeResumesAtEveryChunkStillCompleteTheDownload) {
  emu::DisplayConfig config;
  config.refuseChunk = [offset = std::uint32_t{0}, streak = 0](int) mutable -> std::optional<emu::Status> {
    if (streak < 3) {
      ++streak;
      return emu::Status{0x00, static_cast<std::uint8_t>(offset >> 16), static_cast<std::uint8_t>(offset >> 8),
                         static_cast<std::uint8_t>(offset), 0x00, 0x01};
    }
    streak = 0;
    offset += 4096;
    return std::nullopt;
  };
  Connect(config);
  EXPECT_EQ(link_.UpdateFirmware(image_), 1);
  EXPECT_EQ(display_->ReceivedImage(), std::vector<std::uint8_t>(image_.Data(), image_.Data() + image_.GetLength()));
}

// Resume offsets the display may give: odd ones and ones going backwards are
// followed exactly; one past the end, or the end itself, cannot continue.
TEST_F(DownloadTest, OddAndBackwardResumeOffsetsAreFollowedExactly) {
  emu::DisplayConfig config;
  config.refusedChunks[2] = {0x00, 0x00, 0x10, 0x01, 0x00, 0x01};  // 4097, odd and backwards
  config.refusedChunks[4] = {0x00, 0x00, 0x00, 0x03, 0x00, 0x01};  // 3, far back
  Connect(config);
  EXPECT_EQ(link_.UpdateFirmware(image_), 1);
  const auto requests = Requests();
  const std::vector<std::string> head(requests.begin() + 2, requests.begin() + 10);
  EXPECT_EQ(head, (std::vector<std::string>{"DC 0 4096", "DC 4096 4096", "DC 8192 4096 refused", "DE 0 6",
                                            "DC 4097 4096", "DC 8193 4096 refused", "DE 0 6", "DC 3 4096"}));
  EXPECT_EQ(requests[10], "DC 4099 4096");
  EXPECT_EQ(requests.back(), "EF 0 4 F0C20000");
  EXPECT_EQ(display_->ReceivedImage(), std::vector<std::uint8_t>(image_.Data(), image_.Data() + image_.GetLength()));
}

// The report a failed download leaves for the update history: the step that
// failed, how far the image got and the status the failure box shows.  The
// return value it explains stays 0.
TEST_F(DownloadTest, AFailedDownloadReportsItsStepOffsetAndStatus) {
  const struct {
    const char* name;
    std::function<void(emu::DisplayConfig&)> display;
    DownloadStep step;
    std::uint32_t offset;
  } cases[] = {
      {"agent taken whole", [](emu::DisplayConfig& c) { c.acceptAgent = true; }, DownloadStep::kAgent, 0},
      {"start refused", [](emu::DisplayConfig& c) { c.refuseStart = true; }, DownloadStep::kStart, 0},
      {"chunk 3 refused",
       [](emu::DisplayConfig& c) { c.refusedChunks[3] = {0x01, 0x00, 0x30, 0x00, 0x00, 0x01}; }, DownloadStep::kChunk,
       12288},
      {"end refused",
       [](emu::DisplayConfig& c) {
         c.refuseEnd = true;
         c.idleStatus = {0x02, 0x00, 0xC2, 0xF0, 0x00, 0x00};
       },
       DownloadStep::kEnd, 49904},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    emu::DisplayConfig config;
    c.display(config);
    Connect(config);
    link_.ClearDownloadReport();
    EXPECT_EQ(link_.LastDownload().step, DownloadStep::kNone);
    image_.Seek(0);
    EXPECT_EQ(link_.UpdateFirmware(image_), 0);
    const DownloadReport report = link_.LastDownload();
    EXPECT_EQ(report.step, c.step);
    EXPECT_EQ(report.offset, c.offset);
    EXPECT_EQ(report.status, link_.Status());
    driver_->Unplug(driver_->Paths()[0]);
  }
  CTamrel neverOpened;
  EXPECT_EQ(neverOpened.UpdateFirmware(image_), 0);
  EXPECT_EQ(neverOpened.LastDownload().step, DownloadStep::kConnect);
}

}  // namespace
