// The USB channel over emulated displays: discovery, pipes, the reader's
// deliveries and failures, writes, vendor requests and Close.
#include "transport/usb_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "emulator/emulated_display.h"
#include "platform/inproc/inproc_driver.h"
#include "test_support.h"
#include "transport/display_class.h"

namespace {

using namespace std::chrono_literals;

constexpr std::uint8_t kQuery[4] = {0, 0, 0, 0};

class UsbDeviceTest : public ::testing::Test {
 protected:
  std::shared_ptr<emu::EmulatedDisplay> Plug(emu::DisplayConfig config = {}) {
    auto display = std::make_shared<emu::EmulatedDisplay>(config);
    paths_.push_back(driver_->Plug(display));
    return display;
  }

  int StatusRead(CUsbDevice& channel, std::uint32_t length = 6) {
    std::uint8_t status[16] = {};
    return channel.VendorRead(2, 0, 0xDE, 0, 0, status, length);
  }

  inproc::ScopedInProcessDriver driver_;
  std::vector<std::string> paths_;
  test::RecordingCallbacks callbacks_;
};

TEST_F(UsbDeviceTest, WithoutADisplayOpenFailsAndASecondOpenDoesNotSearchAgain) {
  test::WatchingDriver watching(*driver_);
  test::ScopedDriver use(watching);
  CUsbDevice channel;
  EXPECT_EQ(channel.Open(0, &callbacks_), 0);
  EXPECT_EQ(callbacks_.Opens(), 0);
  const int walked = watching.Enumerations();
  EXPECT_GT(walked, 0);

  Plug();  // even a display that arrives now does not make this channel usable
  EXPECT_EQ(channel.Open(0, &callbacks_), 0);
  EXPECT_EQ(watching.Enumerations(), walked);
  EXPECT_EQ(StatusRead(channel), 0);
}

TEST_F(UsbDeviceTest, OpensTheDeviceThenBothPipesWithExactPaths) {
  Plug();
  test::WatchingDriver watching(*driver_);
  test::ScopedDriver use(watching);
  CUsbDevice channel;
  ASSERT_EQ(channel.Open(0, &callbacks_), 1);
  EXPECT_EQ(callbacks_.Opens(), 1);
  const std::string& device = paths_[0];
  // One walk for the device and one for each pipe; the handles discovery opens for the pipes are closed again.
  const std::vector<std::string> expected = {device, device, device + "\\\\.\\brldsp0", device,
                                             device + "\\\\.\\brldsp1"};
  EXPECT_EQ(watching.Opened(), expected);
  EXPECT_TRUE(channel.HasInPipe());
  EXPECT_TRUE(channel.HasOutPipe());
}

TEST_F(UsbDeviceTest, ADeviceWithoutPipesStillOpensForVendorRequests) {
  emu::DisplayConfig config;
  config.hasInPipe = false;
  config.hasOutPipe = false;
  Plug(config);
  CUsbDevice channel;
  ASSERT_EQ(channel.Open(0, &callbacks_), 1);
  EXPECT_EQ(callbacks_.Opens(), 1);
  EXPECT_EQ(channel.StartReader(), 0);
  EXPECT_EQ(channel.Write(kQuery, 4), 0);
  EXPECT_EQ(callbacks_.Disconnects(), 0) << "a missing pipe is not a failure of the channel";
  EXPECT_EQ(StatusRead(channel), 1);
}

TEST_F(UsbDeviceTest, DeliversEachCompletedReadAsOneChunk) {
  auto display = Plug();
  CUsbDevice channel;
  ASSERT_EQ(channel.Open(0, &callbacks_), 1);
  ASSERT_EQ(channel.StartReader(), 1);
  ASSERT_EQ(channel.Write(kQuery, 4), 1);
  ASSERT_TRUE(callbacks_.WaitFor([](auto& c) { return c.Chunks().size() == 1; }));
  const auto chunk = callbacks_.Chunks()[0];
  ASSERT_EQ(chunk.size(), 53u);
  EXPECT_EQ(chunk[0], 0x80);
  channel.Close();
  EXPECT_EQ(callbacks_.Disconnects(), 0);
}

TEST_F(UsbDeviceTest, CloseOnAnIdleChannelStopsTheReaderQuicklyAndKeepsVendorRequests) {
  Plug();
  test::WaitRecorder waits;
  CUsbDevice channel;
  ASSERT_EQ(channel.Open(0, &callbacks_), 1);
  ASSERT_EQ(channel.StartReader(), 1);
  ASSERT_TRUE(test::WaitUntil([&] { return !waits.Durations("WaitForSingleObjectEx").empty(); }));
  const auto start = std::chrono::steady_clock::now();
  channel.Close();
  EXPECT_EQ(waits.Durations("WaitForSingleObjectEx").front(), 10000u) << "the reader's periodic wake-up";
  EXPECT_EQ(waits.Durations("Thread::Wait"), std::vector<os::DWORD>{10000}) << "Close's bound on the reader";
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << "the reader must end far inside its 10 s bound";
  EXPECT_EQ(callbacks_.EmptyChunks(), 1);
  EXPECT_EQ(callbacks_.Disconnects(), 0);
  EXPECT_TRUE(callbacks_.Chunks().empty());
  EXPECT_FALSE(channel.HasReader());
  EXPECT_FALSE(channel.HasInPipe());
  EXPECT_FALSE(channel.HasOutPipe());
  EXPECT_EQ(StatusRead(channel), 1);
  EXPECT_EQ(channel.Write(kQuery, 4), 0);
}

TEST_F(UsbDeviceTest, AnEmptyOrFailedReadDisconnectsOnceAndStopsTheReader) {
  for (const bool failRead : {false, true}) {
    SCOPED_TRACE(failRead ? "failed read" : "empty read");
    emu::DisplayConfig config;
    config.failFirstRead = failRead;
    auto display = Plug(config);
    test::RecordingCallbacks callbacks;
    {
      CUsbDevice channel;
      ASSERT_EQ(channel.Open(0, &callbacks), 1);
      if (!failRead) display->SendUnasked({});
      ASSERT_EQ(channel.StartReader(), 1);
      ASSERT_TRUE(callbacks.WaitFor([](auto& c) { return c.Disconnects() == 1; }));
      EXPECT_TRUE(test::WaitUntil([&] { return !channel.HasInPipe(); })) << "the reader releases its pipe";
      EXPECT_TRUE(channel.HasFailed());
      EXPECT_EQ(channel.Write(kQuery, 4), 0);
      EXPECT_FALSE(channel.HasOutPipe());
      EXPECT_EQ(StatusRead(channel), 0);
      channel.Close();
    }
    EXPECT_EQ(callbacks.Disconnects(), 1);
    EXPECT_EQ(callbacks.EmptyChunks(), 0);
    EXPECT_TRUE(callbacks.Chunks().empty());
    driver_->Unplug(paths_.back());
  }
}

TEST_F(UsbDeviceTest, AWriteOfZeroBytesSucceeds) {
  Plug();
  CUsbDevice channel;
  ASSERT_EQ(channel.Open(0, &callbacks_), 1);
  EXPECT_EQ(channel.Write(kQuery, 0), 1);
}

TEST_F(UsbDeviceTest, AWriteThatNeverCompletesFailsAfterItsBoundAndFailsTheChannel) {
  emu::DisplayConfig config;
  config.writeNeverCompletes = true;
  Plug(config);
  test::WaitRecorder waits;
  os::ScopedTimeScale fast(100);
  CUsbDevice channel;
  ASSERT_EQ(channel.Open(0, &callbacks_), 1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(channel.Write(kQuery, 4), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 90ms);
  EXPECT_EQ(waits.Durations("SleepEx").front(), 10000u);
  EXPECT_EQ(callbacks_.Disconnects(), 1);

  const auto again = std::chrono::steady_clock::now();
  EXPECT_EQ(channel.Write(kQuery, 4), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - again, 50ms) << "a failed channel refuses at once";
  EXPECT_EQ(callbacks_.Disconnects(), 1);
}

TEST_F(UsbDeviceTest, VendorRequestsNeedTheExactLength) {
  auto display = Plug();
  CUsbDevice channel;
  ASSERT_EQ(channel.Open(0, &callbacks_), 1);
  EXPECT_EQ(StatusRead(channel, 6), 1);
  EXPECT_EQ(StatusRead(channel, 8), 0) << "fewer bytes than asked for is a failure";

  std::uint8_t start = 0x58;
  EXPECT_EQ(channel.VendorWrite(2, 0, 0xDF, 0, 0, &start, 1), 1);
  const auto requests = display->Requests();
  ASSERT_FALSE(requests.empty());
  const auto& last = requests.back();
  EXPECT_EQ(last.requestType, 0x40);
  EXPECT_EQ(last.request, 0xDF);
  EXPECT_EQ(last.data, std::vector<std::uint8_t>{0x58});
}

TEST_F(UsbDeviceTest, AfterAFailureVendorWriteReleasesTheControlHandle) {
  emu::DisplayConfig config;
  config.writeNeverCompletes = true;
  Plug(config);
  os::ScopedTimeScale fast(1000);
  CUsbDevice channel;
  ASSERT_EQ(channel.Open(0, &callbacks_), 1);
  ASSERT_EQ(channel.Write(kQuery, 4), 0);
  std::uint8_t byte = 0;
  EXPECT_EQ(channel.VendorWrite(2, 0, 0xDF, 0, 0, &byte, 1), 0);
  EXPECT_EQ(channel.ControlHandle(), os::kNoHandle);
  EXPECT_EQ(StatusRead(channel), 0);
}

TEST_F(UsbDeviceTest, TheFirstOpenableDisplayWinsAndFailingIndicesAreSkipped) {
  emu::DisplayConfig first;
  first.serial = "EMU0001";
  emu::DisplayConfig second;
  second.serial = "EMU0002";
  auto one = Plug(first);
  auto two = Plug(second);

  {
    CUsbDevice channel;
    ASSERT_EQ(channel.Open(0, &callbacks_), 1);
    EXPECT_EQ(StatusRead(channel), 1);
    EXPECT_EQ(one->Requests().size(), 1u);
    EXPECT_TRUE(two->Requests().empty());
  }

  driver_->FailEnumIndex(0);
  {
    test::RecordingCallbacks callbacks;
    CUsbDevice channel;
    ASSERT_EQ(channel.Open(0, &callbacks), 1) << "an unreadable index is skipped, not the end";
    EXPECT_EQ(StatusRead(channel), 1);
    EXPECT_EQ(two->Requests().size(), 1u);
  }
}

TEST_F(UsbDeviceTest, APathTooLongForThePipePathBufferOpensNoPipe) {
  emu::DisplayConfig config;
  config.serial = std::string(230, 'S');
  Plug(config);
  CUsbDevice channel;
  ASSERT_EQ(channel.Open(0, &callbacks_), 1);
  EXPECT_FALSE(channel.HasInPipe());
  EXPECT_FALSE(channel.HasOutPipe());
  EXPECT_EQ(StatusRead(channel), 1);
}

TEST(FindDevice, GivesThePathOfTheOpenedDisplay) {
  inproc::ScopedInProcessDriver driver;
  const std::string path = driver->Plug(std::make_shared<emu::EmulatedDisplay>());
  char out[kPipePathSize] = {};
  const os::HANDLE h = FindDevice(kDisplayInterfaceClass, out, sizeof out);
  ASSERT_TRUE(os::IsOpenHandle(h));
  EXPECT_EQ(std::string(out), path);
  EXPECT_NE(path.find("VID_1209"), std::string::npos);
  os::CloseHandle(h);
}

}  // namespace
