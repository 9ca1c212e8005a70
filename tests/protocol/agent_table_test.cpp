// The built-in agent table, as generated from resources/agent/agent.hex.
//
// The download procedure coalesces the table and sends it to the EZ-USB as
// one 3456-byte load at address 0; these tests pin the table to that shape
// and check that the bytes are the agent program the display expects to see.
#include "display/agent.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr std::uint16_t kAgentBytes = 3456;

std::vector<std::uint8_t> AgentBytes() {
  const AgentRecord& r = kAgentTable[0];
  return {r.data, r.data + r.length};
}

// A USB string descriptor: bLength, bDescriptorType 3, UTF-16LE characters.
std::vector<std::uint8_t> StringDescriptor(const std::string& ascii) {
  std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + 2 * ascii.size()), 0x03};
  for (char c : ascii) {
    d.push_back(static_cast<std::uint8_t>(c));
    d.push_back(0x00);
  }
  return d;
}

// Offset of the first occurrence of `needle` in `hay`, or -1.
long Find(const std::vector<std::uint8_t>& hay, const std::vector<std::uint8_t>& needle) {
  auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end());
  return it == hay.end() ? -1 : static_cast<long>(it - hay.begin());
}

TEST(AgentTable, IsOneDataRecordAtZeroThenTheEndRecord) {
  ASSERT_EQ(kAgentTableSize, 2u);

  const AgentRecord& data = kAgentTable[0];
  EXPECT_EQ(data.type, 0);
  EXPECT_EQ(data.address, 0);
  EXPECT_EQ(data.length, kAgentBytes);

  const AgentRecord& end = kAgentTable[1];
  EXPECT_EQ(end.type, 1);
  EXPECT_EQ(end.length, 0);
  EXPECT_EQ(end.address, 0);
}

TEST(AgentTable, ResetVectorJumpsIntoTheLoadedImage) {
  const std::vector<std::uint8_t> image = AgentBytes();
  ASSERT_EQ(image.size(), kAgentBytes);

  EXPECT_EQ(image[0], 0x02) << "LJMP opcode at the reset address";
  // LJMP's operand is big-endian.  A target outside the loaded bytes would
  // start the core in uninitialised RAM; one inside the 3-byte jump itself
  // would mean a missing or misplaced entry point.
  const unsigned target = (unsigned{image[1]} << 8) | image[2];
  EXPECT_GE(target, 3u);
  EXPECT_LT(target, kAgentBytes);
}

TEST(AgentTable, CarriesTheUsbStringDescriptors) {
  const std::vector<std::uint8_t> image = AgentBytes();

  const std::vector<std::uint8_t> language{0x04, 0x03, 0x09, 0x04};  // 0x0409
  const std::vector<std::uint8_t> manufacturer = StringDescriptor("Anchor Chips");
  const std::vector<std::uint8_t> product = StringDescriptor("EZ-USB Device");
  ASSERT_EQ(manufacturer[0], 26);
  ASSERT_EQ(product[0], 28);

  for (const auto* d : {&language, &manufacturer, &product}) {
    const long at = Find(image, *d);
    ASSERT_GE(at, 0) << "descriptor of " << d->size() << " bytes not found";
    // The controller streams descriptors from RAM only from even addresses.
    EXPECT_EQ(at % 2, 0) << "descriptor at odd offset " << at;
  }
}

}  // namespace
