// The libusb back end through the driver seam.
//
// The tests with a display need it attached as a real USB device: CTest runs
// this program under dotvane-emulate for them, once per emulated set-up,
// naming the set-up in DOTVANE_EMULATED_SETUP (unset: one ordinary display).
// Run on its own, outside an emulated bus, they are skipped and the rest
// still run.
#include "driver/libusb/libusb_driver.h"

#include <gtest/gtest.h>

#include "test_support.h"
#include <libusb.h>
#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <regex>
#include <thread>
#include <tuple>
#include <vector>

#include "display/vendor_requests.h"
#include "display/display_class.h"

namespace usbdrv {
namespace {

constexpr auto kPatience = std::chrono::seconds(10);
const std::string kSeparator = os::kPipeSeparator;

// umockdev's preload publishes its testbed here: the emulated display is on the bus.
bool Emulated() { return std::getenv("UMOCKDEV_DIR") != nullptr; }

std::string EmulatedSetup() {
  const char* setup = std::getenv("DOTVANE_EMULATED_SETUP");
  return setup ? setup : "";
}

// CPU time of the whole process, all threads.
std::chrono::microseconds CpuTime() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

using Outcome = test::CompletionRecorder::Outcome;

using Done = test::CompletionRecorder;

using Event = test::BroadcastRecorder::Event;

using Broadcasts = test::BroadcastRecorder;

// ---- Without a device -------------------------------------------------------

TEST(LibusbDriverHelpers, InterfacePathNamesVendorProductAndPort) {
  EXPECT_EQ(detail::InterfacePath(0x1209, 0x7D50, 1, {1}),
            "\\\\?\\USB#VID_1209&PID_7D50#1-1#{5b7d1c2e-93a4-4f6b-8e21-6c0d47b93a15}");
  const auto nested = detail::InterfacePath(0x1209, 0xabcd, 12, {2, 10, 3});
  EXPECT_NE(nested.find("VID_1209&PID_ABCD#12-2.10.3#"), std::string::npos) << nested;
  EXPECT_NE(nested.find(kVendorIdMatchText), std::string::npos);
}

TEST(LibusbDriverHelpers, VendorRecordBecomesSetupPacket) {
  const std::uint8_t status[8] = {2, 0, 0xA5, 0xDE, 0x34, 0x12, 0x78, 0x56};
  const auto in = detail::DecodeVendorRequest(status, true);
  EXPECT_EQ(std::make_tuple(in.bmRequestType, in.bRequest, in.wValue, in.wIndex),
            std::make_tuple(0xC0, 0xDE, 0x1234, 0x5678));
  // Out-of-range type and recipient bits must not spill into the direction bit.
  const std::uint8_t wide[8] = {0xFF, 0xFF, 0, 0xEF, 0, 0, 0, 0};
  EXPECT_EQ(detail::DecodeVendorRequest(wide, false).bmRequestType, 0x7F);
  const std::uint8_t other[8] = {2, 3, 0, 0xDF, 0, 0, 0, 0};
  EXPECT_EQ(detail::DecodeVendorRequest(other, false).bmRequestType, 0x43);
}

TEST(LibusbDriverHelpers, LibusbErrorsBecomeOsErrors) {
  EXPECT_EQ(detail::OpenError(LIBUSB_ERROR_ACCESS), os::ERROR_ACCESS_DENIED);
  EXPECT_EQ(detail::OpenError(LIBUSB_ERROR_BUSY), os::ERROR_BUSY);
  EXPECT_EQ(detail::OpenError(LIBUSB_ERROR_NO_DEVICE), os::ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(detail::OpenError(LIBUSB_ERROR_IO), os::ERROR_GEN_FAILURE);
  EXPECT_EQ(detail::SubmitError(LIBUSB_ERROR_NO_DEVICE), os::ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(detail::SubmitError(LIBUSB_ERROR_IO), os::ERROR_GEN_FAILURE);
  EXPECT_EQ(detail::TransferError(LIBUSB_TRANSFER_COMPLETED), os::ERROR_SUCCESS);
  EXPECT_EQ(detail::TransferError(LIBUSB_TRANSFER_CANCELLED), os::ERROR_OPERATION_ABORTED);
  EXPECT_EQ(detail::TransferError(LIBUSB_TRANSFER_NO_DEVICE), os::ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(detail::TransferError(LIBUSB_TRANSFER_STALL), os::ERROR_GEN_FAILURE);
  EXPECT_EQ(detail::TransferError(LIBUSB_TRANSFER_TIMED_OUT), os::ERROR_SEM_TIMEOUT);
}

TEST(LibusbDriverWithoutDisplay, FindsNothingAndOpensNothing) {
  if (Emulated()) GTEST_SKIP() << "a display is attached";
  const auto began = std::chrono::steady_clock::now();
  {
    LibusbDriver driver;
    std::string path;
    EXPECT_EQ(driver.EnumInterface(kDisplayInterfaceClass, 0, &path), os::EnumResult::kNoMoreItems);
    EXPECT_EQ(driver.Open(detail::InterfacePath(kDisplayVendorId, kDisplayProductId, 1, {1}), false),
              os::INVALID_HANDLE_VALUE);
    EXPECT_EQ(os::GetLastError(), os::ERROR_FILE_NOT_FOUND);
    Broadcasts heard(driver);
  }
  // Shutting the event thread down must not wait for its poll's time-out.
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2));
}

// ---- With the emulated display ---------------------------------------------

class LibusbDeviceTest : public ::testing::Test {
 protected:
  // The emulated set-up this fixture's tests are written for.
  virtual std::string Setup() const { return ""; }

  void SetUp() override {
    if (!Emulated() || EmulatedSetup() != Setup()) {
      GTEST_SKIP() << "needs dotvane-emulate with set-up '" << Setup() << "'";
    }
    ASSERT_TRUE(driver_.HasUsb());
    ASSERT_EQ(d_.EnumInterface(kDisplayInterfaceClass, 0, &path_), os::EnumResult::kOk);
  }

  struct Pipes {
    os::HANDLE in, out;
  };
  Pipes OpenPipes() {
    return {d_.Open(path_ + kSeparator + "brldsp1", true), d_.Open(path_ + kSeparator + "brldsp0", true)};
  }

  bool VendorWrite(os::HANDLE h, std::uint8_t request, std::vector<std::uint8_t> data) {
    const auto record = test::VendorRecord(kVendorRequestType, kRecipientDevice, request);
    os::DWORD moved = 0;
    return d_.IoControl(h, os::kIoctlVendorWrite, record.data(), 8, data.data(), static_cast<os::DWORD>(data.size()),
                        &moved) &&
           moved == data.size();
  }

  ScopedLibusbDriver scoped_;
  LibusbDriver& driver_ = *scoped_;
  os::Driver& d_ = *os::CurrentDriver();
  std::string path_;
  const std::uint8_t query_[4] = {0, 0, 0, 0};
  std::uint8_t buffer_[256] = {};
};

TEST_F(LibusbDeviceTest, EnumeratesTheDisplayUnderAStablePath) {
  EXPECT_TRUE(std::regex_match(path_, std::regex(R"(\\\\\?\\USB#VID_1209&PID_7D50#\d+-\d+(\.\d+)*#)"
                                                 R"(\{5b7d1c2e-93a4-4f6b-8e21-6c0d47b93a15\})")))
      << path_;
  std::string again;
  EXPECT_EQ(d_.EnumInterface(kDisplayInterfaceClass, 0, &again), os::EnumResult::kOk);
  EXPECT_EQ(again, path_);
  EXPECT_EQ(d_.EnumInterface(kDisplayInterfaceClass, 1, &again), os::EnumResult::kNoMoreItems);
  os::GUID other = kDisplayInterfaceClass;
  other.Data1 ^= 1;
  EXPECT_EQ(d_.EnumInterface(other, 0, &again), os::EnumResult::kNoMoreItems);
}

TEST_F(LibusbDeviceTest, HandlesShareOneClaimUntilTheLastCloses) {
  // The channel's pattern: three control handles, two closed at once, then both pipes.
  const auto a = d_.Open(path_, false);
  const auto b = d_.Open(path_, false);
  const auto c = d_.Open(path_, false);
  ASSERT_TRUE(os::IsOpenHandle(a) && os::IsOpenHandle(b) && os::IsOpenHandle(c));
  d_.Close(b);
  d_.Close(c);
  const auto pipes = OpenPipes();
  ASSERT_TRUE(os::IsOpenHandle(pipes.in) && os::IsOpenHandle(pipes.out));
  std::uint8_t status[6];
  const auto record = test::VendorRecord(kVendorRequestType, kRecipientDevice, kRequestStatus);
  os::DWORD moved = 0;
  EXPECT_TRUE(d_.IoControl(a, os::kIoctlVendorRead, record.data(), 8, status, 6, &moved));
  EXPECT_FALSE(d_.IoControl(pipes.in, os::kIoctlVendorRead, record.data(), 8, status, 6, &moved))
      << "vendor requests go through the control handle";

  EXPECT_EQ(d_.Open(path_ + kSeparator + "brldsp2", true), os::INVALID_HANDLE_VALUE);
  EXPECT_EQ(os::GetLastError(), os::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(d_.Open(path_ + "brldsp0", true), os::INVALID_HANDLE_VALUE);
  EXPECT_EQ(d_.Open("\\\\?\\USB#VID_1209&PID_7D50#99-9#", false), os::INVALID_HANDLE_VALUE);
  EXPECT_EQ(os::GetLastError(), os::ERROR_FILE_NOT_FOUND);

  d_.Close(a);
  d_.Close(pipes.in);
  d_.Close(pipes.out);
  // Everything was released: the device opens and claims afresh.
  const auto reopened = d_.Open(path_, false);
  EXPECT_TRUE(os::IsOpenHandle(reopened));
  EXPECT_TRUE(d_.IoControl(reopened, os::kIoctlVendorRead, record.data(), 8, status, 6, &moved));
  d_.Close(reopened);
}

TEST_F(LibusbDeviceTest, VendorRequestsMoveTheirDataStageAndReportRefusal) {
  const auto h = d_.Open(path_, false);
  ASSERT_TRUE(os::IsOpenHandle(h));
  auto record = test::VendorRecord(kVendorRequestType, kRecipientDevice, kRequestStatus, 0x1234, 0x5678);
  std::uint8_t status[6] = {9, 9, 9, 9, 9, 9};
  os::DWORD moved = 0;
  ASSERT_TRUE(d_.IoControl(h, os::kIoctlVendorRead, record.data(), 8, status, 6, &moved));
  EXPECT_EQ(moved, 6u);
  EXPECT_EQ(status[0], 0);

  std::vector<std::uint8_t> chunk(kMaxControlData, 0x11);
  EXPECT_TRUE(VendorWrite(h, kRequestStartTransfer, {kStartTransferByte}));
  EXPECT_TRUE(VendorWrite(h, kRequestChunk, chunk)) << "a whole 4096-byte chunk";

  // Recipient 3 ("other") addresses nothing the display answers: a STALL.
  record = test::VendorRecord(kVendorRequestType, 3, kRequestStartTransfer);
  EXPECT_FALSE(d_.IoControl(h, os::kIoctlVendorWrite, record.data(), 8, chunk.data(), 1, &moved));
  EXPECT_EQ(os::GetLastError(), os::ERROR_GEN_FAILURE);
  EXPECT_FALSE(d_.IoControl(h, os::kIoctlVendorWrite, record.data(), 8, chunk.data(), kMaxControlData + 1, &moved));
  EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(d_.IoControl(h, os::kIoctlVendorWrite, record.data(), 7, chunk.data(), 1, &moved));
  EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_PARAMETER);
  d_.Close(h);
}

TEST_F(LibusbDeviceTest, QueryIsAnsweredWithInfoOnTheInPipe) {
  const auto pipes = OpenPipes();
  Done read, write;
  ASSERT_TRUE(d_.StartRead(pipes.in, buffer_, sizeof buffer_, &read));
  ASSERT_TRUE(d_.StartWrite(pipes.out, query_, 4, &write));
  ASSERT_TRUE(write.Wait() && read.Wait());
  EXPECT_EQ(write.Got(), Outcome(1, 0, 4));
  EXPECT_EQ(read.Got(), Outcome(1, 0, 53));
  EXPECT_EQ(buffer_[0], 0x80);
  d_.Close(pipes.in);
  d_.Close(pipes.out);
  EXPECT_EQ(std::get<0>(read.Got()), 1) << "completed exactly once";
}

TEST_F(LibusbDeviceTest, CancelEndsAnOutstandingReadBeforeReturning) {
  const auto pipes = OpenPipes();
  Done read, closed;
  ASSERT_TRUE(d_.StartRead(pipes.in, buffer_, sizeof buffer_, &read));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(std::get<0>(read.Got()), 0) << "the display has nothing to say unasked";
  d_.Cancel(pipes.in);
  EXPECT_EQ(read.Got(), Outcome(1, os::ERROR_OPERATION_ABORTED, 0));

  // Close cancels too, and the pipe still worked in between.
  ASSERT_TRUE(d_.StartRead(pipes.in, buffer_, sizeof buffer_, &closed));
  d_.Close(pipes.in);
  EXPECT_EQ(closed.Got(), Outcome(1, os::ERROR_OPERATION_ABORTED, 0));
  d_.Close(pipes.out);
}

TEST_F(LibusbDeviceTest, AnIdleReadCostsNoCpu) {
  const auto pipes = OpenPipes();
  Done read;
  ASSERT_TRUE(d_.StartRead(pipes.in, buffer_, sizeof buffer_, &read));
  const auto before = CpuTime();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_LT(CpuTime() - before, std::chrono::milliseconds(50)) << "something polls while nothing happens";
  d_.Close(pipes.in);
  d_.Close(pipes.out);
}

// Last: the display restarts, leaving the bus and coming back.
TEST_F(LibusbDeviceTest, RestartIsHeardAsRemovalAndArrivalUnderTheSamePath) {
  Broadcasts heard(d_);
  const auto control = d_.Open(path_, false);
  const auto pipes = OpenPipes();
  Done read;
  ASSERT_TRUE(d_.StartRead(pipes.in, buffer_, sizeof buffer_, &read));
  ASSERT_TRUE(VendorWrite(control, kRequestStartTransfer, {kStartTransferByte}));
  ASSERT_TRUE(VendorWrite(control, kRequestEndTransfer, {0, 0, 0, 0}));

  ASSERT_TRUE(heard.WaitForCount(2));
  EXPECT_EQ(heard.Heard(), (std::vector<Event>{{os::DBT_DEVICEREMOVECOMPLETE, path_}, {os::DBT_DEVICEARRIVAL, path_}}));
  ASSERT_TRUE(read.Wait());
  EXPECT_EQ(std::get<1>(read.Got()), os::ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(VendorWrite(control, kRequestStartTransfer, {kStartTransferByte})) << "handles do not survive it";
  EXPECT_EQ(os::GetLastError(), os::ERROR_DEVICE_NOT_CONNECTED);
  d_.Close(control);
  d_.Close(pipes.in);
  d_.Close(pipes.out);

  // The returned display opens afresh under its old path and answers.
  const auto again = OpenPipes();
  ASSERT_TRUE(os::IsOpenHandle(again.in) && os::IsOpenHandle(again.out));
  Done read2, write2;
  ASSERT_TRUE(d_.StartRead(again.in, buffer_, sizeof buffer_, &read2));
  ASSERT_TRUE(d_.StartWrite(again.out, query_, 4, &write2));
  ASSERT_TRUE(read2.Wait());
  EXPECT_EQ(read2.Got(), Outcome(1, 0, 53));
  d_.Close(again.in);
  d_.Close(again.out);
}

class LibusbTwoDisplaysTest : public LibusbDeviceTest {
 protected:
  std::string Setup() const override { return "two-displays"; }
};

// The ports of "<bus>-<port path>" in an interface path, bus first.
std::vector<int> Location(const std::string& path) {
  std::smatch m;
  std::regex_search(path, m, std::regex(R"(#(\d+)-([\d.]+)#)"));
  std::vector<int> numbers{std::stoi(m[1])};
  const std::string ports = m[2];
  for (std::size_t at = 0; at < ports.size();) {
    const auto dot = std::min(ports.find('.', at), ports.size());
    numbers.push_back(std::stoi(ports.substr(at, dot - at)));
    at = dot + 1;
  }
  return numbers;
}

TEST_F(LibusbTwoDisplaysTest, EnumeratesBothByBusThenPortAndOpensEach) {
  std::string second;
  ASSERT_EQ(d_.EnumInterface(kDisplayInterfaceClass, 1, &second), os::EnumResult::kOk);
  EXPECT_LT(Location(path_), Location(second));
  EXPECT_EQ(d_.EnumInterface(kDisplayInterfaceClass, 2, &second), os::EnumResult::kNoMoreItems);
  const auto a = d_.Open(path_, false);
  const auto b = d_.Open(second, false);
  EXPECT_TRUE(VendorWrite(a, kRequestStartTransfer, {kStartTransferByte}));
  EXPECT_TRUE(VendorWrite(b, kRequestStartTransfer, {kStartTransferByte}));
  d_.Close(a);
  d_.Close(b);
}

class LibusbNoInEndpointTest : public LibusbDeviceTest {
 protected:
  std::string Setup() const override { return "no-in-endpoint"; }
};

TEST_F(LibusbNoInEndpointTest, OnlyTheOutPipeOpens) {
  const auto pipes = OpenPipes();
  EXPECT_EQ(pipes.in, os::INVALID_HANDLE_VALUE);
  EXPECT_TRUE(os::IsOpenHandle(pipes.out));
  EXPECT_EQ(d_.Open(path_ + kSeparator + "brldsp1", true), os::INVALID_HANDLE_VALUE);
  EXPECT_EQ(os::GetLastError(), os::ERROR_FILE_NOT_FOUND);
  d_.Close(pipes.out);
}

}  // namespace
}  // namespace usbdrv
