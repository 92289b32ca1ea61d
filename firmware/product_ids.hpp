// The Kavori's USB identity: its vendor and the product ids of its normal firmware and of its
// loader. The image scan, the device search and the wizard all read them from here.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

namespace kavori::firmware {

inline constexpr std::uint16_t kVendorId = 0x0BEF;

// The same model at the same index in both sets.
inline constexpr std::array<std::uint16_t, 3> kNormalModeProductIds = {0x0005, 0x000A, 0x000B};
inline constexpr std::array<std::uint16_t, 3> kLoaderModeProductIds = {0x8105, 0x810A, 0x810B};

constexpr bool IsNormalModeId(std::uint16_t id) {
  return std::find(kNormalModeProductIds.begin(), kNormalModeProductIds.end(), id) !=
         kNormalModeProductIds.end();
}

constexpr bool IsLoaderModeId(std::uint16_t id) {
  return std::find(kLoaderModeProductIds.begin(), kLoaderModeProductIds.end(), id) !=
         kLoaderModeProductIds.end();
}

}  // namespace kavori::firmware
