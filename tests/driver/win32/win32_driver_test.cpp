// The Win32 driver back end against what Wine offers: an empty device
// class, absent paths, and named pipes standing in for a display's pipes
// (CreateFile, ReadFileEx/WriteFileEx and CancelIo work on them as on a
// driver's).  No display driver can be attached here; what only a driver
// decides (its error codes) is not asserted.
#include "driver/win32/win32_driver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "test_support.h"
#include "display/display_class.h"

namespace {

// Our mirrored names, taken before <windows.h> turns its own into macros.
constexpr os::HANDLE kInvalid = os::INVALID_HANDLE_VALUE;
constexpr os::DWORD kSuccess = os::ERROR_SUCCESS;
constexpr os::DWORD kNotFound = os::ERROR_FILE_NOT_FOUND;
constexpr os::DWORD kInvalidParameter = os::ERROR_INVALID_PARAMETER;
constexpr os::DWORD kAborted = os::ERROR_OPERATION_ABORTED;

}  // namespace

#include <windows.h>

namespace {

// A named pipe whose client end the driver opens as the display's IN or OUT
// pipe: "\\.\pipe\<name>\\.\brldsp1" is, to the driver, the pipe beneath
// the interface path "\\.\pipe\<name>".
class PipeDisplay {
 public:
  explicit PipeDisplay(const char* pipe) {
    interface_ = std::string("\\\\.\\pipe\\dotvane-test-") + std::to_string(GetCurrentProcessId()) + "-" + pipe;
    path_ = interface_ + "\\\\.\\" + pipe;
    server_ = CreateNamedPipeA(path_.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
  }
  ~PipeDisplay() { CloseHandle(server_); }
  const std::string& Path() const { return path_; }
  const std::string& Interface() const { return interface_; }
  HANDLE Server() const { return server_; }

 private:
  std::string interface_;
  std::string path_;
  HANDLE server_;
};

class Recorder : public os::IoCompletion {
 public:
  void Complete(os::DWORD error, os::DWORD transferred) override {
    error_ = error;
    transferred_ = transferred;
    calls_.fetch_add(1);
  }
  int Calls() const { return calls_.load(); }
  os::DWORD Error() const { return error_; }
  os::DWORD Transferred() const { return transferred_; }

 private:
  std::atomic<int> calls_{0};
  std::atomic<os::DWORD> error_{0};
  std::atomic<os::DWORD> transferred_{0};
};

class Win32DriverTest : public testing::Test {
 protected:
  win32drv::Win32Driver driver_;
};

TEST_F(Win32DriverTest, StartsItsThreadAndFindsNoDisplayInAnEmptyClass) {
  EXPECT_TRUE(driver_.Started()) << "message-only window and device notifications";
  std::string path = "untouched";
  EXPECT_EQ(driver_.EnumInterface(kDisplayInterfaceClass, 0, &path), os::EnumResult::kNoMoreItems);
  EXPECT_EQ(driver_.EnumInterface(kDisplayInterfaceClass, 5, &path), os::EnumResult::kNoMoreItems);
  EXPECT_EQ(path, "untouched");
}

TEST_F(Win32DriverTest, OpeningWhatIsNotThereFailsAsNotFound) {
  for (const std::string path : {"\\\\?\\usb#vid_1209&pid_7d50#none#{5b7d1c2e-93a4-4f6b-8e21-6c0d47b93a15}",
                                 "\\\\.\\pipe\\dotvane-absent\\\\.\\brldsp1", "\\\\.\\pipe\\dotvane-x\\\\.\\brldsp9"}) {
    os::SetLastError(0);
    EXPECT_EQ(driver_.Open(path, true), kInvalid) << path;
    EXPECT_EQ(os::GetLastError(), kNotFound) << path;
  }
}

TEST_F(Win32DriverTest, ReadAndWriteCompleteOnceWithTheirBytes) {
  PipeDisplay in("brldsp1");
  const os::HANDLE h = driver_.Open(in.Path(), true);
  ASSERT_NE(h, kInvalid);
  ASSERT_TRUE(ConnectNamedPipe(in.Server(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED);

  // The wrong direction and the control call are refused on a pipe handle.
  Recorder unused;
  EXPECT_FALSE(driver_.StartWrite(h, "x", 1, &unused));
  EXPECT_EQ(os::GetLastError(), kInvalidParameter);
  unsigned char record[8] = {};
  os::DWORD returned = 1;
  EXPECT_FALSE(driver_.IoControl(h, os::kIoctlVendorRead, record, 8, nullptr, 0, &returned));
  EXPECT_EQ(returned, 0u);

  unsigned char buffer[64] = {};
  Recorder read;
  ASSERT_TRUE(driver_.StartRead(h, buffer, sizeof buffer, &read));
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(in.Server(), "\x80\x30\x00", 3, &written, nullptr));
  ASSERT_TRUE(test::WaitUntil([&] { return read.Calls() > 0; }));
  EXPECT_EQ(read.Error(), kSuccess);
  EXPECT_EQ(read.Transferred(), 3u);
  EXPECT_EQ(buffer[0], 0x80);
  driver_.Close(h);
  EXPECT_EQ(read.Calls(), 1);
  EXPECT_EQ(unused.Calls(), 0);

  PipeDisplay out("brldsp0");
  const os::HANDLE w = driver_.Open(out.Path(), true);
  ASSERT_NE(w, kInvalid);
  Recorder write;
  ASSERT_TRUE(driver_.StartWrite(w, "\x01\x02\x03\x04", 4, &write));
  char received[8] = {};
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(out.Server(), received, sizeof received, &got, nullptr));
  EXPECT_EQ(got, 4u);
  ASSERT_TRUE(test::WaitUntil([&] { return write.Calls() > 0; }));
  EXPECT_EQ(write.Error(), kSuccess);
  EXPECT_EQ(write.Transferred(), 4u);
  driver_.Close(w);
}

// CancelIo only asks; Cancel must not return before the routine has run,
// since the caller reuses the buffer next.
TEST_F(Win32DriverTest, CancelReturnsOnlyAfterTheReadWasHandedBack) {
  PipeDisplay in("brldsp1");
  const os::HANDLE h = driver_.Open(in.Path(), true);
  ASSERT_NE(h, kInvalid);
  unsigned char buffer[64];
  for (int round = 0; round < 3; ++round) {  // the handle stays usable after each
    Recorder read;
    ASSERT_TRUE(driver_.StartRead(h, buffer, sizeof buffer, &read));
    EXPECT_EQ(read.Calls(), 0) << "nothing was sent";
    driver_.Cancel(h);
    EXPECT_EQ(read.Calls(), 1);
    EXPECT_EQ(read.Error(), kAborted);
  }
  Recorder last;
  ASSERT_TRUE(driver_.StartRead(h, buffer, sizeof buffer, &last));
  driver_.Close(h);  // cancels as well
  EXPECT_EQ(last.Calls(), 1);
  EXPECT_EQ(last.Error(), kAborted);
  Recorder late;
  EXPECT_FALSE(driver_.StartRead(h, buffer, sizeof buffer, &late)) << "a closed handle";
}

TEST_F(Win32DriverTest, AListenerIsNotRunAfterItsRemoval) {
  std::atomic<int> calls{0};
  const int id = driver_.AddDeviceListener([&](os::UINT, const std::string&) { calls.fetch_add(1); });
  driver_.RemoveDeviceListener(id);
  driver_.RemoveDeviceListener(id);  // unknown by now: ignored
  EXPECT_EQ(calls.load(), 0);
}

}  // namespace
