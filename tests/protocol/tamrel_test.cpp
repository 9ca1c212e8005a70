// The display link over emulated displays: connect, packet delivery to the
// window, control-only connections, Close and reconnect.
#include "protocol/tamrel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "emulator/emulated_display.h"
#include "emulator/inproc/inproc_driver.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;

class TamrelTest : public ::testing::Test {
 protected:
  std::shared_ptr<emu::EmulatedDisplay> Plug(emu::DisplayConfig config = {}) {
    auto display = std::make_shared<emu::EmulatedDisplay>(config);
    driver_->Plug(display);
    return display;
  }

  static int Query(CTamrel& link) { return link.SendPacket(Packet(kPacketQuery)); }

  inproc::ScopedInProcessDriver driver_;
  test::RecordingWindow window_;
};

TEST_F(TamrelTest, ANewLinkHasNoChannelAndAnUnknownStatus) {
  CTamrel link;
  std::string text = "replaced";
  link.FormatStatus(text);
  EXPECT_EQ(text, " (ffffffffffff)");
  EXPECT_EQ(Query(link), 0);
  EXPECT_EQ(link.QueryStatus(), 0);
  ImageStream stream;
  EXPECT_EQ(link.UpdateFirmware(stream), 0) << "a link that was never opened has nothing to talk to";
}

TEST_F(TamrelTest, OpenFailsWithoutADisplay) {
  CTamrel link;
  EXPECT_EQ(link.Open(&window_), 0);
  EXPECT_FALSE(link.HasReader());
  EXPECT_EQ(Query(link), 0);
}

TEST_F(TamrelTest, TheInfoAnswerReachesTheWindowAsALongPacket) {
  Plug();
  CTamrel link;
  ASSERT_EQ(link.Open(&window_), 1);
  ASSERT_EQ(Query(link), 1);
  ASSERT_TRUE(window_.WaitForCount(1));
  const auto message = window_.Messages()[0];
  EXPECT_EQ(message.message, WM_LONG_PACKET);
  EXPECT_EQ(message.lParam, 0);
  ASSERT_EQ(message.packet.size(), kInfoPacketSize);
  const InfoResult info = ValidateInfo(message.packet.data());
  EXPECT_EQ(info.outcome, InfoOutcome::kAccepted);
  EXPECT_EQ(info.manufacturer, "Orvanta");
  EXPECT_EQ(info.version, "5.60");
  EXPECT_EQ(window_.Timeouts()[0], 1000u);
}

TEST_F(TamrelTest, ShortPacketsArePackedBigEndianWithAShortTimeout) {
  emu::DisplayConfig config;
  config.unaskedShortPackets = {{0x03, 0x10, 0x20, 0x30}};
  Plug(config);
  CTamrel link;
  ASSERT_EQ(link.Open(&window_), 1);
  ASSERT_EQ(Query(link), 1);
  ASSERT_TRUE(window_.WaitForCount(2));
  const auto messages = window_.Messages();
  EXPECT_EQ(messages[0].message, WM_SHORT_PACKET);
  EXPECT_EQ(messages[0].wParam, 0u);
  EXPECT_EQ(messages[0].lParam, 0x03102030);
  EXPECT_EQ(window_.Timeouts()[0], 20u);
  EXPECT_EQ(messages[1].message, WM_LONG_PACKET);
}

TEST_F(TamrelTest, SeveralPacketsInOneReadAreDeliveredInOrder) {
  auto display = Plug();
  CTamrel link;
  ASSERT_EQ(link.Open(&window_), 1);
  auto bytes = emu::EmulatedDisplay::BuildInfoPacket("A", "B", "5.00", "");
  const std::vector<std::uint8_t> keys = {0x03, 1, 2, 3, 0x03, 4, 5, 6};
  bytes.insert(bytes.begin(), keys.begin(), keys.end());
  display->SendUnasked(bytes);
  ASSERT_TRUE(window_.WaitForCount(3));
  const auto messages = window_.Messages();
  EXPECT_EQ(messages[0].lParam, 0x03010203);
  EXPECT_EQ(messages[1].lParam, 0x03040506);
  EXPECT_EQ(ValidateInfo(messages[2].packet.data()).outcome, InfoOutcome::kAccepted);
}

