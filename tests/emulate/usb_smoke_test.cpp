// A plain libusb-1.0 client, run by CTest under dotvane-emulate: the
// emulated display must be found, described and driven like a USB device.
//   Smoke.*:  dotvane-emulate --refuse-chunk 2:00001F000001 --restart-return 300 --log FILE
//   Faults.*: dotvane-emulate --no-in-endpoint --second-display --plug-delay 2000 --unplug-at-chunk 1
//   Voice.*:  dotvane-emulate --second-display --unplug-second-at 1500 --replug-second-at 3000
//             --other-device 046D:C52B --query-answer 0102 --query-answer 8101000000FE
#include <gtest/gtest.h>
#include <libusb-1.0/libusb.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint16_t kVendorId = 0x1209;
constexpr std::uint16_t kProductId = 0x7D50;
constexpr unsigned char kOut = 0x01;
constexpr unsigned char kIn = 0x81;
constexpr unsigned kTimeoutMs = 2000;
constexpr auto kEventBound = 5s;  // how long anything the emulator does may take

std::vector<std::uint8_t> Query() { return {0, 0, 0, 0}; }

class Usb : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(libusb_init(&ctx_), 0); }
  void TearDown() override {
    if (handle_ != nullptr) libusb_close(handle_);
    libusb_exit(ctx_);
  }

  // Runs libusb's events until `done` holds or `bound` passed.
  bool RunUntil(const std::function<bool()>& done, Clock::duration bound = kEventBound) {
    const auto end = Clock::now() + bound;
    while (!done()) {
      if (Clock::now() >= end) return false;
      timeval tv{0, 50'000};
      libusb_handle_events_timeout_completed(ctx_, &tv, nullptr);
    }
    return true;
  }

  std::vector<std::string> DisplaySerials() {
    std::vector<std::string> serials;
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx_, &list);
    for (ssize_t i = 0; i < n; ++i) {
      libusb_device_descriptor d{};
      if (libusb_get_device_descriptor(list[i], &d) != 0 || d.idVendor != kVendorId) continue;
      libusb_device_handle* h = nullptr;
      if (libusb_open(list[i], &h) != 0) continue;
      unsigned char text[64] = {};
      if (libusb_get_string_descriptor_ascii(h, d.iSerialNumber, text, sizeof text) > 0) {
        serials.emplace_back(reinterpret_cast<char*>(text));
      }
      libusb_close(h);
    }
    libusb_free_device_list(list, 1);
    return serials;
  }

  // Opens the display with `serial` and claims interface 0, detaching any
  // kernel driver as the product does.
  void Open(const std::string& serial = "EMU0001") {
    ASSERT_TRUE(RunUntil([&] {
      for (const auto& s : DisplaySerials()) {
        if (s == serial) return true;
      }
      return false;
    })) << serial << " never appeared";
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx_, &list);
    for (ssize_t i = 0; i < n && handle_ == nullptr; ++i) {
      libusb_device_descriptor d{};
      if (libusb_get_device_descriptor(list[i], &d) != 0 || d.idVendor != kVendorId) continue;
      libusb_device_handle* h = nullptr;
      if (libusb_open(list[i], &h) != 0) continue;
      unsigned char text[64] = {};
      libusb_get_string_descriptor_ascii(h, d.iSerialNumber, text, sizeof text);
      if (serial == reinterpret_cast<char*>(text)) handle_ = h;
      else libusb_close(h);
    }
    libusb_free_device_list(list, 1);
    ASSERT_NE(handle_, nullptr);
    ASSERT_EQ(libusb_set_auto_detach_kernel_driver(handle_, 1), 0);
    ASSERT_EQ(libusb_claim_interface(handle_, 0), 0);
  }

  int VendorOut(std::uint8_t request, std::uint16_t value, std::vector<std::uint8_t> data) {
    return libusb_control_transfer(handle_, 0x40, request, value, 0, data.data(),
                                   static_cast<std::uint16_t>(data.size()), kTimeoutMs);
  }

  int Write(std::vector<std::uint8_t> data) {
    int written = -1;
    const int r = libusb_bulk_transfer(handle_, kOut, data.data(), static_cast<int>(data.size()), &written, kTimeoutMs);
    return r == 0 ? written : r;
  }

  // An asynchronous IN transfer on 0x81 that completes whenever the display
  // has something.
  struct InTransfer {
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    std::array<unsigned char, 64> buffer{};
    bool done = false;
    ~InTransfer() { libusb_free_transfer(transfer); }
    std::vector<std::uint8_t> Data() const {
      return {buffer.begin(), buffer.begin() + transfer->actual_length};
    }
  };
  int Submit(InTransfer& in) {
    libusb_fill_bulk_transfer(
        in.transfer, handle_, kIn, in.buffer.data(), static_cast<int>(in.buffer.size()),
        [](libusb_transfer* t) { *static_cast<bool*>(t->user_data) = true; }, &in.done, 0);
    return libusb_submit_transfer(in.transfer);
  }

  libusb_context* ctx_ = nullptr;
  libusb_device_handle* handle_ = nullptr;
};

