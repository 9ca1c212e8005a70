#include "emulator/inproc/inproc_driver.h"

#include <gtest/gtest.h>

#include "piped_stdin.h"
#include "test_support.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <tuple>

#include "driver/driver_trace.h"
#include "os/sync.h"
#include "display/display_class.h"

namespace inproc {
namespace {

using emu::DisplayConfig;
using emu::EmulatedDisplay;

constexpr auto kPatience = std::chrono::seconds(5);
const std::string kSeparator = os::kPipeSeparator;

using Done = test::CompletionRecorder;

using Outcome = test::CompletionRecorder::Outcome;

using Event = test::BroadcastRecorder::Event;

using Broadcasts = test::BroadcastRecorder;

bool VendorWrite(os::Driver& d, os::HANDLE h, std::uint8_t request, std::vector<std::uint8_t> data,
                 os::DWORD* moved = nullptr) {
  auto record = test::VendorRecord(2, 0, request, 0, 0);
  os::DWORD n = 0;
  const bool ok = d.IoControl(h, os::kIoctlVendorWrite, record.data(), 8, data.data(),
                              static_cast<os::DWORD>(data.size()), &n);
  if (moved) *moved = n;
  return ok;
}

class InProcessDriverTest : public ::testing::Test {
 protected:
  struct Pipes {
    os::HANDLE in, out;
  };
  Pipes OpenPipes(const std::string& path) {
    return {d_.Open(path + kSeparator + "brldsp1", true), d_.Open(path + kSeparator + "brldsp0", true)};
  }

