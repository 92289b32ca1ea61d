#include "device/protocol.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace kavori::device {
namespace {

struct FrameCase {
  const char* name;
  std::uint64_t offset;
  std::size_t size;  // of the block handed over
  // Expected: bytes 4 (count), 5 and 6 (address low and high).
  std::uint8_t count;
  std::uint8_t low;
  std::uint8_t high;
};

// Bytes 8 up to 8 + count take the block; every byte but those and 4, 5 and 6 keeps what earlier
// commands left there.
TEST(FrameDataBlockTest, WritesCountAddressAndDataOnly) {
  const FrameCase cases[] = {
      {"a full first block", 0, 56, 56, 0x00, 0x00},
      {"a short last block past 64 KiB", 70000, 20, 20, 0x70, 0x11},
      {"the last address below 64 KiB", 65480, 56, 56, 0xC8, 0xFF},
      {"the address wraps at 64 KiB", 65536, 1, 1, 0x00, 0x00},
      {"a longer block is cut to 56 bytes", 112, 60, 56, 0x70, 0x00},
  };
  for (const FrameCase& c : cases) {
    std::array<std::uint8_t, kReportLength> report;
    for (std::size_t k = 0; k < report.size(); ++k) report[k] = static_cast<std::uint8_t>(0x80 + k);
    const auto before = report;
    std::vector<std::uint8_t> block(c.size);
    for (std::size_t k = 0; k < block.size(); ++k) block[k] = static_cast<std::uint8_t>(k + 1);

    FrameDataBlock(report, c.offset, block);

    EXPECT_EQ(report[4], c.count) << c.name;
    EXPECT_EQ(report[5], c.low) << c.name;
    EXPECT_EQ(report[6], c.high) << c.name;
    for (std::size_t k = 0; k < report.size(); ++k) {
      if (k >= 4 && k <= 6) continue;
      const bool data = k >= 8 && k < 8 + std::size_t{c.count};
      EXPECT_EQ(report[k], data ? block[k - 8] : before[k]) << c.name << ", byte " << k;
    }
  }
}

}  // namespace
}  // namespace kavori::device