std::string Text(const std::vector<std::uint8_t>& packet, std::size_t offset) {
  return reinterpret_cast<const char*>(packet.data() + offset);
}

void ExpectInfo(const std::vector<std::uint8_t>& info) {
  ASSERT_EQ(info.size(), 53u);
  EXPECT_EQ(info[0], 0x80);
  EXPECT_EQ(info[1], 48);
  EXPECT_EQ(Text(info, 4), "Orvanta");
  EXPECT_EQ(Text(info, 28), "Vantor 3");
  EXPECT_EQ(Text(info, 44), "5.60");
  unsigned sum = 0;
  for (auto b : info) sum += b;
  EXPECT_EQ(sum & 0xFF, 0u) << "checksum";
}

// --- Smoke ---

using Smoke = Usb;

TEST_F(Smoke, LooksLikeTheDisplayOnTheBus) {
  Open();
  libusb_device* device = libusb_get_device(handle_);
  libusb_device_descriptor d{};
  ASSERT_EQ(libusb_get_device_descriptor(device, &d), 0);
  EXPECT_EQ(d.idVendor, kVendorId);
  EXPECT_EQ(d.idProduct, kProductId);
  EXPECT_EQ(d.bcdUSB, 0x0200);
  EXPECT_EQ(libusb_get_device_speed(device), LIBUSB_SPEED_FULL);
  unsigned char text[64] = {};
  ASSERT_GT(libusb_get_string_descriptor_ascii(handle_, d.iManufacturer, text, sizeof text), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(text), "Orvanta");
  ASSERT_GT(libusb_get_string_descriptor_ascii(handle_, d.iProduct, text, sizeof text), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(text), "Vantor 3");

  libusb_config_descriptor* config = nullptr;
  ASSERT_EQ(libusb_get_active_config_descriptor(device, &config), 0);
  ASSERT_EQ(config->bNumInterfaces, 1);
  const libusb_interface_descriptor& iface = config->interface[0].altsetting[0];
  EXPECT_EQ(iface.bInterfaceClass, 0xFF);
  ASSERT_EQ(iface.bNumEndpoints, 2);
  std::set<std::pair<int, int>> endpoints;
  for (int i = 0; i < iface.bNumEndpoints; ++i) {
    EXPECT_EQ(iface.endpoint[i].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_BULK);
    endpoints.insert({iface.endpoint[i].bEndpointAddress, iface.endpoint[i].wMaxPacketSize});
  }
  EXPECT_EQ(endpoints, (std::set<std::pair<int, int>>{{kOut, 64}, {kIn, 64}}));
  libusb_free_config_descriptor(config);
}

TEST_F(Smoke, QueryIsAnsweredWithInfoOnTheInEndpoint) {
  Open();
  InTransfer in;
  ASSERT_EQ(Submit(in), 0);
  EXPECT_FALSE(RunUntil([&] { return in.done; }, 200ms)) << "completed with nothing to send";
  ASSERT_EQ(Write(Query()), 4);
  ASSERT_TRUE(RunUntil([&] { return in.done; }));
  ASSERT_EQ(in.transfer->status, LIBUSB_TRANSFER_COMPLETED);
  ExpectInfo(in.Data());
}

