// The image builder that tests, the simulated device and the demo rely on.
#include "firmware/image_builder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "firmware/firmware_image.hpp"
#include "firmware/firmware_selection.hpp"
#include "test_support.hpp"

namespace kavori::firmware {
namespace {

TEST(DemoImage, CommittedExampleMatchesTheBuilder) {
  const std::string path = std::string(KAVORI_SOURCE_DIR) + "/examples/kavori-demo.hex";
  ASSERT_TRUE(std::filesystem::is_regular_file(path))
      << path << " is missing; regenerate it with kavori-mkimage " << path;
  EXPECT_TRUE(test::ReadFile(path) == DemoImage().Build())
      << path << " differs from the builder's demo image; regenerate it with kavori-mkimage";
}

TEST(DemoImage, SuitsTheSimulatedDevicesDefaultSerial) {
  const auto image = DemoImage().Build();
  ASSERT_EQ(image.size(), kDemoImageSize);
  std::uint32_t versionWord = 0;
  char code[kProductCodeLength + 1] = {};
  ASSERT_EQ(ScanImageBytes(image, versionWord, code), 0);
  EXPECT_EQ(versionWord, (std::uint32_t{kDemoProductId} << 16) | kDemoBcdDevice);
  EXPECT_EQ(std::string(code), kDemoProductCode);
  EXPECT_EQ(CompatibilityValue(code, "KAVSBL01234567890ABCDE"), 7);
}

TEST(ImageBuilder, FillerHoldsNoPatternStart) {
  // Neither the magic's first byte, a device descriptor's bLength nor a header's first byte.
  const auto image = ImageBuilder().Size(1 << 16).Build();
  for (const std::uint8_t forbidden : {0x00, 0x08, 0x12}) {
    EXPECT_EQ(std::count(image.begin(), image.end(), forbidden), 0) << int{forbidden};
  }
  EXPECT_EQ(ImageBuilder().Size(1 << 16).Build(), image) << "filler must be deterministic";
}

TEST(ImageBuilder, DeviceDescriptorOneBytePerWord) {
  const std::vector<std::uint8_t> descriptor = {0x12, 0x01, 0x00, 0x02, 0x00, 0x00,
                                                0x00, 0x40, 0xEF, 0x0B, 0x0B, 0x00,
                                                0x03, 0x02, 0x01, 0x02, 0x03, 0x01};
  const auto image = ImageBuilder().DeviceDescriptorAt(0, 0x000B, 0x0203).Build();
  ASSERT_EQ(image.size(), 2 * descriptor.size());
  for (std::size_t n = 0; n < descriptor.size(); ++n) {
    EXPECT_EQ(image[2 * n], descriptor[n]) << "descriptor byte " << n;
    EXPECT_EQ(image[2 * n + 1], 0) << "high byte of word " << n;
  }
}

TEST(ImageBuilder, StringDescriptorAfterAZeroByte) {
  const std::string code = "KAVSBL0000009900990000";
  const auto image = ImageBuilder().StringDescriptorAt(0, code).Build();
  ASSERT_EQ(image.size(), 93u);
  EXPECT_EQ(std::vector<std::uint8_t>(image.begin(), image.begin() + 5),
            (std::vector<std::uint8_t>{0x00, 0x2E, 0x00, 0x03, 0x00}));
  for (std::size_t j = 0; j < code.size(); ++j) {
    EXPECT_EQ(image[5 + 4 * j], static_cast<std::uint8_t>(code[j])) << "character " << j;
    EXPECT_EQ(image[6 + 4 * j] | image[7 + 4 * j] | image[8 + 4 * j], 0) << "character " << j;
  }
}

TEST(ImageBuilder, SizeCutsPlacementsAndLaterPlacementsWin) {
  const auto image = ImageBuilder().BytesAt(0, {1, 2, 3}).BytesAt(1, {9}).BytesAt(5, {7}).Size(3);
  EXPECT_EQ(image.Build(), (std::vector<std::uint8_t>{1, 9, 3}));
}

TEST(ImageBuilder, WriteToReportsFailure) {
  test::TempDir dir;
  EXPECT_FALSE(DemoImage().WriteTo(dir.Path())) << "a directory cannot be written as a file";
  const std::string path = dir.File("demo.hex");
  ASSERT_TRUE(DemoImage().WriteTo(path));
  EXPECT_EQ(test::ReadFile(path), DemoImage().Build());
}

}  // namespace
}  // namespace kavori::firmware
