// The hand-off buffer between the channel's reader (the producer) and the
// packet reader (the consumer), with chunk and read sizes chosen by the
// fuzzer: the consumer gets every chunk's bytes in order, cut to the
// buffer's size, no read ever crosses a chunk, and the end of input ends it.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "fuzz_check.h"
#include "os/thread.h"
#include "transport/device_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const bool endByDisconnect = input.ConsumeBool();
  std::vector<std::vector<std::uint8_t>> chunks(input.ConsumeIntegralInRange<std::size_t>(0, 24));
  for (auto& chunk : chunks) {
    chunk = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(1, 1500));
    if (chunk.empty()) chunk.push_back(0x5A);  // an empty chunk would end the input early
  }
  std::vector<std::uint32_t> readSizes;
  while (input.remaining_bytes() > 0 && readSizes.size() < 64) {
    readSizes.push_back(input.ConsumeIntegralInRange<std::uint32_t>(1, 1100));
  }
  if (readSizes.empty()) readSizes.push_back(4);

  CDeviceInput buffer;
  buffer.Reset();
  buffer.OnOpen();
  auto producer = os::Thread::Create([&]() -> os::DWORD {
    for (const auto& chunk : chunks) buffer.OnData(chunk.data(), static_cast<std::int32_t>(chunk.size()));
    if (endByDisconnect) {
      buffer.OnDisconnect();
    } else {
      buffer.OnData(nullptr, 0);
    }
    return 0;
  });
  FUZZ_CHECK(producer != nullptr);

  // What the consumer must see: each chunk cut to the buffer, in order.
  std::vector<std::size_t> limits;  // bytes left in each chunk
  for (const auto& chunk : chunks) limits.push_back(std::min<std::size_t>(chunk.size(), CDeviceInput::kBufferSize));

  std::size_t chunkIndex = 0, inChunk = 0, reads = 0;
  std::vector<std::uint8_t> got(1100);
  for (;;) {
    const std::uint32_t want = readSizes[reads++ % readSizes.size()];
    const std::uint32_t n = buffer.Read(got.data(), want);
    if (n == 0) break;
    FUZZ_CHECK(chunkIndex < chunks.size());
    const std::size_t left = limits[chunkIndex] - inChunk;
    FUZZ_CHECK(n == std::min<std::size_t>(want, left));  // never more than asked, never across a chunk
    FUZZ_CHECK(std::equal(got.begin(), got.begin() + n, chunks[chunkIndex].begin() + inChunk));
    inChunk += n;
    if (inChunk == limits[chunkIndex]) {
      ++chunkIndex;
      inChunk = 0;
    }
  }
  FUZZ_CHECK(chunkIndex == chunks.size());
  FUZZ_CHECK(producer->Wait(CDeviceInput::kHandOffWaitMs) == os::WAIT_OBJECT_0);
  return 0;
}
