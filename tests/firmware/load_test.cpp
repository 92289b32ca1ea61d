// Loading and unloading the process-wide firmware image.
#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "firmware/firmware_image.hpp"
#include "firmware/image_builder.hpp"
#include "platform/file.hpp"
#include "test_support.hpp"

namespace kavori::firmware {
namespace {

using test::FirmwareImageTest;
using test::LoadedBytes;
using test::WriteFile;

constexpr const char* kCode = "ABCDEFGHIJKLMNOPQRSTUV";

std::vector<std::uint8_t> ValidImage() {
  return ImageBuilder()
      .Magic()
      .DeviceDescriptorAt(0x10, 0x000B, 0x0203)
      .StringDescriptorAt(0x60, kCode)
      .Size(0x200)
      .Build();
}

void ExpectNothingLoaded() {
  EXPECT_EQ(FirmwareImage.bytes, nullptr);
  EXPECT_EQ(FirmwareImage.file, nullptr);
  EXPECT_TRUE(FirmwareImage.Bytes().empty());
}

struct LoadCase {
  const char* name;
  std::vector<std::uint8_t> content;
  bool loads;
};

void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.name; }

class LoadTableTest : public FirmwareImageTest, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(LoadTableTest, LoadsExactlyTheFileOrNothing) {
  const LoadCase& c = GetParam();
  const std::string path = dir_.File("image.hex");
  WriteFile(path, c.content);
  const int handle = LoadFirmwareFile(path.c_str());
  if (!c.loads) {
    EXPECT_EQ(handle, -1);
    ExpectNothingLoaded();
    return;
  }
  ASSERT_NE(handle, -1);
  EXPECT_EQ(FirmwareImage.size, c.content.size());
  EXPECT_EQ(LoadedBytes(), c.content) << "the image is the whole file from offset 0";
}

INSTANTIATE_TEST_SUITE_P(
    Files, LoadTableTest,
    ::testing::Values(LoadCase{"Empty", {}, false}, LoadCase{"OneMagicByte", {0x08}, false},
                      LoadCase{"SwappedMagic", {0xAA, 0x08, 0x01, 0x02}, false},

                      LoadCase{"MagicAlone", {0x08, 0xAA}, true},
                      LoadCase{"MagicAndOneByte", {0x08, 0xAA, 0x00}, true},
                      LoadCase{"ValidImage", ValidImage(), true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FirmwareImageTest, ScanAfterLoadSetsVersionAndCode) {
  const std::string path = dir_.File("image.hex");
  WriteFile(path, ValidImage());
  ASSERT_NE(LoadFirmwareFile(path.c_str()), -1);
  ASSERT_EQ(ScanFirmwareImage(), 0);
  EXPECT_EQ(FirmwareImage.fileVersionWord, 0x0B0203u);
  EXPECT_STREQ(FirmwareImage.productCode, kCode);

  // Unloading releases the bytes but keeps what the scan found.
  EXPECT_EQ(UnloadFirmwareFile(), 0);
  ExpectNothingLoaded();
  EXPECT_EQ(FirmwareImage.fileVersionWord, 0x0B0203u);
  EXPECT_STREQ(FirmwareImage.productCode, kCode);
}

TEST_F(FirmwareImageTest, MagicAloneLoadsButScanFails) {
  const std::string path = dir_.File("magic.hex");
  WriteFile(path, {0x08, 0xAA});
  ASSERT_NE(LoadFirmwareFile(path.c_str()), -1);
  EXPECT_EQ(ScanFirmwareImage(), -3);
  EXPECT_EQ(FirmwareImage.size, 2u) << "a failed scan leaves the image loaded";
}

TEST_F(FirmwareImageTest, ScanWithNothingLoadedFails) { EXPECT_EQ(ScanFirmwareImage(), -3); }

TEST_F(FirmwareImageTest, LoadedFileIsLockedUntilUnload) {
  const std::string path = dir_.File("image.hex");
  WriteFile(path, ValidImage());
  ASSERT_NE(LoadFirmwareFile(path.c_str()), -1);

  EXPECT_EQ(platform::ExclusiveFile::Open(path), nullptr) << "no other open while loaded";
  EXPECT_EQ(LoadFirmwareFile(path.c_str()), -1) << "not even a second load of the same path";
  EXPECT_EQ(LoadedBytes(), ValidImage()) << "the failed second load must keep the first image";

  EXPECT_EQ(UnloadFirmwareFile(), 0);
  EXPECT_NE(platform::ExclusiveFile::Open(path), nullptr) << "unload must release the lock";
  EXPECT_NE(LoadFirmwareFile(path.c_str()), -1);
}

TEST_F(FirmwareImageTest, LoadWhileLoadedReplacesAndReleasesTheFirst) {
  const std::string first = dir_.File("first.hex");
  const std::string second = dir_.File("second.hex");
  WriteFile(first, ValidImage());
  WriteFile(second, {0x08, 0xAA, 0x42});
  ASSERT_NE(LoadFirmwareFile(first.c_str()), -1);
  ASSERT_NE(LoadFirmwareFile(second.c_str()), -1);
  EXPECT_EQ(LoadedBytes(), (std::vector<std::uint8_t>{0x08, 0xAA, 0x42}));
  EXPECT_NE(platform::ExclusiveFile::Open(first), nullptr) << "the replaced file must be released";
}

TEST_F(FirmwareImageTest, FileOfFourGibibytesOrMoreIsRefused) {
  // A 32-bit size would wrap to 2 here and load a 2-byte image that is not the file.
  const std::string path = dir_.File("huge.hex");
  WriteFile(path, {0x08, 0xAA});
  std::error_code error;
  std::filesystem::resize_file(path, (std::uint64_t{1} << 32) + 2, error);
  if (error) GTEST_SKIP() << "no sparse 4 GiB file here: " << error.message();
  EXPECT_EQ(LoadFirmwareFile(path.c_str()), -1);
  ExpectNothingLoaded();
}

TEST_F(FirmwareImageTest, UnopenablePathsFail) {
  std::filesystem::create_directory(dir_.File("folder.hex"));
  EXPECT_EQ(LoadFirmwareFile(dir_.File("folder.hex").c_str()), -1);
  EXPECT_EQ(LoadFirmwareFile(dir_.File("missing.hex").c_str()), -1);
  EXPECT_EQ(LoadFirmwareFile(""), -1);
  EXPECT_EQ(LoadFirmwareFile(nullptr), -1);
  ExpectNothingLoaded();
}

TEST_F(FirmwareImageTest, UnloadIsHarmlessWhenNothingIsLoaded) {
  EXPECT_EQ(UnloadFirmwareFile(), 0);
  EXPECT_EQ(UnloadFirmwareFile(), 0);
  ExpectNothingLoaded();

  const std::string path = dir_.File("image.hex");
  WriteFile(path, ValidImage());
  ASSERT_NE(LoadFirmwareFile(path.c_str()), -1);
  EXPECT_EQ(UnloadFirmwareFile(), 0);
  EXPECT_EQ(UnloadFirmwareFile(), 0);
  ExpectNothingLoaded();
}

}  // namespace
}  // namespace kavori::firmware
