#include "image/firmware_image.h"
#include "image/image_digest.h"

#include <gtest/gtest.h>

#include <array>
#include <ostream>
#include <string>

namespace {

using std::string_literals::operator""s;

// What an untouched version looks like: neither 0.00 nor anything a test
// image reads, so a stray write shows.
constexpr FirmwareVersion kUntouched{7, 42};

struct VersionCase {
  const char* label;
  std::string image;
  VersionBlock block;       // the load succeeds unless kMalformed
  FirmwareVersion version;  // expected after the load
  std::size_t cut = 0;      // trailing bytes left outside the image, still readable
  friend void PrintTo(const VersionCase& c, std::ostream* os) { *os << c.label; }
};

class VersionBlockTest : public testing::TestWithParam<VersionCase> {};

TEST_P(VersionBlockTest, LoadsOrLeavesEverythingAlone) {
  const VersionCase& c = GetParam();
  const auto* bytes = reinterpret_cast<const unsigned char*>(c.image.data());
  const std::size_t size = c.image.size() - c.cut;
  const std::array<os::ResourceEntry, 1> table{{{"BIN_UPDATE", "BIN", bytes, size}}};

  FirmwareVersion read = kUntouched;
  EXPECT_EQ(ReadVersionBlock({bytes, size}, &read), c.block);

  // Attached elsewhere and moved beforehand, so that "untouched" differs
  // from "attached afresh".
  const unsigned char other[4] = {};
  ImageStream stream;
  stream.Attach(other, sizeof other);
  stream.Seek(2);
  FirmwareVersion version = kUntouched;

  const bool usable = c.block != VersionBlock::kMalformed;
  ASSERT_EQ(LoadFirmwareImage(os::ResourceModule(table), "BIN_UPDATE", "BIN", stream, version), usable ? 1 : 0);
  EXPECT_EQ(version.major, c.version.major);
  EXPECT_EQ(version.minor, c.version.minor);
  EXPECT_EQ(stream.Data(), usable ? bytes : other);
  EXPECT_EQ(stream.GetLength(), usable ? size : sizeof other);
  EXPECT_EQ(stream.GetPosition(), usable ? 0u : 2u);
}

constexpr auto kFound = VersionBlock::kFound;
constexpr auto kMalformed = VersionBlock::kMalformed;
constexpr auto kNoMarker = VersionBlock::kNoMarker;

// "\0" is kept apart from a following digit, which would otherwise extend
// the octal escape.
INSTANTIATE_TEST_SUITE_P(
    Images, VersionBlockTest,
    testing::Values(
        VersionCase{"ShippedLayout", "hd\xff\x01ORVANTA\0\0\0\0\0\0" "5.71\0tail"s, kFound, {5, 71}},
        VersionCase{"NoFiller", "ORVANTA4.80", kFound, {4, 80}},
        VersionCase{"NonDigitsSkipped", "ORVANTAv 5.71", kFound, {5, 71}},
        VersionCase{"FifthByteIgnored", "ORVANTA5.712", kFound, {5, 71}},
        VersionCase{"MinorIsTwoDigitNumber", "ORVANTA 5.07", kFound, {5, 7}},
        VersionCase{"DigitsBeforeMarkerIgnored", "build 9.99 ORVANTA 1.23", kFound, {1, 23}},
        VersionCase{"PartialMarkerThenFull", "ORVANORVANTA 3.14", kFound, {3, 14}},
        VersionCase{"NoDigitBetweenMarkers", "ORVANTA\0\0ORVANTA\0 6.02"s, kFound, {6, 2}},
        VersionCase{"FourthByteNul", "ORVANTA 5.7\0 "s, kMalformed, kUntouched},
        VersionCase{"Comma", "ORVANTA 5,71", kMalformed, kUntouched},
        VersionCase{"TwoDigitMajor", "ORVANTA 12.34", kMalformed, kUntouched},
        VersionCase{"TextCutByEnd", "ORVANTA 5.71", kMalformed, kUntouched, 1},
        VersionCase{"FirstMarkerDecides", "ORVANTA 5.7x ORVANTA 6.00", kMalformed, kUntouched},
        VersionCase{"MarkerAtVeryEnd", "1.23 ORVANTA", kMalformed, kUntouched},
        VersionCase{"OnlyFillerAfterMarker", "ORVANTA\0\0\0\0\0\0"s, kMalformed, kUntouched},
        VersionCase{"NoMarker", "firmware 5.71", kNoMarker, kUntouched},
        VersionCase{"MarkerCutByEnd", "firmware 5.71 ORVANTA 6.00", kNoMarker, kUntouched, 6},
        VersionCase{"LowerCaseMarker", "orvanta 5.71", kNoMarker, kUntouched}),
    [](const testing::TestParamInfo<VersionCase>& info) { return info.param.label; });

TEST(LoadFirmwareImage, FindsEachImageByNameAndTypeOnly) {
  const std::string iic = "ORVANTA 6.10", bin = "ORVANTA 5.71";
  const auto* iic_bytes = reinterpret_cast<const unsigned char*>(iic.data());
  const auto* bin_bytes = reinterpret_cast<const unsigned char*>(bin.data());
  const std::array<os::ResourceEntry, 3> table{{
      {"BIN_UPDATE", "BIN", bin_bytes, bin.size()},
      {"IIC_UPDATE", "IIC", iic_bytes, iic.size()},
      {"EMPTY", "BIN", bin_bytes, 0},
  }};
  const os::ResourceModule module(table);

  ImageStream stream;
  FirmwareVersion version;
  ASSERT_EQ(LoadFirmwareImage(module, "IIC_UPDATE", "IIC", stream, version), 1);
  EXPECT_EQ(stream.Data(), iic_bytes);
  EXPECT_EQ(version.major * 100 + version.minor, 610);

  // Size 0, wrong case, a name paired with another entry's type: no image.
  for (const auto& [name, type] : {std::pair{"EMPTY", "BIN"}, {"bin_update", "BIN"}, {"BIN_UPDATE", "IIC"}}) {
    ImageStream untouched;
    FirmwareVersion kept = kUntouched;
    EXPECT_EQ(LoadFirmwareImage(module, name, type, untouched, kept), 0) << name << "/" << type;
    EXPECT_FALSE(untouched.IsAttached());
    EXPECT_EQ(kept.major * 100 + kept.minor, 742);
  }
}

// The standard SHA-256 test vectors (FIPS 180-2): the system's digest is
// used as the program calls it, one span at a time.
TEST(Sha256, GivesTheStandardDigests) {
  const std::pair<std::string, const char*> vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1'000'000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& [message, digest] : vectors) {
    EXPECT_EQ(Sha256Hex({reinterpret_cast<const unsigned char*>(message.data()), message.size()}), digest)
        << message.size() << " bytes";
  }
}

}  // namespace
