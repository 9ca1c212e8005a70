#include "os/resources.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image/firmware_image.h"

namespace {

constexpr std::uint64_t kShippedSize = 49'904;

TEST(ResourceModule, FindGivesTheBytesWhereTheyLie) {
  static const unsigned char dialog[] = {1, 2, 3};
  const std::array<os::ResourceEntry, 2> table{{{"#129", "DIALOG", dialog, 3}, {"#130", "DIALOG", dialog, 0}}};
  const os::ResourceModule module(table);
  const auto found = module.Find("#129", "DIALOG");
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->data(), dialog);
  EXPECT_EQ(found->size(), 3u);
  ASSERT_TRUE(module.Find("#130", "DIALOG").has_value());
  EXPECT_TRUE(module.Find("#130", "DIALOG")->empty());
  EXPECT_FALSE(module.Find("#12", "DIALOG").has_value());
  EXPECT_FALSE(module.Find("#129", "dialog").has_value());
}

// The shipped image, read the way the download reads it.
TEST(ShippedImage, LoadsAs571AndStreamsInDownloadPieces) {
  const os::ResourceModule& self = os::ResourceModule::Self();
  EXPECT_FALSE(self.Find("IIC_UPDATE", "IIC").has_value());
  ImageStream stream;
  FirmwareVersion version;
  ASSERT_EQ(LoadFirmwareImage(self, "BIN_UPDATE", "BIN", stream, version), 1);
  EXPECT_EQ(version.major * 100 + version.minor, 571);
  ASSERT_EQ(stream.GetLength(), kShippedSize);
  const unsigned char* image = stream.Data();

  std::array<unsigned char, 4096> buffer;
  std::uint64_t pieces = 0;
  while (stream.Read(buffer.data(), buffer.size()) == buffer.size()) ++pieces;
  EXPECT_EQ(pieces, 12u);  // ... and a 13th, short one
  EXPECT_EQ(stream.Seek(49'152), 49'152u);
  ASSERT_EQ(stream.Read(buffer.data(), buffer.size()), 752u);
  EXPECT_EQ(buffer[751], image[kShippedSize - 1]);
  EXPECT_EQ(stream.Read(buffer.data(), buffer.size()), 0u);

  EXPECT_EQ(stream.Seek(0), 0u);
  ASSERT_EQ(stream.Read(buffer.data(), 3), 3u);
  EXPECT_EQ(std::vector(buffer.begin(), buffer.begin() + 3), std::vector(image, image + 3));

  // Refused seeks keep the position, including ones that would fit modulo 2^32.
  for (std::uint64_t beyond : {kShippedSize + 1, kShippedSize + (std::uint64_t{1} << 32), ~std::uint64_t{0}}) {
    EXPECT_EQ(stream.Seek(beyond), 3u);
    EXPECT_EQ(stream.GetPosition(), 3u);
  }
  EXPECT_EQ(stream.Seek(kShippedSize), kShippedSize);
  EXPECT_EQ(stream.Read(buffer.data(), buffer.size()), 0u);
}

#ifdef DOTVANE_PYTHON
std::vector<unsigned char> RunGenerator(const std::string& output) {
  const std::string command = "\"" DOTVANE_PYTHON "\" \"" DOTVANE_MAKE_IMAGE "\" \"" + output + "\"";
  if (std::system(command.c_str()) != 0) return {};
  std::ifstream file(output, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

TEST(ShippedImage, IsWhatTheGeneratorWritesEveryTime) {
  const auto first = RunGenerator(testing::TempDir() + "dotvane_image_1.bin");
  const auto second = RunGenerator(testing::TempDir() + "dotvane_image_2.bin");
  const auto embedded = *os::ResourceModule::Self().Find("BIN_UPDATE", "BIN");
  EXPECT_EQ(first, second);
  EXPECT_EQ(first, std::vector(embedded.begin(), embedded.end()));
}

#else

TEST(ShippedImage, IsWhatTheGeneratorWroteForThisBuild) {
  std::ifstream file(DOTVANE_BUILT_IMAGE, std::ios::binary);
  const std::vector<unsigned char> built{std::istreambuf_iterator<char>(file), {}};
  const auto embedded = *os::ResourceModule::Self().Find("BIN_UPDATE", "BIN");
  ASSERT_EQ(built.size(), kShippedSize);
  EXPECT_EQ(built, std::vector(embedded.begin(), embedded.end()));
}
#endif

}  // namespace
