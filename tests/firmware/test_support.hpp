// Helpers shared by the firmware tests: file I/O and whether an image still holds its file.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "firmware/firmware_image.hpp"
#include "platform/file.hpp"
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

inline std::vector<std::uint8_t> BytesOf(const FirmwareImage& image) {
  const auto bytes = image.Bytes();
  return {bytes.begin(), bytes.end()};
}

// Whether another open holds the file's lock, as a loaded image does.
inline bool Locked(const std::string& path) {
  const auto file = platform::ExclusiveFile::Open(path);
  return !file && file.error().kind == platform::FileError::Kind::Locked;
}

// The regular files of `directory` that something still holds locked.
inline std::vector<std::string> LockedFiles(const std::string& directory) {
  std::vector<std::string> locked;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    if (entry.is_regular_file() && Locked(entry.path().string()))
      locked.push_back(entry.path().filename().string());
  }
  return locked;
}

}  // namespace kavori::firmware::test
