// Loading a firmware file into an image that holds it locked, and why a file is refused.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "firmware/firmware_image.hpp"
#include "firmware/image_builder.hpp"
#include "test_support.hpp"

namespace kavori::firmware {
namespace {

using test::BytesOf;
using test::Locked;
using test::TempDir;
using test::WriteFile;
using Check = LoadError::Check;

constexpr const char* kCode = "ABCDEFGHIJKLMNOPQRSTUV";

std::vector<std::uint8_t> ValidImage() {
  return ImageBuilder()
      .Magic()
      .DeviceDescriptorAt(0x10, 0x000B, 0x0203)
      .StringDescriptorAt(0x60, kCode)
      .Size(0x200)
      .Build();
}

std::optional<FirmwareImage> Load(const std::string& path) {
  auto loaded = LoadFirmwareFile(path);
  if (!loaded) {
    ADD_FAILURE() << path << ": " << loaded.error().Text();
    return std::nullopt;
  }
  return std::move(loaded).value();
}

// The process's peak resident and peak virtual size so far, in KiB.
struct MemoryPeaks {
  std::uint64_t resident = 0;
  std::uint64_t address = 0;
};

MemoryPeaks Peaks() {
  std::ifstream status("/proc/self/status");
  MemoryPeaks peaks;
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmHWM:")) peaks.resident = std::stoull(line.substr(6));
    if (line.starts_with("VmPeak:")) peaks.address = std::stoull(line.substr(7));
  }
  return peaks;
}

struct LoadCase {
  const char* name;
  std::vector<std::uint8_t> content;
  // When not 0: the file is extended to this size with a hole, which takes no disk.
  std::uint64_t sparseSize;
  std::optional<Check> refusal;
  const char* text;  // of the refusal
};

void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.name; }

class LoadTableTest : public ::testing::TestWithParam<LoadCase> {
 protected:
  TempDir dir_;
};

TEST_P(LoadTableTest, LoadsExactlyTheFileOrRefusesWithTheFirstFailedCheck) {
  const LoadCase& c = GetParam();
  const std::string path = dir_.File("image.hex");
  WriteFile(path, c.content);
  const std::uint64_t size = c.sparseSize != 0 ? c.sparseSize : c.content.size();
  if (c.sparseSize != 0) {
    std::error_code error;
    std::filesystem::resize_file(path, c.sparseSize, error);
    if (error)
      GTEST_SKIP() << "no sparse file of " << c.sparseSize << " bytes: " << error.message();
  }

  const MemoryPeaks before = Peaks();
  ASSERT_GT(before.resident, 0u) << "/proc/self/status shows no VmHWM";
  const auto loaded = LoadFirmwareFile(path);
  const MemoryPeaks after = Peaks();

  if (c.refusal) {
    ASSERT_FALSE(loaded) << "loaded " << loaded->Size() << " bytes";
    EXPECT_EQ(loaded.error().check, *c.refusal);
    EXPECT_EQ(loaded.error().size, size);
    EXPECT_EQ(loaded.error().Text(), c.text);
    EXPECT_FALSE(Locked(path)) << "a refused file must not stay held";
    // A huge file is refused from its size: neither allocated nor read.
    EXPECT_LT(after.resident - before.resident, std::uint64_t{64} << 10) << "KiB more resident";
    EXPECT_LT(after.address - before.address, std::uint64_t{1} << 20) << "KiB more mapped";
    return;
  }
  ASSERT_TRUE(loaded) << loaded.error().Text();
  const auto bytes = loaded->Bytes();
  ASSERT_EQ(loaded->Size(), size);
  ASSERT_EQ(bytes.size(), size);
  EXPECT_TRUE(std::equal(c.content.begin(), c.content.end(), bytes.begin()))
      << "the image is the whole file from offset 0";
  EXPECT_TRUE(std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(c.content.size()),
                          bytes.end(), [](std::uint8_t b) { return b == 0; }));
}

std::vector<LoadCase> LoadCases() {
  const std::vector<std::uint8_t> magic = {0x08, 0xAA};
  return {
      {"Empty", {}, 0, Check::Magic, "not loadable: too short"},
      {"OneMagicByte", {0x08}, 0, Check::Magic, "not loadable: too short"},
      {"SwappedMagic",
       {0xAA, 0x08, 0x01, 0x02},
       0,
       Check::Magic,
       "not loadable: magic AA 08, not 08 AA"},
      {"MagicAlone", magic, 0, std::nullopt, ""},
      {"MagicAndOneByte", {0x08, 0xAA, 0x00}, 0, std::nullopt, ""},
      {"ValidImage", ValidImage(), 0, std::nullopt, ""},
      {"AtTheSizeLimit", magic, kMaxImageSize, std::nullopt, ""},
      {"OneByteOverTheSizeLimit", magic, kMaxImageSize + 1, Check::TooLarge,
       "not loadable: 67108865 bytes, more than the 64 MiB an image may have"},
      // A 32-bit size would wrap to 2 here and load a 2-byte image that is not the file.
      {"FourGibibytesAndTwoBytes", magic, (std::uint64_t{1} << 32) + 2, Check::TooLarge,
       "not loadable: 4294967298 bytes, more than the 64 MiB an image may have"},
  };
}

