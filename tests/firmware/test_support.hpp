// Helpers shared by the firmware tests: file I/O and a fixture that leaves no image loaded behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "firmware/firmware_image.hpp"
#include "support/scratch_dir.hpp"

namespace kavori::firmware::test {

using TempDir = kavori::testing::ScratchDir;

inline void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << "cannot write test file " << path;
}

inline std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::vector<std::uint8_t> LoadedBytes() {
  const auto bytes = FirmwareImage.Bytes();
  return {bytes.begin(), bytes.end()};
}

// FirmwareImage is process-wide: every test starts and ends with nothing loaded.
class FirmwareImageTest : public ::testing::Test {
 protected:
  void SetUp() override { UnloadFirmwareFile(); }
  void TearDown() override { UnloadFirmwareFile(); }

  TempDir dir_;
};

}  // namespace kavori::firmware::test