// As usbdevfs does: while one descriptor holds interface 0, a claim from
// another (another program, such as a second dotvane) fails with EBUSY.
TEST_F(Smoke, OnlyOneDescriptorAtATimeHoldsTheInterface) {
  Open();
  libusb_device_handle* other = nullptr;
  ASSERT_EQ(libusb_open(libusb_get_device(handle_), &other), 0);
  ASSERT_EQ(libusb_set_auto_detach_kernel_driver(other, 1), 0);
  EXPECT_EQ(libusb_claim_interface(other, 0), LIBUSB_ERROR_BUSY);
  ASSERT_EQ(libusb_release_interface(handle_, 0), 0);
  EXPECT_EQ(libusb_claim_interface(other, 0), 0);
  // Closing a descriptor lets its claim go, as soon as umockdev has seen
  // the descriptor close.
  libusb_close(other);
  EXPECT_TRUE(RunUntil([&] { return libusb_claim_interface(handle_, 0) == 0; }));
}

TEST_F(Smoke, VendorRequestsReachTheDisplayAndAreLogged) {
  Open();
  EXPECT_EQ(VendorOut(0xDF, 0, {0x58}), 1);
  std::array<unsigned char, 6> status{};
  status.fill(0xAA);
  EXPECT_EQ(libusb_control_transfer(handle_, 0xC0, 0xDE, 0, 0, status.data(), 6, kTimeoutMs), 6);
  EXPECT_EQ(status, (std::array<unsigned char, 6>{}));
  EXPECT_EQ(VendorOut(0x12, 0, {}), LIBUSB_ERROR_PIPE) << "unknown requests stall";

  const char* path = std::getenv("DOTVANE_EMULATE_TEST_LOG");
  ASSERT_NE(path, nullptr);
  std::ifstream file(path);
  std::stringstream log;
  log << file.rdbuf();
  EXPECT_NE(log.str().find(R"({"kind":"control-out","request":"DF","value":0,"index":0,"length":1,"data":"58",)"
                           R"("accepted":true)"),
            std::string::npos)
      << log.str();
  EXPECT_NE(log.str().find(R"({"kind":"control-in","request":"DE","value":0,"index":0,"length":6,)"
                           R"("data":"000000000000","accepted":true)"),
            std::string::npos);
  EXPECT_NE(log.str().find(R"("request":"12","value":0,"index":0,"length":0,"data":"","accepted":false)"),
            std::string::npos);
}

TEST_F(Smoke, RefusedChunkStallsAndTheStatusSaysWhere) {
  Open();
  ASSERT_EQ(VendorOut(0xDF, 0, {0x58}), 1);
  const std::vector<std::uint8_t> chunk(4096, 0x5A);
  EXPECT_EQ(VendorOut(0xDC, 0x0000, chunk), 4096);
  EXPECT_EQ(VendorOut(0xDC, 0x1000, chunk), 4096);
  EXPECT_EQ(VendorOut(0xDC, 0x2000, chunk), LIBUSB_ERROR_PIPE);
  std::array<unsigned char, 6> status{};
  ASSERT_EQ(libusb_control_transfer(handle_, 0xC0, 0xDE, 0, 0, status.data(), 6, kTimeoutMs), 6);
  EXPECT_EQ(status, (std::array<unsigned char, 6>{0x00, 0x00, 0x1F, 0x00, 0x00, 0x01}));
}

TEST_F(Smoke, CancelEndsAnOutstandingInTransferAndLosesNothing) {
  Open();
  InTransfer cancelled;
  ASSERT_EQ(Submit(cancelled), 0);
  ASSERT_EQ(libusb_cancel_transfer(cancelled.transfer), 0);
  ASSERT_TRUE(RunUntil([&] { return cancelled.done; }));
  EXPECT_EQ(cancelled.transfer->status, LIBUSB_TRANSFER_CANCELLED);

  InTransfer in;
  ASSERT_EQ(Submit(in), 0);
  ASSERT_EQ(Write(Query()), 4);
  ASSERT_TRUE(RunUntil([&] { return in.done; }));
  ExpectInfo(in.Data());
}

// Run as its own process by the next test: it ends with a read outstanding.
TEST_F(Smoke, DISABLED_EndWithAReadOutstanding) {
  Open();
  InTransfer orphan;
  ASSERT_EQ(Submit(orphan), 0);
  std::fflush(nullptr);
  _exit(0);
}

