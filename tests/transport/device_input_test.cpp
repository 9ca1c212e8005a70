// The hand-off buffer between the channel's reader thread and the packet
// reader: chunk boundaries, the producer's bounded wait, and end of input.
#include "transport/device_input.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using namespace std::chrono_literals;

// Runs OnData on its own thread, as the channel's reader does.
class Producer {
 public:
  Producer(CDeviceInput& input, std::vector<std::uint8_t> bytes)
      : bytes_(std::move(bytes)), thread_([this, &input] {
          input.OnData(bytes_.data(), static_cast<std::int32_t>(bytes_.size()));
          returned_ = true;
        }) {}
  ~Producer() { thread_.join(); }
  bool Returned() const { return returned_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::atomic<bool> returned_{false};
  std::thread thread_;
};

TEST(DeviceInput, ReadsNeverCrossAChunkAndTheProducerWaitsUntilItIsDrained) {
  CDeviceInput input;
  Producer producer(input, {1, 2, 3, 4, 5, 6});
  std::uint8_t out[16] = {};

  ASSERT_EQ(input.Read(out, 4), 4u);
  EXPECT_EQ(out[3], 4);
  // Two bytes are still pending: the producer must still be waiting.
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(producer.Returned());

  EXPECT_EQ(input.Read(out, 0), 0u) << "asking for nothing takes nothing";
  EXPECT_EQ(input.Pending(), 2u);

  ASSERT_EQ(input.Read(out, 4), 2u);
  EXPECT_EQ(out[0], 5);
  EXPECT_EQ(out[1], 6);
  EXPECT_TRUE(test::WaitUntil([&] { return producer.Returned(); }));
}

TEST(DeviceInput, AskingForMoreThanIsPendingReturnsWhatIsThereAtOnce) {
  CDeviceInput input;
  Producer producer(input, {9, 8, 7, 6, 5, 4});
  std::uint8_t out[10] = {};
  EXPECT_EQ(input.Read(out, 10), 6u);
}

TEST(DeviceInput, EndOfInputWakesAWaitingConsumer) {
  {  // the channel stopping delivers an empty chunk
    CDeviceInput input;
    std::uint32_t got = 99;
    std::thread consumer([&] {
      std::uint8_t out[4];
      got = input.Read(out, 4);
    });
    std::this_thread::sleep_for(10ms);
    const auto start = std::chrono::steady_clock::now();
    input.OnData(nullptr, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << "an empty chunk must not wait to be consumed";
    consumer.join();
    EXPECT_EQ(got, 0u);
  }
  {  // a disconnect
    CDeviceInput input;
    std::uint32_t got = 99;
    std::thread consumer([&] {
      std::uint8_t out[4];
      got = input.Read(out, 4);
    });
    std::this_thread::sleep_for(10ms);
    input.OnDisconnect();
    consumer.join();
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(input.Pending(), 0u);
  }
}

TEST(DeviceInput, AfterADisconnectTheNextReadWaitsForANewSignal) {
  CDeviceInput input;
  input.OnDisconnect();
  std::uint8_t out[4];
  EXPECT_EQ(input.Read(out, 4), 0u);

  std::atomic<bool> done{false};
  std::thread consumer([&] {
    input.Read(out, 4);
    done = true;
  });
  std::this_thread::sleep_for(30ms);
  EXPECT_FALSE(done) << "with nothing pending, an inactive input still waits";
  input.OnOpen();
  input.OnDisconnect();
  consumer.join();
}

TEST(DeviceInput, AConsumerThatNeverDrainsHoldsTheProducerForTheBoundOnly) {
  test::WaitRecorder waits;
  os::ScopedTimeScale fast(100);
  CDeviceInput input;
  const std::uint8_t bytes[3] = {1, 2, 3};
  const auto start = std::chrono::steady_clock::now();
  input.OnData(bytes, 3);
  const auto held = std::chrono::steady_clock::now() - start;
  EXPECT_GE(held, 90ms);
  EXPECT_LT(held, 5s);
  EXPECT_EQ(waits.Durations("WaitForSingleObject"), std::vector<os::DWORD>{10000});
}

TEST(DeviceInput, ResetClearsASignalLeftFromAnEarlierConnection) {
  CDeviceInput input;
  input.OnDisconnect();  // leaves data-ready signalled
  input.OnOpen();
  input.Reset();

  std::atomic<std::uint32_t> got{99};
  std::thread consumer([&] {
    std::uint8_t out[4];
    got = input.Read(out, 4);
  });
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(got.load(), 99u) << "the first Read of a new connection waits for real data";
  const std::uint8_t bytes[4] = {0, 0, 0, 0};
  std::thread producer([&] { input.OnData(bytes, 4); });
  consumer.join();
  producer.join();
  EXPECT_EQ(got.load(), 4u);
}

// After a failed write has ended the input, the channel's reader may still
// deliver one more read; with the consumer gone it is stored without a
// hand-off.  It belongs to the connection that ended, not to the next one.
TEST(DeviceInput, AChunkStoredWhileInactiveDoesNotSurviveReset) {
  CDeviceInput input;
  input.OnDisconnect();
  input.Abandon(input.Connection());
  const std::uint8_t stale[4] = {0x80, 0x30, 0x00, 0x00};
  input.OnData(stale, 4);

  input.Reset();
  input.OnOpen();
  EXPECT_EQ(input.Pending(), 0u);
  Producer producer(input, {1, 2, 3, 4});
  std::uint8_t out[4] = {};
  ASSERT_EQ(input.Read(out, 4), 4u);
  EXPECT_EQ(out[0], 1) << "the new connection's first read is its own display's bytes";
}

TEST(DeviceInput, AChunkOf1024BytesFitsAndALargerOneIsCutNotOverrun) {
  CDeviceInput input;
  std::vector<std::uint8_t> big(1500, 0xAB);
  big[1023] = 0xCD;
  Producer producer(input, big);
  std::vector<std::uint8_t> out(2000, 0);
  ASSERT_EQ(input.Read(out.data(), 2000), 1024u);
  EXPECT_EQ(out[1023], 0xCD);
}

// An end of input (here the empty chunk of a stop) is answered with 0 and
// must not count as a drained chunk: otherwise the next chunk's producer
// would find "consumed" already signalled, run ahead of the consumer and
// overwrite a chunk that was never read.
TEST(DeviceInput, AnEndOfInputDoesNotLetTheNextChunkSkipItsHandOff) {
  CDeviceInput input;
  input.OnData(nullptr, 0);
  std::uint8_t out[8];
  EXPECT_EQ(input.Read(out, 8), 0u);

  Producer producer(input, {7, 8, 9});
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(producer.Returned()) << "the producer must wait until its chunk has been taken";
  EXPECT_EQ(input.Read(out, 8), 3u);
}

// Once the consumer has gone for good, a producer that waited for it would
// hold the channel, and whoever closes it, for the whole bound per chunk.
TEST(DeviceInput, AfterTheConsumerHasGoneProducersNoLongerWaitUntilReset) {
  test::WaitRecorder waits;
  CDeviceInput input;
  input.Abandon(input.Connection());
  const std::uint8_t bytes[4] = {1, 2, 3, 4};
  const auto start = std::chrono::steady_clock::now();
  input.OnData(bytes, 4);
  input.OnData(bytes, 4);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  for (os::DWORD ms : waits.Durations("WaitForSingleObject")) EXPECT_NE(ms, CDeviceInput::kHandOffWaitMs);

  // A new connection has a consumer again.
  input.Reset();
  std::uint8_t out[4];
  Producer producer(input, {5, 6});
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(producer.Returned());
  EXPECT_EQ(input.Read(out, 4), 2u);
}

// A consumer of an earlier connection that ends only after the next connect
// must not release the new connection's producers.
TEST(DeviceInput, AConsumerEndingLateDoesNotAbandonTheNextConnection) {
  CDeviceInput input;
  const unsigned earlier = input.Connection();
  input.Reset();
  input.Abandon(earlier);
  Producer producer(input, {1, 2, 3});
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(producer.Returned());
  std::uint8_t out[4];
  EXPECT_EQ(input.Read(out, 4), 3u);
}

// Many chunks of every size against reads of every size, with the end of
// input at the end: every byte arrives once, in order, and the consumer
// always sees the end.  Timing differs from run to run, so the rounds are
// many and quick.
TEST(DeviceInput, ChunksOfAnySizeArriveWholeAndInOrderAndTheEndAlwaysArrives) {
  for (int round = 0; round < 200; ++round) {
    CDeviceInput input;
    std::vector<std::vector<std::uint8_t>> chunks;
    for (int c = 0; c < 12; ++c) {
      const std::size_t size = 1 + static_cast<std::size_t>((round * 37 + c * 101) % 1100);
      std::vector<std::uint8_t> chunk(size);
      for (std::size_t i = 0; i < size; ++i) chunk[i] = static_cast<std::uint8_t>(round + c + i);
      chunks.push_back(std::move(chunk));
    }
    const bool byDisconnect = round % 2 == 0;
    std::thread producer([&] {
      for (const auto& chunk : chunks) input.OnData(chunk.data(), static_cast<std::int32_t>(chunk.size()));
      byDisconnect ? input.OnDisconnect() : input.OnData(nullptr, 0);
    });
    std::vector<std::uint8_t> got, want;
    for (const auto& chunk : chunks) {
      want.insert(want.end(), chunk.begin(), chunk.begin() + std::min<std::size_t>(chunk.size(), 1024));
    }
    std::uint8_t out[300];
    for (std::uint32_t ask = 1 + round % 7;; ask = ask % 299 + 1) {
      const std::uint32_t n = input.Read(out, ask);
      if (n == 0) break;
      got.insert(got.end(), out, out + n);
    }
    producer.join();
    ASSERT_EQ(got, want) << "round " << round;
  }
}

}  // namespace
