// Events, alertable waits, completion routines and threads: the mechanics
// the channel's reader and writes rely on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "driver/io.h"
#include "os/sync.h"
#include "os/thread.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;

TEST(Event, AutoResetReleasesOneWaitAndManualResetStaysSignalled) {
  os::Event automatic(os::Event::Mode::kAuto);
  automatic.Set();
  EXPECT_EQ(os::WaitForSingleObject(automatic, 0), os::WAIT_OBJECT_0);
  EXPECT_EQ(os::WaitForSingleObject(automatic, 0), os::WAIT_TIMEOUT);

  os::Event manual(os::Event::Mode::kManual);
  manual.Set();
  EXPECT_EQ(os::WaitForSingleObject(manual, 0), os::WAIT_OBJECT_0);
  EXPECT_EQ(os::WaitForSingleObject(manual, 0), os::WAIT_OBJECT_0);
  manual.Reset();
  EXPECT_EQ(os::WaitForSingleObject(manual, 0), os::WAIT_TIMEOUT);
}

TEST(AlertableWait, ACompletionRunsOnTheWaitingThreadAndEndsTheWait) {
  os::Event stop;
  const auto context = os::CurrentThreadContext();
  std::thread::id ranOn;
  std::thread other([&] { os::QueueCompletion(context, [&] { ranOn = std::this_thread::get_id(); }); });
  other.join();
  EXPECT_EQ(os::WaitForSingleObjectEx(stop, 5000, true), os::WAIT_IO_COMPLETION);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(AlertableWait, AnEventSetFromAnotherThreadEndsTheWait) {
  os::Event stop;
  std::thread other([&] {
    std::this_thread::sleep_for(10ms);
    stop.Set();
  });
  EXPECT_EQ(os::WaitForSingleObjectEx(stop, 5000, true), os::WAIT_OBJECT_0);
  other.join();
}

TEST(AlertableWait, TimesOutAndCompletionsForAThreadThatEndedAreDropped) {
  os::Event never;
  EXPECT_EQ(os::WaitForSingleObjectEx(never, 5, true), os::WAIT_TIMEOUT);
  EXPECT_EQ(os::SleepEx(5, true), 0u);

  std::shared_ptr<os::detail::ThreadContext> gone;
  std::thread([&] { gone = os::CurrentThreadContext(); }).join();
  bool ran = false;
  os::QueueCompletion(gone, [&] { ran = true; });
  EXPECT_FALSE(ran);
}

TEST(TimeScale, ShortensWaitsWhileObserversSeeTheRequestedDuration) {
  test::WaitRecorder waits;
  os::ScopedTimeScale fast(1000);
  os::Event never;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(os::WaitForSingleObject(never, 10000), os::WAIT_TIMEOUT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_EQ(waits.Durations("WaitForSingleObject"), std::vector<os::DWORD>{10000});
}

TEST(Thread, WaitIsBoundedAndAThreadMayOutliveItsObject) {
  // Owned by the thread as well: it may still look at it after the test has moved on.
  auto release = std::make_shared<std::atomic<bool>>(false);
  std::atomic<bool> finished{false};
  {
    auto thread = os::Thread::Create([release] {
      while (!*release) std::this_thread::sleep_for(1ms);
      return os::DWORD{7};
    });
    ASSERT_TRUE(thread);
    EXPECT_EQ(thread->Wait(10), os::WAIT_TIMEOUT);
    EXPECT_FALSE(thread->HasEnded());
  }  // destroyed while its thread still runs
  *release = true;

  auto quick = os::Thread::Create([&] {
    finished = true;
    return os::DWORD{1};
  });
  EXPECT_EQ(quick->Wait(5000), os::WAIT_OBJECT_0);
  EXPECT_EQ(quick->ExitCode(), 1u);
  EXPECT_TRUE(finished);
}

}  // namespace