TEST_F(Smoke, AClientEndingWithAReadOutstandingLosesNoLaterAnswer) {
  std::string self = "/proc/self/exe";
  std::string filter = "--gtest_filter=Smoke.DISABLED_EndWithAReadOutstanding";
  std::string disabled = "--gtest_also_run_disabled_tests";
  char* argv[] = {self.data(), filter.data(), disabled.data(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, environ), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  // The kernel kills a closed descriptor's reads; one left behind would take
  // this answer.
  Open();
  InTransfer in;
  ASSERT_EQ(Submit(in), 0);
  ASSERT_EQ(Write(Query()), 4);
  ASSERT_TRUE(RunUntil([&] { return in.done; }));
  ExpectInfo(in.Data());
}

long ParentCpuTicks() {
  std::ifstream stat("/proc/" + std::to_string(getppid()) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) {
      stime = std::stol(field);
      break;
    }
  }
  return utime + stime;
}

double OwnCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST_F(Smoke, AnIdleDisplayCostsNoCpu) {
  Open();
  InTransfer in;  // an outstanding read keeps libusb polling the device
  ASSERT_EQ(Submit(in), 0);
  const double ownBefore = OwnCpuSeconds();
  const long parentBefore = ParentCpuTicks();
  EXPECT_FALSE(RunUntil([&] { return in.done; }, 1500ms));
  const double own = OwnCpuSeconds() - ownBefore;
  const double parent = static_cast<double>(ParentCpuTicks() - parentBefore) / static_cast<double>(sysconf(_SC_CLK_TCK));
  // Spinning on the device would cost about the whole 1.5 s.
  EXPECT_LT(own, 0.3);
  EXPECT_LT(parent, 0.3) << "the emulator itself";
  libusb_cancel_transfer(in.transfer);
  RunUntil([&] { return in.done; });
}