TEST_F(TamrelTest, AnInfoSplitAcrossTwoReadsArrivesDamagedNotReassembled) {
  emu::DisplayConfig config;
  config.splitInfo = true;
  Plug(config);
  CTamrel link;
  ASSERT_EQ(link.Open(&window_), 1);
  ASSERT_EQ(Query(link), 1);
  ASSERT_TRUE(window_.WaitForCount(1));
  const auto first = window_.Messages()[0];
  ASSERT_EQ(first.message, WM_LONG_PACKET);
  EXPECT_EQ(ValidateInfo(first.packet.data()).outcome, InfoOutcome::kChecksumError);
}

TEST_F(TamrelTest, AnExtendedPacketLongerThanTheFrameBufferIsDroppedAndTheNextOneFound) {
  auto display = Plug();
  CTamrel link;
  ASSERT_EQ(link.Open(&window_), 1);
  // Payload of 255 bytes: 260 bytes in all, more than the 256-byte frame buffer.
  std::vector<std::uint8_t> oversized(256, 0x55);
  oversized[0] = 0x82;
  oversized[1] = 0xFF;
  display->SendUnasked(oversized);
  display->SendUnasked({0x55, 0x55, 0x55, 0x55, 0x03, 0x10, 0x20, 0x30});
  ASSERT_TRUE(window_.WaitForCount(1));
  std::this_thread::sleep_for(20ms);
  const auto messages = window_.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].message, WM_SHORT_PACKET);
  EXPECT_EQ(messages[0].lParam, 0x03102030);
}

