// The USB channel over emulated displays: discovery, pipes, the reader's
// deliveries and failures, writes, vendor requests and Close.
//
// One source, two programs: transport_tests runs the suite on the in-process
// bus, transport_tests_usb on the USB bus (the libusb driver over displays
// attached under umockdev), so that both back ends meet the same channel
// behaviour.  Tests that need what only the in-process driver can do skip
// on the USB bus, saying why.
#include "transport/usb_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "display_bus.h"
#include "emulator/emulated_display.h"
#include "test_support.h"
#include "display/display_class.h"

namespace {

using namespace std::chrono_literals;

constexpr std::uint8_t kQuery[4] = {0, 0, 0, 0};

class UsbDeviceTest : public ::testing::TestWithParam<test::BusKind> {
 protected:
  void SetUp() override {
    std::string why;
    bus_ = test::MakeBus(GetParam(), &why);
    ASSERT_TRUE(bus_) << why;
  }

  std::shared_ptr<emu::EmulatedDisplay> Plug(emu::DisplayConfig config = {}) {
    auto display = std::make_shared<emu::EmulatedDisplay>(config);
    paths_.push_back(bus_->Plug(display));
    EXPECT_FALSE(paths_.back().empty()) << "the display did not appear";
    return display;
  }

  int StatusRead(CUsbDevice& channel, std::uint32_t length = 6) {
    std::uint8_t status[16] = {};
    return channel.VendorRead(2, 0, 0xDE, 0, 0, status, length);
  }

  std::unique_ptr<test::DisplayBus> bus_;
  std::vector<std::string> paths_;
  test::RecordingCallbacks callbacks_;
};

TEST_P(UsbDeviceTest, WithoutADisplayOpenFailsAndASecondOpenDoesNotSearchAgain) {
  test::WatchingDriver watching(bus_->Driver());
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

TEST_P(UsbDeviceTest, OpensTheDeviceThenBothPipesWithExactPaths) {
  Plug();
  test::WatchingDriver watching(bus_->Driver());
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

TEST_P(UsbDeviceTest, ADeviceWithoutPipesStillOpensForVendorRequests) {
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

TEST_P(UsbDeviceTest, DeliversEachCompletedReadAsOneChunk) {
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

TEST_P(UsbDeviceTest, CloseOnAnIdleChannelStopsTheReaderQuicklyAndKeepsVendorRequests) {
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

TEST_P(UsbDeviceTest, AnEmptyOrFailedReadDisconnectsOnceAndStopsTheReader) {
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
    bus_->Unplug(paths_.back());
  }
}

TEST_P(UsbDeviceTest, AWriteOfZeroBytesSucceeds) {
  Plug();
  CUsbDevice channel;
  ASSERT_EQ(channel.Open(0, &callbacks_), 1);
  EXPECT_EQ(channel.Write(kQuery, 0), 1);
}

TEST_P(UsbDeviceTest, AWriteThatNeverCompletesFailsAfterItsBoundAndFailsTheChannel) {
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

// A driver may report every byte of a write moved and still fail it (the
// endpoint stalled after the data stage, say): that write has failed.
TEST_P(UsbDeviceTest, AWriteThatCompletesWithAnErrorFailsWhateverItsByteCount) {
  class FailingWrites final : public test::WatchingDriver {
   public:
    using WatchingDriver::WatchingDriver;
    bool StartWrite(os::HANDLE, const void*, os::DWORD length, os::IoCompletion* done) override {
      done->Complete(os::ERROR_GEN_FAILURE, length);
      return true;
    }
  };
  Plug();
  FailingWrites failing(bus_->Driver());
  test::ScopedDriver use(failing);
  CUsbDevice channel;
  ASSERT_EQ(channel.Open(0, &callbacks_), 1);
  EXPECT_EQ(channel.Write(kQuery, 4), 0);
  EXPECT_EQ(callbacks_.Disconnects(), 1);
}

TEST_P(UsbDeviceTest, VendorRequestsNeedTheExactLength) {
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

TEST_P(UsbDeviceTest, AfterAFailureVendorWriteReleasesTheControlHandle) {
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

TEST_P(UsbDeviceTest, TheFirstDisplayTheDriverEnumeratesWins) {
  emu::DisplayConfig first;
  first.serial = "EMU0001";
  emu::DisplayConfig second;
  second.serial = "EMU0002";
  auto one = Plug(first);
  auto two = Plug(second);

  // The driver decides the order; the channel must take its first.
  std::string firstPath;
  ASSERT_EQ(bus_->Driver().EnumInterface(kDisplayInterfaceClass, 0, &firstPath), os::EnumResult::kOk);
  ASSERT_TRUE(firstPath == paths_[0] || firstPath == paths_[1]) << firstPath;
  const auto& winner = firstPath == paths_[0] ? one : two;
  const auto& other = firstPath == paths_[0] ? two : one;

  CUsbDevice channel;
  ASSERT_EQ(channel.Open(0, &callbacks_), 1);
  EXPECT_EQ(StatusRead(channel), 1);
  EXPECT_EQ(winner->Requests().size(), 1u);
  EXPECT_TRUE(other->Requests().empty());
}

TEST_P(UsbDeviceTest, FailingIndicesAreSkipped) {
  if (!bus_->SupportsFaults()) GTEST_SKIP() << "only the in-process driver can make an enumeration index unreadable";
  emu::DisplayConfig first;
  first.serial = "EMU0001";
  emu::DisplayConfig second;
  second.serial = "EMU0002";
  auto one = Plug(first);
  auto two = Plug(second);

  bus_->InProcess()->FailEnumIndex(0);
  CUsbDevice channel;
  ASSERT_EQ(channel.Open(0, &callbacks_), 1) << "an unreadable index is skipped, not the end";
  EXPECT_EQ(StatusRead(channel), 1);
  EXPECT_TRUE(one->Requests().empty());
  EXPECT_EQ(two->Requests().size(), 1u);
}

TEST_P(UsbDeviceTest, APathTooLongForThePipePathBufferOpensNoPipe) {
  // The in-process driver's paths carry the serial; the libusb driver's name
  // the port, so no display can make them long.
  if (bus_->InProcess() == nullptr) GTEST_SKIP() << "only in-process paths grow with the display's serial";
  emu::DisplayConfig config;
  config.serial = std::string(230, 'S');
  Plug(config);
  CUsbDevice channel;
  ASSERT_EQ(channel.Open(0, &callbacks_), 1);
  EXPECT_FALSE(channel.HasInPipe());
  EXPECT_FALSE(channel.HasOutPipe());
  EXPECT_EQ(StatusRead(channel), 1);
}

TEST_P(UsbDeviceTest, FindDeviceGivesThePathOfTheOpenedDisplay) {
  Plug();
  char out[kPipePathSize] = {};
  const os::HANDLE h = FindDevice(kDisplayInterfaceClass, out, sizeof out);
  ASSERT_TRUE(os::IsOpenHandle(h));
  EXPECT_EQ(std::string(out), paths_[0]);
  EXPECT_NE(paths_[0].find("VID_1209"), std::string::npos);
  os::CloseHandle(h);
}

// The bus comes from the program (transport_tests or transport_tests_usb),
// so that this source is compiled once for both.
INSTANTIATE_TEST_SUITE_P(Bus, UsbDeviceTest, ::testing::Values(test::ProgramBus()),
                         [](const auto& info) { return test::BusName(info.param); });

}  // namespace