TEST_F(Smoke, EndOfTransferMakesTheDisplayLeaveAndComeBack) {
  ASSERT_EQ(libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG), 1);
  std::vector<libusb_hotplug_event> events;
  libusb_hotplug_callback_handle callback = 0;
  ASSERT_EQ(libusb_hotplug_register_callback(
                ctx_, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, LIBUSB_HOTPLUG_NO_FLAGS,
                kVendorId, kProductId, LIBUSB_HOTPLUG_MATCH_ANY,
                [](libusb_context*, libusb_device*, libusb_hotplug_event event, void* user) {
                  static_cast<std::vector<libusb_hotplug_event>*>(user)->push_back(event);
                  return 0;
                },
                &events, &callback),
            0);
  Open();
  InTransfer in;
  ASSERT_EQ(Submit(in), 0);
  ASSERT_EQ(VendorOut(0xDF, 0, {0x58}), 1);
  ASSERT_EQ(VendorOut(0xEF, 0, {0, 0, 0, 0}), 4);

  ASSERT_TRUE(RunUntil([&] { return events.size() >= 2; })) << "events: " << events.size();
  EXPECT_EQ(events[0], LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
  EXPECT_EQ(events[1], LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
  ASSERT_TRUE(RunUntil([&] { return in.done; }));
  EXPECT_EQ(in.transfer->status, LIBUSB_TRANSFER_NO_DEVICE);
  libusb_hotplug_deregister_callback(ctx_, callback);
  libusb_close(handle_);
  handle_ = nullptr;

  Open("EMU0001");
  InTransfer again;
  ASSERT_EQ(Submit(again), 0);
  ASSERT_EQ(Write(Query()), 4);
  ASSERT_TRUE(RunUntil([&] { return again.done; }));
  ExpectInfo(again.Data());
}

// --- Faults ---

using Faults = Usb;

TEST_F(Faults, DisplaysArriveAfterThePlugDelay) {
  EXPECT_TRUE(DisplaySerials().empty()) << "plugged before the delay";
  int arrived = 0;
  libusb_hotplug_callback_handle callback = 0;
  ASSERT_EQ(libusb_hotplug_register_callback(
                ctx_, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, LIBUSB_HOTPLUG_NO_FLAGS, kVendorId, kProductId,
                LIBUSB_HOTPLUG_MATCH_ANY,
                [](libusb_context*, libusb_device*, libusb_hotplug_event, void* user) {
                  ++*static_cast<int*>(user);
                  return 0;
                },
                &arrived, &callback),
            0);
  ASSERT_TRUE(RunUntil([&] { return arrived == 2; }));
  libusb_hotplug_deregister_callback(ctx_, callback);
  const auto serials = DisplaySerials();
  EXPECT_EQ(std::set<std::string>(serials.begin(), serials.end()), (std::set<std::string>{"EMU0001", "EMU0002"}));
}

TEST_F(Faults, WithoutInEndpointOnlyTheOutPipeExists) {
  Open();
  libusb_config_descriptor* config = nullptr;
  ASSERT_EQ(libusb_get_active_config_descriptor(libusb_get_device(handle_), &config), 0);
  const libusb_interface_descriptor& iface = config->interface[0].altsetting[0];
  ASSERT_EQ(iface.bNumEndpoints, 1);
  EXPECT_EQ(iface.endpoint[0].bEndpointAddress, kOut);
  libusb_free_config_descriptor(config);

  EXPECT_EQ(Write(Query()), 4);
  InTransfer in;
  EXPECT_NE(Submit(in), 0);
}

TEST_F(Faults, DisplayRemovedWhenTheChosenChunkRequestArrives) {
  Open("EMU0001");
  bool left = false;
  libusb_hotplug_callback_handle callback = 0;
  ASSERT_EQ(libusb_hotplug_register_callback(
                ctx_, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, LIBUSB_HOTPLUG_NO_FLAGS, kVendorId, kProductId,
                LIBUSB_HOTPLUG_MATCH_ANY,
                [](libusb_context*, libusb_device*, libusb_hotplug_event, void* user) {
                  *static_cast<bool*>(user) = true;
                  return 0;
                },
                &left, &callback),
            0);
  ASSERT_EQ(VendorOut(0xDF, 0, {0x58}), 1);
  const std::vector<std::uint8_t> chunk(4096, 0x5A);
  EXPECT_EQ(VendorOut(0xDC, 0x0000, chunk), 4096);
  EXPECT_EQ(VendorOut(0xDC, 0x1000, chunk), LIBUSB_ERROR_NO_DEVICE);
  ASSERT_TRUE(RunUntil([&] { return left; }));
  libusb_hotplug_deregister_callback(ctx_, callback);
  EXPECT_EQ(DisplaySerials(), std::vector<std::string>{"EMU0002"});
}

using Voice = Usb;

TEST_F(Voice, TheQueryIsAnsweredWithTheGivenTransfers) {
  Open();
  InTransfer first, second;
  ASSERT_EQ(Submit(first), 0);
  ASSERT_EQ(Write(Query()), 4);
  ASSERT_TRUE(RunUntil([&] { return first.done; }));
  EXPECT_EQ(first.Data(), (std::vector<std::uint8_t>{0x01, 0x02}));
  ASSERT_EQ(Submit(second), 0);
  ASSERT_TRUE(RunUntil([&] { return second.done; }));
  EXPECT_EQ(second.Data(), (std::vector<std::uint8_t>{0x81, 0x01, 0x00, 0x00, 0x00, 0xFE}));
}

TEST_F(Voice, ADeviceOfAnotherVendorIsOnTheBus) {
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(ctx_, &list);
  bool found = false;
  for (ssize_t i = 0; i < n; ++i) {
    libusb_device_descriptor d{};
    found = found || (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == 0x046D && d.idProduct == 0xC52B);
  }
  libusb_free_device_list(list, 1);
  EXPECT_TRUE(found);
}

// The second display leaves at 1.5 s and comes back at 3 s, while the first stays.
TEST_F(Voice, TheSecondDisplayLeavesAndComesBackWhenTold) {
  auto has = [this](const char* serial) {
    const auto serials = DisplaySerials();
    return std::find(serials.begin(), serials.end(), serial) != serials.end();
  };
  ASSERT_TRUE(RunUntil([&] { return !has("EMU0002"); }));
  EXPECT_TRUE(has("EMU0001"));
  ASSERT_TRUE(RunUntil([&] { return has("EMU0002"); }));
  EXPECT_TRUE(has("EMU0001"));
}

}  // namespace