// With the packet reader gone nobody takes the display's further chunks;
// the channel must not wait for them, or Close would wait the hand-off's
// whole bound for each.  Real time here, so a wait would show.
TEST_F(TamrelTest, AHeaderCutShortEndsThePacketReaderAndLaterChunksDoNotHoldClose) {
  auto display = Plug();
  CTamrel link;
  ASSERT_EQ(link.Open(&window_), 1);
  display->SendUnasked({0x03, 0x10});
  for (int i = 0; i < 3; ++i) display->SendUnasked({0x03, 0x10, 0x20, 0x30});
  for (int i = 0; i < 200 && !link.ReaderEnded(); ++i) std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(link.ReaderEnded());
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(window_.Count(), 0u) << "after a short header nothing more is delivered";
  const auto start = std::chrono::steady_clock::now();
  link.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

// The display goes away after the header of an extended packet: the body
// read returns the end of input, the packet is still delivered, and the
// reader ends instead of waiting for a next header that cannot come.
TEST_F(TamrelTest, ADisplayLostInTheMiddleOfAPacketEndsThePacketReader) {
  auto display = Plug();
  CTamrel link;
  ASSERT_EQ(link.Open(&window_), 1);
  display->SendUnasked({0x80, 0x30, 0x00, 0x00});
  std::this_thread::sleep_for(50ms);  // the reader has the header and waits for the body
  driver_->Unplug(driver_->Paths()[0]);
  for (int i = 0; i < 400 && !link.ReaderEnded(); ++i) std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(link.ReaderEnded()) << "the packet reader still waits after the end of its input";
  EXPECT_EQ(window_.Count(), 1u);
  const auto start = std::chrono::steady_clock::now();
  link.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(TamrelTest, ARecordThatDoesNotFitTheFrameIsNeverWritten) {
  auto display = Plug();
  CTamrel link;
  ASSERT_EQ(link.Open(&window_), 1);
  Packet oversized(0x81);
  oversized.rawLength = 90;
  EXPECT_EQ(link.SendPacket(oversized), 0);
  Packet announcesTooMuch(0x81);
  announcesTooMuch.rawLength = 5;
  announcesTooMuch.raw[0] = 0x81;
  announcesTooMuch.raw[1] = 85;  // 90 bytes in all
  EXPECT_EQ(link.SendPacket(announcesTooMuch), 0);
  EXPECT_TRUE(display->Requests().empty());
}

TEST_F(TamrelTest, WithoutATargetWindowPacketsAreReadAndDropped) {
  auto display = Plug();
  CTamrel link;
  ASSERT_EQ(link.Open(nullptr), 1);
  ASSERT_EQ(Query(link), 1);
  ASSERT_EQ(Query(link), 1) << "the reader keeps taking input, so the display is never held back";
  link.Close();
  EXPECT_FALSE(link.HasReader());
}

TEST_F(TamrelTest, AControlOnlyConnectionNeedsAStatusAnswer) {
  emu::DisplayConfig config;
  config.hasInPipe = false;
  config.idleStatus = {1, 2, 3, 4, 5, 6};
  auto display = Plug(config);
  {
    CTamrel link;
    ASSERT_EQ(link.Open(&window_), 1);
    EXPECT_EQ(link.Status(), (DeviceStatus{1, 2, 3, 4, 5, 6}));
    EXPECT_FALSE(link.HasReader());
    const auto before = display->Requests().size();
    EXPECT_EQ(Query(link), 0);
    EXPECT_EQ(display->Requests().size(), before) << "nothing is written on a control-only connection";
  }
  config.statusFails = true;
  display->SetConfig(config);
  CTamrel link;
  EXPECT_EQ(link.Open(&window_), 0);
}

TEST_F(TamrelTest, AfterCloseSendingFailsButStatusStillWorks) {
  Plug();
  CTamrel link;
  ASSERT_EQ(link.Open(&window_), 1);
  link.Close();
  EXPECT_FALSE(link.HasReader());
  EXPECT_EQ(Query(link), 0);
  EXPECT_EQ(link.QueryStatus(), 1);
}

TEST_F(TamrelTest, ReopeningARunningLinkReplacesChannelAndReader) {
  emu::DisplayConfig config;
  config.splitInfo = false;
  auto display = Plug(config);
  CTamrel link;
  ASSERT_EQ(link.Open(&window_), 1);
  for (int i = 0; i < 20; ++i) {
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(link.Open(&window_), 1);
    // Reopening must not wait out a hand-off of the connection it replaces.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    ASSERT_EQ(Query(link), 1);
    ASSERT_TRUE(window_.WaitForCount(static_cast<std::size_t>(i) + 1));
    EXPECT_EQ(ValidateInfo(window_.Messages().back().packet.data()).outcome, InfoOutcome::kAccepted)
        << "nothing left from the previous connection disturbs the next one";
  }
}

TEST_F(TamrelTest, ARemovedDisplayEndsThePacketReaderAndCloseStaysQuick) {
  Plug();
  CTamrel link;
  ASSERT_EQ(link.Open(&window_), 1);
  driver_->Unplug(driver_->Paths()[0]);
  const auto start = std::chrono::steady_clock::now();
  link.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_EQ(Query(link), 0);
}

// A window that breaks its send's time-out: it holds the packet reader
// until released.
class StallingWindow : public test::RecordingWindow {
 public:
  os::LRESULT SendMessageTimeout(os::UINT message, os::WPARAM wParam, os::LPARAM lParam, os::UINT flags,
                                 os::UINT timeoutMs, os::LRESULT* result,
                                 std::shared_ptr<const void> keepAlive) override {
    RecordingWindow::SendMessageTimeout(message, wParam, lParam, flags, timeoutMs, result, std::move(keepAlive));
    std::unique_lock lock(mutex_);
    released_.wait(lock, [this] { return free_; });
    return 1;
  }
  void Release() {
    {
      std::lock_guard lock(mutex_);
      free_ = true;
    }
    released_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool free_ = false;
};

// A packet reader that does not end within Close's bound is set aside so
// Close returns; the link keeps what the reader uses and waits for it when
// it is destroyed.
TEST_F(TamrelTest, APacketReaderThatOutlivesItsBoundIsSetAsideUntilItEnds) {
  test::WaitRecorder waits;
  os::ScopedTimeScale fast(100);
  StallingWindow window;
  auto display = Plug();
  auto link = std::make_unique<CTamrel>();
  ASSERT_EQ(link->Open(&window), 1);
  display->SendUnasked({0x01, 0x02, 0x03, 0x04});
  ASSERT_TRUE(window.WaitForCount(1));

  const auto start = std::chrono::steady_clock::now();
  link->Close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_FALSE(link->HasReader());
  const auto joins = waits.Durations("Thread::Wait");
  EXPECT_NE(std::find(joins.begin(), joins.end(), CTamrel::kThreadWaitMs), joins.end());

  std::thread release([&] {
    std::this_thread::sleep_for(100ms);
    window.Release();
  });
  link.reset();  // returns only once the reader has ended
  release.join();
  EXPECT_EQ(window.Count(), 1u);
}

}  // namespace