INSTANTIATE_TEST_SUITE_P(Files, LoadTableTest, ::testing::ValuesIn(LoadCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Makes the entry to open, changing `path` where the case needs another; false when this system
// cannot make it. `holder` keeps an image alive for the rest of the case.
using OpenMaker = bool (*)(std::string& path, std::optional<FirmwareImage>& holder);

struct OpenCase {
  const char* name;
  OpenMaker make;
  platform::FileError::Kind kind;
  int error;
  const char* text;
};

void PrintTo(const OpenCase& c, std::ostream* os) { *os << c.name; }

class OpenFailureTest : public ::testing::TestWithParam<OpenCase> {
 protected:
  TempDir dir_;
};

TEST_P(OpenFailureTest, IsRefusedWithTheSystemsReason) {
  const OpenCase& c = GetParam();
  std::string path = dir_.File("image.hex");
  std::optional<FirmwareImage> holder;
  if (!c.make(path, holder)) GTEST_SKIP() << "this system cannot make the entry";
  const auto loaded = LoadFirmwareFile(path);
  ASSERT_FALSE(loaded);
  EXPECT_EQ(loaded.error().check, Check::Open);
  EXPECT_EQ(loaded.error().file.kind, c.kind);
  EXPECT_EQ(loaded.error().file.error, c.error);
  EXPECT_EQ(loaded.error().Text(), c.text);
}

const OpenCase kOpenCases[] = {
    {"Missing", [](std::string&, std::optional<FirmwareImage>&) { return true; },
     platform::FileError::Kind::Open, ENOENT, "cannot be opened: No such file or directory"},
    {"EmptyPath",
     [](std::string& path, std::optional<FirmwareImage>&) {
       path.clear();
       return true;
     },
     platform::FileError::Kind::Open, ENOENT, "cannot be opened: No such file or directory"},
    {"Directory",
     [](std::string& path, std::optional<FirmwareImage>&) {
       return std::filesystem::create_directory(path);
     },
     platform::FileError::Kind::NotRegular, 0, "cannot be opened: not a regular file"},
    {"Unreadable",
     [](std::string& path, std::optional<FirmwareImage>&) {
       WriteFile(path, ValidImage());
       // Root reads it all the same.
       return ::chmod(path.c_str(), 0) == 0 && ::access(path.c_str(), R_OK) != 0;
     },
     platform::FileError::Kind::Open, EACCES, "cannot be opened: Permission denied"},
    {"HeldByAnImage",
     [](std::string& path, std::optional<FirmwareImage>& holder) {
       WriteFile(path, ValidImage());
       holder = Load(path);
       return holder.has_value();
     },
     platform::FileError::Kind::Locked, 0, "cannot be opened: locked by another program"},
};

INSTANTIATE_TEST_SUITE_P(Paths, OpenFailureTest, ::testing::ValuesIn(kOpenCases),
                         [](const auto& info) { return std::string(info.param.name); });

class FirmwareImageTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(FirmwareImageTest, ScanSetsVersionAndCode) {
  const std::string path = dir_.File("image.hex");
  WriteFile(path, ValidImage());
  auto image = Load(path);
  ASSERT_TRUE(image);
  EXPECT_STREQ(image->ProductCode(), "") << "nothing is known before the scan";
  EXPECT_EQ(image->FileVersionWord(), 0u);
  ASSERT_EQ(image->Scan(), 0);
  EXPECT_EQ(image->FileVersionWord(), 0x0B0203u);
  EXPECT_STREQ(image->ProductCode(), kCode);
}

TEST_F(FirmwareImageTest, MagicAloneLoadsButScanFails) {
  const std::string path = dir_.File("magic.hex");
  WriteFile(path, {0x08, 0xAA});
  auto image = Load(path);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->Scan(), -3);
  EXPECT_EQ(image->Size(), 2u) << "a failed scan keeps the bytes";
  EXPECT_STREQ(image->ProductCode(), "");
}

TEST_F(FirmwareImageTest, ImageHoldsItsFileLockedForItsLifetime) {
  const std::string path = dir_.File("image.hex");
  WriteFile(path, ValidImage());
  {
    auto first = LoadFirmwareFile(path);
    ASSERT_TRUE(first);
    EXPECT_TRUE(Locked(path)) << "no other open while loaded";
    const auto second = LoadFirmwareFile(path);
    ASSERT_FALSE(second) << "not even a second load of the same path";
    EXPECT_EQ(second.error().file.kind, platform::FileError::Kind::Locked);
    EXPECT_EQ(BytesOf(first.value()), ValidImage()) << "the refused load changes the first";

    const FirmwareImage moved = std::move(first).value();
    EXPECT_TRUE(first->Bytes().empty()) << "a moved-from image holds no bytes";
    EXPECT_EQ(first->Size(), 0u);
    EXPECT_TRUE(Locked(path)) << "the lock moves with the image";
    EXPECT_EQ(BytesOf(moved), ValidImage());
  }
  EXPECT_FALSE(Locked(path)) << "destroying the image releases its file";
  EXPECT_TRUE(Load(path));
}

TEST_F(FirmwareImageTest, AssigningAnImageReleasesTheOneItReplaces) {
  const std::string first = dir_.File("first.hex");
  const std::string second = dir_.File("second.hex");
  WriteFile(first, ValidImage());
  WriteFile(second, {0x08, 0xAA, 0x42});
  auto image = Load(first);
  auto replacement = Load(second);
  ASSERT_TRUE(image && replacement);
  *image = std::move(*replacement);
  EXPECT_EQ(BytesOf(*image), (std::vector<std::uint8_t>{0x08, 0xAA, 0x42}));
  EXPECT_FALSE(Locked(first)) << "the replaced file must be released";
  EXPECT_TRUE(Locked(second));
}

}  // namespace
}  // namespace kavori::firmware