  os::ScopedTimeScale scale_{50};
  ScopedInProcessDriver scoped_;
  InProcessDriver& driver_ = *scoped_;
  os::Driver& d_ = *os::CurrentDriver();
  const std::uint8_t query_[4] = {0, 0, 0, 0};
  std::uint8_t buffer_[256] = {};
};

TEST_F(InProcessDriverTest, EnumeratesInPlugOrderAndSkipsFailingIndices) {
  DisplayConfig second;
  second.serial = "EMU0002";
  const auto a = driver_.Plug(std::make_shared<EmulatedDisplay>());
  const auto b = driver_.Plug(std::make_shared<EmulatedDisplay>(second));
  EXPECT_EQ(a, "\\\\?\\USB#VID_1209&PID_7D50#EMU0001#{5b7d1c2e-93a4-4f6b-8e21-6c0d47b93a15}");

  std::string path;
  driver_.FailEnumIndex(0);
  EXPECT_EQ(d_.EnumInterface(kDisplayInterfaceClass, 0, &path), os::EnumResult::kError);
  EXPECT_EQ(d_.EnumInterface(kDisplayInterfaceClass, 1, &path), os::EnumResult::kOk);
  EXPECT_EQ(path, b);
  EXPECT_EQ(d_.EnumInterface(kDisplayInterfaceClass, 2, &path), os::EnumResult::kNoMoreItems);
  driver_.FailEnumIndex(0, false);
  EXPECT_EQ(d_.EnumInterface(kDisplayInterfaceClass, 0, &path), os::EnumResult::kOk);
  EXPECT_EQ(path, a);
  os::GUID other = kDisplayInterfaceClass;
  other.Data1 ^= 1;
  EXPECT_EQ(d_.EnumInterface(other, 0, &path), os::EnumResult::kNoMoreItems);
}

TEST_F(InProcessDriverTest, PipesOpenOnlyWhereTheDisplayHasThem) {
  DisplayConfig config;
  config.hasInPipe = false;
  const auto path = driver_.Plug(std::make_shared<EmulatedDisplay>(config));
  EXPECT_TRUE(os::IsOpenHandle(d_.Open(path, false)));
  const auto pipes = OpenPipes(path);
  EXPECT_TRUE(os::IsOpenHandle(pipes.out));
  EXPECT_EQ(pipes.in, os::INVALID_HANDLE_VALUE);
  EXPECT_EQ(os::GetLastError(), os::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(d_.Open(path + "brldsp0", true), os::INVALID_HANDLE_VALUE);
  EXPECT_EQ(d_.Open(path + kSeparator + "brldsp2", true), os::INVALID_HANDLE_VALUE);
  EXPECT_EQ(d_.Open("\\\\?\\USB#VID_1209&PID_7D50#OTHER#", false), os::INVALID_HANDLE_VALUE);
}

TEST_F(InProcessDriverTest, VendorRecordIsDecodedIntoTheControlTransfer) {
  auto display = std::make_shared<EmulatedDisplay>();
  const auto h = d_.Open(driver_.Plug(display), false);
  auto record = test::VendorRecord(2, 0, kRequestStatus, 0x1234, 0x5678);
  std::uint8_t status[6] = {9, 9, 9, 9, 9, 9};
  os::DWORD moved = 0;
  ASSERT_TRUE(d_.IoControl(h, os::kIoctlVendorRead, record.data(), 8, status, 6, &moved));
  EXPECT_EQ(moved, 6u);
  EXPECT_EQ(status[0], 0);
  std::vector<std::uint8_t> start = {0x58};
  EXPECT_TRUE(VendorWrite(d_, h, kRequestStartTransfer, start, &moved));
  EXPECT_EQ(moved, 1u);
  // Recipient 3 ("other") addresses nothing this display answers: a STALL.
  record = test::VendorRecord(2, 3, kRequestStartTransfer, 0, 0);
  EXPECT_FALSE(d_.IoControl(h, os::kIoctlVendorWrite, record.data(), 8, start.data(), 1, &moved));
  EXPECT_EQ(os::GetLastError(), os::ERROR_GEN_FAILURE);

  const auto r = display->Requests();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(std::make_tuple(r[0].requestType, r[0].request, r[0].value, r[0].index, r[0].length),
            std::make_tuple(0xC0, kRequestStatus, 0x1234, 0x5678, 6));
  EXPECT_EQ(r[1].requestType, 0x40);
  EXPECT_EQ(r[1].data, start);
  EXPECT_EQ(r[2].requestType, 0x43);

  std::vector<std::uint8_t> big(4097);
  EXPECT_FALSE(d_.IoControl(h, os::kIoctlVendorWrite, record.data(), 8, big.data(), 4097, &moved));
  EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(d_.IoControl(h, os::kIoctlVendorWrite, record.data(), 7, big.data(), 1, &moved));
  EXPECT_EQ(display->Requests().size(), 3u);
}

TEST_F(InProcessDriverTest, ReadCompletesWhenTheDisplayAnswers) {
  const auto pipes = OpenPipes(driver_.Plug(std::make_shared<EmulatedDisplay>()));
  Done read, second, write;
  ASSERT_TRUE(d_.StartRead(pipes.in, buffer_, sizeof buffer_, &read));
  EXPECT_FALSE(d_.StartRead(pipes.in, buffer_, sizeof buffer_, &second)) << "one read per handle";
  EXPECT_EQ(std::get<0>(read.Got()), 0);
  ASSERT_TRUE(d_.StartWrite(pipes.out, query_, 4, &write));
  ASSERT_TRUE(write.Wait() && read.Wait());
  EXPECT_EQ(write.Got(), Outcome(1, 0, 4));
  EXPECT_EQ(read.Got(), Outcome(1, 0, 53));
  EXPECT_EQ(std::vector<std::uint8_t>(buffer_, buffer_ + 53),
            EmulatedDisplay::BuildInfoPacket("Orvanta", "Vantor 3", "5.60", ""));
  EXPECT_EQ(std::get<0>(second.Got()), 0);

  DisplayConfig failing;
  failing.serial = "EMU0002";
  failing.failFirstRead = true;
  Done failed;
  ASSERT_TRUE(d_.StartRead(OpenPipes(driver_.Plug(std::make_shared<EmulatedDisplay>(failing))).in, buffer_, 256,
                           &failed));
  ASSERT_TRUE(failed.Wait());
  EXPECT_EQ(failed.Got(), Outcome(1, os::ERROR_GEN_FAILURE, 0));
}

TEST_F(InProcessDriverTest, CancelCompletesOutstandingTransfersBeforeReturning) {
  DisplayConfig config;
  config.writeNeverCompletes = true;
  const auto pipes = OpenPipes(driver_.Plug(std::make_shared<EmulatedDisplay>(config)));
  Done write, read;
  ASSERT_TRUE(d_.StartWrite(pipes.out, query_, 4, &write));
  ASSERT_TRUE(d_.StartRead(pipes.in, buffer_, sizeof buffer_, &read));
  EXPECT_EQ(std::get<0>(write.Got()), 0);
  d_.Cancel(pipes.out);
  EXPECT_EQ(write.Got(), Outcome(1, os::ERROR_OPERATION_ABORTED, 0));
  EXPECT_EQ(std::get<0>(read.Got()), 0);
  d_.Close(pipes.in);
  EXPECT_EQ(read.Got(), Outcome(1, os::ERROR_OPERATION_ABORTED, 0));
}

TEST_F(InProcessDriverTest, UnplugFailsOutstandingIoAndBroadcastsRemoval) {
  Broadcasts heard(d_);
  DisplayConfig config;
  config.writeNeverCompletes = true;
  auto display = std::make_shared<EmulatedDisplay>(config);
  const auto path = driver_.Plug(display);
  const auto control = d_.Open(path, false);
  const auto pipes = OpenPipes(path);
  Done write, read;
  ASSERT_TRUE(d_.StartWrite(pipes.out, query_, 4, &write));
  ASSERT_TRUE(d_.StartRead(pipes.in, buffer_, sizeof buffer_, &read));

  // Unplugged from inside a control request, as fault injection does; the
  // request itself still returns.
  display->SetRequestObserver([&](const emu::RecordedRequest&) { driver_.Unplug(path); });
  EXPECT_TRUE(VendorWrite(d_, control, kRequestStartTransfer, {0x58}));
  EXPECT_EQ(write.Got(), Outcome(1, os::ERROR_DEVICE_NOT_CONNECTED, 0));
  EXPECT_EQ(read.Got(), Outcome(1, os::ERROR_DEVICE_NOT_CONNECTED, 0));
  EXPECT_EQ(heard.Heard(),
            (std::vector<Event>{{os::DBT_DEVICEARRIVAL, path}, {os::DBT_DEVICEREMOVECOMPLETE, path}}));
  EXPECT_TRUE(driver_.Paths().empty());
  EXPECT_FALSE(VendorWrite(d_, control, kRequestStartTransfer, {0x58}));
  EXPECT_EQ(os::GetLastError(), os::ERROR_DEVICE_NOT_CONNECTED);
  Done late;
  EXPECT_FALSE(d_.StartRead(pipes.in, buffer_, sizeof buffer_, &late));
  EXPECT_EQ(d_.Open(path, false), os::INVALID_HANDLE_VALUE);
}

TEST_F(InProcessDriverTest, DisplayRestartsWithTheVersionItReceived) {
  Broadcasts heard(d_);
  const auto path = driver_.Plug(std::make_shared<EmulatedDisplay>());
  const auto control = d_.Open(path, false);
  std::vector<std::uint8_t> image(300, 0x11);
  const char block[] = "ORVANTA\0\0\0\0\0\0" "5.71";
  std::copy(block, block + sizeof block, image.begin() + 100);
  ASSERT_TRUE(VendorWrite(d_, control, kRequestStartTransfer, {0x58}));
  ASSERT_TRUE(VendorWrite(d_, control, kRequestChunk, image));
  ASSERT_TRUE(VendorWrite(d_, control, kRequestEndTransfer, {44, 1, 0, 0}));

  ASSERT_TRUE(driver_.WaitForRestarts(5000));
  EXPECT_EQ(heard.Heard(), (std::vector<Event>{{os::DBT_DEVICEARRIVAL, path},
                                                {os::DBT_DEVICEREMOVECOMPLETE, path},
                                                {os::DBT_DEVICEARRIVAL, path}}));
  EXPECT_FALSE(VendorWrite(d_, control, kRequestStartTransfer, {0x58})) << "handles do not survive the restart";
  const auto pipes = OpenPipes(path);
  Done write, read;
  ASSERT_TRUE(d_.StartRead(pipes.in, buffer_, sizeof buffer_, &read));
  ASSERT_TRUE(d_.StartWrite(pipes.out, query_, 4, &write));
  ASSERT_TRUE(read.Wait());
  EXPECT_STREQ(reinterpret_cast<const char*>(buffer_ + 4 + 40), "5.71");
}

TEST(InProcessDriverLifetime, DestructionAbortsTransfersAndPendingRestarts) {
  DisplayConfig config;
  config.writeNeverCompletes = true;
  auto display = std::make_shared<EmulatedDisplay>(config);
  Done write;
  const auto began = std::chrono::steady_clock::now();
  {
    InProcessDriver driver;
    driver.SetRestartDelays(60000, 60000);
    const auto path = driver.Plug(display);
    const auto control = driver.Open(path, false);
    const std::uint8_t query[4] = {};
    ASSERT_TRUE(driver.StartWrite(driver.Open(path + kSeparator + "brldsp0", true), query, 4, &write));
    ASSERT_TRUE(VendorWrite(driver, control, kRequestEndTransfer, {0, 0, 0, 0}));
    EXPECT_FALSE(driver.WaitForRestarts(10));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - began, kPatience);
  EXPECT_EQ(write.Got(), Outcome(1, os::ERROR_OPERATION_ABORTED, 0));
  // The display outlives the driver and no longer calls into it.
  display->SendUnasked({1, 2, 3, 4});
  display->PowerOn();
}

// ---- The driver-call trace ---------------------------------------------------

// A support person reads the trace to learn what the display was asked and
// what it answered: each call's essentials and result, every completion with
// what a read brought, every device change.
TEST_F(InProcessDriverTest, TheTraceLogsEachCallWithItsEssentialsAndResult) {
  std::ostringstream log;
  os::TracingDriver trace(driver_, log);
  Broadcasts heard(trace);
  const auto path = driver_.Plug(std::make_shared<EmulatedDisplay>());
  ASSERT_TRUE(heard.WaitForCount(1));
  std::string found;
  ASSERT_EQ(trace.EnumInterface(kDisplayInterfaceClass, 1, &found), os::EnumResult::kNoMoreItems);
  EXPECT_EQ(trace.Open(path + kSeparator + "brldsp2", true), os::INVALID_HANDLE_VALUE);
  const os::HANDLE control = trace.Open(path, false);
  auto record = test::VendorRecord(2, 0, kRequestStatus, 0x12, 0);
  std::uint8_t status[6] = {};
  os::DWORD moved = 0;
  ASSERT_TRUE(trace.IoControl(control, os::kIoctlVendorRead, record.data(), 8, status, 6, &moved));
  EXPECT_EQ(moved, 6u) << "the result reaches the caller";
  const os::HANDLE in = trace.Open(path + kSeparator + "brldsp1", true);
  const os::HANDLE out = trace.Open(path + kSeparator + "brldsp0", true);
  Done read, write;
  ASSERT_TRUE(trace.StartRead(in, buffer_, sizeof buffer_, &read));
  ASSERT_TRUE(trace.StartWrite(out, query_, 4, &write));
  ASSERT_TRUE(read.Wait());
  ASSERT_TRUE(write.Wait());
  EXPECT_EQ(read.Got(), (Outcome{1, os::ERROR_SUCCESS, 53}));
  trace.Close(in);

  const std::string h = "h" + std::to_string(control), r = "h" + std::to_string(in), w = "h" + std::to_string(out);
  const std::string text = log.str();
  for (const std::string& expected : std::vector<std::string>{
           "device arrival \"" + path + "\"",
           "EnumInterface {5b7d1c2e-93a4-4f6b-8e21-6c0d47b93a15} index 1 -> no more items",
           "Open \"" + path + kSeparator + "brldsp2\" overlapped -> failed, error 2",
           "Open \"" + path + "\" -> " + h,
           "IoControl " + h + " vendor-read request DE value 12 index 0 length 6 -> ok 6 bytes 00 00 00 00 00 00",
           "StartRead " + r + " length 256 ...",
           "StartWrite " + w + " length 4 data 00 00 00 00 ...",
           "complete write " + w + " -> error 0, 4 bytes",
           "complete read " + r + " -> error 0, 53 bytes 80 30 00 00 4F 72 76 61 ...",
           "Close " + r + " -> done",
       }) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\nnot in:\n" << text;
  }
}

// The environment turns it on for whatever driver the program installs.
TEST(DriverTrace, DotvaneTraceWrapsTheInstalledDriver) {
  test::SetEnvironment("DOTVANE_TRACE", "1");
  {
    ScopedInProcessDriver traced;
    auto* tracer = dynamic_cast<os::TracingDriver*>(os::CurrentDriver());
    ASSERT_NE(tracer, nullptr);
    EXPECT_EQ(&tracer->Inner(), &*traced);
  }
  test::SetEnvironment("DOTVANE_TRACE", nullptr);
  ScopedInProcessDriver plain;
  EXPECT_EQ(os::CurrentDriver(), &*plain);
}

}  // namespace
}  // namespace inproc
